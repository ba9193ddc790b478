// The advisory whole-file locks by which the module's opens of one container
// keep out of one another's way, as cont takes them itself: every open
// holds a shared lock, and one that needs the file to itself (to add to
// it, to empty it, to write back a repair) takes an exclusive one and is
// refused while any other open holds a lock.
#ifndef CONT_CONTAINER_LOCK_H
#define CONT_CONTAINER_LOCK_H

#include <string>

namespace cont {

// True when another open holds a lock on the file at path.
bool HeldByAnother(const std::string& path);

// Keeps writers away from a container while cont rewrites it: taken only
// when no other open holds the file, then kept shared, so that readers
// (the module's own opens among them) come in and anyone who needs the
// file to itself is refused until the hold ends.
class ContainerHold {
public:
    ContainerHold() = default;
    ContainerHold(const ContainerHold&) = delete;
    ContainerHold& operator=(const ContainerHold&) = delete;
    ~ContainerHold();

    // False with the reason when the file cannot be opened, or another
    // open holds it (then `held` is set).
    bool Take(const std::string& path, bool* held, std::string* reason);

private:
    int fd_ = -1;
};

}  // namespace cont

#endif
