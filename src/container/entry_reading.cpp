// Entry reading: SeekEntry and ReadEntry, and the placing of a cursor on the
// record that holds its position, which writing in place shares. Each
// operation runs under the container's mutex for its whole run.
//
// An entry's bytes are the concatenation of its data records in file order.
// A cursor is placed from the entry's record map when the map reaches its
// position: no read at all. Where it does not, a scan walks the records
// forward, from where the cursor's record ended or from the seek-table slot
// of a sought position (or from a record the map holds that lies nearer),
// and teaches the map every data record it passes, of every entry. Bytes are
// taken with positioned reads, straight into the caller's buffer, or out of
// the read window when a scan has just read them.
#include <algorithm>
#include <cinttypes>
#include <cstring>

#include "buffer/byte_buffer.h"
#include "container/big_endian.h"
#include "container/container_file.h"
#include "container/record_walk.h"

using namespace record_format;

namespace {

// Reads up to this size allocate their buffer without asking the file's length.
constexpr uint32_t kReadsTakenOnTrust = 1u << 20;

// A reader going through an entry has the rest of its record asked for
// ahead of it, up to this far, in steps of half of it. The system's own
// read-ahead runs past a record's end into the records after it, which in
// a container are other entries' (with a read-ahead of megabytes, three
// times the entry's bytes came from the disk); so once a record at least
// kReadAheadLeast long is read through, the container reads ahead instead
// (RecordFile::ReadAhead), and only the bytes of the entry read. That is
// below the records a gathering writer makes (a stream of 1,316 bytes every
// 10 ms gives some 64 KiB in the gathering delay) and above the pieces of
// writers that do not gather, whose records would cost a call each.
constexpr uint64_t kReadAheadWindow = 2u << 20;
constexpr uint64_t kReadAheadLeast = 32u << 10;

uint32_t ClampToU32(uint64_t value) { return value > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(value); }

// The cursor at position inside the record, which reaches it.
void PlaceAt(EntryCursor* cursor, const RecordMap::Record& record, uint64_t position) {
    cursor->logicalPosition = position;
    cursor->filePosition = record.dataStart + (position - record.logical);
    cursor->bytesLeft = static_cast<uint32_t>(record.End() - position);
    cursor->growingRecordOffset = record.growing ? record.HeadOffset() : 0;
}

// The file offset after the record's bytes, where a scan for the entry's
// next record may begin; 0 for a record that may have grown since it was
// learned (its end is not known).
uint64_t EndOf(const RecordMap::Record* record) {
    return record && !record->growing ? record->dataStart + record->length : 0;
}

// Where a scan for the entry's records after position begins: `from`, or
// the end of the map's record before the position when that lies further
// on; *onChain tells whether the start is known to be on the chain of
// records.
uint64_t ScanStart(const RecordMap& records, uint64_t position, uint64_t from, bool* onChain) {
    const RecordMap::Record* before = records.Before(position);
    const uint64_t end = EndOf(before);
    *onChain = false;
    if (end == 0 || end < from) return from;
    *onChain = before->onChain != 0;
    return end;
}

}  // namespace

int32_t CContainerFile::LoadSeekTable(StoredEntry& entry) {
    if (!entry.seekTable.OnDisk()) return S_OK;
    uint8_t* stored = m_file.Scratch();
    static_assert(kSeekTableBytes <= kScratchSize, "a seek table fits the scratch");
    if (m_file.ReadAt(entry.SeekTableOffset(), stored, kSeekTableBytes) != kSeekTableBytes) return E_FAIL;
    return entry.seekTable.Load(stored);
}

// A walk that starts amid the chain of records (a damaged seek-table slot
// may point anywhere, even into data that holds a container of its own)
// would read heads out of some entry's bytes and map them for others. So
// other entries learn from a walk only once it is known to follow the chain:
// it began at the end of a record known to be on it, or the first record it
// read is a data record of the entry walked for, within that entry's size,
// which is what every seek-table slot names. And every record learned must
// lie within its entry's size.
int32_t CContainerFile::ScanToRecordOf(RecordWalk& walk, const StoredEntry& own, uint64_t position, bool* onChain,
                                       DataRecordHeader* found) {
    for (bool first = true;; first = false) {
        RecordHeader record;
        bool isData;
        const uint64_t at = walk.Position();
        const int32_t result = walk.Next(&record, found, &isData);
        if (result == E_OUTOFMEMORY) return result;
        if (QLX_FAILED(result)) return NoMoreRecords(own, at, position);
        if (!isData) continue;
        StoredEntry* owner = m_entries.At(found->entryIndex);
        const uint64_t present = walk.PresentDataLength(*found);
        const bool withinSize =
            owner && found->logicalOffset <= owner->size && present <= owner->size - found->logicalOffset;
        if (first && owner == &own && withinSize) *onChain = true;
        if (withinSize && (*onChain || owner == &own))
            owner->records.Learn(record.offset, found->logicalOffset, present, !record.lengthGiven, *onChain,
                                 &m_entries.recordBudget);
        if (owner == &own) return S_OK;
    }
}

// A scan for an entry's data that met no readable record head at offset.
// A record whose length runs past the end of the file (a file cut short)
// puts that offset beyond the file: the damage is then where the file ends.
int32_t CContainerFile::NoMoreRecords(const StoredEntry& entry, uint64_t offset, uint64_t logicalPosition) {
    const int64_t fileLength = m_file.FileLength();
    if (fileLength >= 0 && offset >= static_cast<uint64_t>(fileLength))
        return m_report.Damage(E_FAIL, static_cast<uint64_t>(fileLength), kDataRecord,
                               "the file ends at offset %" PRId64 ", before the data of entry %u at logical position %" PRIu64,
                               fileLength, entry.index, logicalPosition);
    return m_report.Damage(E_FAIL, offset, kDataRecord,
                           "no record head can be read at offset %" PRIu64 ", before the data of entry %u at logical position %" PRIu64,
                           offset, entry.index, logicalPosition);
}

int32_t CContainerFile::SeekEntry(EntryCursor* cursor, uint64_t position) {
    if (!cursor) return E_FAIL;
    MutexHold hold(m_mutex);
    m_file.ForgetWindow();
    // A gathering writer's seek writes its gathered bytes out.
    if (cursor->gather) {
        if (StoredEntry* entry = m_entries.At(cursor->index)) {
            const int32_t written = WriteOut(entry);
            if (QLX_FAILED(written)) return written;
        }
    }
    return SeekLocked(cursor, position);
}

int32_t CContainerFile::SeekLocked(EntryCursor* cursor, uint64_t position) {
    StoredEntry* entry = m_entries.At(cursor->index);
    if (!entry || position > entry->size) return E_FAIL;
    // Gathered bytes are read from memory.
    if (entry->gathered.Length() != 0 && position >= entry->gathered.Start()) {
        PlaceAmongGathered(cursor, position);
        return S_OK;
    }
    // A chunk size read from a damaged file may be anything, 0 included.
    const uint64_t chunkSize = entry->seekTable.chunkSize;
    if (!IsValidChunkSize(chunkSize))
        return m_report.Damage(E_FAIL, entry->recordOffset, kEntryRecord,
                               "entry record %u at offset %" PRIu64 " has a chunk size of %" PRIu64
                               ", not 25000 times a power of two",
                               entry->index, entry->recordOffset, chunkSize);
    // A container whose file is gone (a failed reopen) seeks nowhere.
    if (!m_file.HasFile()) return RES_IO_ERROR;
    if (const RecordMap::Record* record = entry->records.Reaching(position)) {
        PlaceAt(cursor, *record, position);
        return S_OK;
    }
    const uint64_t slot = position / chunkSize;
    if (slot >= kSeekTableSlots)
        return m_report.Damage(E_FAIL, entry->recordOffset, kEntryRecord,
                               "entry record %u at offset %" PRIu64 " gives a size of %" PRIu64
                               " bytes, more than its seek table covers",
                               entry->index, entry->recordOffset, entry->size);
    // Slot 0 is known without the table.
    int32_t result = slot == 0 ? S_OK : LoadSeekTable(*entry);
    if (QLX_FAILED(result)) return result;
    const uint64_t slotRecord = slot == 0 ? entry->seekTable.First() : entry->seekTable[static_cast<uint32_t>(slot)];
    if (slotRecord == 0) {
        // An entry without data has no records to seek in.
        if (entry->size == 0) return E_FAIL;
        return m_report.Damage(E_FAIL, entry->recordOffset, kEntryRecord,
                               "seek-table slot %" PRIu64 " of entry record %u at offset %" PRIu64
                               " is empty, though the entry holds %" PRIu64 " bytes",
                               slot, entry->index, entry->recordOffset, entry->size);
    }
    // A record the map holds below the position may end nearer to it.
    bool onChain = false;
    const uint64_t from = ScanStart(entry->records, position, slotRecord, &onChain);

    // A slot beyond the end of the file (damage) fails at the first head.
    RecordWalk walk(m_file, from);
    for (;;) {
        DataRecordHeader data;
        result = ScanToRecordOf(walk, *entry, position, &onChain, &data);
        if (QLX_FAILED(result)) return result;
        // Logical offsets rise with file order: a record that starts beyond
        // the position means the position is in no record.
        if (position < data.logicalOffset)
            return m_report.Damage(E_FAIL, data.record.offset, kDataRecord,
                                   "the data record at offset %" PRIu64 " of entry %u starts at logical offset %" PRIu64
                                   ", beyond logical position %" PRIu64 ", which no record of the entry holds",
                                   data.record.offset, entry->index, data.logicalOffset, position);
        const uint64_t into = position - data.logicalOffset;
        if (into <= data.DataLength()) {
            cursor->logicalPosition = position;
            cursor->filePosition = data.DataStart() + into;
            cursor->bytesLeft = ClampToU32(data.DataLength() - into);
            cursor->growingRecordOffset = data.record.lengthGiven ? 0 : data.record.offset;
            return S_OK;
        }
    }
}

// Moves a cursor whose record is used up on to more bytes: the record the
// map holds at its position; else the rest of a record that was still
// growing when it was located (its length is read again, from the file's
// length while the field is still 0); else the entry's next data record
// after the file position, found by a scan.
int32_t CContainerFile::PlaceOnNextRecord(EntryCursor* cursor, StoredEntry& entry) {
    const uint64_t position = cursor->logicalPosition;
    if (const RecordMap::Record* record = entry.records.Reaching(position)) {
        if (record->End() > position) {
            PlaceAt(cursor, *record, position);
            return S_OK;
        }
    }
    if (cursor->growingRecordOffset != 0) {
        uint8_t head[kRecordHeadSize];
        if (m_file.ReadAt(cursor->growingRecordOffset, head, kRecordHeadSize) != kRecordHeadSize)
            return m_report.Damage(E_FAIL, cursor->growingRecordOffset, kDataRecord,
                                   "the growing data record at offset %" PRIu64 " of entry %" PRIu32
                                   " can no longer be read",
                                   cursor->growingRecordOffset, cursor->index);
        uint64_t end;
        const uint32_t length = big_endian::Get32(head + kRecordLengthOffset);
        if (length != kGrowingLength) {
            end = cursor->growingRecordOffset + kRecordHeadSize + length;
            cursor->growingRecordOffset = 0;
        } else {
            const int64_t fileLength = m_file.FileLength();
            if (fileLength < 0) return E_FAIL;
            end = static_cast<uint64_t>(fileLength);
        }
        cursor->bytesLeft = end > cursor->filePosition ? ClampToU32(end - cursor->filePosition) : 0;
        if (cursor->bytesLeft != 0) return S_OK;
    }

    // A fresh cursor starts at the entry's first record.
    const uint64_t after = cursor->filePosition != 0 ? cursor->filePosition : entry.seekTable.First();
    if (after == 0) return E_FAIL;
    bool onChain = false;
    RecordWalk walk(m_file, ScanStart(entry.records, position, after, &onChain));
    DataRecordHeader data;
    int32_t result = ScanToRecordOf(walk, entry, position, &onChain, &data);
    if (QLX_FAILED(result)) return result;
    // Each record continues where the entry's bytes before it end. One that
    // says otherwise would put its bytes at one position for a reader going
    // on from the record before and at another for a seek.
    if (data.logicalOffset != position)
        return m_report.Damage(E_FAIL, data.record.offset, kDataRecord,
                               "the data record at offset %" PRIu64 " of entry %u starts at logical offset %" PRIu64
                               ", where the entry's bytes before it end at %" PRIu64,
                               data.record.offset, entry.index, data.logicalOffset, position);
    cursor->bytesLeft = ClampToU32(data.DataLength());
    cursor->filePosition = data.DataStart();
    cursor->growingRecordOffset = data.record.lengthGiven ? 0 : data.record.offset;
    return S_OK;
}

int32_t CContainerFile::ReadEntry(EntryCursor* cursor, IQLXBuffer** out, uint32_t count) {
    return ReadEntryReusing(cursor, nullptr, out, count);
}

int32_t CContainerFile::ReadEntryReusing(EntryCursor* cursor, IQLXBuffer* reuse, IQLXBuffer** out, uint32_t count) {
    if (!cursor) return E_FAIL;
    if (!out) return E_POINTER;
    MutexHold hold(m_mutex);
    m_file.ForgetWindow();
    StoredEntry* entry = m_entries.At(cursor->index);
    int32_t result = S_OK;
    // A gathering writer reading writes its gathered bytes out first.
    if (entry && cursor->gather) {
        result = WriteOut(entry);
        if (QLX_FAILED(result)) return result;
    }
    if (!entry || entry->size == 0) {
        result = E_FAIL;
    } else if (cursor->logicalPosition >= entry->size) {
        count = 0;
    } else {
        uint64_t left = entry->size - cursor->logicalPosition;
        if (left < count) count = static_cast<uint32_t>(left);
    }
    if (count == 0) return RES_END_OF_DATA;
    if (QLX_FAILED(result)) return result;
    if (!m_file.HasFile()) return RES_IO_ERROR;

    // The bytes of an entry cannot outnumber those of the file and those
    // gathered; a size read from a damaged file must not make an absurd
    // allocation.
    if (count > kReadsTakenOnTrust) {
        int64_t fileLength = m_file.FileLength();
        if (fileLength <= 0) return E_FAIL;
        const uint64_t held = static_cast<uint64_t>(fileLength) + entry->gathered.Length();
        if (held < count) count = static_cast<uint32_t>(held);
    }
    // An entry without a first record (damage) has nothing to read.
    if (cursor->filePosition == 0 && cursor->logicalPosition < entry->FileEnd() && entry->seekTable.First() == 0 &&
        !entry->records.Reaching(0))
        return m_report.Damage(E_FAIL, entry->recordOffset, kEntryRecord,
                               "entry record %u at offset %" PRIu64 " gives a size of %" PRIu64
                               " bytes but its seek table names no data record",
                               entry->index, entry->recordOffset, entry->size);

    // A buffer refuses a new size while anyone else holds it too. The one
    // reused gets its reference for *out only once the bytes are in, so it
    // can still be cut to what a damaged entry gave.
    IQLXBuffer* buffer = reuse && QLX_SUCCEEDED(reuse->SetSize(count)) ? reuse : nullptr;
    if (!buffer) {
        buffer = new (std::nothrow) ByteBuffer;
        if (!buffer) {
            *out = nullptr;
            return E_OUTOFMEMORY;
        }
        buffer->AddRef();
        result = buffer->SetSize(count);
        if (QLX_FAILED(result)) {
            buffer->Release();
            *out = nullptr;
            return result;
        }
    }
    uint8_t* into = buffer->GetBuffer();

    uint32_t delivered = 0;
    // Only a read that goes on where the last one ended reads ahead.
    const bool goesOn = cursor->logicalPosition == cursor->readEnd;
    if (!goesOn) cursor->readAheadEnd = 0;
    while (QLX_SUCCEEDED(result) && delivered < count) {
        const GatheredBytes& gathered = entry->gathered;
        if (gathered.Length() != 0 && cursor->logicalPosition >= gathered.Start()) {
            const uint64_t from = cursor->logicalPosition - gathered.Start();
            const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(gathered.Length() - from, count - delivered));
            std::memcpy(into + delivered, gathered.Bytes() + from, n);
            delivered += n;
            PlaceAmongGathered(cursor, cursor->logicalPosition + n);
            continue;
        }
        if (cursor->bytesLeft == 0) {
            // A cursor placed among gathered bytes since written out is
            // located anew.
            result = cursor->filePosition == 0 && cursor->logicalPosition != 0
                         ? SeekLocked(cursor, cursor->logicalPosition)
                         : PlaceOnNextRecord(cursor, *entry);
            continue;
        }
        const uint32_t n = std::min(cursor->bytesLeft, count - delivered);
        if (goesOn) ReadAheadOf(cursor, n);
        int64_t read = n;
        if (!m_file.CopyFromWindow(cursor->filePosition, into + delivered, n))
            read = m_file.ReadAt(cursor->filePosition, into + delivered, n);
        const uint32_t got = read > 0 ? static_cast<uint32_t>(read) : 0;
        // The bytes a short read did give are the entry's: they count, and
        // the cursor moves past them to where the damage begins.
        cursor->bytesLeft -= got;
        cursor->logicalPosition += got;
        cursor->filePosition += got;
        delivered += got;
        if (got < n) {
            const uint64_t at = cursor->filePosition;
            result = m_report.Damage(E_FAIL, at, kDataRecord,
                                     read < 0 ? "the data of entry %u at offset %" PRIu64 " could not be read"
                                              : "the data of entry %u runs past the end of the file at offset %" PRIu64,
                                     entry->index, at);
            break;
        }
    }
    // Damage after some bytes: the read gives those, as a file's read gives
    // what it has before an error, and the next read, which starts at the
    // damage, fails. A reader in large pieces so still gets every byte the
    // entry holds before its damage.
    if (QLX_FAILED(result) && delivered != 0 &&
        QLX_SUCCEEDED(buffer->SetSize(delivered)))
        result = S_OK;
    // A failed read still hands out a buffer of count bytes; what was not
    // delivered must not show whatever the allocation held before.
    else if (delivered < count)
        std::memset(into + delivered, 0, count - delivered);
    cursor->readEnd = cursor->logicalPosition;
    if (buffer == reuse) buffer->AddRef();
    *out = buffer;
    return result;
}

void CContainerFile::ReadAheadOf(EntryCursor* cursor, uint32_t count) {
    const uint64_t recordEnd = cursor->filePosition + cursor->bytesLeft;
    const uint64_t wanted = std::min(recordEnd, cursor->filePosition + count + kReadAheadWindow);
    const uint64_t from = std::max(cursor->readAheadEnd, cursor->filePosition);
    if (from >= wanted) return;
    // Small records are left to the system until a large one took over.
    if (!m_file.ReadsAhead() && recordEnd - cursor->filePosition < kReadAheadLeast) return;
    if (wanted < recordEnd && wanted - from < kReadAheadWindow / 2) return;
    m_file.ReadAhead(from, wanted - from);
    cursor->readAheadEnd = wanted;
}
