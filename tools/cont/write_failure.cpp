#include "write_failure.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdint>

namespace cont {

namespace {

// More than the largest piece cont writes at once: with less room than
// this, a failed write is taken to have run out of it.
constexpr uint64_t kRoomForAWrite = 2u << 20;

}  // namespace

std::string WhyWriteFailed(const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return "";
    struct rlimit limit;
    if (getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
        static_cast<uint64_t>(st.st_size) + kRoomForAWrite > limit.rlim_cur)
        return "the file size limit (ulimit -f) was reached";
    struct statvfs fs;
    if (statvfs(path.c_str(), &fs) != 0) return "";
    // The blocks kept for the superuser are its to fill.
    const uint64_t blocks = geteuid() == 0 ? fs.f_bfree : fs.f_bavail;
    if (blocks * fs.f_frsize < kRoomForAWrite) return "no space left on the device";
    return "";
}

}  // namespace cont
