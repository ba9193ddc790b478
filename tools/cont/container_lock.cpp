#include "container_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "errors.h"

namespace cont {

namespace {

int Flock(int fd, int operation) {
    int rc;
    do {
        rc = flock(fd, operation | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    return rc;
}

// How long TakeAlone waits for readers, looking this often.
constexpr int kAloneTries = 100;
constexpr std::chrono::milliseconds kAloneWait(20);

}  // namespace

ContainerHold::~ContainerHold() {
    if (fd_ >= 0) close(fd_);
    if (watch_ >= 0) close(watch_);
}

bool ContainerHold::Take(const std::string& path, bool* held, std::string* reason) {
    *held = false;
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *reason = SystemReason("cannot open the container");
        return false;
    }
    // Taken alone first, so that no one else has it; then shared on the
    // same descriptor, which never leaves the file without this lock.
    if (Flock(fd, LOCK_EX) != 0 || Flock(fd, LOCK_SH) != 0) {
        *held = errno == EWOULDBLOCK;
        *reason = *held ? "is open in another program" : SystemReason("cannot lock the container");
        close(fd);
        return false;
    }
    // The file held, whatever the path names by now.
    const int watch = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    const std::string opened = "/proc/self/fd/" + std::to_string(fd);
    if (watch < 0 || inotify_add_watch(watch, opened.c_str(), IN_MODIFY) < 0) {
        *reason = SystemReason("cannot watch the container for changes");
        if (watch >= 0) close(watch);
        close(fd);
        return false;
    }
    if (fd_ >= 0) close(fd_);
    if (watch_ >= 0) close(watch_);
    fd_ = fd;
    watch_ = watch;
    return true;
}

bool ContainerHold::Written() {
    alignas(struct inotify_event) char events[4096];
    const ssize_t got = read(watch_, events, sizeof events);
    // Any event is a write (or an overflow of them); nothing to read is
    // EAGAIN.
    return got != -1 || errno != EAGAIN;
}

ContainerHold::LastLook ContainerHold::TakeAlone(const std::string& path) {
    // A lock changed from shared to exclusive is let go first, and stays
    // let go when the change is refused; a write made meanwhile is seen all
    // the same.
    bool alone = false;
    for (int tries = 0; !(alone = Flock(fd_, LOCK_EX) == 0) && errno == EWOULDBLOCK && ++tries < kAloneTries;)
        std::this_thread::sleep_for(kAloneWait);
    if (!alone) return LastLook::kHeld;
    struct stat held, named;
    const bool same = fstat(fd_, &held) == 0 && stat(path.c_str(), &named) == 0 && held.st_dev == named.st_dev &&
                      held.st_ino == named.st_ino;
    return same && !Written() ? LastLook::kUnchanged : LastLook::kChanged;
}

}  // namespace cont
