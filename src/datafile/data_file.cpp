#include "datafile/data_file.h"

#include <algorithm>
#include <new>

#include "buffer/byte_buffer.h"
#include "datafile/mapped_file.h"
#include "datafile/descriptor_file.h"

DataFile::~DataFile() = default;

int32_t DataFile::GetLastErrorCode() { return m_lastError; }

int32_t DataFile::MakeTempFileName(const char*, char*) { return 0; }

int32_t DataFile::OpenShared(const char* path, uint32_t flags, uint32_t, int32_t textMode) {
    return Open(path, flags, textMode);
}

int32_t DataFile::GetFileLength() { return 0; }

int32_t DataFile::SetFileLength(uint32_t) { return E_NOTIMPL; }

int32_t DataFile::Seek64(uint32_t offsetLow, uint32_t, uint32_t origin) {
    return Seek(static_cast<int32_t>(offsetLow), origin);
}

uint64_t DataFile::Tell64() { return static_cast<uint64_t>(static_cast<uint32_t>(Tell())); }

// Reads straight into the new buffer rather than through a scratch block:
// the same bytes and results, one copy fewer.
int32_t DataFile::ReadBuffer(uint32_t count, IQLXBuffer** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (GetDescriptor() < 0) return E_FAIL;
    // Clamped against the whole file, not what lies after the position;
    // worked in 64 bits so that a count above 2 GiB is not taken as negative.
    int64_t length = std::max<int64_t>(GetFileLength(), 0);
    uint32_t n = static_cast<uint32_t>(std::min<int64_t>(count, length));

    ByteBuffer* buffer = new (std::nothrow) ByteBuffer;
    if (!buffer) return E_OUTOFMEMORY;
    buffer->AddRef();
    if (QLX_FAILED(buffer->SetSize(n))) {
        buffer->Release();
        return E_OUTOFMEMORY;
    }
    int32_t got = Read(buffer->GetBuffer(), n);
    if (got < 0) {
        buffer->Release();
        return RES_IO_ERROR;
    }
    if (QLX_FAILED(buffer->SetSize(static_cast<uint32_t>(got)))) {
        buffer->Release();
        return E_FAIL;
    }
    *out = buffer;
    return S_OK;
}

int32_t DataFile::ReservedFirst(uint32_t) { return 0; }

int32_t DataFile::ReservedSecond(uint32_t) { return 0; }

int64_t DataFile::GetFileLength64() { return -1; }

int32_t DataFile::SetFileLength64(uint64_t) { return E_NOTIMPL; }

int32_t DataFile::ReadAt(uint64_t offset, void* dst, uint32_t count) {
    const uint64_t position = Tell64();
    if (position == UINT64_MAX || offset > static_cast<uint64_t>(INT64_MAX)) return -1;
    if (QLX_FAILED(Seek64(static_cast<uint32_t>(offset), static_cast<uint32_t>(offset >> 32), kSeekSet))) return -1;
    const int32_t got = Read(dst, count);
    const int32_t back = Seek64(static_cast<uint32_t>(position), static_cast<uint32_t>(position >> 32), kSeekSet);
    return QLX_FAILED(back) ? -1 : got;
}

int32_t DataFile::WriteAt(uint64_t offset, const void* src, uint32_t count) {
    const uint64_t position = Tell64();
    if (position == UINT64_MAX || offset > static_cast<uint64_t>(INT64_MAX)) return -1;
    if (QLX_FAILED(Seek64(static_cast<uint32_t>(offset), static_cast<uint32_t>(offset >> 32), kSeekSet))) return -1;
    const int32_t put = Write(src, count);
    const int32_t back = Seek64(static_cast<uint32_t>(position), static_cast<uint32_t>(position >> 32), kSeekSet);
    return QLX_FAILED(back) || put != static_cast<int32_t>(count) ? -1 : put;
}

int32_t DataFile::SetShare(uint32_t) { return E_NOTIMPL; }

int32_t DataFile::Sync() { return E_NOTIMPL; }

int32_t DataFile::StartWriteBack(uint64_t, uint64_t) { return S_OK; }

int32_t DataFile::GetLastSystemError() { return m_lastSystemError; }
int32_t DataFile::ReadAhead(uint64_t, uint64_t) { return S_OK; }

namespace {

DataFileWrapper g_wrapper = nullptr;

DataFile* MakeDataFile(int kind) {
    switch (kind) {
        case 0: return new (std::nothrow) DescriptorFile;
        case 1: return new (std::nothrow) MappedFile;
        default: return nullptr;
    }
}

}  // namespace

DataFile* CreateDataFile(int kind) {
    DataFile* made = MakeDataFile(kind);
    return made && g_wrapper ? g_wrapper(made) : made;
}

void SetDataFileWrapperForTests(DataFileWrapper wrapper) { g_wrapper = wrapper; }
