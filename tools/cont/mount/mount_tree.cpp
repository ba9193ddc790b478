#include "mount/mount_tree.h"

namespace cont {

namespace {

// The longest name one directory entry can have on this platform.
constexpr size_t kLongestLeaf = 255;

}  // namespace

uint64_t NodeNumbers::NumberOf(const std::string& path, NodeKind kind) {
    if (kind == NodeKind::kDirectory && path.empty()) return kRoot;
    auto [at, added] = numbers_.try_emplace({kind, path}, next_);
    if (added) ++next_;
    return at->second;
}

const char* WhyNotATreePath(const std::string& name) {
    // The kernel takes a directory entry's name up to its first zero byte:
    // "a\0x" and "a\0y" would both be shown as "a".
    if (name.find('\0') != std::string::npos) return "the name holds a zero byte";
    size_t start = 0;
    for (;;) {
        const size_t end = name.find('/', start);
        const size_t length = (end == std::string::npos ? name.size() : end) - start;
        if (length == 0) return "the name has an empty part (a leading, trailing or doubled '/')";
        if ((length == 1 && name[start] == '.') || (length == 2 && name.compare(start, 2, "..") == 0))
            return "the name has a part '.' or '..'";
        if (length > kLongestLeaf) return "a part of the name is longer than 255 bytes";
        if (end == std::string::npos) return nullptr;
        start = end + 1;
    }
}

MountTree::MountTree() {
    MountNode& root = nodes_[NodeNumbers::kRoot];
    root.id = NodeNumbers::kRoot;
    root.kind = NodeKind::kDirectory;
    directories_[""] = NodeNumbers::kRoot;
}

MountNode& MountTree::Add(uint64_t id, NodeKind kind, const std::string& path, MountNode& parent) {
    MountNode& node = nodes_[id];
    node.id = id;
    node.kind = kind;
    node.path = path;
    const size_t slash = path.rfind('/');
    node.leaf = slash == std::string::npos ? path : path.substr(slash + 1);
    parent.children.push_back(id);
    if (kind == NodeKind::kDirectory) ++parent.subdirectories;
    return node;
}

void MountTree::Build(const std::vector<std::string>& names, NodeNumbers& numbers,
                      std::vector<std::pair<std::string, std::string>>* left) {
    for (const std::string& name : names) {
        if (const char* why = WhyNotATreePath(name)) {
            left->emplace_back(name, why);
            continue;
        }
        if (files_.count(name)) continue;  // listed twice: one file
        MountNode* parent = &nodes_[NodeNumbers::kRoot];
        for (size_t slash = name.find('/'); slash != std::string::npos; slash = name.find('/', slash + 1)) {
            const std::string prefix = name.substr(0, slash);
            auto found = directories_.find(prefix);
            if (found != directories_.end()) {
                parent = &nodes_[found->second];
                continue;
            }
            const uint64_t id = numbers.NumberOf(prefix, NodeKind::kDirectory);
            parent = &Add(id, NodeKind::kDirectory, prefix, *parent);
            directories_[prefix] = id;
        }
        const uint64_t id = numbers.NumberOf(name, NodeKind::kFile);
        Add(id, NodeKind::kFile, name, *parent);
        files_[name] = id;
    }

    // An entry "a" beside entries "a/...": the directory is shown, since it
    // holds more than the one file would.
    for (auto file = files_.begin(); file != files_.end();) {
        if (!directories_.count(file->first)) {
            ++file;
            continue;
        }
        const std::string& path = file->first;
        const size_t slash = path.rfind('/');
        MountNode& parent = nodes_[directories_[slash == std::string::npos ? std::string() : path.substr(0, slash)]];
        std::vector<uint64_t>& siblings = parent.children;
        for (auto it = siblings.begin(); it != siblings.end(); ++it) {
            if (*it == file->second) {
                siblings.erase(it);
                break;
            }
        }
        left->emplace_back(path, "a directory of the same name holds other entries");
        nodes_.erase(file->second);
        file = files_.erase(file);
    }
}

const MountNode* MountTree::Find(uint64_t id) const {
    auto found = nodes_.find(id);
    return found == nodes_.end() ? nullptr : &found->second;
}

const MountNode* MountTree::FindFile(const std::string& path) const {
    auto found = files_.find(path);
    return found == files_.end() ? nullptr : Find(found->second);
}

const MountNode* MountTree::Child(const MountNode& directory, const std::string& leaf) const {
    if (directory.kind != NodeKind::kDirectory) return nullptr;
    const std::string path = directory.path.empty() ? leaf : directory.path + "/" + leaf;
    auto found = directories_.find(path);
    if (found == directories_.end()) {
        found = files_.find(path);
        if (found == files_.end()) return nullptr;
    }
    return Find(found->second);
}

}  // namespace cont
