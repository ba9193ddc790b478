#include "mount/mount_view.h"

#include <errno.h>

#include <algorithm>
#include <cstring>

#include "cont_url.h"
#include "errors.h"

namespace cont {

namespace {

// What cat and its kind size their reads by; one FUSE read request at most.
constexpr blksize_t kPreferredReadSize = 128 << 10;

bool SameTime(const timespec& a, const timespec& b) { return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec; }

}  // namespace

bool ContainerStamp::operator==(const ContainerStamp& other) const {
    return valid == other.valid && seen.st_dev == other.seen.st_dev && seen.st_ino == other.seen.st_ino &&
           seen.st_size == other.seen.st_size && SameTime(seen.st_mtim, other.seen.st_mtim) &&
           SameTime(seen.st_ctim, other.seen.st_ctim);
}

bool ContainerStamp::Take(const std::string& path) {
    valid = ::stat(path.c_str(), &seen) == 0;
    return valid;
}

int MountView::Open(const std::string& userPath) {
    ContainerStamp stamp;
    // Taken before the module reads the file, so a change during that read
    // shows as a change at the next look.
    stamp.Take(userPath);
    auto session = std::make_unique<ContainerSession>(module_, userPath);
    const int status = session->Open();
    if (status != kExitOk) return status;
    path_ = session->urlPath();
    return Install(std::move(session), stamp);
}

void MountView::Refresh() {
    ContainerStamp now;
    // A container file that is gone stays shown as it was last read: the
    // module still holds it open.
    if (!now.Take(path_) || now == reading_.stamp) return;
    for (auto& held : files_) held.second->file.Release();
    reading_ = Reading{};
    auto session = std::make_unique<ContainerSession>(module_, path_);
    if (session->Open() != kExitOk) {
        // Shown empty until the file changes again; the session said why.
        reading_.number = ++readings_;
        reading_.stamp = now;
        return;
    }
    Install(std::move(session), now);
}

int MountView::Install(std::unique_ptr<ContainerSession> session, const ContainerStamp& stamp) {
    reading_.number = ++readings_;
    reading_.stamp = stamp;
    std::vector<ListedEntry> entries;
    const int status = session->ListEntries(&entries);
    reading_.session = std::move(session);
    if (status != kExitOk) return status;

    Show(entries);
    return kExitOk;
}

void MountView::Show(const std::vector<ListedEntry>& entries, std::vector<std::pair<std::string, std::string>>* left) {
    std::vector<std::pair<std::string, std::string>> refused;
    std::vector<std::string> shown;
    for (const ListedEntry& entry : entries) {
        if (entry.problem.empty())
            shown.push_back(entry.name);
        else
            refused.emplace_back(entry.name, entry.problem);
    }
    reading_.tree.Build(shown, numbers_, &refused);
    for (const auto& [name, why] : refused) Warn(name, why);
    if (left) *left = std::move(refused);
}

void MountView::Warn(const std::string& name, const std::string& why) {
    if (!warned_.insert(name).second) return;
    FailPlain(Place{path_, name}, "not shown in the mount: " + why);
}

void MountView::FillAttributes(const MountNode& node, uint64_t size, struct stat* attributes) const {
    const struct stat& container = reading_.stamp.seen;
    *attributes = {};
    attributes->st_ino = node.id;
    attributes->st_uid = container.st_uid;
    attributes->st_gid = container.st_gid;
    attributes->st_atim = container.st_atim;
    attributes->st_mtim = container.st_mtim;
    attributes->st_ctim = container.st_ctim;
    attributes->st_blksize = kPreferredReadSize;
    // Whoever may read the container may read its entries; nobody writes.
    const mode_t readable = container.st_mode & 0444;
    if (node.kind == NodeKind::kDirectory) {
        attributes->st_mode = S_IFDIR | readable | (readable >> 2);
        attributes->st_nlink = 2 + node.subdirectories;
    } else {
        attributes->st_mode = S_IFREG | readable;
        attributes->st_nlink = 1;
        attributes->st_size = static_cast<off_t>(size);
        attributes->st_blocks = static_cast<blkcnt_t>((size + 511) / 512);
    }
}

int MountView::EntrySize(const std::string& name, uint64_t* size) {
    if (!reading_.session) return EIO;
    auto known = reading_.sizes.find(name);
    if (known != reading_.sizes.end()) {
        *size = known->second;
        return 0;
    }
    const int32_t result = reading_.session->EntrySize(name, size);
    if (QLX_FAILED(result)) {
        Fail(Place{path_, name}, "cannot stat the entry", result);
        return EIO;
    }
    reading_.sizes.emplace(name, *size);
    return 0;
}

int MountView::NodeAttributes(const MountNode& node, struct stat* attributes) {
    uint64_t size = 0;
    if (node.kind == NodeKind::kFile) {
        const int error = EntrySize(node.path, &size);
        if (error) return error;
    }
    FillAttributes(node, size, attributes);
    return 0;
}

int MountView::Lookup(uint64_t parent, const std::string& leaf, struct stat* attributes) {
    Refresh();
    const MountNode* directory = reading_.tree.Find(parent);
    if (!directory) return ENOENT;
    if (directory->kind != NodeKind::kDirectory) return ENOTDIR;
    const MountNode* node = reading_.tree.Child(*directory, leaf);
    if (!node) return ENOENT;
    return NodeAttributes(*node, attributes);
}

int MountView::Attributes(uint64_t id, struct stat* attributes) {
    Refresh();
    const MountNode* node = reading_.tree.Find(id);
    if (!node) return ENOENT;
    return NodeAttributes(*node, attributes);
}

int MountView::List(uint64_t id, std::vector<DirectoryItem>* items) {
    Refresh();
    const MountNode* directory = reading_.tree.Find(id);
    if (!directory) return ENOENT;
    if (directory->kind != NodeKind::kDirectory) return ENOTDIR;
    items->push_back({".", id, true});
    items->push_back({"..", id, true});  // the kernel knows the parent itself
    for (uint64_t child : directory->children) {
        const MountNode* node = reading_.tree.Find(child);
        if (node) items->push_back({node->leaf, node->id, node->kind == NodeKind::kDirectory});
    }
    return 0;
}

int MountView::Follow(OpenEntry& file) {
    if (file.reading == reading_.number) return 0;
    if (!reading_.session) return EIO;
    if (!reading_.tree.FindFile(file.name)) return ESTALE;
    uint64_t size = 0;
    const int error = EntrySize(file.name, &size);
    if (error) return error;
    if (reading_.session->OpenEntry(file.name, &file.file) != kExitOk) return EIO;
    file.reading = reading_.number;
    file.size = size;
    return 0;
}

int MountView::OpenFile(uint64_t id, uint64_t* handle, bool* keepCache) {
    Refresh();
    const MountNode* node = reading_.tree.Find(id);
    if (!node) return ENOENT;
    if (node->kind != NodeKind::kFile) return EISDIR;
    auto file = std::make_unique<OpenEntry>();
    file->name = node->path;
    const int error = Follow(*file);
    if (error) return error;
    *handle = nextHandle_++;
    files_.emplace(*handle, std::move(file));
    uint64_t& opened = openedIn_[id];
    *keepCache = opened == reading_.number;
    opened = reading_.number;
    return 0;
}

int MountView::Read(uint64_t handle, uint64_t offset, uint32_t size, ReadPiece* piece) {
    auto found = files_.find(handle);
    if (found == files_.end()) return EBADF;
    OpenEntry& file = *found->second;
    // Past the end known so far the entry may have grown since.
    if (offset + size > file.size || file.reading != reading_.number) {
        Refresh();
        // An entry gone from the container is a read error, not an end:
        // an empty answer would tell the kernel the file was cut short.
        const int error = Follow(file);
        if (error) return error;
    }
    if (offset >= file.size) return 0;
    const uint32_t count = static_cast<uint32_t>(std::min<uint64_t>(size, file.size - offset));
    int32_t result = file.file.Seek(offset);
    if (QLX_SUCCEEDED(result)) result = file.file.ReadBuffer(count, &piece->buffer, &piece->bytes, &piece->length);
    // Within the entry's size an end of data is damage too, and so is a
    // read the module cut short at damage: a short answer would tell the
    // kernel the file ends there. The kernel then asks again page by page,
    // and every page before the damage still arrives.
    if (result != S_OK || piece->length < count) {
        piece->buffer.Reset();
        piece->length = 0;
        return EIO;
    }
    return 0;
}

void MountView::CloseFile(uint64_t handle) { files_.erase(handle); }

void MountView::ReleaseAll() {
    files_.clear();
    reading_ = Reading{};
}

}  // namespace cont
