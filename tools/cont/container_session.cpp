#include "container_session.h"

#include "cont_url.h"
#include "local_files.h"

namespace cont {

ContainerSession::ContainerSession(Module& module, std::string userPath)
    : module_(module), userPath_(std::move(userPath)) {}

int ContainerSession::Open() {
    switch (KindOf(userPath_)) {
        case PathKind::kMissing: return Fail(place(), "no such file", RES_OPEN_FAILED);
        case PathKind::kDirectory: return Fail(place(), "is a directory, not a container", RES_OPEN_FAILED);
        default: break;
    }
    std::string reason;
    const Result result = container_.Open(module_, userPath_, &reason);
    if (result.ok()) return kExitOk;
    if (!reason.empty()) return Fail(place(), reason, result);
    if (result == E_NOTIMPL) return Fail(place(), "the module cannot open files yet", result);
    if (result == RES_BAD_FORMAT) return Fail(place(), "not a container (unknown magic or version)", result);
    if (result == E_ACCESSDENIED) return Fail(place(), "cannot open the file", result);
    if (result == E_OUTOFMEMORY) return Fail(place(), "cannot read the container's directory", result);
    uint64_t size = 0;
    if (FileSizeOf(userPath_, &size) && size == 0)
        return Fail(place(), "empty file: not a container, or one whose entries never received data", result);
    // Where and why, as the module found it: a container cut off before its
    // directory reached the disk says that the file ends too soon.
    Inspection inspection;
    if (Inspect(&inspection) && inspection.damaged)
        return Fail(place(), "cannot read the container's directory: " + inspection.reason, result);
    return Fail(place(), "cannot read the container's directory (damaged or not a container)", result);
}

bool ContainerSession::OpenQuietly() { return container_.Open(module_, userPath_).ok(); }

int ContainerSession::ListEntries(std::vector<ListedEntry>* entries) {
    std::vector<contfs::ListedEntry> listed;
    const Result result = container_.List(&listed);
    if (result.failed()) return Fail(place(), "cannot list the entries", result);
    entries->reserve(entries->size() + listed.size());
    for (contfs::ListedEntry& item : listed) {
        ListedEntry entry;
        entry.sized = item.sized;
        entry.size = item.size;
        entry.problem = std::move(item.problem);
        if (entry.problem.empty()) {
            entry.name = std::move(item.name);
        } else {
            if (item.name.size() > kShownNameBytes)
                entry.problem += " (a name of " + std::to_string(item.name.size()) + " bytes)";
            // Only what can be shown is kept of a name that cannot be used.
            entry.cut = item.name.size() > kShownNameBytes;
            entry.name = ShortName(item.name);
        }
        entries->push_back(std::move(entry));
    }
    return kExitOk;
}

int ContainerSession::OpenEntry(const std::string& name, EntryFile* file, bool listed) {
    std::string reason;
    if (!UrlCanName(urlPath(), name, &reason)) return Fail(place(name), reason, E_INVALIDARG);
    const int32_t result = OpenEntryQuietly(name, file);
    if (QLX_SUCCEEDED(result)) return kExitOk;
    if (result == kOtherEntry)
        return FailPlain(place(name), "the module opened another entry than the one named (short of memory?)");
    if (HoldsNoEntry(name)) {
        if (!listed) return Fail(place(name), "no such entry", result);
        // The listing writes a backslash of a stored name as '/'.
        const char* hint = name.find('/') == std::string::npos ? "" : " (a '\\' in a stored name is listed as '/')";
        return Fail(place(name), std::string("listed, but no entry opens by this name") + hint, result);
    }
    return Fail(place(name), "cannot open the entry", result);
}

bool ContainerSession::HoldsNoEntry(const std::string& name) {
    std::string reason;
    bool exists = true;
    return UrlCanName(urlPath(), name, &reason) && container_.Exists(name, &exists).ok() && !exists;
}

int32_t ContainerSession::OpenEntryQuietly(const std::string& name, EntryFile* file) {
    return container_.OpenEntry(name, file);
}

}  // namespace cont
