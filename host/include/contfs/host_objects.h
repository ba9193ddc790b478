// The host side of the contract: the objects a host hands the module. Each
// is a heap object with its own atomic reference count that deletes itself
// on its last Release, because the module may hold a request or response
// until the file object goes away, whatever the host's own stack is doing
// by then.
#ifndef CONTFS_HOST_OBJECTS_H
#define CONTFS_HOST_OBJECTS_H

#include <contfs/ref.h>
#include <qlx/interfaces.h>

#include <atomic>
#include <string>
#include <utility>
#include <vector>

namespace contfs {

// IUnknown for one host interface; New() hands the object out with one
// reference held by the caller.
template <class Face>
class HostObject : public Face {
public:
    int32_t QueryInterface(const QLXGUID& iid, void** out) override {
        if (!out) return E_POINTER;
        if (iid == IID_IUnknown || iid == FaceId()) {
            AddRef();
            *out = static_cast<Face*>(this);
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    uint32_t AddRef() override { return static_cast<uint32_t>(++refs_); }
    uint32_t Release() override {
        const int32_t left = --refs_;
        if (left == 0) delete this;
        return static_cast<uint32_t>(left);
    }

protected:
    HostObject() = default;
    virtual ~HostObject() = default;
    virtual const QLXGUID& FaceId() const = 0;

private:
    std::atomic<int32_t> refs_{0};
};

template <class T, class... A>
Ref<T> NewHostObject(A&&... args) {
    T* object = new T(std::forward<A>(args)...);
    object->AddRef();
    return Ref<T>(object);
}

// The request of one file object: only its URL matters to this module.
class HostRequest : public HostObject<IQLXRequest> {
public:
    explicit HostRequest(std::string url) : url_(std::move(url)) {}
    int32_t SetRequestHeaders(IQLXValues*) override { return E_NOTIMPL; }
    int32_t GetRequestHeaders(IQLXValues** headers) override;
    int32_t SetResponseHeaders(IQLXValues*) override { return E_NOTIMPL; }
    int32_t GetResponseHeaders(IQLXValues** headers) override;
    int32_t SetRequestURL(const char* url) override;
    int32_t GetRequestURL(const char** url) override;

protected:
    const QLXGUID& FaceId() const override { return IID_IQLXRequest; }

private:
    std::string url_;
};

// Receives the callbacks of one file object. Statuses also come back as
// return values, which the library goes by; what only a callback carries is a
// read's buffer, kept (with a reference) until the next read or TakeData.
class HostFileResponse : public HostObject<IQLXFileResponse> {
public:
    ~HostFileResponse() override;
    int32_t OpenFinished(int32_t) override { return S_OK; }
    int32_t CloseFinished(int32_t) override { return S_OK; }
    int32_t ReadFinished(int32_t status, IQLXBuffer* data) override;
    int32_t WriteFinished(int32_t) override { return S_OK; }
    int32_t SeekFinished(int32_t) override { return S_OK; }

    // The buffer of the latest ReadFinished, with the reference it holds.
    Ref<IQLXBuffer> TakeData();

protected:
    const QLXGUID& FaceId() const override { return IID_IQLXFileResponse; }

private:
    IQLXBuffer* data_ = nullptr;
};

// An entry's size and the container file's times (seconds since 1970) and
// mode bits. StatFinished carries the size modulo 2^32; EntryFile::Stat
// gives it whole.
struct EntryStat {
    uint64_t size = 0;
    uint32_t creationTime = 0, accessTime = 0, modificationTime = 0, mode = 0;
};

class HostStatResponse : public HostObject<IQLXFileStatResponse> {
public:
    int32_t StatFinished(int32_t status, uint32_t size, uint32_t creationTime, uint32_t accessTime,
                         uint32_t modificationTime, uint32_t mode) override;
    bool called = false;
    int32_t status = E_FAIL;
    EntryStat stat;

protected:
    const QLXGUID& FaceId() const override { return IID_IQLXFileStatResponse; }
};

class HostExistsResponse : public HostObject<IQLXFileExistsResponse> {
public:
    int32_t ExistsFinished(int32_t answer) override {
        called = true;
        exists = answer != 0;
        return S_OK;
    }
    bool called = false;
    bool exists = false;

protected:
    const QLXGUID& FaceId() const override { return IID_IQLXFileExistsResponse; }
};

// Keeps the pooled file object it is handed: the module releases its own
// reference right after the call.
class HostPoolResponse : public HostObject<IQLXFilePoolResponse> {
public:
    int32_t PooledFileReady(int32_t status, IUnknown* file) override;
    int32_t status = E_FAIL;
    Ref<IUnknown> file;

protected:
    const QLXGUID& FaceId() const override { return IID_IQLXFilePoolResponse; }
};

// Bytes owned by the host, handed to Write. The storage is reused from one
// write to the next, so a copy loop fills it in place.
class HostBuffer : public HostObject<IQLXBuffer> {
public:
    int32_t Get(uint8_t** data, uint32_t* length) override;
    int32_t Set(const uint8_t* data, uint32_t length) override;
    int32_t SetSize(uint32_t length) override;
    uint32_t GetSize() override { return static_cast<uint32_t>(bytes_.size()); }
    // Never null, even when empty: a module may read through it regardless.
    uint8_t* GetBuffer() override { return bytes_.empty() ? &empty_ : bytes_.data(); }

protected:
    const QLXGUID& FaceId() const override { return IID_IQLXBuffer; }

private:
    std::vector<uint8_t> bytes_;
    uint8_t empty_ = 0;
};

}  // namespace contfs

#endif
