#include "container_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

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

}  // namespace

bool HeldByAnother(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    const bool held = Flock(fd, LOCK_EX) != 0 && errno == EWOULDBLOCK;
    close(fd);
    return held;
}

ContainerHold::~ContainerHold() {
    if (fd_ >= 0) close(fd_);
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
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
    return true;
}

}  // namespace cont
