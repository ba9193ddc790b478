#include "platform/posix_file.h"

#include <qlx/result.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

// The rtl flags -> O_* flags; -1 for the access value 3 (write only and
// read-write at once), which names no access mode.
int TranslateOpenFlags(uint32_t flags) {
    int result;
    switch (flags & rtl::kAccessMask) {
    case rtl::kReadOnly: result = O_RDONLY; break;
    case rtl::kWriteOnly: result = O_WRONLY; break;
    case rtl::kReadWrite: result = O_RDWR; break;
    default: return -1;
    }
    if (flags & rtl::kAppend) result |= O_APPEND;
    if (flags & rtl::kCreate) result |= O_CREAT;
    if (flags & rtl::kTruncate) result |= O_TRUNC;
    if (flags & rtl::kExclusive) result |= O_EXCL;
    // A plug-in must not leak its descriptors into processes the host starts.
    return result | O_CLOEXEC;
}

// A data file's one permission choice is whether the file is read-only: a
// file it creates is always readable.
mode_t TranslatePermission(uint32_t permission) {
    mode_t mode = S_IRUSR | S_IRGRP | S_IROTH;
    if (permission & rtl::kPermissionWrite) mode |= S_IWUSR | S_IWGRP | S_IWOTH;
    return mode;
}

int TranslateOrigin(uint32_t origin) {
    switch (origin) {
    case rtl::kSeekSet: return SEEK_SET;
    case rtl::kSeekCurrent: return SEEK_CUR;
    case rtl::kSeekEnd: return SEEK_END;
    default: return -1;
    }
}

}  // namespace

int32_t LastErrorCode() { return errno; }

const char* DescribeErrorCode(int32_t code, const char** name) {
    struct Known {
        int code;
        const char* name;
        const char* words;
    };
    static const Known kKnown[] = {
        {ENOSPC, "ENOSPC", "no space left on the device"},
        {EFBIG, "EFBIG", "the file size limit (ulimit -f) was reached"},
        {EDQUOT, "EDQUOT", "the disk quota was exceeded"},
        {EIO, "EIO", "input/output error on the device"},
        {EROFS, "EROFS", "the file system is read only"},
        {EACCES, "EACCES", "permission denied"},
        {EPERM, "EPERM", "operation not permitted"},
        {ENOENT, "ENOENT", "no such file or directory"},
    };
    for (const Known& known : kKnown) {
        if (known.code != code) continue;
        if (name) *name = known.name;
        return known.words;
    }
    if (name) *name = "";
    return std::strerror(code);
}

bool IsPermissionDenied(int32_t code) { return code == EACCES || code == EPERM || code == EISDIR; }

bool IsLockConflict(int32_t code) { return code == EWOULDBLOCK || code == EAGAIN; }

int32_t ResultFromErrorCode(int32_t code) { return QLXResultFromPlatformError(code); }

int OpenFile(const char* path, uint32_t flags, uint32_t permission) {
    if (!path) {
        errno = EINVAL;
        return -1;
    }
    int oflags = TranslateOpenFlags(flags);
    if (oflags < 0) {
        errno = EINVAL;
        return -1;
    }
    // Opened without waiting, so that a pipe or similar at the path cannot
    // hold the caller forever; waiting transfers are restored below.
    int fd;
    do {
        fd = ::open(path, oflags | O_NONBLOCK, TranslatePermission(permission));
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return -1;
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        int saved = errno;
        ::close(fd);
        errno = saved;
        return -1;
    }
    if (S_ISDIR(st.st_mode) || S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)) {
        ::close(fd);
        errno = S_ISDIR(st.st_mode) ? EISDIR : ENXIO;
        return -1;
    }
    int status = ::fcntl(fd, F_GETFL);
    if (status < 0 || ::fcntl(fd, F_SETFL, status & ~O_NONBLOCK) != 0) {
        int saved = errno;
        ::close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

bool HeldElsewhere(const char* path) {
    if (!path) return false;
    int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    int rc;
    do {
        rc = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    bool held = rc != 0 && IsLockConflict(errno);
    ::close(fd);
    return held;
}

bool LockFile(int fd, FileLock kind) {
    int operation = (kind == FileLock::kExclusive ? LOCK_EX : LOCK_SH) | LOCK_NB;
    int rc;
    do {
        rc = ::flock(fd, operation);
    } while (rc != 0 && errno == EINTR);
    if (rc == 0) return true;
    // No locks on this file system: nobody can be refused, so nobody is.
    if (errno == ENOLCK || errno == EOPNOTSUPP || errno == EINVAL) return true;
    return false;
}

namespace {

// Reads until count bytes arrived, the file ended or an error stopped it;
// readCall(at, n, done) is one system call for n bytes after done of them.
template <class ReadCall>
int64_t ReadUntilDone(void* dst, size_t count, ReadCall readCall) {
    size_t done = 0;
    char* at = static_cast<char*>(dst);
    while (done < count) {
        ssize_t got = readCall(at + done, count - done, done);
        if (got < 0) {
            if (errno == EINTR) continue;
            if (done == 0) return -1;
            break;
        }
        if (got == 0) break;
        done += static_cast<size_t>(got);
    }
    return static_cast<int64_t>(done);
}

// Writes until count bytes went out or an error stopped it; writeCall(at,
// n, done) is one system call for n bytes after done of them.
template <class WriteCall>
int64_t WriteUntilDone(const void* src, size_t count, WriteCall writeCall) {
    size_t done = 0;
    const char* at = static_cast<const char*>(src);
    while (done < count) {
        ssize_t written = writeCall(at + done, count - done, done);
        if (written < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (written == 0) {
            // No progress and no reason given: the device is full.
            errno = ENOSPC;
            return -1;
        }
        done += static_cast<size_t>(written);
    }
    return static_cast<int64_t>(done);
}

}  // namespace

int64_t ReadFully(int fd, void* dst, size_t count) {
    return ReadUntilDone(dst, count, [fd](char* at, size_t n, size_t) { return ::read(fd, at, n); });
}

int64_t ReadFullyAt(int fd, void* dst, size_t count, int64_t offset) {
    if (offset < 0) {
        errno = EINVAL;
        return -1;
    }
    return ReadUntilDone(dst, count, [fd, offset](char* at, size_t n, size_t done) {
        return ::pread(fd, at, n, static_cast<off_t>(offset + static_cast<int64_t>(done)));
    });
}

int64_t WriteFully(int fd, const void* src, size_t count) {
    return WriteUntilDone(src, count, [fd](const char* at, size_t n, size_t) { return ::write(fd, at, n); });
}

int64_t WriteFullyAt(int fd, const void* src, size_t count, int64_t offset) {
    if (offset < 0) {
        errno = EINVAL;
        return -1;
    }
    return WriteUntilDone(src, count, [fd, offset](const char* at, size_t n, size_t done) {
        return ::pwrite(fd, at, n, static_cast<off_t>(offset + static_cast<int64_t>(done)));
    });
}

int64_t SeekFile(int fd, int64_t offset, uint32_t origin) {
    int whence = TranslateOrigin(origin);
    if (whence < 0) {
        errno = EINVAL;
        return -1;
    }
    off_t position = ::lseek(fd, static_cast<off_t>(offset), whence);
    return position < 0 ? -1 : static_cast<int64_t>(position);
}

int64_t FileSize(int fd) {
    struct stat st;
    if (::fstat(fd, &st) != 0) return -1;
    return static_cast<int64_t>(st.st_size);
}

bool ResizeFile(int fd, int64_t size) {
    if (size < 0) {
        errno = EINVAL;
        return false;
    }
    int rc;
    do {
        rc = ::ftruncate(fd, static_cast<off_t>(size));
    } while (rc != 0 && errno == EINTR);
    return rc == 0;
}

bool SyncFileData(int fd) {
    int rc;
    do {
        rc = ::fdatasync(fd);
    } while (rc != 0 && errno == EINTR);
    return rc == 0;
}

bool StartWriteBack(int fd, int64_t offset, int64_t length) {
    if (offset < 0 || length < 0) {
        errno = EINVAL;
        return false;
    }
    return ::sync_file_range(fd, static_cast<off64_t>(offset), static_cast<off64_t>(length), SYNC_FILE_RANGE_WRITE) ==
           0;
}

bool ReadAhead(int fd, int64_t offset, int64_t length) {
    if (offset < 0 || length < 0) {
        errno = EINVAL;
        return false;
    }
    return ::posix_fadvise(fd, static_cast<off_t>(offset), static_cast<off_t>(length), POSIX_FADV_WILLNEED) == 0;
}

bool ReadOnlyWhatIsAsked(int fd) { return ::posix_fadvise(fd, 0, 0, POSIX_FADV_RANDOM) == 0; }

bool CloseFile(int fd) {
    // Not retried on EINTR: the descriptor is gone either way on this
    // platform, and a second close could hit a descriptor opened meanwhile.
    return ::close(fd) == 0;
}

bool RemoveFile(const char* path) {
    if (!path) {
        errno = EINVAL;
        return false;
    }
    return ::unlink(path) == 0;
}

bool MakeTempFile(const char* prefix, char* out, size_t outSize) {
    if (!out || outSize == 0) return false;
    const char* dir = std::getenv("TMPDIR");
    if (!dir || !*dir) dir = "/tmp";
    char stem[4] = {0, 0, 0, 0};
    if (prefix) std::strncpy(stem, prefix, 3);
    // A slash in the prefix would put the file somewhere else.
    for (char& c : stem) {
        if (c == '/') c = '_';
    }
    size_t dirLength = std::strlen(dir);
    const char* separator = (dirLength && dir[dirLength - 1] == '/') ? "" : "/";
    char name[4096];
    int length = std::snprintf(name, sizeof name, "%s%s%sXXXXXX", dir, separator, stem);
    if (length < 0 || static_cast<size_t>(length) >= sizeof name || static_cast<size_t>(length) >= outSize) {
        errno = ENAMETOOLONG;
        return false;
    }
    int fd = ::mkostemp(name, O_CLOEXEC);
    if (fd < 0) return false;
    ::close(fd);
    std::memcpy(out, name, static_cast<size_t>(length) + 1);
    return true;
}

}  // namespace platform
