#include "platform/file_stat.h"

#include <sys/stat.h>

namespace platform {

bool StatPath(const char* path, FileStat32* out) {
    struct stat st;
    if (!path || ::stat(path, &st) != 0) return false;
    out->mode = static_cast<uint32_t>(st.st_mode) & 0xFFFFu;
    out->size = static_cast<uint32_t>(st.st_size);
    out->accessTime = static_cast<uint32_t>(st.st_atime);
    out->modificationTime = static_cast<uint32_t>(st.st_mtime);
    out->creationTime = static_cast<uint32_t>(st.st_ctime);
    return true;
}

}  // namespace platform
