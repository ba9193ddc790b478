// One container held open for reading: a file object on the container
// itself, so that every entry opened afterwards joins the directory read
// once; its entries in container order; and entries opened by name.
#ifndef CONTFS_CONTAINER_H
#define CONTFS_CONTAINER_H

#include <contfs/entry_file.h>
#include <contfs/module.h>
#include <contfs/result.h>

#include <string>
#include <vector>

namespace contfs {

// One entry as the container lists it.
struct ListedEntry {
    // The name; for an item the listing gave in a shape no entry URL has,
    // the text it gave.
    std::string name;
    // Why no URL can open the entry; empty when one can.
    std::string problem;
    // The entry's size, when the container could give it for the name
    // listed.
    bool sized = false;
    uint64_t size = 0;
};

class Container {
public:
    Container() = default;
    Container(const Container&) = delete;
    Container& operator=(const Container&) = delete;

    // Opens the container at `path`, a file path as a person writes it
    // (relative to the current directory or absolute), for reading. A path
    // no URL can carry gives RES_INVALID_PATH and the reason in `why`;
    // otherwise the module's own result, as Open gave it.
    Result Open(Module& module, const std::string& path, std::string* why = nullptr);

    // The entries, in container order, with their sizes. An entry whose
    // name no URL can carry is listed with the reason, so that it does not
    // hide the others.
    Result List(std::vector<ListedEntry>* entries);

    // Opens one entry for reading, in `file`. kOtherEntry when the module
    // opened an entry of another name (it serves the first entry holding
    // data when it could not take the name in).
    Result OpenEntry(const std::string& name, EntryFile* file);
    static constexpr int32_t kOtherEntry = RES_UNEXPECTED;

    // The size of the entry called `name`, in 64 bits; E_FAIL when the
    // container holds none of that name.
    Result EntrySize(const std::string& name, uint64_t* size);

    // Whether the container holds an entry of this name.
    Result Exists(const std::string& name, bool* exists);

    // Lets go of the container; entries opened from it keep it open until
    // they are released too.
    void Close() { holder_.Release(); }

    // The container's header as found, the damage it met and what recovery
    // rebuilt, also after an Open that failed on damage; E_NOINTERFACE when
    // there is none to ask.
    Result Inspect(Inspection* out) { return holder_.Inspect(out); }

    // The container's path as its URLs carry it (absolute), once open.
    const std::string& urlPath() const { return urlPath_; }

private:
    std::string urlPath_;
    EntryFile holder_;
};

}  // namespace contfs

#endif
