#include "pack/replacement_directory.h"

#include <dirent.h>
#include <fcntl.h>
#include <qlx/result.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "errors.h"
#include "local_files.h"

namespace cont {

namespace {

constexpr char kPrefix[] = ".cont-pack-";
constexpr size_t kRandomLength = 6;  // mkdtemp's XXXXXX
constexpr char kMarker[] = ".cont-disposable";

// Where the directories of the container at `container` are, as the user
// would write it: "" beside a container named without a directory.
std::string ShownParent(const std::string& container) {
    return container.find('/') == std::string::npos ? std::string() : ParentOf(container);
}

bool LooksLikeOne(const char* name) {
    const size_t prefix = sizeof kPrefix - 1;
    if (std::strncmp(name, kPrefix, prefix) != 0 || std::strlen(name) != prefix + kRandomLength) return false;
    for (const char* c = name + prefix; *c; ++c)
        if (!((*c >= 'a' && *c <= 'z') || (*c >= 'A' && *c <= 'Z') || (*c >= '0' && *c <= '9'))) return false;
    return true;
}

int LockAlone(int fd, bool wait) {
    int rc;
    do {
        rc = flock(fd, LOCK_EX | (wait ? 0 : LOCK_NB));
    } while (rc != 0 && errno == EINTR);
    return rc;
}

// The file name a mark names, or "" when `dir` holds no readable mark.
std::string MarkedFor(int dir) {
    const int fd = openat(dir, kMarker, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return "";
    char text[512];
    const ssize_t got = read(fd, text, sizeof text);
    close(fd);
    if (got <= 1 || text[got - 1] != '\n') return "";
    return std::string(text, static_cast<size_t>(got - 1));
}

// What a directory no run holds is to the container named `base`.
enum class Debris { kNotItsOwn, kStale, kUnproved };

Debris Judge(int dir, const std::string& base) {
    const int listing = fcntl(dir, F_DUPFD_CLOEXEC, 0);
    DIR* entries = listing < 0 ? nullptr : fdopendir(listing);
    if (!entries) {
        if (listing >= 0) close(listing);
        return Debris::kNotItsOwn;
    }
    bool marked = false, copy = false, other = false;
    while (const struct dirent* entry = readdir(entries)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        struct stat st;
        if (name == kMarker)
            marked = MarkedFor(dir) == base;
        else if (name == base && fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode))
            copy = true;
        else
            other = true;
    }
    closedir(entries);
    if (!marked && !copy) return Debris::kNotItsOwn;
    return marked && !other ? Debris::kStale : Debris::kUnproved;
}

}  // namespace

ReplacementDirectory::~ReplacementDirectory() {
    if (fd_ >= 0) close(fd_);
}

int32_t ReplacementDirectory::Make(const std::string& container, bool disposable, std::string* reason) {
    std::string templ = JoinPath(ShownParent(container), std::string(kPrefix) + "XXXXXX");
    if (!mkdtemp(templ.data())) {
        *reason = "cannot make a directory beside it for the new container";
        return ResultFromErrno(errno);
    }
    const int fd = open(templ.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    // Another run may be looking into it (ClearStaleReplacements) and
    // finds it empty: the lock is had once it has looked.
    if (fd < 0 || LockAlone(fd, true) != 0) {
        const int32_t code = ResultFromErrno(errno);
        *reason = "cannot lock the directory made for the new container";
        if (fd >= 0) close(fd);
        rmdir(templ.c_str());
        return code;
    }
    path_ = templ;
    fd_ = fd;
    if (disposable) {
        // Without its mark a directory is only ever listed, never removed:
        // a mark that cannot be written costs nothing but that.
        const int mark = openat(fd_, kMarker, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        const std::string text = BaseName(container) + "\n";
        if (mark >= 0) {
            if (write(mark, text.data(), text.size()) != static_cast<ssize_t>(text.size())) unlinkat(fd_, kMarker, 0);
            close(mark);
        }
    }
    return S_OK;
}

void ReplacementDirectory::Unmark() {
    if (fd_ >= 0) unlinkat(fd_, kMarker, 0);
}

void ReplacementDirectory::Remove() {
    if (fd_ < 0) return;
    Unmark();
    rmdir(path_.c_str());
    close(fd_);
    fd_ = -1;
}

void ClearStaleReplacements(const std::string& container) {
    const std::string shownParent = ShownParent(container);
    const std::string base = BaseName(container);
    DIR* listing = opendir(shownParent.empty() ? "." : shownParent.c_str());
    if (!listing) return;
    std::vector<std::string> candidates;
    while (const struct dirent* entry = readdir(listing))
        if (LooksLikeOne(entry->d_name)) candidates.push_back(entry->d_name);
    closedir(listing);

    for (const std::string& name : candidates) {
        const std::string path = JoinPath(shownParent, name);
        const int dir = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (dir < 0) continue;
        struct stat st;
        // Another user's directory is not ours to judge; one locked is in
        // use by the run that made it.
        if (fstat(dir, &st) != 0 || st.st_uid != geteuid() || LockAlone(dir, false) != 0) {
            close(dir);
            continue;
        }
        switch (Judge(dir, base)) {
            case Debris::kNotItsOwn: break;
            case Debris::kStale:
                unlinkat(dir, base.c_str(), 0);
                unlinkat(dir, kMarker, 0);
                if (rmdir(path.c_str()) == 0)
                    std::fprintf(stderr, "cont: %s: removed, left by an interrupted pack --force or compact of %s\n",
                                 Printable(path).c_str(), Printable(container).c_str());
                break;
            case Debris::kUnproved:
                std::fprintf(stderr,
                             "cont: %s: left by an interrupted pack --force or compact of %s, or kept by one; not "
                             "removed, as it may hold the only copy of what was being packed (remove it yourself "
                             "once it is not needed)\n",
                             Printable(path).c_str(), Printable(container).c_str());
                break;
        }
        close(dir);
    }
}

}  // namespace cont
