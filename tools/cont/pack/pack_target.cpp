#include "pack/pack_target.h"

#include <fcntl.h>
#include <qlx/result.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "container_lock.h"
#include "errors.h"
#include "local_files.h"
#include "pack/replacement_directory.h"

namespace cont {

namespace {

// A container that a program is writing has its clean flag at 0 and is
// held open, with a lock, by that program. (A container left unclean by a
// crash is held by no one and may be replaced.) The lock is looked at
// first, so the module reads the flag only of a file another program holds,
// and it repairs no file that another program holds: the old container
// stays as it is.
bool BeingWritten(const std::string& path, Module& module) {
    if (!HeldByAnother(path)) return false;
    Container container;
    Inspection inspection;
    (void)container.Open(module, path);
    return container.Inspect(&inspection).ok() && inspection.clean == 0;
}

// Makes the new directory entries under `dir` last through a crash.
void SyncDirectory(const std::string& dir) {
    const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    fsync(fd);
    close(fd);
}

}  // namespace

int32_t PackTarget::Prepare(const std::string& out, bool replace, bool disposable, std::string* reason) {
    out_ = out;
    struct stat existing;
    if (lstat(out.c_str(), &existing) == 0) {
        if (S_ISLNK(existing.st_mode)) {
            *reason = "is a symbolic link; cont writes a container only at a path of its own, never through a link";
            return RES_OPEN_FAILED;
        }
        if (S_ISDIR(existing.st_mode)) {
            *reason = "is a directory";
            return RES_OPEN_FAILED;
        }
        if (!S_ISREG(existing.st_mode)) {
            *reason = "exists and is not a regular file";
            return RES_OPEN_FAILED;
        }
        if (!replace) {
            *reason = "exists; packing would empty it (use --force to replace it)";
            return E_ACCESSDENIED;
        }
        return PrepareReplacement(existing.st_mode & 07777, disposable, reason);
    }
    if (errno != ENOENT) {
        *reason = "cannot create the container";
        return ResultFromErrno(errno);
    }
    return PrepareNew(reason);
}

int32_t PackTarget::PrepareNew(std::string* reason) {
    // O_EXCL also refuses a symbolic link, dangling or not, at the path.
    const int fd = open(out_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) {
        const int code = errno;
        if (code == EEXIST) {
            *reason = "exists; packing would empty it (use --force to replace it)";
            return E_ACCESSDENIED;
        }
        *reason = "cannot create the container";
        return ResultFromErrno(code);
    }
    return Adopt(fd, out_, reason);
}

int32_t PackTarget::PrepareReplacement(mode_t mode, bool disposable, std::string* reason) {
    if (BeingWritten(out_, module_)) {
        *reason =
            "is open in another program and was not closed cleanly: it may still be being written, "
            "and replacing it would lose what that program writes next";
        return E_ACCESSDENIED;
    }
    ClearStaleReplacements(out_);
    const int32_t made = tempDir_.Make(out_, disposable, reason);
    if (QLX_FAILED(made)) return made;
    replacing_ = true;
    mode_ = mode;
    const std::string path = JoinPath(tempDir_.path(), BaseName(out_));
    // Writable by its owner while it is made; it takes the old file's
    // permissions when it replaces it.
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        const int code = errno;
        *reason = "cannot create the new container";
        tempDir_.Remove();
        return ResultFromErrno(code);
    }
    return Adopt(fd, path, reason);
}

int32_t PackTarget::Adopt(int fd, const std::string& path, std::string* reason) {
    struct stat st;
    const bool known = fstat(fd, &st) == 0;
    const int code = errno;
    close(fd);
    if (!known) {
        *reason = "cannot look at the new container";
        unlink(path.c_str());
        if (replacing_) tempDir_.Remove();
        return ResultFromErrno(code);
    }
    device_ = st.st_dev;
    inode_ = st.st_ino;
    writePath_ = path;
    return S_OK;
}

bool PackTarget::StillOurs(const std::string& path, off_t* size) const {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || st.st_dev != device_ || st.st_ino != inode_) return false;
    *size = st.st_size;
    return true;
}

bool PackTarget::Commit(std::string* reason) {
    if (!replacing_) return true;
    const int fd = open(writePath_.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        *reason = SystemReason("cannot reopen the new container");
        return false;
    }
    // On the disk before its name replaces the old one: a crash then leaves
    // one whole container or the other.
    const bool synced = fsync(fd) == 0 && fchmod(fd, mode_) == 0;
    const int code = errno;
    close(fd);
    if (!synced) {
        errno = code;
        *reason = SystemReason("cannot flush the new container to the disk");
        return false;
    }
    if (rename(writePath_.c_str(), out_.c_str()) != 0) {
        *reason = SystemReason("cannot put the new container in place");
        return false;
    }
    tempDir_.Remove();
    SyncDirectory(ParentOf(out_));
    return true;
}

PackTarget::Fate PackTarget::Abandon(bool keep) {
    off_t size = 0;
    if (!replacing_) {
        // Someone else's file by now is not ours to judge.
        if (!StillOurs(writePath_, &size)) return {"", false};
        if (size != 0) return {"what reached the disk is kept", true};
        unlink(writePath_.c_str());
        return {"nothing reached the disk; the empty file was removed", false};
    }
    if (keep) {
        // Never to be taken for debris a later run may throw away.
        tempDir_.Unmark();
        return {"it is left as it was; the new container is kept at " + writePath_, true};
    }
    if (StillOurs(writePath_, &size)) unlink(writePath_.c_str());
    tempDir_.Remove();
    return {"it is left as it was", false};
}

}  // namespace cont
