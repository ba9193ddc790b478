#include "mount/fuse_access.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace cont {

namespace {

const char kDevice[] = "/dev/fuse";

std::string UserName() {
    const struct passwd* user = getpwuid(getuid());
    return user ? user->pw_name : "uid " + std::to_string(getuid());
}

std::string GroupName(gid_t id) {
    const struct group* group = getgrgid(id);
    return group ? group->gr_name : std::to_string(id);
}

bool InGroup(gid_t id) {
    if (getegid() == id) return true;
    const int count = getgroups(0, nullptr);
    if (count <= 0) return false;
    std::string buffer(sizeof(gid_t) * static_cast<size_t>(count), '\0');
    gid_t* groups = reinterpret_cast<gid_t*>(buffer.data());
    const int got = getgroups(count, groups);
    for (int i = 0; i < got; ++i)
        if (groups[i] == id) return true;
    return false;
}

// Why the device cannot be opened, and the way to it; empty when it can.
std::string DeviceProblem() {
    const int fd = open(kDevice, O_RDWR | O_CLOEXEC);
    if (fd >= 0) {
        close(fd);
        return {};
    }
    const int code = errno;
    if (code == ENOENT || code == ENODEV || code == ENXIO)
        return std::string("there is no ") + kDevice + " (" + std::strerror(code) +
               "): the kernel's fuse module is not loaded (modprobe fuse, as root)";
    if (code != EACCES && code != EPERM) return std::string(kDevice) + ": " + std::strerror(code);
    struct stat device {};
    if (stat(kDevice, &device) != 0) return std::string(kDevice) + ": " + std::strerror(code);
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(device.st_mode & 07777));
    const std::string user = UserName(), group = GroupName(device.st_gid);
    const struct passwd* owner = getpwuid(device.st_uid);
    const std::string what = "user " + user + " may not open " + kDevice + " (" + std::strerror(code) + "; mode " +
                             mode + ", owner " + (owner ? owner->pw_name : std::to_string(device.st_uid)) + ", group " +
                             group + ")";
    // The group may read and write it: membership is all it takes.
    if ((device.st_mode & 060) == 060 && !InGroup(device.st_gid))
        return what + ": join its group (as root: usermod -aG " + group + " " + user + ", then log in again)";
    return what + ": an administrator can let a group read and write it and add the user to that group (chgrp " +
           "fuse " + kDevice + "; chmod 0660 " + kDevice + "; usermod -aG fuse " + user +
           ", then log in again), or let every user open it, as most systems do (chmod 0666 " + kDevice + ")";
}

// The fusermount3 a mount by a user other than root runs, as found on PATH.
std::string FindHelper() {
    const char* path = std::getenv("PATH");
    std::string dirs = path && *path ? path : "/usr/bin:/bin";
    for (size_t start = 0; start <= dirs.size();) {
        const size_t end = std::min(dirs.find(':', start), dirs.size());
        const std::string candidate = (end > start ? dirs.substr(start, end - start) : ".") + "/fusermount3";
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
        start = end + 1;
    }
    return {};
}

}  // namespace

std::string FuseAccessProblem() {
    std::string problem = DeviceProblem();
    if (!problem.empty() || geteuid() == 0) return problem;
    const std::string helper = FindHelper();
    if (helper.empty())
        return "fusermount3, through which users other than root mount, is not installed (package fuse3)";
    struct stat seen {};
    if (stat(helper.c_str(), &seen) == 0 && (!(seen.st_mode & S_ISUID) || seen.st_uid != 0))
        return helper + " is not set-user-ID root, so only root can mount (as root: chown root " + helper +
               "; chmod u+s " + helper + ")";
    return {};
}

}  // namespace cont
