#include <contfs/result.h>

#include <cstdio>
#include <cstring>

namespace contfs {

namespace {

std::string Hex(int32_t result) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<uint32_t>(result));
    return text;
}

}  // namespace

const char* Result::Name() const noexcept { return QLXResultName(code_); }

std::string Result::Describe() const {
    if (code_ == E_OUTOFMEMORY) return std::string("out of memory, E_OUTOFMEMORY (") + Hex(code_) + ")";
    if (const char* name = Name()) return std::string(name) + " (" + Hex(code_) + ")";
    const uint32_t bits = static_cast<uint32_t>(code_);
    if ((bits & 0xFFFF0000u) == 0x80070000u) {
        const int code = static_cast<int>(bits & 0xFFFFu);
        return std::string("platform error ") + std::to_string(code) + ", " + std::strerror(code) + " (" +
               Hex(code_) + ")";
    }
    return std::string(failed() ? "unnamed failure" : "unnamed success") + " (" + Hex(code_) + ")";
}

}  // namespace contfs
