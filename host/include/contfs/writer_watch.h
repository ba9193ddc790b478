// An entry that another program is still writing, followed as it grows, the
// way `tail -f` follows a file.
//
// The module reads a container's directory once per open, so a follower
// opens the container anew for each reading, takes what the entry gained
// since the last one, and lets go of all of it before it looks again: while
// this process holds the container, a new open joins it rather than reading
// the directory again, and the lock it holds would hide the writer's. A
// WriterWatch tells, before each reading, how the writer stands, and sleeps
// between readings until the container file changes. Since each reading
// opens the path anew, it also makes sure the path still names the file
// (device and inode) the entry was first found in: an entry of the same
// name in a container renamed over it is another entry.
#ifndef CONTFS_WRITER_WATCH_H
#define CONTFS_WRITER_WATCH_H

#include <contfs/inspection.h>
#include <contfs/module.h>
#include <sys/stat.h>

#include <string>

namespace contfs {

// True when another open, in any process, holds the module's lock on the
// file at `path` (every open of a container holds one): while a program
// writes a container, it holds it.
bool HeldByAnother(const std::string& path);

class WriterWatch {
public:
    enum class State {
        kWriting,    // the writer is at work: the entry may grow
        kClosed,     // it closed the container cleanly: a reading now gives the entry whole
        kGone,       // it went away without closing it: a reading now gives what reached the disk
        kReplaced,   // (Opened) the path names another file than the one the entry was found in: stop
        kLookAgain,  // (Opened) the file changed between the look and the open, before the entry was found
    };

    WriterWatch() = default;
    WriterWatch(const WriterWatch&) = delete;
    WriterWatch& operator=(const WriterWatch&) = delete;
    ~WriterWatch();

    // Starts watching the container at `path` (as a person writes it), to
    // be opened through `module`. False with the reason when the system
    // cannot watch it.
    bool Start(Module& module, const std::string& path, std::string* why);

    // Before each reading, while this process holds nothing of the
    // container: how the writer stands (kWriting, kClosed or kGone).
    State Look();
    // Once the reading has opened the container and the entry, with what
    // inspecting the container gave: how the writer stands for this
    // reading (the writer may have gone between the look and the open,
    // which then repaired the container), or kReplaced or kLookAgain, after
    // which the reading must serve nothing.
    State Opened(const Inspection& opened);

    // Sleeps until the container file changes (at once when it changed
    // since the last call), until a while has passed in which a change may
    // have gone unseen, or until Interrupt. False when interrupted.
    bool Wait();
    // Ends the current Wait, from any thread, and makes every later one
    // return at once until Resume.
    void Interrupt();
    void Resume();

private:
    State Stands() const;
    bool Watch();
    void Pin();
    void Unpin();

    Module* module_ = nullptr;
    std::string path_;
    int changes_ = -1;    // inotify
    int watch_ = -1;
    int interrupt_ = -1;  // eventfd
    bool writing_ = false;
    bool closed_ = false;
    // One of this follower's own openings found the container not closed
    // cleanly and nobody holding it, and repaired it (which sets the clean
    // flag): its writer went away without closing it. Remembered, since
    // from then on the flag no longer says so.
    bool abandoned_ = false;
    // The file the entry was first found in, held open (without a lock,
    // which the module's opens would heed) so that no other file can take
    // its device and inode; until the entry is found, whatever file the
    // path names at each look.
    int pinned_ = -1;
    struct stat pinnedStat_ = {};
    bool found_ = false;
};

}  // namespace contfs

#endif
