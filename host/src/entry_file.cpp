#include <contfs/entry_file.h>

#include <cstring>

namespace contfs {

EntryFile::~EntryFile() { Release(); }

void EntryFile::Release() {
    if (file_) file_->Close();
    file_.Reset();
    object_.Reset();
    response_.Reset();
    buffer_.Reset();
}

Result EntryFile::Open(Module& module, const std::string& url, uint32_t access) {
    Release();
    Ref<IUnknown> object;
    const int32_t result = module.NewFileObject(&object);
    if (QLX_FAILED(result)) return result;
    return OpenObject(std::move(object), url, access);
}

Result EntryFile::OpenBeside(EntryFile& sibling, const std::string& url, uint32_t access) {
    Release();
    Ref<IQLXGetFileFromSamePool> pool =
        Query<IQLXGetFileFromSamePool>(sibling.object_.get(), IID_IQLXGetFileFromSamePool);
    if (!pool) return E_NOINTERFACE;
    Ref<HostPoolResponse> response = NewHostObject<HostPoolResponse>();
    int32_t result = pool->CreatePooledFile(response.get());
    if (QLX_FAILED(result)) return result;
    if (QLX_FAILED(response->status)) return response->status;
    if (!response->file) return E_POINTER;
    return OpenObject(std::move(response->file), url, access);
}

Result EntryFile::OpenObject(Ref<IUnknown> object, const std::string& url, uint32_t access) {
    object_ = std::move(object);
    position_ = 0;
    file_ = Query<IQLXFileObject>(object_.get(), IID_IQLXFileObject);
    Ref<IQLXRequestHandler> handler = Query<IQLXRequestHandler>(object_.get(), IID_IQLXRequestHandler);
    if (!file_ || !handler) return E_NOINTERFACE;
    Ref<HostRequest> request = NewHostObject<HostRequest>(url);
    const int32_t result = handler->AssignRequest(request.get());
    if (QLX_FAILED(result)) return result;
    response_ = NewHostObject<HostFileResponse>();
    return file_->Open(access, response_.get());
}

bool EntryFile::HoldsContainer() {
    return static_cast<bool>(Query<IQLXEnumeratorIUnknown>(object_.get(), IID_IQLXEnumeratorIUnknown));
}

Result EntryFile::Read(uint32_t count, std::vector<uint8_t>* out) {
    Ref<IQLXBuffer> data;
    const uint8_t* bytes = nullptr;
    uint32_t length = 0;
    const int32_t result = ReadBuffer(count, &data, &bytes, &length);
    if (result == S_OK) out->insert(out->end(), bytes, bytes + length);
    return result;
}

Result EntryFile::ReadBuffer(uint32_t count, Ref<IQLXBuffer>* data, const uint8_t** bytes, uint32_t* length) {
    if (!file_) return E_FAIL;
    const int32_t result = file_->Read(count);
    *data = response_->TakeData();
    if (result != S_OK) {
        data->Reset();
        return result;
    }
    if (!*data) return E_POINTER;
    uint8_t* got = nullptr;
    uint32_t gotLength = 0;
    const int32_t described = (*data)->Get(&got, &gotLength);
    if (QLX_FAILED(described)) return described;
    if (gotLength > count || (gotLength && !got)) return RES_UNEXPECTED;
    *bytes = got;
    *length = gotLength;
    position_ += gotLength;
    return S_OK;
}

Result EntryFile::Write(const void* data, size_t length) {
    if (!file_) return E_FAIL;
    if (length && !data) return E_POINTER;
    if (!buffer_) buffer_ = NewHostObject<HostBuffer>();
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    // The contract counts a write's bytes in 32 bits.
    constexpr size_t kLargestWrite = size_t{1} << 30;
    do {
        const uint32_t piece = static_cast<uint32_t>(length < kLargestWrite ? length : kLargestWrite);
        Result result = buffer_->Set(bytes, piece);
        if (result.ok()) result = file_->Write(buffer_.get());
        if (result.failed()) return result;
        position_ += piece;
        bytes += piece;
        length -= piece;
    } while (length != 0);
    return S_OK;
}

Result EntryFile::Seek(uint64_t position) {
    Ref<IQLXFileObject64> file64 = Query<IQLXFileObject64>(object_.get(), IID_IQLXFileObject64);
    if (!file64) return E_NOINTERFACE;
    const int32_t result = file64->Seek64(static_cast<uint32_t>(position), static_cast<uint32_t>(position >> 32), 0);
    if (QLX_SUCCEEDED(result)) position_ = position;
    return result;
}

Result EntryFile::Name(std::string* name) {
    if (!file_) return E_FAIL;
    const char* text = nullptr;
    const int32_t result = file_->GetName(&text);
    if (QLX_FAILED(result)) return result;
    if (!text) return E_POINTER;
    *name = text;
    return S_OK;
}

Result EntryFile::Stat(EntryStat* stat) {
    Ref<IQLXFileStat> stater = Query<IQLXFileStat>(object_.get(), IID_IQLXFileStat);
    if (!stater) return E_NOINTERFACE;
    Ref<HostStatResponse> response = NewHostObject<HostStatResponse>();
    const int32_t result = stater->Stat(response.get());
    if (QLX_FAILED(result)) return result;
    if (!response->called) return RES_UNEXPECTED;
    if (QLX_FAILED(response->status)) return response->status;
    *stat = response->stat;
    // The callback carries the size modulo 2^32.
    return Size(&stat->size);
}

Result EntryFile::Size(uint64_t* size) {
    std::string name;
    const Result named = Name(&name);
    if (named.failed()) return named;
    return ContainerEntrySize(name, size);
}

Result EntryFile::ContainerEntrySize(const std::string& name, uint64_t* size) {
    Ref<IQLXContainerInspector> inspector = Query<IQLXContainerInspector>(object_.get(), IID_IQLXContainerInspector);
    if (!inspector) return E_NOINTERFACE;
    return inspector->GetEntrySize(name.c_str(), size);
}

Result EntryFile::Inspect(Inspection* out) {
    Ref<IQLXContainerInspector> inspector = Query<IQLXContainerInspector>(object_.get(), IID_IQLXContainerInspector);
    if (!inspector) return E_NOINTERFACE;
    int32_t found = 0, ran = 0, writtenBack = 0;
    uint32_t records = 0, entries = 0;
    const char* reason = nullptr;
    const char* summary = nullptr;
    const char* title = nullptr;
    const char* failure = nullptr;
    Result result = inspector->GetFirstDamage(&found, &out->offset, &out->part, &reason);
    if (result.ok()) result = inspector->GetRecovery(&ran, &records, &entries, &writtenBack, &summary);
    if (result.ok()) result = inspector->GetHeader(&out->magic, &out->version, &out->clean, &title);
    if (result.ok()) result = inspector->GetLastFailure(&out->systemError, &failure);
    if (result.failed()) return result;
    out->failure = failure ? failure : "";
    out->damaged = found != 0;
    out->reason = reason ? reason : "";
    out->recovered = ran != 0;
    out->writtenBack = writtenBack != 0;
    out->summary = summary ? summary : "";
    out->title = title ? title : "";
    return S_OK;
}

Result EntryFile::Remove() {
    Ref<IQLXFileRemove> remover = Query<IQLXFileRemove>(object_.get(), IID_IQLXFileRemove);
    if (!remover) return E_NOINTERFACE;
    return remover->Remove();
}

Result EntryFile::Sync() {
    Ref<IQLXFileSync> syncer = Query<IQLXFileSync>(object_.get(), IID_IQLXFileSync);
    if (!syncer) return object_ ? E_NOINTERFACE : E_FAIL;
    return syncer->Sync();
}

Result EntryFile::Exists(const std::string& url, bool* exists) {
    Ref<IQLXFileExists> checker = Query<IQLXFileExists>(object_.get(), IID_IQLXFileExists);
    if (!checker) return E_NOINTERFACE;
    Ref<HostExistsResponse> response = NewHostObject<HostExistsResponse>();
    const int32_t result = checker->CheckExistence(url.c_str(), response.get());
    if (QLX_FAILED(result)) return result;
    if (!response->called) return RES_UNEXPECTED;
    *exists = response->exists;
    return S_OK;
}

Result EntryFile::ListUrls(const std::function<void(std::string url)>& each) {
    Ref<IQLXEnumeratorIUnknown> list = Query<IQLXEnumeratorIUnknown>(object_.get(), IID_IQLXEnumeratorIUnknown);
    if (!list) return E_NOINTERFACE;
    uint32_t count = 0;
    int32_t result = list->GetCount(&count);
    if (QLX_FAILED(result)) return result;
    Ref<IUnknown> item;
    // One call per entry number; a removed entry's number gives S_OK with
    // nothing in it.
    for (uint32_t i = 0; i < count; ++i) {
        result = i == 0 ? list->First(item.Receive()) : list->Next(item.Receive());
        if (QLX_FAILED(result)) return result;
        if (!item) continue;
        Ref<IQLXBuffer> text = Query<IQLXBuffer>(item.get(), IID_IQLXBuffer);
        if (!text) return E_NOINTERFACE;
        uint8_t* bytes = nullptr;
        uint32_t length = 0;
        const int32_t got = text->Get(&bytes, &length);
        if (QLX_FAILED(got)) return got;
        if (!bytes || length == 0) return RES_UNEXPECTED;
        // The text carries its terminating zero byte.
        const size_t chars = strnlen(reinterpret_cast<const char*>(bytes), length);
        each(std::string(reinterpret_cast<const char*>(bytes), chars));
    }
    return S_OK;
}

}  // namespace contfs
