// The stat record of a file: times as 32-bit seconds since 1970, mode as the
// low 16 bits of st_mode (file type and permission bits).
#ifndef CONTFS_PLATFORM_FILE_STAT_H
#define CONTFS_PLATFORM_FILE_STAT_H

#include <cstdint>

namespace platform {

struct FileStat32 {
    uint32_t mode;
    uint32_t size;  // low 32 bits
    uint32_t accessTime;
    uint32_t modificationTime;
    uint32_t creationTime;  // the status-change time: the nearest this platform keeps
};

// False when the path cannot be stat'ed.
bool StatPath(const char* path, FileStat32* out);

}  // namespace platform

#endif
