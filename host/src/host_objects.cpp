#include <contfs/host_objects.h>

namespace contfs {

int32_t HostRequest::GetRequestHeaders(IQLXValues** headers) {
    if (headers) *headers = nullptr;
    return E_NOTIMPL;
}

int32_t HostRequest::GetResponseHeaders(IQLXValues** headers) {
    if (headers) *headers = nullptr;
    return E_NOTIMPL;
}

int32_t HostRequest::SetRequestURL(const char* url) {
    try {
        url_ = url ? url : "";
    } catch (...) {
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

int32_t HostRequest::GetRequestURL(const char** url) {
    if (!url) return E_POINTER;
    *url = url_.c_str();
    return S_OK;
}

HostFileResponse::~HostFileResponse() {
    if (data_) data_->Release();
}

int32_t HostFileResponse::ReadFinished(int32_t, IQLXBuffer* data) {
    // The module drops its own reference right after this call.
    if (data) data->AddRef();
    if (data_) data_->Release();
    data_ = data;
    return S_OK;
}

Ref<IQLXBuffer> HostFileResponse::TakeData() {
    Ref<IQLXBuffer> taken(data_);
    data_ = nullptr;
    return taken;
}

int32_t HostStatResponse::StatFinished(int32_t s, uint32_t size, uint32_t creationTime, uint32_t accessTime,
                                       uint32_t modificationTime, uint32_t mode) {
    called = true;
    status = s;
    stat.size = size;
    stat.creationTime = creationTime;
    stat.accessTime = accessTime;
    stat.modificationTime = modificationTime;
    stat.mode = mode;
    return S_OK;
}

int32_t HostPoolResponse::PooledFileReady(int32_t s, IUnknown* f) {
    status = s;
    if (f) f->AddRef();
    file = Ref<IUnknown>(f);
    return S_OK;
}

int32_t HostBuffer::Get(uint8_t** data, uint32_t* length) {
    if (data) *data = GetBuffer();
    if (length) *length = GetSize();
    return S_OK;
}

int32_t HostBuffer::Set(const uint8_t* data, uint32_t length) {
    if (length && !data) return E_POINTER;
    try {
        bytes_.assign(data, data + length);
    } catch (...) {
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

int32_t HostBuffer::SetSize(uint32_t length) {
    try {
        bytes_.resize(length);
    } catch (...) {
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

}  // namespace contfs
