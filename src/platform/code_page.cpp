#include "platform/code_page.h"

#include <atomic>

namespace platform {

static std::atomic<bool> g_doubleByte{false};

bool DoubleByteCharsetEnabled() { return g_doubleByte.load(std::memory_order_relaxed); }

void SetDoubleByteCharsetEnabled(bool enabled) { g_doubleByte.store(enabled, std::memory_order_relaxed); }

const char* CharNext(const char* p) {
    if (*p == 0) return p;
    if (IsLeadByte(static_cast<unsigned char>(*p)) && p[1] != 0) return p + 2;
    return p + 1;
}

}  // namespace platform
