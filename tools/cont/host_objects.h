// The host side of the contract: the objects cont hands the module. Each is
// a heap object with its own atomic reference count that deletes itself on
// its last Release, because the module may hold a request or response until
// the file object goes away, whatever cont's own stack is doing by then.
#ifndef CONT_HOST_OBJECTS_H
#define CONT_HOST_OBJECTS_H

#include <qlx/interfaces.h>

#include <atomic>
#include <string>
#include <vector>

namespace cont {

// Holds one reference to an interface and releases it on destruction.
template <class T>
class Ref {
public:
    Ref() = default;
    // Takes over a reference the caller already owns.
    explicit Ref(T* owned) : p_(owned) {}
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            Reset();
            p_ = other.p_;
            other.p_ = nullptr;
        }
        return *this;
    }
    ~Ref() { Reset(); }

    void Reset() {
        if (p_) p_->Release();
        p_ = nullptr;
    }
    T* get() const { return p_; }
    T* operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    // For out parameters: releases what is held and hands out the slot.
    T** Receive() {
        Reset();
        return &p_;
    }

private:
    T* p_ = nullptr;
};

// QueryInterface into a Ref; empty when the object does not answer.
template <class T>
Ref<T> Query(IUnknown* object, const QLXGUID& iid) {
    void* out = nullptr;
    if (!object || QLX_FAILED(object->QueryInterface(iid, &out))) return Ref<T>();
    return Ref<T>(static_cast<T*>(out));
}

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
// return values, which cont goes by; what only a callback carries is a
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

struct EntryStat {
    uint32_t sizeLow = 0;  // the size modulo 2^32, as the contract reports it
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

// Bytes owned by cont, handed to Write. The storage is reused from one
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

}  // namespace cont

#endif
