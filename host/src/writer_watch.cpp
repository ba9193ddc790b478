#include <contfs/container.h>
#include <contfs/writer_watch.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace contfs {

namespace {

// A change missed by the watch (the file replaced under its name, a file
// system inotify does not see into) is still noticed this often.
constexpr int kRecheckMs = 2000;

// The clean flag as the module found it, before any repair it makes of a
// container nobody holds; *repaired tells whether this opening made such a
// repair.
bool ClosedCleanly(Module& module, const std::string& path, bool* repaired) {
    Container container;
    Inspection inspection;
    const bool inspected = container.Open(module, path).ok() && container.Inspect(&inspection).ok();
    *repaired = inspected && inspection.writtenBack;
    return inspected && inspection.clean > 0;
}

}  // namespace

bool HeldByAnother(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    int rc;
    do {
        rc = flock(fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    const bool held = rc != 0 && errno == EWOULDBLOCK;
    close(fd);
    return held;
}

WriterWatch::~WriterWatch() {
    if (changes_ >= 0) close(changes_);
    if (interrupt_ >= 0) close(interrupt_);
    Unpin();
}

bool WriterWatch::Start(Module& module, const std::string& path, std::string* why) {
    module_ = &module;
    path_ = path;
    writing_ = closed_ = abandoned_ = found_ = false;
    Unpin();
    if (changes_ < 0) changes_ = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (interrupt_ < 0) interrupt_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (changes_ < 0 || interrupt_ < 0 || !Watch()) {
        if (why) *why = std::string("cannot watch the container for changes: ") + std::strerror(errno);
        return false;
    }
    return true;
}

WriterWatch::State WriterWatch::Look() {
    if (!found_) Pin();
    // In this order: a writer sets the clean flag before it lets go of the
    // file, so a container that is neither held nor clean was left by a
    // writer that never closed it.
    writing_ = HeldByAnother(path_);
    bool repaired = false;
    closed_ = ClosedCleanly(*module_, path_, &repaired);
    abandoned_ = abandoned_ || repaired;
    return Stands();
}

WriterWatch::State WriterWatch::Opened(const Inspection& opened) {
    // The module opened the file the path names now; its entry is the one
    // followed only while that is the file the entry was found in. (A file
    // still at the path after this opening was there for the look too.)
    struct stat now;
    if (pinned_ < 0 || stat(path_.c_str(), &now) != 0 || now.st_dev != pinnedStat_.st_dev ||
        now.st_ino != pinnedStat_.st_ino)
        return found_ ? State::kReplaced : State::kLookAgain;
    found_ = true;
    abandoned_ = abandoned_ || opened.writtenBack;
    return Stands();
}

WriterWatch::State WriterWatch::Stands() const {
    if (closed_ && !abandoned_) return State::kClosed;
    if (!writing_ || abandoned_) return State::kGone;
    return State::kWriting;
}

void WriterWatch::Pin() {
    Unpin();
    pinned_ = open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (pinned_ >= 0 && fstat(pinned_, &pinnedStat_) != 0) Unpin();
}

void WriterWatch::Unpin() {
    if (pinned_ >= 0) close(pinned_);
    pinned_ = -1;
}

bool WriterWatch::Wait() {
    struct pollfd ready[2] = {{changes_, POLLIN, 0}, {interrupt_, POLLIN, 0}};
    while (poll(ready, 2, kRecheckMs) < 0 && errno == EINTR) {
    }
    if (ready[1].revents & POLLIN) return false;
    bool gone = false;
    alignas(struct inotify_event) char events[4096];
    for (ssize_t got; (got = read(changes_, events, sizeof events)) > 0;) {
        for (ssize_t at = 0; at < got;) {
            const auto* event = reinterpret_cast<const struct inotify_event*>(events + at);
            gone = gone || (event->mask & (IN_MOVE_SELF | IN_DELETE_SELF)) != 0;
            at += static_cast<ssize_t>(sizeof(struct inotify_event) + event->len);
        }
    }
    // A container renamed over the old one is watched from now on.
    if (gone) Watch();
    return true;
}

void WriterWatch::Interrupt() {
    const uint64_t one = 1;
    if (interrupt_ >= 0) (void)!write(interrupt_, &one, sizeof one);
}

void WriterWatch::Resume() {
    uint64_t count = 0;
    if (interrupt_ >= 0) (void)!read(interrupt_, &count, sizeof count);
}

// Watches the file now at the path; the watch on a file that went away (or
// was renamed away) ends by itself. Writes are what count: the module's own
// opens and closes (an attempted repair among them) would wake the reading
// that made them.
bool WriterWatch::Watch() {
    const int watch = inotify_add_watch(changes_, path_.c_str(), IN_MODIFY | IN_MOVE_SELF | IN_DELETE_SELF);
    if (watch >= 0 && watch_ >= 0 && watch != watch_) inotify_rm_watch(changes_, watch_);
    if (watch >= 0) watch_ = watch;
    return watch >= 0;
}

}  // namespace contfs
