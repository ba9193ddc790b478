#include "container_session.h"

#include "cont_url.h"
#include "header_probe.h"
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
    if (!UrlContainerPath(userPath_, &urlPath_, &reason)) return Fail(place(), reason, RES_INVALID_PATH);
    const int32_t result = OpenHolder();
    if (QLX_SUCCEEDED(result)) return kExitOk;
    if (result == E_NOTIMPL) return Fail(place(), "the module cannot open files yet", result);
    if (result == RES_BAD_FORMAT) return Fail(place(), "not a container (unknown magic or version)", result);
    if (result == E_ACCESSDENIED) return Fail(place(), "cannot open the file", result);
    if (result == E_OUTOFMEMORY) return Fail(place(), "cannot read the container's directory", result);
    uint64_t size = 0;
    if (FileSizeOf(userPath_, &size) && size == 0)
        return Fail(place(), "empty file: not a container, or one whose entries never received data", result);
    HeaderInfo header;
    if (ProbeHeader(userPath_, &header, &reason) && header.hasTitle &&
        size < header.headerBytes + kFirstIndexRecordBytes)
        return Fail(place(), "holds only the header of a container: it was cut off before its directory, so "
                             "before any entry, reached the disk", result);
    return Fail(place(), "cannot read the container's directory (damaged or not a container)", result);
}

int32_t ContainerSession::OpenHolder() {
    // No "file" option: the module then serves the first entry that holds
    // data, and keeps the container even when there is none.
    const int32_t result = holder_.Open(module_, MakeContUrl(urlPath_, ""), ReadAccess);
    return QLX_SUCCEEDED(result) || holder_.HoldsContainer() ? S_OK : result;
}

bool ContainerSession::OpenQuietly() {
    std::string reason;
    return UrlContainerPath(userPath_, &urlPath_, &reason) && QLX_SUCCEEDED(OpenHolder());
}

int ContainerSession::ListEntries(std::vector<ListedEntry>* entries) {
    const int32_t result = holder_.ListUrls([this, entries](std::string url) {
        ListedEntry entry;
        std::string& name = entry.name;
        if (!EntryNameFromListing(url, urlPath_, &name)) {
            name = std::move(url);
            entry.problem = "the module listed it as an unexpected URL";
        } else if (!UrlCanName(urlPath_, name, &entry.problem) && name.size() > kShownNameBytes) {
            entry.problem += " (a name of " + std::to_string(name.size()) + " bytes)";
        }
        // Only what can be shown is kept of a name that cannot be used.
        if (!entry.problem.empty()) {
            entry.cut = name.size() > kShownNameBytes;
            name = ShortName(name);
        }
        entries->push_back(std::move(entry));
    });
    if (QLX_FAILED(result)) return Fail(place(), "cannot list the entries", result);
    return kExitOk;
}

int ContainerSession::OpenEntry(const std::string& name, EntryFile* file, bool listed) {
    std::string reason;
    if (!UrlCanName(urlPath_, name, &reason)) return Fail(place(name), reason, E_INVALIDARG);
    const int32_t result = OpenEntryQuietly(name, file);
    if (QLX_SUCCEEDED(result)) return kExitOk;
    if (result == kOtherEntry)
        return FailPlain(place(name), "the module opened another entry than the one named (short of memory?)");
    bool exists = true;
    if (QLX_SUCCEEDED(holder_.Exists(MakePlainContUrl(urlPath_, name), &exists)) && !exists) {
        if (!listed) return Fail(place(name), "no such entry", result);
        // The listing writes a backslash of a stored name as '/'.
        const char* hint = name.find('/') == std::string::npos ? "" : " (a '\\' in a stored name is listed as '/')";
        return Fail(place(name), std::string("listed, but no entry opens by this name") + hint, result);
    }
    return Fail(place(name), "cannot open the entry", result);
}

int32_t ContainerSession::OpenEntryQuietly(const std::string& name, EntryFile* file) {
    // A file object from the holder's pool joins the container it holds.
    const int32_t result = file->OpenBeside(holder_, MakeContUrl(urlPath_, name), ReadAccess);
    if (QLX_FAILED(result)) return result;
    // A module that could not take the name in (short of memory) serves
    // the first entry that holds data, as for a URL without a name.
    std::string opened;
    if (QLX_FAILED(file->Name(&opened)) || opened != name) {
        file->Release();
        return kOtherEntry;
    }
    return result;
}

}  // namespace cont
