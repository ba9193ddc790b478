#include "extract_directory.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "errors.h"
#include "local_files.h"

namespace cont {

namespace {

constexpr int kTempNameTries = 100;

// ".cont-" and six random letters or digits.
std::string TempName() {
    static const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    unsigned char random[6] = {};
    if (getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random))
        for (unsigned char& r : random) r = static_cast<unsigned char>(std::rand());
    std::string name = ".cont-";
    for (unsigned char r : random) name += kLetters[r % (sizeof kLetters - 1)];
    return name;
}

const char* KindName(mode_t mode) {
    if (S_ISREG(mode)) return "a regular file";
    if (S_ISLNK(mode)) return "a symbolic link";
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISSOCK(mode)) return "a socket";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
    return "not a regular file";
}

}  // namespace

ExtractDirectory::~ExtractDirectory() {
    if (fd_ >= 0) close(fd_);
}

bool ExtractDirectory::Open(const std::string& path, const std::string& container, std::string* reason) {
    struct stat read;
    if (stat(container.c_str(), &read) != 0) {
        *reason = SystemReason("cannot look at the container");
        return false;
    }
    containerDevice_ = read.st_dev;
    containerInode_ = read.st_ino;
    if (!path.empty() && !MakeDirectories(path, reason)) {
        *reason = "cannot make the directory: " + *reason;
        return false;
    }
    path_ = path;
    fd_ = open(path.empty() ? "." : path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd_ < 0) {
        *reason = SystemReason("cannot open the directory");
        return false;
    }
    return true;
}

std::string ExtractDirectory::PathOf(const std::string& name) const { return JoinPath(path_, name); }

int ExtractDirectory::OpenParent(const std::string& name, std::string* leaf, std::string* reason) const {
    int dir = fcntl(fd_, F_DUPFD_CLOEXEC, 0);
    if (dir < 0) {
        *reason = SystemReason("cannot open the directory");
        return -1;
    }
    for (size_t begin = 0;;) {
        const size_t slash = name.find('/', begin);
        if (slash == std::string::npos) {
            *leaf = name.substr(begin);
            return dir;
        }
        const std::string segment = name.substr(begin, slash - begin);
        const std::string shown = QuotedName(name.substr(0, slash));
        constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
        int next = openat(dir, segment.c_str(), kFlags);
        if (next < 0 && errno == ENOENT) {
            if (mkdirat(dir, segment.c_str(), 0777) != 0 && errno != EEXIST) {
                *reason = SystemReason("cannot make the directory " + shown);
                close(dir);
                return -1;
            }
            next = openat(dir, segment.c_str(), kFlags);
        }
        if (next < 0) {
            const int code = errno;
            struct stat st;
            if (fstatat(dir, segment.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISDIR(st.st_mode)) {
                *reason = shown + " is " + KindName(st.st_mode) +
                          (S_ISLNK(st.st_mode) ? ", which is never followed" : ", not a directory");
            } else {
                errno = code;
                *reason = SystemReason("cannot open the directory " + shown);
            }
            close(dir);
            return -1;
        }
        close(dir);
        dir = next;
        begin = slash + 1;
    }
}

bool ExtractDirectory::Begin(const std::string& name, File* file, std::string* reason) {
    std::string leaf;
    const int dir = OpenParent(name, &leaf, reason);
    if (dir < 0) return false;
    file->Abandon();
    if (file->dir_ >= 0) close(file->dir_);
    file->dir_ = dir;
    struct stat target;
    bool replacing = false;
    mode_t mode = 0666;
    if (fstatat(dir, leaf.c_str(), &target, AT_SYMLINK_NOFOLLOW) == 0) {
        if (!S_ISREG(target.st_mode)) {
            *reason = std::string("is ") + KindName(target.st_mode) + "; not replaced";
            return false;
        }
        if (target.st_dev == containerDevice_ && target.st_ino == containerInode_) {
            *reason = "is the container being read; not replaced";
            return false;
        }
        replacing = true;
        mode = target.st_mode & 07777;
    } else if (errno != ENOENT) {
        *reason = SystemReason("cannot look at the file");
        return false;
    }
    for (int attempt = 0; attempt < kTempNameTries; ++attempt) {
        const std::string temp = TempName();
        const int fd = openat(dir, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0 && errno == EEXIST) continue;
        if (fd < 0) {
            *reason = SystemReason("cannot create a file beside it");
            return false;
        }
        file->fd_ = fd;
        file->temp_ = temp;
        file->name_ = leaf;
        file->replacing_ = replacing;
        file->written_ = 0;
        // The replacement keeps the permissions of the file it replaces.
        if (replacing && fchmod(fd, mode) != 0) {
            *reason = SystemReason("cannot give the new file the old one's permissions");
            file->Abandon();
            return false;
        }
        return true;
    }
    *reason = "cannot find a free temporary name beside it";
    return false;
}

ExtractDirectory::File::~File() {
    Abandon();
    if (dir_ >= 0) close(dir_);
}

void ExtractDirectory::File::Abandon() {
    if (fd_ < 0) return;
    close(fd_);
    unlinkat(dir_, temp_.c_str(), 0);
    fd_ = -1;
}

bool ExtractDirectory::File::Write(const uint8_t* data, size_t size, std::string* reason) {
    while (size > 0) {
        const ssize_t n = write(fd_, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            *reason = SystemReason("write failed");
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
        written_ += static_cast<uint64_t>(n);
    }
    return true;
}

bool ExtractDirectory::File::Commit(std::string* reason) {
    // The old file is given up only for one that is on the disk.
    if (replacing_ && fsync(fd_) != 0) {
        *reason = SystemReason("cannot flush the file to the disk");
        return false;
    }
    const int fd = fd_;
    fd_ = -1;
    if (close(fd) != 0) {
        *reason = SystemReason("write failed");
        unlinkat(dir_, temp_.c_str(), 0);
        return false;
    }
    if (renameat(dir_, temp_.c_str(), dir_, name_.c_str()) != 0) {
        *reason = SystemReason("cannot put the file in place");
        unlinkat(dir_, temp_.c_str(), 0);
        return false;
    }
    return true;
}

std::string ExtractDirectory::File::KeepPartial() {
    if (fd_ < 0) return "";
    if (written_ == 0) {
        Abandon();
        return "";
    }
    close(fd_);
    fd_ = -1;
    // A link, unlike a rename, never replaces a file that is there (one
    // that appeared since Begin looked included).
    for (const std::string& kept : {replacing_ ? std::string() : name_, name_ + ".partial"}) {
        if (kept.empty() || linkat(dir_, temp_.c_str(), dir_, kept.c_str(), 0) != 0) continue;
        unlinkat(dir_, temp_.c_str(), 0);
        return kept;
    }
    return temp_;
}

}  // namespace cont
