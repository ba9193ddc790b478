// The entries of a container laid out as a file tree for `cont mount`: an
// entry name's '/' separate directories, the last part is a regular file.
// Node numbers (the inode numbers the kernel sees) belong to a path and a
// kind for the whole life of the mount, so a listing read again after the
// container changed keeps the numbers of what is still there.
#ifndef CONT_MOUNT_TREE_H
#define CONT_MOUNT_TREE_H

#include <stdint.h>

#include <map>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace cont {

enum class NodeKind { kDirectory, kFile };

struct MountNode {
    uint64_t id = 0;
    NodeKind kind = NodeKind::kFile;
    std::string path;                // the entry name of a file; a directory's is the part before its entries' '/'
    std::string leaf;                // the last part of the path
    std::vector<uint64_t> children;  // directories: in the order the listing first names them
    uint32_t subdirectories = 0;
};

// Hands out node numbers: the same path and kind always get the same one.
class NodeNumbers {
public:
    static constexpr uint64_t kRoot = 1;  // the kernel's number for the mount's root
    uint64_t NumberOf(const std::string& path, NodeKind kind);

private:
    std::map<std::pair<NodeKind, std::string>, uint64_t> numbers_;
    uint64_t next_ = kRoot + 1;
};

// Why an entry name has no place in a file tree (an empty part, "." or
// "..", a part longer than a file name may be, a zero byte), or null when
// it has one.
const char* WhyNotATreePath(const std::string& name);

// One listing of a container as a tree.
class MountTree {
public:
    MountTree();

    // Lays out `names`, in container order. A name that cannot be a path,
    // and a file hidden by a directory of the same name, is left out and
    // reported in `left` with the reason.
    void Build(const std::vector<std::string>& names, NodeNumbers& numbers,
               std::vector<std::pair<std::string, std::string>>* left);

    // Null when the number names nothing in this listing.
    const MountNode* Find(uint64_t id) const;
    // The file node of an entry name, or null.
    const MountNode* FindFile(const std::string& path) const;
    // The node called `leaf` in `directory`; a directory before a file.
    const MountNode* Child(const MountNode& directory, const std::string& leaf) const;

private:
    MountNode& Add(uint64_t id, NodeKind kind, const std::string& path, MountNode& parent);

    std::unordered_map<uint64_t, MountNode> nodes_;
    std::unordered_map<std::string, uint64_t> directories_;
    std::unordered_map<std::string, uint64_t> files_;
};

}  // namespace cont

#endif
