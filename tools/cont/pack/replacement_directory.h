// The private directory beside a container in which its replacement is
// made (pack --force, compact): ".cont-pack-" and six random characters,
// holding the new container under the old one's file name until it is
// renamed over the old one.
//
// A run that is killed leaves its directory behind. So that a later run
// can tell such debris from a directory still in use, and know what it may
// throw away:
//   - the run that makes a directory holds an exclusive lock (flock) on it
//     from the start to its end; the kernel lets go of it when the run
//     dies, however it dies;
//   - a run whose new container can be made again (compact, pack --force
//     of regular files) marks its directory, once locked, with a file
//     ".cont-disposable" holding the container's file name. A replacement
//     holding bytes that cannot be read again (from a pipe) is never
//     marked, and a kept one loses its mark.
// A directory beside the container that no run holds, marked for that
// container and holding nothing but its copy, is proved stale and removed;
// one that holds the container's name unmarked (made by an earlier cont, or
// kept on purpose) is only listed.
#ifndef CONT_REPLACEMENT_DIRECTORY_H
#define CONT_REPLACEMENT_DIRECTORY_H

#include <stdint.h>

#include <string>

namespace cont {

class ReplacementDirectory {
public:
    ReplacementDirectory() = default;
    ReplacementDirectory(const ReplacementDirectory&) = delete;
    ReplacementDirectory& operator=(const ReplacementDirectory&) = delete;
    // Lets go of the lock; the directory stays as it is.
    ~ReplacementDirectory();

    // Makes, locks and (when `disposable`) marks a new directory beside
    // the container at `container`. S_OK, or the failure with the reason,
    // nothing left.
    int32_t Make(const std::string& container, bool disposable, std::string* reason);
    const std::string& path() const { return path_; }

    // What it holds will not be thrown away: the mark goes.
    void Unmark();
    // Removes the directory, emptied of its mark; one holding anything
    // else stays.
    void Remove();

private:
    std::string path_;
    int fd_ = -1;  // the directory, locked
};

// The directories stale runs left beside the container at `container`:
// each one proved stale is removed, each other one that may be its debris
// is named on standard error. Nothing else is touched.
void ClearStaleReplacements(const std::string& container);

}  // namespace cont

#endif
