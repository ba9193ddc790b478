#include "datafile/mapped_file.h"

#include <atomic>

#include "buffer/fragmented_buffer.h"

namespace {

constexpr uint32_t kAppendFlag = 0x0008;
constexpr uint32_t kCreateFlag = 0x0100;
constexpr uint32_t kTruncateFlag = 0x0200;
constexpr uint32_t kExclusiveFlag = 0x0400;
constexpr uint32_t kAccessMask = 0x0003;

// Fetched once; every thread that races here stores the same value.
std::atomic<uint32_t> g_granularity{0};

uint32_t Granularity() {
    uint32_t value = g_granularity.load(std::memory_order_relaxed);
    if (value == 0) {
        value = platform::AllocationGranularity();
        g_granularity.store(value, std::memory_order_relaxed);
    }
    return value;
}

platform::MapDisposition DispositionFor(uint32_t flags) {
    if (flags & kCreateFlag)
        return (flags & kExclusiveFlag) ? platform::MapDisposition::kCreateNew : platform::MapDisposition::kOpenAlways;
    return (flags & kTruncateFlag) ? platform::MapDisposition::kTruncateExisting
                                   : platform::MapDisposition::kOpenExisting;
}

}  // namespace

// ---- MappedFile -------------------------------------------------------------

MappedFile::~MappedFile() { Close(); }

int32_t MappedFile::Create(const char* path, uint32_t mode, uint32_t ignored) {
    return Open(path, mode, static_cast<int32_t>(ignored));
}

int32_t MappedFile::Open(const char* path, uint32_t flags, int32_t) {
    if (flags & kAppendFlag) return E_INVALIDARG;
    Close();
    const bool writable = (flags & kAccessMask) != 0;
    int32_t code = platform::OpenMappedFile(path, writable, DispositionFor(flags), &m_file);
    if (code == 0) code = platform::MappedFileSize(m_file, &m_size);
    // A file that opened but cannot be mapped (an empty one) stays open
    // until Close; nothing can be read from it.
    if (code == 0) code = platform::CreateFileMapping(m_file, &m_mapping);
    return code == 0 ? S_OK : QLXResultFromPlatformError(code);
}

int32_t MappedFile::Close() {
    platform::CloseFileMapping(m_mapping);
    m_mapping = nullptr;
    platform::CloseMappedFile(m_file);
    m_file = -1;
    m_position = 0;
    m_size = 0;
    return S_OK;
}

// Moves to base + offset; a target outside 0..2^63 is refused.
int32_t MappedFile::SeekTo(int64_t base, int64_t offset) {
    if (offset < 0 ? base + offset < 0 : base > INT64_MAX - offset) return E_INVALIDARG;
    m_position = static_cast<uint64_t>(base + offset);
    return S_OK;
}

int32_t MappedFile::Seek(int32_t offset, uint32_t origin) {
    if (!m_mapping) return E_FAIL;
    switch (origin & 0xFFFFu) {
        case 0: m_position = static_cast<uint32_t>(offset); return S_OK;
        case 1: return SeekTo(static_cast<int64_t>(m_position), offset);
        case 2: return SeekTo(static_cast<int64_t>(m_size), offset);
        default: return S_OK;
    }
}

int32_t MappedFile::Seek64(uint32_t offsetLow, uint32_t offsetHigh, uint32_t origin) {
    if (!m_mapping) return E_FAIL;
    const int64_t offset = static_cast<int64_t>((static_cast<uint64_t>(offsetHigh) << 32) | offsetLow);
    switch (origin & 0xFFFFu) {
        case 0: return SeekTo(0, offset);
        case 1: return SeekTo(static_cast<int64_t>(m_position), offset);
        case 2: return SeekTo(static_cast<int64_t>(m_size), offset);
        default: return S_OK;
    }
}

int32_t MappedFile::Tell() {
    if (!m_mapping || m_position > 0xFFFFFFFFu) return -1;
    return static_cast<int32_t>(static_cast<uint32_t>(m_position));
}

uint64_t MappedFile::Tell64() { return m_mapping ? m_position : UINT64_MAX; }

int32_t MappedFile::Read(void*, uint32_t) { return -1; }

int32_t MappedFile::Write(const void*, uint32_t) { return -1; }

int32_t MappedFile::Rewind() { return Seek(0, 0); }

int16_t MappedFile::GetDescriptor() { return 0; }

int32_t MappedFile::Delete(const char*) { return E_NOTIMPL; }

int64_t MappedFile::GetFileLength64() { return m_mapping ? static_cast<int64_t>(m_size) : -1; }

int32_t MappedFile::ReadBuffer(uint32_t count, IQLXBuffer** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (!m_mapping || m_position >= m_size) return E_FAIL;

    MappedViewBuffer* view = nullptr;
    int32_t result = CreateUnknownObject(&view);
    if (QLX_FAILED(result)) return result;
    IQLXBuffer* viewBuffer = nullptr;
    view->QueryInterface(IID_IQLXBuffer, reinterpret_cast<void**>(&viewBuffer));
    // Not clamped to what remains: a view past the end is refused, and that
    // refusal is the result.
    result =
        view->MapWindow(m_mapping, static_cast<uint32_t>(m_position >> 32), static_cast<uint32_t>(m_position), count);
    if (QLX_FAILED(result)) {
        viewBuffer->Release();
        return result;
    }

    IUnknown* unknown = nullptr;
    result = CreateFragmentedBuffer(&unknown);
    if (QLX_FAILED(result)) {
        viewBuffer->Release();
        return result;
    }
    IQLXFragmentedBuffer* chain = nullptr;
    unknown->QueryInterface(IID_IQLXFragmentedBuffer, reinterpret_cast<void**>(&chain));
    result = chain->AppendFragment(viewBuffer, 0, count);  // the view buffer itself, no wrapper
    if (QLX_SUCCEEDED(result)) {
        unknown->QueryInterface(IID_IQLXBuffer, reinterpret_cast<void**>(out));
        m_position += count;
    }
    chain->Release();
    unknown->Release();
    viewBuffer->Release();
    return result;
}

// ---- MappedViewBuffer -------------------------------------------------------

MappedViewBuffer::~MappedViewBuffer() { Unmap(); }

void MappedViewBuffer::Unmap() {
    if (m_viewBase) platform::UnmapView(m_viewBase, static_cast<uint64_t>(m_length) + m_offsetInView);
    m_viewBase = nullptr;
    m_length = 0;
    m_offsetInView = 0;
}

int32_t MappedViewBuffer::MapWindow(platform::FileMapping* mapping, uint32_t positionHigh, uint32_t positionLow,
                                    uint32_t count) {
    Unmap();
    if (count == 0 || !mapping) return E_INVALIDARG;
    const uint32_t offsetInView = positionLow % Granularity();
    const uint64_t start = (static_cast<uint64_t>(positionHigh) << 32) | (positionLow - offsetInView);
    const void* view = nullptr;
    int32_t code = platform::MapView(mapping, start, static_cast<uint64_t>(count) + offsetInView, &view);
    if (code != 0) return QLXResultFromPlatformError(code);
    m_viewBase = static_cast<const uint8_t*>(view);
    m_length = count;
    m_offsetInView = offsetInView;
    return S_OK;
}

int32_t MappedViewBuffer::InnerQueryInterface(const QLXGUID& iid, void** out) {
    if (!out) return E_POINTER;
    if (iid == IID_IUnknown) return AnswerUnknown(out);
    if (iid == IID_IQLXBuffer) return AnswerInterface(static_cast<IQLXBuffer*>(this), out);
    return NoInterface(out);
}

int32_t MappedViewBuffer::Get(uint8_t** data, uint32_t* length) {
    if (data) *data = GetBuffer();
    if (length) *length = m_length;
    return S_OK;
}

int32_t MappedViewBuffer::Set(const uint8_t*, uint32_t) { return E_NOTIMPL; }

int32_t MappedViewBuffer::SetSize(uint32_t) { return E_NOTIMPL; }

uint32_t MappedViewBuffer::GetSize() { return m_length; }

// The pages are mapped read-only: the pointer is for reading.
uint8_t* MappedViewBuffer::GetBuffer() {
    return m_viewBase ? const_cast<uint8_t*>(m_viewBase) + m_offsetInView : nullptr;
}
