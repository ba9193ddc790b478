#include <contfs/container.h>
#include <contfs/container_url.h>

#include <utility>

namespace contfs {

Result Container::Open(Module& module, const std::string& path, std::string* why) {
    Close();
    std::string reason;
    if (!UrlContainerPath(path, &urlPath_, &reason)) {
        if (why) *why = reason;
        return RES_INVALID_PATH;
    }
    // No "file" option: the module then serves the first entry that holds
    // data, and keeps the container even when there is none.
    const Result result = holder_.Open(module, MakeContUrl(urlPath_, ""), ReadAccess);
    return result.ok() || holder_.HoldsContainer() ? Result(S_OK) : result;
}

Result Container::List(std::vector<ListedEntry>* entries) {
    const size_t first = entries->size();
    const Result result = holder_.ListUrls([this, entries](std::string url) {
        ListedEntry entry;
        if (!EntryNameFromListing(url, urlPath_, &entry.name)) {
            entry.name = std::move(url);
            entry.problem = "the module listed it as an unexpected URL";
        } else {
            UrlCanName(urlPath_, entry.name, &entry.problem);
        }
        entries->push_back(std::move(entry));
    });
    if (result.failed()) return result;
    // Sizes come from the directory by name, without opening the entries.
    for (size_t i = first; i < entries->size(); ++i) {
        ListedEntry& entry = (*entries)[i];
        entry.sized = holder_.ContainerEntrySize(entry.name, &entry.size).ok();
    }
    return result;
}

Result Container::OpenEntry(const std::string& name, EntryFile* file) {
    // A file object from the holder's pool joins the container it holds.
    const Result result = file->OpenBeside(holder_, MakeContUrl(urlPath_, name), ReadAccess);
    if (result.failed()) return result;
    // A module that could not take the name in (short of memory) serves
    // the first entry that holds data, as for a URL without a name.
    std::string opened;
    if (file->Name(&opened).failed() || opened != name) {
        file->Release();
        return kOtherEntry;
    }
    return result;
}

Result Container::EntrySize(const std::string& name, uint64_t* size) {
    return holder_.ContainerEntrySize(name, size);
}

Result Container::Exists(const std::string& name, bool* exists) {
    return holder_.Exists(MakePlainContUrl(urlPath_, name), exists);
}

}  // namespace contfs
