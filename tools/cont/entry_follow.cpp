#include "entry_follow.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "container_lock.h"
#include "container_session.h"
#include "errors.h"
#include "host_library.h"
#include "progress.h"
#include "standard_output.h"

namespace cont {

namespace {

// A change missed by the watch (the file replaced under its name, a file
// system inotify does not see into) is still noticed this often.
constexpr int kRecheckMs = 2000;

// Wakes on any change to the container file.
class ChangeWatch {
public:
    ChangeWatch() = default;
    ChangeWatch(const ChangeWatch&) = delete;
    ChangeWatch& operator=(const ChangeWatch&) = delete;
    ~ChangeWatch() {
        if (fd_ >= 0) close(fd_);
    }

    bool Start(const std::string& path, std::string* reason) {
        path_ = path;
        fd_ = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
        if (fd_ < 0 || !Watch()) {
            *reason = SystemReason("cannot watch the container for changes");
            return false;
        }
        return true;
    }

    // Returns once the file changed since the last call (at once when it
    // did meanwhile), or after kRecheckMs.
    void Wait() {
        struct pollfd ready = {fd_, POLLIN, 0};
        while (poll(&ready, 1, kRecheckMs) < 0 && errno == EINTR) {
        }
        bool gone = false;
        alignas(struct inotify_event) char events[4096];
        for (ssize_t got; (got = read(fd_, events, sizeof events)) > 0;) {
            for (ssize_t at = 0; at < got;) {
                const auto* event = reinterpret_cast<const struct inotify_event*>(events + at);
                gone = gone || (event->mask & (IN_MOVE_SELF | IN_DELETE_SELF)) != 0;
                at += static_cast<ssize_t>(sizeof(struct inotify_event) + event->len);
            }
        }
        // A container renamed over the old one is watched from now on.
        if (gone) Watch();
    }

private:
    // Watches the file now at the path; the watch on a file that went away
    // (or was renamed away) ends by itself. Writes are what count: the
    // module's own opens and closes (an attempted repair among them) would
    // wake the reading that made them.
    bool Watch() {
        const int watch = inotify_add_watch(fd_, path_.c_str(), IN_MODIFY | IN_MOVE_SELF | IN_DELETE_SELF);
        if (watch >= 0 && watch_ >= 0 && watch != watch_) inotify_rm_watch(fd_, watch_);
        if (watch >= 0) watch_ = watch;
        return watch >= 0;
    }

    std::string path_;
    int fd_ = -1;
    int watch_ = -1;
};

// The container file an entry is followed in, held open (without a lock,
// which the module's opens would heed) so that no other file can take its
// device and inode while the follower runs.
class PinnedFile {
public:
    PinnedFile() = default;
    PinnedFile(const PinnedFile&) = delete;
    PinnedFile& operator=(const PinnedFile&) = delete;
    ~PinnedFile() { Release(); }

    // Holds the file the path names now (none when it cannot be opened).
    void Pin(const std::string& path) {
        Release();
        fd_ = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd_ >= 0 && fstat(fd_, &pinned_) != 0) Release();
    }
    // True when the path names the pinned file.
    bool StillAt(const std::string& path) const {
        struct stat now;
        return fd_ >= 0 && stat(path.c_str(), &now) == 0 && now.st_dev == pinned_.st_dev &&
               now.st_ino == pinned_.st_ino;
    }

private:
    void Release() {
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
    }

    int fd_ = -1;
    struct stat pinned_ = {};
};

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

int FollowEntry(Module& module, const std::string& path, const std::string& name, uint64_t offset,
                uint64_t length, bool quiet) {
    std::string reason;
    ChangeWatch watch;
    if (!watch.Start(path, &reason)) return FailPlain(Place{path, {}}, reason);
    const uint64_t limit = length > UINT64_MAX - offset ? UINT64_MAX : offset + length;
    uint64_t position = offset;
    Progress progress("following", Progress::kUnknownTotal, quiet);
    // One of our own openings found the container not closed cleanly and
    // nobody holding it, and repaired it (which sets the clean flag): its
    // writer went away without closing it. Remembered, since from then on
    // the flag no longer says so.
    bool abandoned = false;
    // The file the entry was first found in; until then, whatever file the
    // path names is looked at.
    PinnedFile pinned;
    bool found = false;
    for (;;) {
        if (!found) pinned.Pin(path);
        // In this order: a writer sets the clean flag before it lets go of
        // the file, so a container that is neither held nor clean was left
        // by a writer that never closed it.
        const bool writing = HeldByAnother(path);
        bool repaired = false;
        const bool closed = ClosedCleanly(module, path, &repaired);
        abandoned = abandoned || repaired;
        // The last reading reports every failure; one while the writer is
        // still at work waits for a container or an entry not there yet.
        const bool last = closed || !writing || abandoned;
        {
            ContainerSession session(module, path);
            EntryFile entry;
            int status = kExitOk;
            if (last) {
                if ((status = session.Open()) != kExitOk || (status = session.OpenEntry(name, &entry)) != kExitOk)
                    return status;
            } else if (!session.OpenQuietly() || QLX_FAILED(session.OpenEntryQuietly(name, &entry))) {
                watch.Wait();
                continue;
            }
            // The module opened the file the path names now; its entry is
            // the one followed only while that is the file the entry was
            // found in. (A file still at the path after this opening was
            // there for the looks above too.)
            if (!pinned.StillAt(path)) {
                if (found)
                    return FailPlain(Place{path, name}, "the container file was replaced by another (or removed) while "
                                                        "the entry was followed; stopped at byte " +
                                                            std::to_string(position));
                continue;
            }
            found = true;
            // The writer may have gone between the looks above and this
            // opening, which then repaired the container.
            Inspection opened;
            abandoned = abandoned || (session.Inspect(&opened) && opened.writtenBack);
            uint64_t size = 0;
            int32_t result = entry.Size(&size);
            if (QLX_FAILED(result)) return Fail(session.place(name), "cannot stat the entry", result);
            const uint64_t end = size < limit ? size : limit;
            if (position > end && last)
                return Fail(session.place(name),
                            "offset " + std::to_string(offset) + " lies past the end (" + std::to_string(size) +
                                " bytes)", E_INVALIDARG);
            if (position < end) {
                if (QLX_FAILED(result = entry.Seek(position)))
                    return Fail(session.place(name), "cannot seek to byte " + std::to_string(position), result);
                status = session.ReadThrough(entry, name, end, [&](const std::vector<uint8_t>& piece) {
                    if (!WriteOut(piece.data(), piece.size(), &reason)) return false;
                    progress.Advance(piece.size());
                    return true;
                });
                if (status != kExitOk) return status;
                position = end;
            }
            // Before the wait, so that a reader at the other end of a pipe
            // has every byte read so far.
            FlushOut();
            if (OutputFailed(&reason)) return kExitFailure;  // said as cont ends
        }
        if (position >= limit) return kExitOk;
        if (closed && !abandoned) return kExitOk;
        if (!writing || abandoned)
            return FailPlain(Place{path, name}, "no program writes the container any more, but it was not closed "
                                                "cleanly: the entry ends at byte " + std::to_string(position));
        watch.Wait();
    }
}

}  // namespace cont
