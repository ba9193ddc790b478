// CVirtualFileObject: the file object a host gets for one "cont" URL.
//
// It names one entry of one container file. Open turns the URL into a
// container path and an entry name, takes the container that other file
// objects already hold under that path (or under the same title), or opens
// a new one, and from then on forwards reads, writes and seeks to it with
// its own cursor. Every outcome is reported twice, inline on the calling
// thread: on the host's response object (when one is held) and as the
// return value.
//
// Threads: one file object is used by one thread at a time. File objects on
// different threads may share a container, which serialises its own work
// with its mutex. The registry of open containers, the search by title and
// Open's find-or-add of its entry run under the module-wide registry lock.
#ifndef CONTFS_VFILE_VIRTUAL_FILE_OBJECT_H
#define CONTFS_VFILE_VIRTUAL_FILE_OBJECT_H

#include "container/container_interface.h"
#include "frame/unknown.h"
#include "util/compact_string.h"

class CVirtualFileObject : public IQLXFileObject,
                           public IQLXFileStat,
                           public IQLXFileExists,
                           public IQLXGetFileFromSamePool,
                           public IQLXRequestHandler,
                           public IQLXFileObject64,
                           public IQLXFileRemove,
                           public IQLXFileSync,
                           public CUnknownIMP {
public:
    CVirtualFileObject();
    ~CVirtualFileObject() override;

    QLX_FORWARD_UNKNOWN()

    // IQLXFileObject
    int32_t Open(uint32_t access, IQLXFileResponse* response) override;
    int32_t GetName(const char** name) override;
    int32_t Close() override;
    int32_t Read(uint32_t count) override;
    int32_t Write(IQLXBuffer* data) override;
    int32_t Seek(uint32_t offset, int32_t relative) override;
    int32_t Notify(uint32_t value) override;

    // IQLXFileObject64
    int32_t Seek64(uint32_t offsetLow, uint32_t offsetHigh, int32_t relative) override;

    // IQLXRequestHandler
    int32_t AssignRequest(IQLXRequest* request) override;
    int32_t RetrieveRequest(IQLXRequest** out) override;

    // IQLXFileStat
    int32_t Stat(IQLXFileStatResponse* response) override;
    // IQLXFileExists
    int32_t CheckExistence(const char* url, IQLXFileExistsResponse* response) override;
    // IQLXGetFileFromSamePool
    int32_t CreatePooledFile(IQLXFilePoolResponse* response) override;
    // IQLXFileRemove
    int32_t Remove() override;
    // IQLXFileSync
    int32_t Sync() override;

    int32_t InnerQueryInterface(const QLXGUID& iid, void** out) override;

    // A new file object handed out through its IUnknown with one reference:
    // S_OK, E_OUTOFMEMORY (out untouched) or RES_UNEXPECTED.
    static int32_t Create(IUnknown** out);

private:
    // Open from the URL on: container path and entry name, the container,
    // the entry.
    int32_t OpenContainerEntry(uint32_t access);
    // Holds the container registered under the path (or, when not writing,
    // under the path's title), else a new one.
    int32_t AcquireContainer(const CompactString& path, uint32_t access);
    int32_t OpenNewContainer(const CompactString& path, uint32_t access);
    // Keeps the buffer a read handed out, to be filled again by the next
    // read once the host has let go of it.
    void KeepForReuse(IQLXBuffer* data);

    IContainerFile* m_container = nullptr;  // one reference held
    // A container whose directory could not be read, retired and out of the
    // registry, kept only so the host can ask it what was damaged.
    IContainerFile* m_inspected = nullptr;    // one reference held
    IQLXRequest* m_request = nullptr;         // one reference held
    IQLXFileResponse* m_response = nullptr;   // one reference held
    EntryCursor m_cursor;
    CompactString m_entryName;
    IQLXBuffer* m_reusable = nullptr;  // one reference held
};

#endif
