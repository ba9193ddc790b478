// Whether two paths name one file. Paths differ in spelling (relative and
// absolute, doubled separators, links) while naming the same file, and on
// this platform paths that differ only in letter case name different files.
#ifndef CONTFS_PLATFORM_SAME_FILE_H
#define CONTFS_PLATFORM_SAME_FILE_H

namespace platform {

// True when both paths exist and lead to one file (same device and inode).
bool SameFile(const char* a, const char* b);

}  // namespace platform

#endif
