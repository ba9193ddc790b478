#include "platform/same_file.h"

#include <sys/stat.h>

namespace platform {

bool SameFile(const char* a, const char* b) {
    struct stat first;
    struct stat second;
    if (!a || !b || ::stat(a, &first) != 0 || ::stat(b, &second) != 0) return false;
    return first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

}  // namespace platform
