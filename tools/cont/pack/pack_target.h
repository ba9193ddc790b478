// Where `cont pack` puts the container it makes (and `cont compact` the
// rewritten one), so that no failure costs a file the user did not ask to
// lose.
//
// A new container is created at its own path, exclusively (an existing
// name, a dangling symbolic link included, is never taken over), and grows
// there as it is written: a pack that fails or is killed leaves what reached
// the disk, readable, under the name the user gave.
//
// A replacement (pack --force, compact) is made in a private directory
// beside the old container (replacement_directory.h), under the old
// container's own file name (the module stores that name as the
// container's title), and renamed over the old one only once it is
// complete; until then the old container stays whole.
#ifndef CONT_PACK_TARGET_H
#define CONT_PACK_TARGET_H

#include <stdint.h>
#include <sys/types.h>

#include <string>

#include "host_library.h"
#include "pack/replacement_directory.h"

namespace cont {

class PackTarget {
public:
    // The module tells whether an existing container is still being written.
    explicit PackTarget(Module& module) : module_(module) {}
    PackTarget(const PackTarget&) = delete;
    PackTarget& operator=(const PackTarget&) = delete;

    // Claims the place for the container at `out`; with `replace`, an
    // existing regular file there may be replaced, and what stale runs
    // left beside it is cleared first (replacement_directory.h).
    // `disposable` when the new container can be made again (its inputs
    // can be read again), so that a run killed while making it leaves
    // debris a later run may remove. S_OK, or a failure with the reason
    // when nothing was made.
    int32_t Prepare(const std::string& out, bool replace, bool disposable, std::string* reason);

    // The file the module is to write: `out` itself, or the new container
    // beside it.
    const std::string& writePath() const { return writePath_; }
    bool replacing() const { return replacing_; }

    // Puts a complete container in place: a replacement is flushed to the
    // disk and renamed over the old container. False with the reason when
    // the old container could not be replaced (it is then still whole).
    bool Commit(std::string* reason);

    // What Abandon did: a sentence for the user, and whether the file
    // written stays.
    struct Fate {
        std::string said;
        bool kept = false;
    };
    // After a failure. A new container that holds nothing is removed; one
    // that holds something stays. A replacement is removed unless `keep`
    // (it holds bytes that cannot be read again); then it stays where it is.
    Fate Abandon(bool keep);

private:
    int32_t PrepareNew(std::string* reason);
    int32_t PrepareReplacement(mode_t mode, bool disposable, std::string* reason);
    // Takes the file just created at `path` as the one to write.
    int32_t Adopt(int fd, const std::string& path, std::string* reason);
    // Whether `path` is still the file this run created.
    bool StillOurs(const std::string& path, off_t* size) const;

    Module& module_;
    std::string out_;
    std::string writePath_;
    ReplacementDirectory tempDir_;
    bool replacing_ = false;
    mode_t mode_ = 0;  // the old container's permissions
    dev_t device_ = 0;
    ino_t inode_ = 0;
};

}  // namespace cont

#endif
