// Host-side doubles: what a media-player host hands the module. Each one
// counts its references and records every callback the module makes, so
// tests can check statuses, buffers and reference balance.
#ifndef CONTFS_TESTS_SUPPORT_HOST_DOUBLES_H
#define CONTFS_TESTS_SUPPORT_HOST_DOUBLES_H

#include <qlx/interfaces.h>

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

namespace host {

// Reference counting shared by every double. Doubles live on the test's
// stack or heap; the count is only watched, never used to delete.
template <class Face>
class Counted : public Face {
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
    uint32_t AddRef() override { return ++refs; }
    uint32_t Release() override { return --refs; }
    virtual const QLXGUID& FaceId() const = 0;

    std::atomic<int32_t> refs{0};
};

// A host-owned buffer: the host's own bytes behind IQLXBuffer.
class HostBuffer : public Counted<IQLXBuffer> {
public:
    HostBuffer() = default;
    explicit HostBuffer(std::string data) : bytes(std::move(data)) {}
    const QLXGUID& FaceId() const override { return IID_IQLXBuffer; }
    int32_t Get(uint8_t** data, uint32_t* length) override {
        if (data) *data = GetBuffer();
        if (length) *length = GetSize();
        return S_OK;
    }
    int32_t Set(const uint8_t* data, uint32_t length) override {
        bytes.assign(reinterpret_cast<const char*>(data), length);
        return S_OK;
    }
    int32_t SetSize(uint32_t length) override {
        bytes.resize(length);
        return S_OK;
    }
    uint32_t GetSize() override { return static_cast<uint32_t>(bytes.size()); }
    uint8_t* GetBuffer() override { return reinterpret_cast<uint8_t*>(bytes.data()); }

    std::string bytes;
};

// Bytes of any IQLXBuffer, copied out.
inline std::string BytesOf(IQLXBuffer* buffer) {
    if (!buffer) return {};
    return std::string(reinterpret_cast<const char*>(buffer->GetBuffer()), buffer->GetSize());
}

class Request : public Counted<IQLXRequest> {
public:
    explicit Request(std::string u = {}) : url(std::move(u)) {}
    const QLXGUID& FaceId() const override { return IID_IQLXRequest; }
    int32_t SetRequestHeaders(IQLXValues*) override { return E_NOTIMPL; }
    int32_t GetRequestHeaders(IQLXValues**) override { return E_NOTIMPL; }
    int32_t SetResponseHeaders(IQLXValues*) override { return E_NOTIMPL; }
    int32_t GetResponseHeaders(IQLXValues**) override { return E_NOTIMPL; }
    int32_t SetRequestURL(const char* u) override {
        url = u ? u : "";
        return S_OK;
    }
    int32_t GetRequestURL(const char** out) override {
        ++urlCalls;
        if (fail) return E_FAIL;
        *out = url.c_str();
        return S_OK;
    }

    std::string url;
    bool fail = false;
    int urlCalls = 0;
};

// A response that acts on reads alone (ReadFinished, in the class made from
// it); every other callback is taken and passed over.
class ReadResponse : public Counted<IQLXFileResponse> {
public:
    const QLXGUID& FaceId() const override { return IID_IQLXFileResponse; }
    int32_t OpenFinished(int32_t) override { return S_OK; }
    int32_t CloseFinished(int32_t) override { return S_OK; }
    int32_t WriteFinished(int32_t) override { return S_OK; }
    int32_t SeekFinished(int32_t) override { return S_OK; }
};

// Every IQLXFileResponse callback, in order.
class FileResponse : public Counted<IQLXFileResponse> {
public:
    enum Kind { kOpen, kClose, kRead, kWrite, kSeek };
    struct Call {
        Kind kind;
        int32_t status;
        bool hadBuffer;
        std::string data;  // bytes of the read buffer
    };

    const QLXGUID& FaceId() const override { return IID_IQLXFileResponse; }
    int32_t OpenFinished(int32_t status) override { return Record(kOpen, status); }
    int32_t CloseFinished(int32_t status) override { return Record(kClose, status); }
    int32_t ReadFinished(int32_t status, IQLXBuffer* data) override {
        calls.push_back({kRead, status, data != nullptr, BytesOf(data)});
        if (keepBuffers && data) {
            data->AddRef();
            kept.push_back(data);
        }
        return S_OK;
    }
    int32_t WriteFinished(int32_t status) override { return Record(kWrite, status); }
    int32_t SeekFinished(int32_t status) override { return Record(kSeek, status); }

    ~FileResponse() {
        for (IQLXBuffer* b : kept) b->Release();
    }

    const Call& Last() const { return calls.back(); }
    int Count(Kind kind) const {
        int n = 0;
        for (const Call& c : calls) n += c.kind == kind;
        return n;
    }

    std::vector<Call> calls;
    bool keepBuffers = false;
    std::vector<IQLXBuffer*> kept;

private:
    int32_t Record(Kind kind, int32_t status) {
        calls.push_back({kind, status, false, {}});
        return S_OK;
    }
};

class StatResponse : public Counted<IQLXFileStatResponse> {
public:
    const QLXGUID& FaceId() const override { return IID_IQLXFileStatResponse; }
    int32_t StatFinished(int32_t s, uint32_t sz, uint32_t c, uint32_t a, uint32_t m, uint32_t md) override {
        ++calls;
        status = s;
        size = sz;
        creationTime = c;
        accessTime = a;
        modificationTime = m;
        mode = md;
        return S_OK;
    }
    int calls = 0;
    int32_t status = 1;
    uint32_t size = 0, creationTime = 0, accessTime = 0, modificationTime = 0, mode = 0;
};

class ExistsResponse : public Counted<IQLXFileExistsResponse> {
public:
    const QLXGUID& FaceId() const override { return IID_IQLXFileExistsResponse; }
    int32_t ExistsFinished(int32_t e) override {
        ++calls;
        exists = e;
        return S_OK;
    }
    int calls = 0;
    int32_t exists = -1;
};

// Takes a reference on the pooled file when keep is set; the test releases it.
class PoolResponse : public Counted<IQLXFilePoolResponse> {
public:
    const QLXGUID& FaceId() const override { return IID_IQLXFilePoolResponse; }
    int32_t PooledFileReady(int32_t s, IUnknown* f) override {
        ++calls;
        status = s;
        file = f;
        if (keep && f) f->AddRef();
        return S_OK;
    }
    int calls = 0;
    int32_t status = 1;
    IUnknown* file = nullptr;
    bool keep = false;
};

}  // namespace host

#endif
