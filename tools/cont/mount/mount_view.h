// What `cont mount` shows of a container, kept apart from the FUSE calls
// that ask for it: the entry tree, the attributes of its nodes, and the
// open files with their reads. Failures are errno values, as a file system
// reports them.
//
// The module reads a container's directory once per open container object,
// so a container another process is still writing is followed by reading
// it again: before a lookup, a stat, a listing or an open, and before a
// read that reaches the end known so far, the container file's identity,
// size and times are compared with those seen when it was last read, and
// on any difference every object of the old reading is released and the
// container is opened anew. All of them must go first: the module joins
// any file object opened on the same path to a container object still
// alive, whose directory would be the old one.
//
// One thread at a time: the module's registry of open containers is not
// locked.
#ifndef CONT_MOUNT_VIEW_H
#define CONT_MOUNT_VIEW_H

#include <stdint.h>
#include <sys/stat.h>

#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "container_session.h"
#include "host_library.h"
#include "mount/mount_tree.h"

namespace cont {

// The container file as stat saw it. Two stamps are equal when the file
// is the same one, of the same size and times: then a reading of it still
// holds.
struct ContainerStamp {
    struct stat seen {};
    bool valid = false;
    // False when the file cannot be stat'ed.
    bool Take(const std::string& path);
    bool operator==(const ContainerStamp& other) const;
};

struct DirectoryItem {
    std::string name;
    uint64_t id;
    bool directory;
};

// Bytes of one read, held in the module's own buffer until this goes away.
struct ReadPiece {
    Ref<IQLXBuffer> buffer;
    const uint8_t* bytes = nullptr;
    uint32_t length = 0;
};

class MountView {
public:
    explicit MountView(Module& module) : module_(module) {}
    MountView(const MountView&) = delete;
    MountView& operator=(const MountView&) = delete;
    ~MountView() { ReleaseAll(); }

    // Reads the container for the first time. Prints why it cannot and
    // returns kExitFailure when it is missing, not a container, or damaged
    // beyond listing.
    int Open(const std::string& userPath);
    // The container's absolute path, once open.
    const std::string& path() const { return path_; }

    // Reads the container again when its file changed since the last time.
    void Refresh();

    // Lays out a listing of the container as the current reading's tree.
    // Each entry that cannot be shown (no URL opens it, its name is no
    // path, a directory of the same name hides it) is warned of once and
    // given in `left`, when asked for, with the reason.
    void Show(const std::vector<ListedEntry>& entries,
              std::vector<std::pair<std::string, std::string>>* left = nullptr);

    int Lookup(uint64_t parent, const std::string& leaf, struct stat* attributes);
    int Attributes(uint64_t id, struct stat* attributes);
    // The directory's entries now, "." and ".." first.
    int List(uint64_t id, std::vector<DirectoryItem>* items);

    // Opens the entry a file node stands for; `handle` names it afterwards.
    // `keepCache` tells whether pages the kernel holds from earlier opens
    // are still the entry's bytes: true while the container is still the
    // reading those opens read from.
    int OpenFile(uint64_t id, uint64_t* handle, bool* keepCache);
    // Up to `size` bytes from `offset`: one Seek64 and one Read on the
    // file's own object. Nothing at or past the end.
    int Read(uint64_t handle, uint64_t offset, uint32_t size, ReadPiece* piece);
    void CloseFile(uint64_t handle);

    // Releases every object of the module the view holds.
    void ReleaseAll();

private:
    struct Reading {
        uint64_t number = 0;
        ContainerStamp stamp;
        std::unique_ptr<ContainerSession> session;  // null when the container could not be read
        MountTree tree;
        std::unordered_map<std::string, uint64_t> sizes;  // of the entries asked for so far
    };
    struct OpenEntry {
        std::string name;
        uint64_t reading = 0;  // the reading `file` belongs to
        uint64_t size = 0;     // the entry's size in that reading
        EntryFile file;
    };

    // Lists the container an opened session holds and makes it the current reading.
    int Install(std::unique_ptr<ContainerSession> session, const ContainerStamp& stamp);
    int NodeAttributes(const MountNode& node, struct stat* attributes);
    void FillAttributes(const MountNode& node, uint64_t size, struct stat* attributes) const;
    int EntrySize(const std::string& name, uint64_t* size);
    // Puts an open file on the current reading, reopening its entry there.
    int Follow(OpenEntry& file);
    void Warn(const std::string& name, const std::string& why);

    Module& module_;
    std::string path_;
    Reading reading_;
    uint64_t readings_ = 0;  // readings made so far; the current one's number
    NodeNumbers numbers_;
    std::unordered_map<uint64_t, std::unique_ptr<OpenEntry>> files_;
    // The reading in which each file node was last opened. Every open file
    // moves to the newest reading before it reads again, so once a node is
    // opened in the current reading, all the kernel caches of it from then
    // on comes from this reading.
    std::unordered_map<uint64_t, uint64_t> openedIn_;
    uint64_t nextHandle_ = 1;
    std::set<std::string> warned_;
};

}  // namespace cont

#endif
