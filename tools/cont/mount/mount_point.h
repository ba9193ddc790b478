// Mount points as `cont mount` and `cont umount` check them: what is
// mounted where (from /proc/self/mountinfo), and taking a cont mount away.
#ifndef CONT_MOUNT_POINT_H
#define CONT_MOUNT_POINT_H

#include <string>

namespace cont {

// The file-system type of a cont mount.
extern const char kMountType[];

struct MountRecord {
    std::string mountPoint;
    std::string type;    // e.g. "fuse.cont"
    std::string source;  // for a cont mount, the container's path
};

// The directory as the mount table names it: absolute, its links resolved.
// A directory whose mount lost its program cannot be resolved itself, so
// then only its parent is. False with a reason when even that fails.
bool ResolveMountPoint(const std::string& path, std::string* resolved, std::string* reason);

// The mount on top at `resolved`; false when nothing is mounted there.
bool FindMount(const std::string& resolved, MountRecord* record);

// Whether a new mount may go on `path`: an existing directory with nothing
// mounted on it yet. False with a reason.
bool MountPointFree(const std::string& path, const std::string& resolved, std::string* reason);

// Takes the cont mount at `resolved` away (at once when `lazy`, for good
// once nothing uses it any more). False with a reason.
bool Unmount(const std::string& resolved, bool lazy, std::string* reason);

}  // namespace cont

#endif
