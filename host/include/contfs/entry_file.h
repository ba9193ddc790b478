// One file object of the module, driven as a player drives it: a request
// carrying the URL, Open with a response, then Read/Write/Seek64, with
// every outcome taken from the call and its callback.
#ifndef CONTFS_ENTRY_FILE_H
#define CONTFS_ENTRY_FILE_H

#include <contfs/host_objects.h>
#include <contfs/module.h>
#include <contfs/ref.h>
#include <contfs/result.h>
#include <qlx/interfaces.h>

#include <stddef.h>

#include <functional>
#include <string>
#include <vector>

namespace contfs {

// What the module's container found damaged, and what its recovery rebuilt
// (IQLXContainerInspector).
struct Inspection {
    bool damaged = false;
    uint64_t offset = 0;
    uint32_t part = 0;
    std::string reason;
    bool recovered = false;
    bool writtenBack = false;
    std::string summary;
};

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

    Result Stat(EntryStat* stat);
    // The entry's 64-bit size. The contract reports sizes modulo 2^32, so
    // the high part is found by seeking: a seek succeeds up to the size and
    // fails past it. Leaves the position at 0.
    Result Size(uint64_t* size);

    Result Remove();

    // Whether the module knows the entry a URL names, among the containers
    // it holds open. The URL is parsed as given, without percent-decoding.
    Result Exists(const std::string& url, bool* exists);

    // The container's listing: `each` is handed one URL per entry, in
    // container order.
    Result ListUrls(const std::function<void(std::string url)>& each);

    // What the container behind this object (also one whose directory could
    // not be read) found damaged; false when there is none to ask.
    bool Inspect(Inspection* out);

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
