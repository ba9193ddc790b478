// One file object of the module, driven as a player drives it: a request
// carrying the URL, Open with a response, then Read/Write/Seek64, with
// every outcome taken from the call and its callback.
#ifndef CONTFS_ENTRY_FILE_H
#define CONTFS_ENTRY_FILE_H

#include <contfs/host_objects.h>
#include <contfs/inspection.h>
#include <contfs/module.h>
#include <contfs/ref.h>
#include <contfs/result.h>
#include <qlx/interfaces.h>

#include <stddef.h>

#include <functional>
#include <string>
#include <vector>

namespace contfs {

class EntryFile {
public:
    EntryFile() = default;
    EntryFile(const EntryFile&) = delete;
    EntryFile& operator=(const EntryFile&) = delete;
    EntryFile(EntryFile&&) = default;
    EntryFile& operator=(EntryFile&&) = default;
    ~EntryFile();

    // Creates the file object, hands it the request and opens it. A file
    // object keeps its container even when the entry lookup fails, which
    // HoldsContainer() tells apart.
    Result Open(Module& module, const std::string& url, uint32_t access);
    // The same, with a file object made by `sibling` (another file object
    // of the module) rather than by the plug-in.
    Result OpenBeside(EntryFile& sibling, const std::string& url, uint32_t access);

    // True when the module opened the container behind this object (its
    // directory could be read), whatever became of the entry.
    bool HoldsContainer();

    // Up to `count` bytes appended to `out`. S_OK, RES_END_OF_DATA (nothing
    // left) or a failure.
    Result Read(uint32_t count, std::vector<uint8_t>* out);
    // The same without a copy: the bytes stay in the module's buffer, which
    // `data` holds; `bytes` and `length` say where they are.
    Result ReadBuffer(uint32_t count, Ref<IQLXBuffer>* data, const uint8_t** bytes, uint32_t* length);
    // Writes `length` bytes at the position (an entry is written from its
    // start to its end). Zero bytes is a write all the same: the container
    // then writes its header and the entry's record, so that even an empty
    // entry is on the disk.
    Result Write(const void* data, size_t length);
    Result Seek(uint64_t position);
    uint64_t position() const { return position_; }

    // The name of the entry the module opened (GetName).
    Result Name(std::string* name);

    // The entry's size and the container file's times and mode.
    Result Stat(EntryStat* stat);
    // The entry's size, in 64 bits (IQLXFileStat gives only the low 32);
    // the position stays where it is.
    Result Size(uint64_t* size);
    // The size of the entry called `name` in the container behind this
    // object; E_FAIL when it holds none of that name.
    Result ContainerEntrySize(const std::string& name, uint64_t* size);

    Result Remove();

    // A durable point: once it returns S_OK, every byte this object and the
    // other file objects of its container have written survives a power
    // cut. E_FAIL before Open, E_NOINTERFACE from a module without it.
    Result Sync();

    // Whether the module knows the entry a URL names, among the containers
    // it holds open. The URL is parsed as given, without percent-decoding.
    Result Exists(const std::string& url, bool* exists);

    // The container's listing: `each` is handed one URL per entry, in
    // container order.
    Result ListUrls(const std::function<void(std::string url)>& each);

    // What the module tells of the container behind this object (also one
    // whose directory could not be read): its header, damage, recovery.
    // E_NOINTERFACE when there is no container to ask.
    Result Inspect(Inspection* out);

    // Closes and releases the file object now, rather than at destruction.
    void Release();

private:
    Result OpenObject(Ref<IUnknown> object, const std::string& url, uint32_t access);

    Ref<IUnknown> object_;
    Ref<IQLXFileObject> file_;
    Ref<HostFileResponse> response_;
    Ref<HostBuffer> buffer_;  // the bytes of the latest Write
    uint64_t position_ = 0;
};

}  // namespace contfs

#endif
