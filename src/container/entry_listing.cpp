// The entries of a container listed as URLs, one per entry number:
// "cont:///" + the container path + "?file=" + the entry name, every
// backslash turned into a forward slash, stored with its zero byte. A
// number with no entry, or a removed one, lists as a null item.
#include <algorithm>
#include <cstring>

#include "buffer/byte_buffer.h"
#include "container/container_file.h"
#include "quoting/entry_name_quotes.h"

// A listed URL: kUrlStart, the container path, kUrlFile, the entry name.
namespace {

constexpr char kUrlStart[] = "cont:///";
constexpr char kUrlFile[] = "?file=";

}  // namespace

int32_t CContainerFile::First(IUnknown** out) {
    MutexHold hold(m_mutex);
    m_enumPosition = 0;
    return Next(out);
}

int32_t CContainerFile::Next(IUnknown** out) {
    MutexHold hold(m_mutex);
    if (!out) return E_INVALIDARG;
    *out = nullptr;
    if (m_enumPosition >= m_entries.Count()) return E_FAIL;
    ContainerEntry* entry = m_entries.At(m_enumPosition);
    if (entry && !entry->name.IsEmpty()) {
        // Quoted where the URL parser would misread the name, so that the
        // listed URL opens this very entry. The URL is put together in the
        // buffer itself: a formatted text has a length limit, and a URL cut
        // short would name another entry.
        const char* const quote = EntryNameNeedsQuotes(entry->name.GetChars()) ? "\"" : "";
        const uint32_t quotes = 2 * static_cast<uint32_t>(std::strlen(quote));
        const uint64_t length = std::strlen(kUrlStart) + m_path.GetLength() + std::strlen(kUrlFile) +
                                entry->name.GetLength() + quotes + 1;
        ByteBuffer* buffer = ByteBuffer::CreateWith(nullptr, 0);
        if (!buffer) return E_OUTOFMEMORY;
        if (length > UINT32_MAX || QLX_FAILED(buffer->SetSize(static_cast<uint32_t>(length)))) {
            buffer->Release();
            return E_OUTOFMEMORY;
        }
        char* const url = reinterpret_cast<char*>(buffer->GetBuffer());
        char* at = url;
        auto put = [&at](const char* text, size_t n) {
            std::memcpy(at, text, n);
            at += n;
        };
        put(kUrlStart, std::strlen(kUrlStart));
        put(m_path.GetChars(), m_path.GetLength());
        put(kUrlFile, std::strlen(kUrlFile));
        put(quote, quotes / 2);
        put(entry->name.GetChars(), entry->name.GetLength());
        put(quote, quotes / 2);
        *at = '\0';
        std::replace(url, at, '\\', '/');
        *out = buffer;
    }
    ++m_enumPosition;
    return S_OK;
}

int32_t CContainerFile::GetCount(uint32_t* count) {
    MutexHold hold(m_mutex);
    if (count) *count = m_entries.Count();
    return S_OK;
}
