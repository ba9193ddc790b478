// The advisory whole-file locks by which the module's opens of one container
// keep out of one another's way, as cont takes them itself: every open
// holds a shared lock, and one that needs the file to itself (to add to
// it, to empty it, to write back a repair) takes an exclusive one and is
// refused while any other open holds a lock.
#ifndef CONT_CONTAINER_LOCK_H
#define CONT_CONTAINER_LOCK_H

#include <string>

#include "host_library.h"  // HeldByAnother, which tells whether another open holds one

namespace cont {

// Keeps writers away from a container while cont rewrites it: taken only
// when no other open holds the file, then kept shared, so that readers
// (the module's own opens among them) come in and anyone who needs the
// file to itself is refused until the hold ends.
//
// An open that only removes entries needs no more than a shared lock, and
// so may still write to the file meanwhile: every write to it from Take on
// is noticed (inotify, on the very file held), and before the rewritten
// container replaces it the hold takes the file alone for the last look.
class ContainerHold {
public:
    ContainerHold() = default;
    ContainerHold(const ContainerHold&) = delete;
    ContainerHold& operator=(const ContainerHold&) = delete;
    ~ContainerHold();

    // False with the reason when the file cannot be opened or watched, or
    // another open holds it (then `held` is set).
    bool Take(const std::string& path, bool* held, std::string* reason);

    enum class LastLook { kUnchanged, kChanged, kHeld };
    // Takes the file alone (an exclusive lock, kept until the hold ends, so
    // nothing changes it after this look), waiting a moment for readers
    // that came meanwhile to leave; kHeld when one stays. Then kUnchanged
    // when nothing wrote to it since Take and `path` still names it, else
    // kChanged. The program's own opens of the file must be closed first.
    LastLook TakeAlone(const std::string& path);

private:
    // True when a write to the file was seen since Take, or the watch
    // cannot tell.
    bool Written();

    int fd_ = -1;
    int watch_ = -1;  // an inotify descriptor
};

}  // namespace cont

#endif
