#include "vfile/virtual_file_object.h"

#include "container/container_registry.h"
#include "container/record_format.h"
#include "frame/module_count.h"
#include "platform/same_file.h"
#include "platform/thread_yield.h"
#include "util/container_url.h"
#include "util/text.h"

namespace {

IContainerFile* LookupContainer(const CompactString& path) {
    void* value = nullptr;
    if (!ContainerRegistry().Lookup(path.GetChars(), &value)) return nullptr;
    return static_cast<IContainerFile*>(value);
}

// The search by title: the part of the path after its last separator,
// compared without regard to case with each open container's title. The
// last match in registry order wins. Caller holds the registry lock.
//
// A title is only a file name: clips.cnt in two directories are two
// containers, and here names differing in letter case are different files
// too. So a title match is joined only when the path leads to the very file
// the container has open, spelled differently (relative against absolute,
// doubled separators, a linked directory).
IContainerFile* FindByTitle(const CompactString& path) {
    StringMap& registry = ContainerRegistry();
    if (registry.Count() == 0) return nullptr;
    int32_t slash = path.ReverseFind('/');
    int32_t backslash = path.ReverseFind('\\');
    int32_t last = slash > backslash ? slash : backslash;
    CompactString baseName = last < 0 ? path : path.SubstringFrom(static_cast<uint32_t>(last + 1));
    IContainerFile* match = nullptr;
    StringMap::Position position = StringMap::StartPosition;
    CompactString key;
    void* value = nullptr;
    while (position && registry.GetNextAssoc(position, key, value)) {
        IContainerFile* container = static_cast<IContainerFile*>(value);
        const char* title = container ? container->GetTitle() : nullptr;
        if (!title || !*title || CompareNoCase(title, baseName.GetChars()) != 0) continue;
        if (platform::SameFile(container->GetPath(), path.GetChars()))
            match = container;
    }
    return match;
}

// Buffers above this size are not kept between reads: an object read once
// in one large piece would otherwise hold that much memory until released.
constexpr uint32_t kLargestReusedBuffer = 1u << 20;

}  // namespace

CVirtualFileObject::CVirtualFileObject() { platform::AtomicIncrement(ModuleObjectCount); }

CVirtualFileObject::~CVirtualFileObject() {
    if (m_request) m_request->Release();
    if (m_response) {
        m_response->CloseFinished(S_OK);
        m_response->Release();
    }
    // The container may live on for other file objects: this writer's
    // gathered bytes go out now, as at Close.
    if (m_container && m_cursor.gather) m_container->WriteOutGathered(&m_cursor);
    // The container's last release may destroy it, and its destructor
    // takes the registry lock itself.
    if (m_container) m_container->Release();
    if (m_inspected) m_inspected->Release();
    KeepForReuse(nullptr);
    // Counted down last, so that CanUnload cannot answer S_OK while this
    // destructor still runs module code.
    platform::AtomicDecrement(ModuleObjectCount);
}

int32_t CVirtualFileObject::Create(IUnknown** out) {
    if (!out) return E_POINTER;
    CVirtualFileObject* object = new (std::nothrow) CVirtualFileObject;
    if (!object) return E_OUTOFMEMORY;
    if (QLX_FAILED(object->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(out)))) {
        delete static_cast<CUnknownIMP*>(object);
        return RES_UNEXPECTED;
    }
    return S_OK;
}

int32_t CVirtualFileObject::InnerQueryInterface(const QLXGUID& iid, void** out) {
    if (!out) return E_POINTER;
    if (iid == IID_IUnknown) return AnswerUnknown(out);
    if (iid == IID_IQLXFileObject) return AnswerInterface(static_cast<IQLXFileObject*>(this), out);
    if (iid == IID_IQLXFileObject64) return AnswerInterface(static_cast<IQLXFileObject64*>(this), out);
    if (iid == IID_IQLXFileStat) return AnswerInterface(static_cast<IQLXFileStat*>(this), out);
    if (iid == IID_IQLXFileExists) return AnswerInterface(static_cast<IQLXFileExists*>(this), out);
    if (iid == IID_IQLXGetFileFromSamePool) return AnswerInterface(static_cast<IQLXGetFileFromSamePool*>(this), out);
    if (iid == IID_IQLXRequestHandler) return AnswerInterface(static_cast<IQLXRequestHandler*>(this), out);
    if (iid == IID_IQLXFileRemove) return AnswerInterface(static_cast<IQLXFileRemove*>(this), out);
    if (iid == IID_IQLXFileSync) return AnswerInterface(static_cast<IQLXFileSync*>(this), out);
    // The entries of the container behind this file are listed by the
    // container itself: the host gets its enumerator, holding the container.
    if (iid == IID_IQLXEnumeratorIUnknown && m_container) {
        if (QLX_SUCCEEDED(m_container->QueryInterface(iid, out))) return S_OK;
    }
    // What the container found damaged is the container's to tell, also
    // when its directory could not be read and the Open failed.
    IContainerFile* inspected = m_container ? m_container : m_inspected;
    if (iid == IID_IQLXContainerInspector && inspected) {
        if (QLX_SUCCEEDED(inspected->QueryInterface(iid, out))) return S_OK;
    }
    return NoInterface(out);
}

// ---- IQLXFileObject ----------------------------------------------------------

int32_t CVirtualFileObject::Open(uint32_t access, IQLXFileResponse* response) {
    int32_t result = S_OK;
    if (!m_request) {
        result = E_INVALIDARG;
    } else {
        // The new one is taken first: it may be the one already held.
        if (response) response->AddRef();
        if (m_response) m_response->Release();
        m_response = response;
        // A second Open only swaps the response.
        if (!m_container) result = OpenContainerEntry(access);
    }
    if (m_response) m_response->OpenFinished(result);
    return result;
}

int32_t CVirtualFileObject::OpenContainerEntry(uint32_t access) {
    if (m_inspected) {
        m_inspected->Release();
        m_inspected = nullptr;
    }
    CompactString path;
    const char* text = nullptr;
    if (QLX_SUCCEEDED(m_request->GetRequestURL(&text)) && text) {
        ContainerUrl url = ParseHostUrl(text);
        if (url.outOfMemory) return E_OUTOFMEMORY;
        path = url.path;
        // A URL without a "file" option keeps the name an earlier Open read.
        if (url.namesEntry) m_entryName = url.entryName;
        if (url.gather) access |= GatherAccess;
    }
    if (path.IsEmpty()) return E_FAIL;

    int32_t result = AcquireContainer(path, access);
    if (QLX_FAILED(result)) return result;

    // Looking for the entry and adding it is one step under the registry
    // lock, so two file objects adding the same name on two threads never
    // both succeed.
    RegistryHold hold;
    ContainerEntry* entry = m_container->FindEntry(m_entryName);
    if (access & WriteAccess) {
        if (entry) {
            result = E_FAIL;  // the entry is still recorded below
        } else {
            entry = m_container->AddEntry(m_entryName);
            // No entry (no name, or every entry number in use) is nothing
            // to write to.
            if (!entry) result = E_FAIL;
        }
    }
    if (access & ReadAccess) {
        if (!entry) result = E_FAIL;
    }
    // Without an entry the cursor names none, so that a host reading or
    // writing after the failed Open is refused rather than given entry 0.
    m_cursor.index = entry ? entry->index : record_format::kNoEntryIndex;
    // Only a writer gathers: a reader's URL may carry the option as well.
    m_cursor.gather = (access & WriteAccess) && (access & GatherAccess);
    return result;
}

int32_t CVirtualFileObject::AcquireContainer(const CompactString& path, uint32_t access) {
    for (;;) {
        IContainerFile* readOnly = nullptr;
        {
            RegistryHold hold;
            bool dying = false;
            IContainerFile* found = LookupContainer(path);
            if (!found && !(access & WriteAccess)) found = FindByTitle(path);
            if (found) {
                if (found->TryHold()) {
                    if (!(access & WriteAccess) || found->IsWritable()) {
                        m_container = found;
                        return S_OK;
                    }
                    readOnly = found;
                } else {
                    dying = true;
                }
            }
            if (!dying && !readOnly) return OpenNewContainer(path, access);
        }
        // A container this process holds for reading only takes no writes:
        // the Open is refused now, as it is while another process holds the
        // file, rather than every Write afterwards. Released outside the
        // lock, as the last reference may go meanwhile.
        if (readOnly) {
            readOnly->Release();
            return E_ACCESSDENIED;
        }
        // The container under this path is being destroyed on another
        // thread and leaves the registry once its file is flushed and
        // closed. Opening the file beside it would race with that flush.
        platform::YieldThread();
    }
}

// Called with the registry lock held, so that no other thread can open a
// second container for the same path meanwhile.
int32_t CVirtualFileObject::OpenNewContainer(const CompactString& path, uint32_t access) {
    IContainerFile* container = NewContainerFile(path.GetChars(), access);
    if (!container) return E_OUTOFMEMORY;
    container->AddRef();
    if (!container->IsOpen()) {
        container->Release();
        return E_ACCESSDENIED;
    }
    int32_t result = S_OK;
    // A container that other file objects may join for reading needs its
    // directory, also when this one asked for neither kind of access; one
    // that is added to needs it before anything can be written.
    const bool appending = (access & WriteAccess) && (access & AppendAccess);
    if (appending || (access & ReadAccess) || !(access & WriteAccess)) {
        result = container->ReadDirectory();
        if ((access & WriteAccess) && !appending) result = S_OK;  // a new, empty file has none
    }
    // Unregistered, the container would be opened a second time beside
    // itself by the next file object on this path.
    int32_t registered = ContainerRegistry().SetAt(path.GetChars(), container);
    if (QLX_FAILED(registered)) {
        container->Release();
        return QLX_FAILED(result) ? result : registered;
    }
    if (QLX_FAILED(result)) {
        // Out of the registry and its file closed, so the path is free for
        // the next Open; kept so the host can ask what was damaged.
        ContainerRegistry().RemoveKey(path.GetChars());
        container->Retire();
        m_inspected = container;
        return result;
    }
    m_container = container;
    return S_OK;
}

int32_t CVirtualFileObject::GetName(const char** name) {
    if (!name) return E_POINTER;
    if (m_entryName.IsEmpty()) return E_FAIL;
    *name = m_entryName.GetChars();
    return S_OK;
}

int32_t CVirtualFileObject::Close() {
    // A gathering writer's bytes go out; their loss, now or before, is
    // Close's failure, as fclose reports what its buffer could not write.
    const int32_t result = m_container && m_cursor.gather ? m_container->WriteOutGathered(&m_cursor) : S_OK;
    if (m_request) {
        m_request->Release();
        m_request = nullptr;
    }
    if (m_response) {
        IQLXFileResponse* response = m_response;
        m_response = nullptr;
        response->CloseFinished(result);
        response->Release();
    }
    KeepForReuse(nullptr);
    return result;
}

int32_t CVirtualFileObject::Read(uint32_t count) {
    if (!m_container) return E_FAIL;
    IQLXBuffer* data = nullptr;
    int32_t result = m_container->ReadEntryReusing(&m_cursor, m_reusable, &data, count);
    // While the host has it, a buffer filled again is held as a new one is:
    // by the reference handed to the host alone.
    if (data && data == m_reusable) KeepForReuse(nullptr);
    if (m_response) m_response->ReadFinished(result, data);
    KeepForReuse(data);
    if (data) data->Release();
    return result;
}

void CVirtualFileObject::KeepForReuse(IQLXBuffer* data) {
    if (data == m_reusable) return;
    if (m_reusable) m_reusable->Release();
    m_reusable = data && data->GetSize() <= kLargestReusedBuffer ? data : nullptr;
    if (m_reusable) m_reusable->AddRef();
}

int32_t CVirtualFileObject::Write(IQLXBuffer* data) {
    if (!m_container) return E_FAIL;
    // A missing buffer reaches the container, which refuses it with
    // E_POINTER, so that the host waiting for WriteFinished still gets it.
    int32_t result = m_container->WriteEntry(&m_cursor, data);
    if (m_response) m_response->WriteFinished(result);
    return result;
}

int32_t CVirtualFileObject::Seek(uint32_t offset, int32_t relative) { return Seek64(offset, 0, relative); }

int32_t CVirtualFileObject::Notify(uint32_t) { return E_NOTIMPL; }

// ---- IQLXFileObject64 --------------------------------------------------------

int32_t CVirtualFileObject::Seek64(uint32_t offsetLow, uint32_t offsetHigh, int32_t relative) {
    if (!m_container) return E_FAIL;
    uint64_t target = (static_cast<uint64_t>(offsetHigh) << 32) | offsetLow;
    // Relative seeks wrap modulo 2^64, so a two's complement offset moves back.
    if (relative) target += m_cursor.logicalPosition;
    int32_t result = S_OK;
    // A gathering writer's every Seek writes its gathered bytes out.
    if (target != m_cursor.logicalPosition) {
        result = m_container->SeekEntry(&m_cursor, target);
    } else if (m_cursor.gather) {
        result = m_container->WriteOutGathered(&m_cursor);
    }
    if (m_response) m_response->SeekFinished(result);
    return result;
}

// ---- IQLXRequestHandler ------------------------------------------------------

int32_t CVirtualFileObject::AssignRequest(IQLXRequest* request) {
    if (!request) return E_INVALIDARG;
    request->AddRef();
    if (m_request) m_request->Release();
    m_request = request;
    return S_OK;
}

int32_t CVirtualFileObject::RetrieveRequest(IQLXRequest** out) {
    if (!out) return E_POINTER;
    *out = m_request;
    if (m_request) m_request->AddRef();
    return S_OK;
}

// ---- IQLXFileStat ------------------------------------------------------------

int32_t CVirtualFileObject::Stat(IQLXFileStatResponse* response) {
    if (!response) return E_POINTER;
    bool found = false;
    uint32_t size = 0;
    platform::FileStat32 stat{};
    if (m_container) {
        ContainerEntry* entry = m_container->FindEntry(m_entryName);
        if (entry && QLX_SUCCEEDED(m_container->StatContainer(&stat))) {
            found = true;
            // Modulo 2^32, as the callback carries it; read under the
            // container's mutex, as another file object may be writing it.
            size = static_cast<uint32_t>(m_container->EntrySize(entry));
        }
    }
    if (found) {
        response->StatFinished(S_OK, size, stat.creationTime, stat.accessTime, stat.modificationTime, stat.mode);
    } else {
        response->StatFinished(E_FAIL, 0, 0, 0, 0, 0);
    }
    return S_OK;
}

// ---- IQLXFileExists ----------------------------------------------------------

int32_t CVirtualFileObject::CheckExistence(const char* url, IQLXFileExistsResponse* response) {
    if (!response) return E_POINTER;
    // Without memory the name may be lost, and no name stands for another entry.
    const ContainerUrl parsed = ParseContainerUrl(url);
    bool exists = false;
    IContainerFile* container = nullptr;
    if (!parsed.outOfMemory && !parsed.path.IsEmpty()) {
        RegistryHold hold;
        container = LookupContainer(parsed.path);
        if (container && container->TryHold()) {
            exists = container->FindEntry(parsed.entryName) != nullptr;
        } else {
            container = nullptr;
        }
    }
    // Released outside the lock: this may be the last reference.
    if (container) container->Release();
    response->ExistsFinished(exists ? 1 : 0);
    return parsed.outOfMemory ? E_OUTOFMEMORY : S_OK;
}

// ---- IQLXGetFileFromSamePool -------------------------------------------------

int32_t CVirtualFileObject::CreatePooledFile(IQLXFilePoolResponse* response) {
    if (!response) return E_POINTER;
    CVirtualFileObject* object = new (std::nothrow) CVirtualFileObject;
    if (!object) return E_OUTOFMEMORY;
    IUnknown* file = nullptr;
    int32_t result = object->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&file));
    response->PooledFileReady(QLX_SUCCEEDED(result) ? S_OK : E_FAIL, file);
    // The object lives on only if the host took a reference in the callback.
    if (file) {
        file->Release();
    } else {
        delete static_cast<CUnknownIMP*>(object);
    }
    return result;
}

// ---- IQLXFileRemove ----------------------------------------------------------

int32_t CVirtualFileObject::Remove() {
    if (!m_container) return E_FAIL;
    return m_container->RemoveEntry(m_entryName);
}

// ---- IQLXFileSync ------------------------------------------------------------

int32_t CVirtualFileObject::Sync() {
    if (!m_container) return E_FAIL;
    return m_container->Sync();
}
