#include "container/container_file.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <iterator>
#include <map>
#include <new>
#include <stdexcept>

#include "buffer/kt_buffer.h"
#include "container/big_endian.h"
#include "container/container_registry.h"
#include "container/seek_table.h"
#include "quoting/entry_name_quotes.h"
#include "util/text.h"

using namespace record_format;

namespace {

constexpr uint32_t kOpenForReading = kOpenReadOnly | kOpenBinary;                               // 0x8000
constexpr uint32_t kOpenForCreating = kOpenReadWrite | kOpenCreate | kOpenTruncate | kOpenBinary;  // 0x8302
constexpr uint32_t kOpenForPatching = kOpenWriteOnly | kOpenBinary;                             // 0x8001
static_assert(kOpenForReading == 0x8000 && kOpenForCreating == 0x8302 && kOpenForPatching == 0x8001,
              "open flags of the container");

constexpr uint32_t kNameMapBlockSize = 10;

// The title a new container stores: the last component of its path. A
// title is never empty (the reader refuses length 0): with no separator it is
// the whole path, and a long component is cut to 255 bytes on a character
// boundary.
CompactString TitleFromPath(const char* path) {
    const char* start = path;
    for (const char* p = path; *p; p = NextChar(p)) {
        if (*p == '\\' || *p == '/') start = p + 1;
    }
    if (!*start) start = path;
    const char* end = start;
    while (*end) {
        const char* next = NextChar(end);
        if (next - start > static_cast<ptrdiff_t>(kMaxTitleWritten)) break;
        end = next;
    }
    return CompactString(start, static_cast<uint32_t>(end - start));
}

}  // namespace

CContainerFile::CContainerFile(const char* path, uint32_t access, CLuDataFile* dataFile)
    : m_path(path ? path : ""), m_names(kNameMapBlockSize), m_writable((access & kContainerWriteAccess) != 0) {
    NewMutex(&m_mutex);
    m_file = dataFile ? dataFile : CreateDataFile(0);
    if (m_file && QLX_FAILED(m_file->Open(m_path.GetChars(), m_writable ? kOpenForCreating : kOpenForReading, 0))) {
        delete m_file;
        m_file = nullptr;
    }
    m_title = TitleFromPath(m_path.GetChars());
}

ITWContainerFile* NewContainerFile(const char* path, uint32_t access) {
    return new (std::nothrow) CContainerFile(path, access);
}

CContainerFile::~CContainerFile() {
    FlushAndClose();
    // Only now, with the file written back and closed, may another container
    // be opened on this path: until the key goes, an Open that finds this
    // container dying waits for it.
    {
        RegistryHold hold;
        ContainerRegistry().RemoveKey(m_path.GetChars());
    }
    for (uint32_t i = 0; i < EntryCount(); ++i) delete EntryAt(i);
    delete m_file;
    delete m_mutex;
}

int32_t CContainerFile::InnerQueryInterface(const QLXGUID& iid, void** out) {
    if (!out) return E_POINTER;
    if (iid == IID_IUnknown) return AnswerUnknown(out);
    if (iid == IID_ITWContainerFile) return AnswerInterface(static_cast<ITWContainerFile*>(this), out);
    if (iid == IID_IQLXEnumeratorIUnknown) return AnswerInterface(static_cast<IQLXEnumeratorIUnknown*>(this), out);
    return NoInterface(out);
}

int32_t CContainerFile::IsOpen() { return m_file != nullptr; }

const char* CContainerFile::GetTitle() { return m_title.GetChars(); }

const char* CContainerFile::GetPath() { return m_path.GetChars(); }

int32_t CContainerFile::TryHold() { return TryAddRef() ? 1 : 0; }

uint64_t CContainerFile::EntrySize(const ContainerEntry* entry) {
    MutexHold hold(m_mutex);
    return entry ? entry->size : 0;
}

int32_t CContainerFile::StatContainer(platform::FileStat32* out) {
    if (!out) return E_POINTER;
    return platform::StatPath(m_path.GetChars(), out) ? S_OK : E_FAIL;
}

// ---- data-file primitives ---------------------------------------------------

int64_t CContainerFile::FileLength() { return m_file ? m_file->GetFileLength64() : -1; }

int32_t CContainerFile::SeekTo(uint64_t target) {
    if (!m_file) return RES_IO_ERROR;
    if (target == m_position) return S_OK;
    if (target > static_cast<uint64_t>(INT64_MAX)) return RES_IO_ERROR;
    int32_t result = m_file->Seek64(static_cast<uint32_t>(target), static_cast<uint32_t>(target >> 32), kSeekSet);
    if (QLX_SUCCEEDED(result)) m_position = target;
    return result;
}

// Transfers go in pieces a 32-bit signed count can report.
static constexpr uint32_t kTransferPiece = 0x40000000;

int32_t CContainerFile::ReadExact(void* dst, uint64_t count) {
    if (!m_file) return RES_IO_ERROR;
    uint8_t* at = static_cast<uint8_t*>(dst);
    uint64_t done = 0;
    while (done < count) {
        uint32_t piece = static_cast<uint32_t>(count - done < kTransferPiece ? count - done : kTransferPiece);
        int32_t got = m_file->Read(at + done, piece);
        if (got < 0) {
            m_position = kUnknownPosition;
            return E_FAIL;
        }
        if (got == 0) break;
        done += static_cast<uint32_t>(got);
        m_position += static_cast<uint32_t>(got);
    }
    return done == count ? S_OK : E_FAIL;
}

// As many bytes as the file has, up to count; 0 at the end or on failure.
uint32_t CContainerFile::ReadUpTo(void* dst, uint32_t count) {
    if (!m_file) return 0;
    uint8_t* at = static_cast<uint8_t*>(dst);
    uint32_t done = 0;
    while (done < count) {
        int32_t got = m_file->Read(at + done, count - done);
        if (got < 0) m_position = kUnknownPosition;
        if (got <= 0) break;
        done += static_cast<uint32_t>(got);
        m_position += static_cast<uint32_t>(got);
    }
    return done;
}

int32_t CContainerFile::WriteExact(const void* src, uint64_t count, uint64_t* written) {
    if (written) *written = 0;
    if (!m_file) return RES_IO_ERROR;
    const uint8_t* at = static_cast<const uint8_t*>(src);
    uint64_t done = 0;
    int32_t result = S_OK;
    while (done < count) {
        uint32_t piece = static_cast<uint32_t>(count - done < kTransferPiece ? count - done : kTransferPiece);
        int32_t put = m_file->Write(at + done, piece);
        if (put <= 0) {
            if (put < 0) m_position = kUnknownPosition;
            result = E_FAIL;
            break;
        }
        done += static_cast<uint32_t>(put);
        m_position += static_cast<uint32_t>(put);
        if (m_position > m_writeEnd) m_writeEnd = m_position;
    }
    if (written) *written = done;
    return result;
}

int32_t CContainerFile::WriteAt(uint64_t target, const void* src, uint64_t count) {
    int32_t result = SeekTo(target);
    if (QLX_FAILED(result)) return result;
    return WriteExact(src, count);
}

int32_t CContainerFile::ReadRecordHead(RecordHeader* out) {
    out->offset = m_position;
    int32_t result = ReadExact(m_scratch, kRecordHeadSize);
    if (QLX_FAILED(result)) return result;
    return DecodeRecordHead(out);
}

int32_t CContainerFile::DecodeRecordHead(RecordHeader* out) {
    out->type = m_scratch[kRecordTypeOffset];
    out->length = big_endian::Get32(m_scratch + kRecordLengthOffset);
    out->lengthGiven = out->length != kGrowingLength;
    if (!out->lengthGiven) {
        // A record still growing when the file was last written reaches the
        // end of the file, which is taken at its true 64-bit length.
        int64_t fileLength = FileLength();
        uint64_t payloadStart = out->offset + kRecordHeadSize;
        if (fileLength < 0 || static_cast<uint64_t>(fileLength) < payloadStart) return E_FAIL;
        out->length = static_cast<uint64_t>(fileLength) - payloadStart;
    }
    return S_OK;
}

// Scans read the record head and, for a data record, its entry index and
// logical offset in one transfer. The position is left wherever the read
// ended; scans position themselves before their next transfer.
int32_t CContainerFile::ReadRecordAndDataHead(RecordHeader* record, DataRecordHeader* data, bool* isData) {
    *isData = false;
    record->offset = m_position;
    if (record->offset == kUnknownPosition) return E_FAIL;
    uint32_t got = ReadUpTo(m_scratch, kDataRecordHeadSize);
    if (got < kRecordHeadSize) return E_FAIL;
    int32_t result = DecodeRecordHead(record);
    if (QLX_FAILED(result)) return result;
    if (record->type == kDataRecord && record->length >= kDataHeadPayload && got == kDataRecordHeadSize) {
        data->record = *record;
        data->entryIndex = big_endian::Get32(m_scratch + kDataEntryIndexOffset);
        data->logicalOffset = big_endian::Get64(m_scratch + kDataLogicalOffsetOffset);
        *isData = true;
    }
    return S_OK;
}

int32_t CContainerFile::FixOpenRecord() {
    if (m_openRecordLength == 0) return S_OK;
    uint8_t length[4];
    big_endian::Put32(length, m_openRecordLength);
    uint64_t lengthField = m_writeEnd - m_openRecordLength - sizeof length;
    m_openRecordLength = 0;
    return WriteAt(lengthField, length, sizeof length);
}

int32_t CContainerFile::ReopenFile(uint32_t flags) {
    m_file->Close();
    m_position = 0;
    return m_file->Open(m_path.GetChars(), flags, 0);
}

// ---- directory ------------------------------------------------------------------

CContainerFile::_CStoredEntry* CContainerFile::EntryAt(uint64_t index) const {
    if (index >= EntryCount()) return nullptr;
    return static_cast<_CStoredEntry*>(m_entries.GetAt(static_cast<int32_t>(index)));
}

int32_t CContainerFile::ReadDirectory() {
    MutexHold hold(m_mutex);
    if (!m_file) return E_FAIL;
    if (m_directoryRead || m_writing || EntryCount() != 0) return RES_UNEXPECTED;
    m_directoryRead = true;

    int32_t result = SeekTo(0);
    if (QLX_SUCCEEDED(result)) result = ReadExact(m_scratch, kMagicSize);
    if (QLX_FAILED(result)) return E_FAIL;
    uint8_t cleanFlag;
    if (std::memcmp(m_scratch, kMagicW7K, kMagicSize) == 0) {
        if (QLX_FAILED(ReadExact(m_scratch, kW7KVersionSize + kCleanFlagSize))) return E_FAIL;
        if (big_endian::Get16(m_scratch) > kHighestVersionRead) return RES_BAD_FORMAT;
        cleanFlag = m_scratch[kW7KVersionSize];
        m_variant = HeaderVariant::kW7K;
    } else if (std::memcmp(m_scratch, kMagicCFS, kMagicSize) == 0) {
        if (QLX_FAILED(ReadExact(m_scratch, kCleanFlagSize))) return E_FAIL;
        cleanFlag = m_scratch[0];
        m_variant = HeaderVariant::kCFS;
    } else {
        return RES_BAD_FORMAT;
    }

    if (QLX_FAILED(ReadExact(m_scratch, kStringLengthSize))) return E_FAIL;
    uint32_t titleLength = big_endian::Get32(m_scratch);
    int64_t fileLength = FileLength();
    if (fileLength < 0) return E_FAIL;
    uint64_t remaining = static_cast<uint64_t>(fileLength) - m_position;
    if (titleLength == 0 || titleLength >= remaining || titleLength > CompactString::kMaxLength) return E_FAIL;
    CompactString title;
    char* titleChars = title.GetWritableBuffer(titleLength);
    if (!titleChars) return E_OUTOFMEMORY;
    result = ReadExact(titleChars, titleLength);
    titleChars[QLX_SUCCEEDED(result) ? titleLength : 0] = '\0';
    title.ReleaseBuffer(-1);
    if (QLX_FAILED(result)) return E_FAIL;
    m_title = title;

    uint64_t firstRecordOffset = m_position;
    RecordHeader root;
    if (QLX_FAILED(ReadRecordHead(&root)) || root.type != kIndexRecord) return E_FAIL;
    result = WalkIndex(firstRecordOffset, root);
    if (QLX_SUCCEEDED(result) && cleanFlag == kCleanFlagUnclean) Recover(firstRecordOffset);
    return result;
}

namespace {

// The file ranges [start, end) of the directory records a walk has met, none
// overlapping another.
class ClaimedRanges {
public:
    bool Overlaps(uint64_t start, uint64_t end) const {
        auto after = m_ends.upper_bound(start);
        if (after != m_ends.end() && after->first < end) return true;
        return after != m_ends.begin() && std::prev(after)->second > start;
    }
    // False, and nothing claimed, when the range overlaps one claimed before.
    bool Claim(uint64_t start, uint64_t end) {
        if (Overlaps(start, end)) return false;
        m_ends.emplace(start, end);
        return true;
    }

private:
    std::map<uint64_t, uint64_t> m_ends;  // start -> end
};

}  // namespace

// The index records form a tree (each record's link slot leads to the next
// record of the chain, read as a nested record). The walk keeps its own stack
// rather than recursing.
//
// Directory records may not overlap one another: a slot that leads into a
// record met before (the same entry record a second time, an index record
// that leads back to itself, records 16 bytes apart) ends the walk with
// E_FAIL, as other damage does. So every record is read once, and what the
// walk keeps for a record is bounded by the bytes that record alone holds in
// the file. Per record: a claimed range (48 bytes) while walking; for an
// index record on the stack a frame (16) and its slots (8 each, at least as
// many file bytes); for an entry record an entry (about 8 KB, for a record of
// at least 8,026 bytes) and its name twice (as the entry's name and as the
// key of the names map; the record holds it once). The smallest record, an
// index record of one slot, takes 13 bytes with the slot that leads to it,
// so a directory never takes more than kDirectoryBytesPerFileByte bytes of
// memory per byte of the file, plus a few kilobytes, while it is read or
// after.
int32_t CContainerFile::WalkIndex(uint64_t firstRecordOffset, const RecordHeader& root) {
    struct Frame {
        uint64_t slotsAt;  // in `slots`, where this record's slots start
        uint32_t slotCount;
        uint32_t next;
    };
    const int64_t fileLength = FileLength();
    if (fileLength < 0) return E_FAIL;
    try {
        // Deques: they grow without the doubled copy of a vector, which
        // would break the bound.
        std::deque<Frame> stack;
        std::deque<uint64_t> slots;  // the slots of the records on the stack, back to back
        ClaimedRanges claimed;

        auto push = [&](const RecordHeader& record) -> int32_t {
            if (record.length > kMaxIndexPayloadRead) return RES_IO_ERROR;
            static_assert(kMaxIndexPayloadRead <= kScratchSize, "an index payload fits the scratch");
            if (record.length != 0 && QLX_FAILED(ReadExact(m_scratch, record.length))) return E_FAIL;
            const uint32_t slotCount = static_cast<uint32_t>(record.length / kSlotSize);
            stack.push_back(Frame{slots.size(), slotCount, 0});
            for (uint32_t i = 0; i < slotCount; ++i) slots.push_back(big_endian::Get64(m_scratch + i * kSlotSize));
            return S_OK;
        };

        if (!claimed.Claim(root.offset, root.End())) return E_FAIL;
        int32_t result = push(root);
        while (QLX_SUCCEEDED(result) && !stack.empty()) {
            Frame& top = stack.back();
            uint64_t offset = top.next < top.slotCount ? slots[top.slotsAt + top.next] : 0;
            if (offset == 0) {
                slots.resize(top.slotsAt);
                stack.pop_back();
                continue;
            }
            ++top.next;
            if (offset < firstRecordOffset || offset >= static_cast<uint64_t>(fileLength)) return E_FAIL;
            // Refused before its head is read: a second reference to a record reads nothing.
            if (claimed.Overlaps(offset, offset + kRecordHeadSize)) return E_FAIL;
            RecordHeader record;
            if (QLX_FAILED(SeekTo(offset)) || QLX_FAILED(ReadRecordHead(&record))) return E_FAIL;
            if (!claimed.Claim(record.offset, record.End())) return E_FAIL;
            if (record.type == kIndexRecord) {
                result = push(record);
            } else if (record.type == kEntryRecord) {
                result = LoadEntryRecord(record);
            } else {
                result = E_FAIL;
            }
        }
        return result;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (const std::length_error&) {
        return E_OUTOFMEMORY;
    }
}

int32_t CContainerFile::LoadEntryRecord(const RecordHeader& record) {
    const int64_t fileLength = FileLength();
    if (fileLength < 0 || QLX_FAILED(ReadExact(m_scratch, kStringLengthSize))) return E_FAIL;
    uint32_t nameLength = big_endian::Get32(m_scratch);
    uint64_t afterLength = record.offset + kEntryNameOffset;
    // The tail must lie inside the record: it is rewritten in place at close.
    if (nameLength == 0 || nameLength >= static_cast<uint64_t>(fileLength) - afterLength ||
        nameLength > CompactString::kMaxLength || record.length < uint64_t{nameLength} + kEntryPayloadFixed)
        return E_FAIL;
    if (EntryCount() >= kMaxEntryNumbers) return E_FAIL;

    CompactString name;
    char* chars = name.GetWritableBuffer(nameLength);
    if (!chars) return E_OUTOFMEMORY;
    int32_t result = ReadExact(chars, nameLength);
    chars[QLX_SUCCEEDED(result) ? nameLength : 0] = '\0';
    name.ReleaseBuffer(-1);  // a name ends at its first zero byte
    if (QLX_FAILED(result)) return E_FAIL;

    if (QLX_FAILED(ReadExact(m_scratch, kTailSeekTableOffset))) return E_FAIL;
    uint64_t size = big_endian::Get64(m_scratch + kTailSizeOffset);
    uint64_t chunkSize = big_endian::Get64(m_scratch + kTailChunkSizeOffset);
    if (QLX_FAILED(ReadExact(m_scratch, kSeekTableBytes))) return E_FAIL;

    uint32_t number = EntryCount();
    // A removed entry (empty name) keeps its number with no entry in it.
    if (name.IsEmpty()) {
        return QLX_FAILED(m_entries.SetAtGrow(static_cast<int32_t>(number), nullptr)) ? E_OUTOFMEMORY : S_OK;
    }
    // A name met twice: the earlier record is an entry that was removed and
    // its name added again (which always takes a new, higher number), in a
    // file whose writer stopped before the flush that marks removed records.
    // The later record is the live entry; the earlier one keeps its number
    // with no entry in it, so its bytes are not served under the name.
    void* found = nullptr;
    _CStoredEntry* earlier = m_names.Lookup(name.GetChars(), &found) ? static_cast<_CStoredEntry*>(found) : nullptr;
    _CStoredEntry* entry = new (std::nothrow) _CStoredEntry;
    if (!entry) return E_OUTOFMEMORY;
    entry->name = name;
    if (entry->name.GetLength() != name.GetLength()) {
        delete entry;
        return E_OUTOFMEMORY;
    }
    entry->index = static_cast<uint16_t>(number);
    entry->size = size;
    entry->chunkSize = chunkSize;
    for (uint32_t i = 0; i < kSeekTableSlots; ++i) entry->seekTable[i] = big_endian::Get64(m_scratch + i * kSlotSize);
    entry->recordOffset = record.offset;
    entry->recordNameLength = nameLength;
    int32_t added = m_entries.SetAtGrow(static_cast<int32_t>(number), entry);
    if (QLX_FAILED(added)) {
        delete entry;
        return added;
    }
    added = m_names.SetAt(entry->name.GetChars(), entry);
    if (QLX_FAILED(added)) {
        m_entries.RemoveAt(static_cast<int32_t>(number), 1);
        delete entry;
        return added;
    }
    if (earlier) {
        m_entries[earlier->index] = nullptr;
        delete earlier;
    }
    return S_OK;
}

// Rebuilds sizes and seek tables of a container that was not closed cleanly
// from its data records, then writes the directory back and sets the clean
// flag. Failures are silent: the directory keeps what could be rebuilt.
void CContainerFile::Recover(uint64_t firstRecordOffset) {
    for (uint32_t i = 0; i < EntryCount(); ++i) {
        _CStoredEntry* entry = EntryAt(i);
        if (!entry) continue;
        entry->size = 0;
        entry->chunkSize = kBaseChunkSize;
        std::memset(entry->seekTable, 0, sizeof entry->seekTable);
    }
    const int64_t fileLength = FileLength();
    RecordHeader record;
    DataRecordHeader data;
    bool isData = false;
    while (fileLength >= 0 && QLX_SUCCEEDED(SeekTo(firstRecordOffset)) &&
           QLX_SUCCEEDED(ReadRecordAndDataHead(&record, &data, &isData))) {
        if (record.type == kDataRecord && record.length >= kDataHeadPayload) {
            if (!isData) break;  // a data head cut short by the end of the file
            _CStoredEntry* entry = EntryAt(data.entryIndex);
            // A record cut short by the end of the file counts only the bytes it still has.
            uint64_t length = data.DataLength();
            uint64_t present = static_cast<uint64_t>(fileLength) > data.DataStart()
                                   ? static_cast<uint64_t>(fileLength) - data.DataStart()
                                   : 0;
            if (length > present) length = present;
            if (entry && data.logicalOffset <= UINT64_MAX - length) {
                UpdateSeekTable(*entry, data.logicalOffset, record.offset);
                entry->size = data.logicalOffset + length;
                UpdateSeekTable(*entry, entry->size, 0, record.offset);
            }
        }
        firstRecordOffset = record.End();
    }
    m_file->Close();
    m_position = 0;
    m_dirty = true;
    // Only a file no one else holds is written back. One still open
    // elsewhere may be a container being written (its clean flag is 0 for
    // that reason); marking it clean with this moment's sizes would hide
    // the writer's later bytes from the recovery after a crash. The
    // directory rebuilt here then serves this reader alone.
    if (QLX_SUCCEEDED(m_file->OpenShared(m_path.GetChars(), kOpenForPatching, kShareDenyReadWrite, 0)))
        FlushAndClose();
    m_dirty = false;
    m_position = 0;
    if (QLX_FAILED(m_file->Open(m_path.GetChars(), kOpenForReading, 0))) {
        delete m_file;
        m_file = nullptr;
    }
}

ContainerEntry* CContainerFile::FindEntry(const CompactString& name) {
    MutexHold hold(m_mutex);
    if (!name.IsEmpty()) {
        void* value = nullptr;
        return m_names.Lookup(name.GetChars(), &value) ? static_cast<ContainerEntry*>(value) : nullptr;
    }
    for (uint32_t i = 0; i < EntryCount(); ++i) {
        ContainerEntry* entry = EntryAt(i);
        if (entry && entry->size != 0 && !entry->name.IsEmpty()) return entry;
    }
    return nullptr;
}

ContainerEntry* CContainerFile::AddEntry(const CompactString& name) {
    MutexHold hold(m_mutex);
    if (ContainerEntry* existing = FindEntry(name)) return existing;
    // A new name always takes a new number, so it never inherits the bytes
    // of a removed entry; numbers are 16 bits and never wrap.
    if (name.IsEmpty() || EntryCount() >= kMaxEntryNumbers || QLX_FAILED(m_writeFailure)) return nullptr;
    _CStoredEntry* entry = new (std::nothrow) _CStoredEntry;
    if (!entry) return nullptr;
    uint32_t number = EntryCount();
    entry->name = name;
    entry->index = static_cast<uint16_t>(number);
    if (QLX_FAILED(m_entries.SetAtGrow(static_cast<int32_t>(number), entry))) {
        delete entry;
        return nullptr;
    }
    if (QLX_FAILED(m_names.SetAt(entry->name.GetChars(), entry)) ||
        (m_writing && QLX_FAILED(WriteDirectoryRecords(number)))) {
        m_names.RemoveKey(entry->name.GetChars());
        m_entries.RemoveAt(static_cast<int32_t>(number), 1);
        delete entry;
        return nullptr;
    }
    return entry;
}

int32_t CContainerFile::RemoveEntry(const CompactString& name) {
    MutexHold hold(m_mutex);
    _CStoredEntry* entry = static_cast<_CStoredEntry*>(FindEntry(name));
    if (!entry) return E_FAIL;
    // A container being written marks the record at flush; one opened for
    // reading marks it now, so the removal outlives this object.
    if (!m_writable && entry->recordOffset != 0) {
        int32_t result = MarkRemovedOnDisk(entry);
        if (QLX_FAILED(result)) return result;
    }
    m_names.RemoveKey(entry->name.GetChars());
    entry->name.Empty();
    return S_OK;
}

// The reader takes an entry record whose name begins with a zero byte as a
// removed entry.
int32_t CContainerFile::MarkRemovedOnDisk(_CStoredEntry* entry) {
    if (!m_file) return RES_IO_ERROR;
    int32_t result = ReopenFile(kOpenForPatching);
    if (QLX_SUCCEEDED(result)) {
        const uint8_t zero = 0;
        result = WriteAt(entry->recordOffset + kEntryNameOffset, &zero, 1);
        int32_t closed = m_file->Close();
        if (QLX_SUCCEEDED(result)) result = closed;
    }
    if (QLX_FAILED(ReopenFile(kOpenForReading))) {
        delete m_file;
        m_file = nullptr;
    }
    return result;
}

// ---- writing ---------------------------------------------------------------------

int32_t CContainerFile::BeginWriting() {
    m_writing = true;
    m_dirty = true;
    uint32_t titleLength = m_title.GetLength();
    uint8_t* at = m_scratch;
    std::memcpy(at, kMagicW7K, kMagicSize);
    big_endian::Put16(at + kW7KVersionOffset, kVersionWritten);
    at[kW7KCleanFlagOffset] = kCleanFlagUnclean;
    big_endian::Put32(at + kW7KTitleLengthOffset, titleLength);
    std::memcpy(at + kW7KTitleOffset, m_title.GetChars(), titleLength);
    static_assert(kW7KTitleOffset + kMaxTitleWritten <= kScratchSize, "the header fits the scratch");
    const bool titleFits = titleLength != 0 && titleLength <= kMaxTitleWritten;
    int32_t result = titleFits ? WriteAt(0, at, kW7KTitleOffset + titleLength) : E_FAIL;
    if (QLX_SUCCEEDED(result)) m_headerWritten = true;
    for (uint32_t i = 0; QLX_SUCCEEDED(result) && i < EntryCount(); ++i) result = WriteDirectoryRecords(i);
    if (QLX_FAILED(result)) m_writeFailure = result;
    return result;
}

// Appends the directory records of entry `index`: a new index record first
// when the entry opens a new group of 256 (linked from slot 256 of the one
// before), then the entry record, whose offset goes into its index slot. A
// failure takes the links it wrote back out, so that a later attempt for the
// same number starts from the same index record.
//
// Each record is appended whole before the slot that leads to it is written:
// a writer that dies in between leaves a slot of 0, where the reader's walk
// simply ends, instead of one leading to a record cut short, which would
// fail the whole directory and with it every entry written before.
int32_t CContainerFile::WriteDirectoryRecords(uint32_t index) {
    _CStoredEntry* entry = EntryAt(index);
    if (!entry) return E_FAIL;
    if (entry->recordOffset != 0) return S_OK;
    int32_t result = FixOpenRecord();
    if (QLX_FAILED(result)) return result;

    const uint8_t zeroSlot[kSlotSize] = {};
    uint8_t slot[kSlotSize];
    const uint64_t previousIndexPayload = m_indexPayloadOffset;
    const uint64_t appendStart = m_writeEnd;
    bool linkTried = false;
    bool slotTried = false;
    auto undo = [&](int32_t failure) {
        if (slotTried) WriteAt(m_indexPayloadOffset + kSlotSize * (index % kEntriesPerIndex), zeroSlot, kSlotSize);
        if (linkTried) WriteAt(previousIndexPayload + kSlotSize * kIndexLinkSlot, zeroSlot, kSlotSize);
        m_indexPayloadOffset = previousIndexPayload;
        // A partial record must not stay in the chain of records that scans
        // walk: the next append goes over it.
        m_writeEnd = appendStart;
        // The first index record must follow the header: it cannot be tried again.
        if (index == 0) m_writeFailure = failure;
        return failure;
    };

    if (index % kEntriesPerIndex == 0) {
        uint64_t indexOffset = m_writeEnd;
        static_assert(kIndexRecordSize <= kScratchSize, "an index record fits the scratch");
        std::memset(m_scratch, 0, kIndexRecordSize);
        m_scratch[kRecordTypeOffset] = kIndexRecord;
        big_endian::Put32(m_scratch + kRecordLengthOffset, kIndexPayloadSize);
        result = WriteAt(indexOffset, m_scratch, kIndexRecordSize);
        if (QLX_FAILED(result)) return undo(result);
        if (index != 0) {
            big_endian::Put64(slot, indexOffset);
            linkTried = true;
            result = WriteAt(previousIndexPayload + kSlotSize * kIndexLinkSlot, slot, kSlotSize);
            if (QLX_FAILED(result)) return undo(result);
        }
        m_indexPayloadOffset = indexOffset + kRecordHeadSize;
    }

    // A removed entry is written as removed: one zero byte for a name.
    const bool removed = entry->name.IsEmpty();
    const uint32_t nameLength = removed ? 1 : entry->name.GetLength();
    const uint64_t recordOffset = m_writeEnd;
    m_scratch[kRecordTypeOffset] = kEntryRecord;
    big_endian::Put32(m_scratch + kRecordLengthOffset, nameLength + kEntryPayloadFixed);
    big_endian::Put32(m_scratch + kEntryNameLengthOffset, nameLength);
    result = WriteAt(recordOffset, m_scratch, kEntryNameOffset);
    if (QLX_SUCCEEDED(result)) result = WriteExact(removed ? "" : entry->name.GetChars(), nameLength);
    if (QLX_SUCCEEDED(result)) result = WriteEntryTail(*entry);
    if (QLX_FAILED(result)) return undo(result);

    big_endian::Put64(slot, recordOffset);
    slotTried = true;
    result = WriteAt(m_indexPayloadOffset + kSlotSize * (index % kEntriesPerIndex), slot, kSlotSize);
    if (QLX_FAILED(result)) return undo(result);
    entry->recordOffset = recordOffset;
    entry->recordNameLength = nameLength;
    return S_OK;
}

// Writes size, chunk size and seek table at the current position, as the
// tail of an entry record.
int32_t CContainerFile::WriteEntryTail(const ContainerEntry& entry) {
    big_endian::Put64(m_scratch + kTailSizeOffset, entry.size);
    big_endian::Put64(m_scratch + kTailChunkSizeOffset, entry.chunkSize);
    int32_t result = WriteExact(m_scratch, kTailSeekTableOffset);
    if (QLX_FAILED(result)) return result;
    for (uint32_t i = 0; i < kSeekTableSlots; ++i) big_endian::Put64(m_scratch + i * kSlotSize, entry.seekTable[i]);
    return WriteExact(m_scratch, kSeekTableBytes);
}

// Fixes the open record's length, marks removed entries, rewrites the tail of
// every entry record and, when all of that went to disk, sets the clean flag.
void CContainerFile::FlushAndClose() {
    MutexHold hold(m_mutex);
    if (!m_file) return;
    if (m_dirty) {
        bool failed = QLX_FAILED(FixOpenRecord());
        for (uint32_t i = 0; i < EntryCount(); ++i) {
            _CStoredEntry* entry = EntryAt(i);
            if (!entry || entry->recordOffset == 0 || entry->recordNameLength == 0) continue;
            if (entry->name.IsEmpty()) {
                const uint8_t zero = 0;
                failed |= QLX_FAILED(WriteAt(entry->recordOffset + kEntryNameOffset, &zero, 1));
            }
            int32_t result = SeekTo(entry->recordOffset + kEntryNameOffset + entry->recordNameLength);
            if (QLX_SUCCEEDED(result)) result = WriteEntryTail(*entry);
            failed |= QLX_FAILED(result);
        }
        // A writer whose header or directory never fully reached the file
        // leaves the flag at 0, so the next reader recovers what it can.
        const bool headerPresent = m_writing ? m_headerWritten && QLX_SUCCEEDED(m_writeFailure) : true;
        if (!failed && headerPresent) {
            const uint8_t clean = kCleanFlagClean;
            WriteAt(m_variant == HeaderVariant::kCFS && !m_writing ? kCFSCleanFlagOffset : kW7KCleanFlagOffset, &clean,
                    kCleanFlagSize);
        }
        m_dirty = false;
    }
    m_file->Close();
    m_position = 0;
}

// ---- enumeration ---------------------------------------------------------------------

// A listed URL: kUrlStart, the container path, kUrlFile, the entry name.
static constexpr char kUrlStart[] = "cont:///";
static constexpr char kUrlFile[] = "?file=";

int32_t CContainerFile::First(IUnknown** out) {
    MutexHold hold(m_mutex);
    m_enumPosition = 0;
    return Next(out);
}

int32_t CContainerFile::Next(IUnknown** out) {
    MutexHold hold(m_mutex);
    if (!out) return E_INVALIDARG;
    *out = nullptr;
    if (m_enumPosition >= EntryCount()) return E_FAIL;
    ContainerEntry* entry = EntryAt(m_enumPosition);
    if (entry && !entry->name.IsEmpty()) {
        // Quoted where the URL parser would misread the name, so that the
        // listed URL opens this very entry. The URL is put together in the
        // buffer itself: a formatted text has a length limit, and a URL cut
        // short would name another entry.
        const char* const quote = EntryNameNeedsQuotes(entry->name.GetChars()) ? "\"" : "";
        const uint32_t quotes = 2 * static_cast<uint32_t>(std::strlen(quote));
        const uint64_t length = std::strlen(kUrlStart) + m_path.GetLength() + std::strlen(kUrlFile) +
                                entry->name.GetLength() + quotes + 1;
        CKTBuffer* buffer = CKTBuffer::CreateWith(nullptr, 0);
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
    if (count) *count = EntryCount();
    return S_OK;
}
