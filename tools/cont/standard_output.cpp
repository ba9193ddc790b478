#include "standard_output.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace cont {

namespace {

// errno of the first failed write; 0 while none failed.
int g_firstFailure = 0;

void Record(int code) {
    if (g_firstFailure == 0) g_firstFailure = code ? code : EIO;
}

}  // namespace

void PrintOut(const char* format, ...) {
    va_list args;
    va_start(args, format);
    errno = 0;
    if (std::vfprintf(stdout, format, args) < 0) Record(errno);
    va_end(args);
}

void PutOut(const std::string& text) {
    errno = 0;
    if (!text.empty() && std::fwrite(text.data(), 1, text.size(), stdout) != text.size()) Record(errno);
}

bool WriteOut(const void* data, size_t size, std::string* reason) {
    errno = 0;
    if (size && std::fwrite(data, 1, size, stdout) != size) Record(errno);
    if (g_firstFailure == 0) return true;
    *reason = std::strerror(g_firstFailure);
    return false;
}

void FlushOut() {
    errno = 0;
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) Record(errno);
}

bool OutputFailed(std::string* reason) {
    FlushOut();
    if (g_firstFailure == 0) return false;
    *reason = std::strerror(g_firstFailure);
    return true;
}

}  // namespace cont
