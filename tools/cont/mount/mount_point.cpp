#include "mount/mount_point.h"

#include <errno.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>
#include <vector>

extern char** environ;

namespace cont {

namespace fs = std::filesystem;

const char kMountType[] = "fuse.cont";

namespace {

// The mount table writes a space, tab, newline or backslash in a path as
// a backslash and three octal digits.
std::string Unescape(const std::string& field) {
    std::string out;
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            const std::string digits = field.substr(i + 1, 3);
            if (digits.find_first_not_of("01234567") == std::string::npos) {
                out += static_cast<char>(std::stoi(digits, nullptr, 8));
                i += 3;
                continue;
            }
        }
        out += field[i];
    }
    return out;
}

// One line: ID PARENT MAJ:MIN ROOT MOUNTPOINT OPTIONS [OPTIONAL...] - TYPE SOURCE SUPEROPTIONS
bool ParseMountLine(const std::string& line, MountRecord* record) {
    std::istringstream in(line);
    std::vector<std::string> fields;
    for (std::string field; in >> field;) fields.push_back(field);
    size_t dash = 6;
    while (dash < fields.size() && fields[dash] != "-") ++dash;
    if (fields.size() < 6 || dash + 2 >= fields.size()) return false;
    record->mountPoint = Unescape(fields[4]);
    record->type = Unescape(fields[dash + 1]);
    record->source = Unescape(fields[dash + 2]);
    return true;
}

}  // namespace

bool ResolveMountPoint(const std::string& path, std::string* resolved, std::string* reason) {
    std::error_code ec;
    fs::path full = fs::absolute(path, ec);
    if (ec) {
        *reason = "cannot resolve the path: " + ec.message();
        return false;
    }
    full = full.lexically_normal();
    if (!full.has_filename() && full.has_parent_path() && full != full.root_path()) full = full.parent_path();
    fs::path canonical = fs::canonical(full, ec);
    if (!ec) {
        *resolved = canonical.string();
        return true;
    }
    if (full == full.root_path()) {
        *resolved = full.string();
        return true;
    }
    fs::path parent = fs::canonical(full.parent_path(), ec);
    if (ec) {
        *reason = "cannot resolve the path: " + ec.message();
        return false;
    }
    *resolved = (parent / full.filename()).string();
    return true;
}

bool FindMount(const std::string& resolved, MountRecord* record) {
    std::ifstream table("/proc/self/mountinfo");
    bool found = false;
    MountRecord line;
    for (std::string text; std::getline(table, text);) {
        if (ParseMountLine(text, &line) && line.mountPoint == resolved) {
            *record = line;
            found = true;  // later lines are mounted on top of earlier ones
        }
    }
    return found;
}

bool MountPointFree(const std::string& path, const std::string& resolved, std::string* reason) {
    struct stat seen {};
    if (::stat(path.c_str(), &seen) != 0) {
        if (errno == ENOTCONN)
            *reason = "busy: a mount whose program has ended is still there; 'cont umount " + path + "' removes it";
        else if (errno == ENOENT)
            *reason = "no such directory";
        else
            *reason = std::strerror(errno);
        return false;
    }
    if (!S_ISDIR(seen.st_mode)) {
        *reason = "not a directory";
        return false;
    }
    MountRecord mounted;
    if (FindMount(resolved, &mounted)) {
        *reason = "busy: " + mounted.source + " (" + mounted.type + ") is mounted there already";
        return false;
    }
    return true;
}

namespace {

// Unprivileged users unmount through libfuse's set-user-ID helper.
bool RunFusermount(const std::string& resolved, bool lazy, std::string* reason) {
    std::vector<std::string> words = {"fusermount3", "-u"};
    if (lazy) words.push_back("-z");
    words.push_back("--");
    words.push_back(resolved);
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    pid_t child = 0;
    const int spawned = posix_spawnp(&child, argv[0], nullptr, nullptr, argv.data(), environ);
    if (spawned != 0) {
        *reason = std::string("cannot run fusermount3: ") + std::strerror(spawned);
        return false;
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) {
            *reason = std::string("lost fusermount3: ") + std::strerror(errno);
            return false;
        }
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
    *reason = "fusermount3 could not unmount it";
    return false;
}

}  // namespace

bool Unmount(const std::string& resolved, bool lazy, std::string* reason) {
    MountRecord mounted;
    if (!FindMount(resolved, &mounted)) {
        *reason = "not a mount point";
        return false;
    }
    if (mounted.type != kMountType) {
        *reason = "not a cont mount (" + mounted.type + " from " + mounted.source + "); left alone";
        return false;
    }
    if (geteuid() != 0) return RunFusermount(resolved, lazy, reason);
    if (::umount2(resolved.c_str(), (lazy ? MNT_DETACH : 0) | UMOUNT_NOFOLLOW) == 0) return true;
    if (errno == EBUSY)
        *reason = "busy: a program still has a file or directory open under it (close it, or unmount with --lazy)";
    else
        *reason = std::strerror(errno);
    return false;
}

}  // namespace cont
