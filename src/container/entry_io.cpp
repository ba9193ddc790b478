// Entry input and output: the three operations that move entry bytes, each
// under the container's mutex for its whole run, since they share the data
// file's position, the write end and the open data record.
//
// An entry's bytes are the concatenation of its data records in file order.
// Reading follows them by scanning forward from the record a seek-table slot
// names; writing overwrites existing bytes where they lie and appends the
// rest to the open data record, or to a new one at the end of the file.
#include <algorithm>
#include <cinttypes>
#include <cstring>

#include "buffer/kt_buffer.h"
#include "container/big_endian.h"
#include "container/container_file.h"
#include "container/seek_table.h"

using namespace record_format;

namespace {

// Reads up to this size allocate their buffer without asking the file's length.
constexpr uint32_t kReadsTakenOnTrust = 1u << 20;

// Records have no padding, so a record's bytes start wherever the file ends,
// and a writer streaming in large pieces would have every piece straddle the
// kernel's page-cache blocks: on this platform that costs a quarter of the
// throughput. Once an open record has shown itself to be a stream (this many
// bytes appended to it in a row) and a piece of at least one block arrives at
// an unaligned file position, the record is closed and the stream continues
// in a new record whose bytes start on a block boundary, behind a filler
// record that belongs to no entry. That happens at most once per record, so
// the filler (at most one block and two data heads) adds at most 1.6% to the
// file.
constexpr uint32_t kStreamBlock = 64u << 10;
constexpr uint32_t kStreamShownAfter = 4u << 20;
static_assert(kNoEntryIndex >= kMaxEntryNumbers, "the filler's entry index names no entry");

const uint8_t kZeros[kStreamBlock] = {};

uint32_t ClampToU32(uint64_t value) { return value > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(value); }

}  // namespace

// A scan for an entry's data that met no readable record head at offset.
int32_t CContainerFile::NoMoreRecords(const StoredEntry& entry, uint64_t offset, uint64_t logicalPosition) {
    return m_report.Damage(E_FAIL, offset, kDataRecord,
                           "no record head can be read at offset %" PRIu64 ", before the data of entry %u at logical position %" PRIu64,
                           offset, entry.index, logicalPosition);
}

int32_t CContainerFile::SeekEntry(EntryCursor* cursor, uint64_t position) {
    if (!cursor) return E_FAIL;
    MutexHold hold(m_mutex);
    return SeekLocked(cursor, position);
}

int32_t CContainerFile::SeekLocked(EntryCursor* cursor, uint64_t position) {
    StoredEntry* entry = m_entries.At(cursor->index);
    if (!entry || position > entry->size) return E_FAIL;
    // A chunk size read from a damaged file may be anything, 0 included.
    if (!IsValidChunkSize(entry->chunkSize))
        return m_report.Damage(E_FAIL, entry->recordOffset, kEntryRecord,
                               "entry record %u at offset %" PRIu64 " has a chunk size of %" PRIu64
                               ", not 25000 times a power of two",
                               entry->index, entry->recordOffset, entry->chunkSize);
    uint64_t slot = position / entry->chunkSize;
    if (slot >= kSeekTableSlots)
        return m_report.Damage(E_FAIL, entry->recordOffset, kEntryRecord,
                               "entry record %u at offset %" PRIu64 " gives a size of %" PRIu64
                               " bytes, more than its seek table covers",
                               entry->index, entry->recordOffset, entry->size);
    if (entry->seekTable[slot] == 0) {
        // An entry without data has no records to seek in.
        if (entry->size == 0) return E_FAIL;
        return m_report.Damage(E_FAIL, entry->recordOffset, kEntryRecord,
                               "seek-table slot %" PRIu64 " of entry record %u at offset %" PRIu64
                               " is empty, though the entry holds %" PRIu64 " bytes",
                               slot, entry->index, entry->recordOffset, entry->size);
    }
    // A slot beyond the end of the file (damage) fails at the first head.
    int32_t result = m_file.SeekTo(entry->seekTable[slot]);
    if (QLX_FAILED(result)) return result;

    for (;;) {
        RecordHeader record;
        DataRecordHeader data;
        bool isData;
        if (QLX_FAILED(m_file.ReadRecordAndDataHead(&record, &data, &isData)))
            return NoMoreRecords(*entry, record.offset, position);
        if (isData && data.entryIndex == cursor->index) {
            // Logical offsets rise with file order: a record that starts
            // beyond the position means the position is in no record.
            if (position < data.logicalOffset)
                return m_report.Damage(E_FAIL, record.offset, kDataRecord,
                                       "the data record at offset %" PRIu64 " of entry %u starts at logical offset %" PRIu64
                                       ", beyond logical position %" PRIu64 ", which no record of the entry holds",
                                       record.offset, entry->index, data.logicalOffset, position);
            uint64_t into = position - data.logicalOffset;
            if (into <= data.DataLength()) {
                cursor->logicalPosition = position;
                cursor->filePosition = data.DataStart() + into;
                cursor->bytesLeft = ClampToU32(data.DataLength() - into);
                cursor->growingRecordOffset = record.lengthGiven ? 0 : record.offset;
                m_file.SeekTo(cursor->filePosition);
                return S_OK;
            }
        }
        // Every record ends after its head, so the scan always moves forward
        // and ends at the end of the file at the latest.
        result = m_file.SeekTo(record.End());
        if (QLX_FAILED(result)) return result;
    }
}

int32_t CContainerFile::ScanForData(const EntryCursor& cursor, DataRecordHeader* found) {
    for (;;) {
        RecordHeader record;
        bool isData;
        if (QLX_FAILED(m_file.ReadRecordAndDataHead(&record, found, &isData))) {
            const StoredEntry* entry = m_entries.At(cursor.index);
            return entry ? NoMoreRecords(*entry, record.offset, cursor.logicalPosition) : E_FAIL;
        }
        if (isData && found->entryIndex == cursor.index) return S_OK;
        int32_t result = m_file.SeekTo(record.End());
        if (QLX_FAILED(result)) return result;
    }
}

// Moves a cursor whose current record is used up on to more bytes: first the
// rest of a record that was still growing when it was located (its length is
// read again, from the file's length while the field is still 0), else the
// entry's next data record after the file position.
int32_t CContainerFile::FindNextReadRecord(EntryCursor* cursor) {
    int32_t result;
    if (cursor->bytesLeft == 0 && cursor->growingRecordOffset != 0) {
        RecordHeader record;
        result = m_file.SeekTo(cursor->growingRecordOffset);
        if (QLX_FAILED(result)) return result;
        if (QLX_FAILED(m_file.ReadRecordHead(&record)))
            return m_report.Damage(E_FAIL, cursor->growingRecordOffset, kDataRecord,
                                   "the growing data record at offset %" PRIu64 " of entry %" PRIu32
                                   " can no longer be read",
                                   cursor->growingRecordOffset, cursor->index);
        uint64_t end = record.End();
        cursor->bytesLeft = end > cursor->filePosition ? ClampToU32(end - cursor->filePosition) : 0;
        result = m_file.SeekTo(cursor->filePosition);
        if (QLX_FAILED(result)) return result;
        if (record.lengthGiven) cursor->growingRecordOffset = 0;
    }
    if (cursor->bytesLeft != 0) return S_OK;

    result = m_file.SeekTo(cursor->filePosition);
    if (QLX_FAILED(result)) return result;
    DataRecordHeader data;
    result = ScanForData(*cursor, &data);
    if (QLX_FAILED(result)) return result;
    cursor->bytesLeft = ClampToU32(data.DataLength());
    cursor->filePosition = data.DataStart();
    cursor->growingRecordOffset = data.record.lengthGiven ? 0 : data.record.offset;
    return S_OK;
}

int32_t CContainerFile::ReadEntry(EntryCursor* cursor, IQLXBuffer** out, uint32_t count) {
    if (!cursor) return E_FAIL;
    if (!out) return E_POINTER;
    MutexHold hold(m_mutex);
    StoredEntry* entry = m_entries.At(cursor->index);
    int32_t result = S_OK;
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

    // The bytes of an entry cannot outnumber those of the file; a size read
    // from a damaged file must not make an absurd allocation.
    if (count > kReadsTakenOnTrust) {
        int64_t fileLength = m_file.FileLength();
        if (fileLength <= 0) return E_FAIL;
        if (static_cast<uint64_t>(fileLength) < count) count = static_cast<uint32_t>(fileLength);
    }
    if (cursor->filePosition == 0) {
        // A first record beyond the end of the file (damage) fails at its head.
        uint64_t first = entry->seekTable[0];
        if (first == 0)
            return m_report.Damage(E_FAIL, entry->recordOffset, kEntryRecord,
                                   "entry record %u at offset %" PRIu64 " gives a size of %" PRIu64
                                   " bytes but its seek table names no data record",
                                   entry->index, entry->recordOffset, entry->size);
        cursor->filePosition = first;
    }
    result = m_file.SeekTo(cursor->filePosition);
    if (QLX_FAILED(result)) return result;

    CKTBuffer* buffer = new (std::nothrow) CKTBuffer;
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
    uint8_t* into = buffer->GetBuffer();
    *out = buffer;

    uint32_t delivered = 0;
    uint32_t filled = 0;  // bytes in the buffer, including a short read's
    while (QLX_SUCCEEDED(result) && delivered < count) {
        if (cursor->bytesLeft == 0) {
            result = FindNextReadRecord(cursor);
            continue;
        }
        uint32_t n = std::min(cursor->bytesLeft, count - delivered);
        result = m_file.SeekTo(cursor->filePosition);
        if (QLX_FAILED(result)) break;
        uint32_t got = m_file.ReadUpTo(into + delivered, n);
        filled = delivered + got;
        if (got < n) {
            const uint64_t at = cursor->filePosition + got;
            const bool failed = m_file.Position() == RecordFile::kUnknownPosition;
            result = m_report.Damage(E_FAIL, at, kDataRecord,
                                     failed ? "the data of entry %u at offset %" PRIu64 " could not be read"
                                            : "the data of entry %u runs past the end of the file at offset %" PRIu64,
                                     entry->index, at);
            break;
        }
        cursor->bytesLeft -= n;
        cursor->logicalPosition += n;
        cursor->filePosition += n;
        delivered += n;
    }
    // A failed read still hands out a buffer of count bytes; what was not
    // delivered must not show whatever the allocation held before.
    if (filled < count) std::memset(into + filled, 0, count - filled);
    return result;
}

int32_t CContainerFile::WriteEntry(EntryCursor* cursor, IQLXBuffer* data) {
    if (!cursor) return E_FAIL;
    if (!data) return E_POINTER;
    MutexHold hold(m_mutex);
    // A container opened for reading is never written through entries.
    if (!m_writable) return E_ACCESSDENIED;
    if (!m_file.HasFile()) return RES_IO_ERROR;
    if (QLX_FAILED(m_writer.Failure())) return m_writer.Failure();
    if (QLX_FAILED(m_file.Sealed())) return m_file.Sealed();
    // A write that cannot land must not begin writing either: the header and
    // directory it would write for nothing are an unreadable file when the
    // container has no entries.
    StoredEntry* entry = m_entries.At(cursor->index);
    if (!entry || !IsValidChunkSize(entry->chunkSize)) return E_FAIL;
    uint32_t size = data->GetSize();
    const uint8_t* bytes = data->GetBuffer();
    if (size != 0 && !bytes) return E_POINTER;
    if (!m_writer.Begun()) {
        int32_t begun = BeginWriting();
        if (QLX_FAILED(begun)) return begun;
    }

    int32_t result = S_OK;
    if (cursor->logicalPosition < entry->size) {
        // A cursor not located yet is placed at its own logical position; a
        // failure here must not let the bytes land anywhere else.
        result = cursor->filePosition == 0 ? SeekLocked(cursor, cursor->logicalPosition)
                                           : m_file.SeekTo(cursor->filePosition);
        if (QLX_FAILED(result)) return result;
    }
    uint32_t done = 0;
    result = Overwrite(cursor, entry, bytes, size, &done);
    if (QLX_SUCCEEDED(result) && done < size) result = Append(cursor, entry, bytes + done, size - done);
    return result;
}

// Replaces existing bytes of the entry where they lie, record by record,
// until the buffer is used up or the entry's end is reached.
int32_t CContainerFile::Overwrite(EntryCursor* cursor, StoredEntry* entry, const uint8_t* bytes, uint32_t size,
                                  uint32_t* done) {
    int32_t result = S_OK;
    while (QLX_SUCCEEDED(result)) {
        if (cursor->logicalPosition >= entry->size) return result;
        uint32_t n = std::min(cursor->bytesLeft, size - *done);
        if (n > 0) {
            uint64_t written = 0;
            result = m_file.SeekTo(cursor->filePosition);
            if (QLX_SUCCEEDED(result)) result = m_file.WriteExact(bytes + *done, n, &written);
            *done += n;
            cursor->logicalPosition += written;
            cursor->filePosition += written;
            cursor->bytesLeft -= static_cast<uint32_t>(written);
        }
        if (*done == size) return result;
        if (n == 0) result = FindNextReadRecord(cursor);
    }
    return result;
}

bool CContainerFile::WorthRealigning(uint32_t remaining) {
    const RecordFile::Growing& growing = m_file.growing();
    return growing.length - kDataHeadPayload >= kStreamShownAfter && !growing.aligned && remaining >= kStreamBlock &&
           m_file.WriteEnd() % kStreamBlock != 0;
}

// Appends a complete data record of no entry, sized so that the data of a
// record started right after it begins on a stream block. Written with its
// final length, so a reader (and recovery) passes over it at once.
int32_t CContainerFile::WriteFillerRecord() {
    const uint64_t fillerOffset = m_file.WriteEnd();
    const uint64_t bothHeads = 2 * uint64_t{kDataRecordHeadSize};
    const uint32_t fill = static_cast<uint32_t>((kStreamBlock - (fillerOffset + bothHeads) % kStreamBlock) % kStreamBlock);
    m_file.Scratch()[kRecordTypeOffset] = kDataRecord;
    big_endian::Put32(m_file.Scratch() + kRecordLengthOffset, kDataHeadPayload + fill);
    big_endian::Put32(m_file.Scratch() + kDataEntryIndexOffset, kNoEntryIndex);
    big_endian::Put64(m_file.Scratch() + kDataLogicalOffsetOffset, 0);
    int32_t result = m_file.WriteExact(m_file.Scratch(), kDataRecordHeadSize);
    if (QLX_SUCCEEDED(result)) result = m_file.WriteExact(kZeros, fill);
    // The next record starts where the filler should have.
    if (QLX_FAILED(result)) m_file.TakeBackTo(fillerOffset);
    return result;
}

int32_t CContainerFile::StartDataRecord(EntryCursor* cursor, StoredEntry* entry, bool alignData) {
    int32_t result = m_file.FixGrowingRecord();
    if (QLX_SUCCEEDED(result)) result = m_file.SeekTo(m_file.WriteEnd());
    if (QLX_SUCCEEDED(result) && alignData) result = WriteFillerRecord();
    if (QLX_FAILED(result)) return result;
    const uint64_t recordOffset = m_file.Position();
    m_file.Scratch()[kRecordTypeOffset] = kDataRecord;
    big_endian::Put32(m_file.Scratch() + kRecordLengthOffset, kGrowingLength);
    big_endian::Put32(m_file.Scratch() + kDataEntryIndexOffset, cursor->index);
    big_endian::Put64(m_file.Scratch() + kDataLogicalOffsetOffset, cursor->logicalPosition);
    result = m_file.WriteExact(m_file.Scratch(), kDataRecordHeadSize);
    if (QLX_FAILED(result)) {
        // The next record starts where this one should have.
        m_file.growing() = RecordFile::Growing();
        m_file.TakeBackTo(recordOffset);
        return result;
    }
    cursor->filePosition = recordOffset;
    UpdateSeekTable(*entry, cursor->logicalPosition, recordOffset);
    m_file.growing() = RecordFile::Growing{cursor->index, kDataHeadPayload, alignData};
    return S_OK;
}

// Appends bytes at the entry's end: to the open data record when it is this
// entry's and has room for all of them, else to a new record (after fixing
// the length of the open one). A stream may also move on to a new record whose
// bytes start on a block boundary (kStreamBlock).
int32_t CContainerFile::Append(EntryCursor* cursor, StoredEntry* entry, const uint8_t* bytes, uint32_t size) {
    RecordFile::Growing& growing = m_file.growing();
    int32_t result = S_OK;
    uint32_t done = 0;
    while (QLX_SUCCEEDED(result) && done < size) {
        uint32_t remaining = size - done;
        bool continues = growing.length != 0 && growing.entry == cursor->index &&
                         uint64_t{growing.length} + remaining <= kMaxDataPayload;
        bool realign = continues && WorthRealigning(remaining);
        result = continues && !realign ? m_file.SeekTo(m_file.WriteEnd()) : StartDataRecord(cursor, entry, realign);
        uint64_t written = 0;
        uint64_t recordOffset = 0;
        if (QLX_SUCCEEDED(result)) {
            recordOffset = growing.Offset(m_file.WriteEnd());
            uint32_t n = std::min(remaining, kMaxDataPayload - growing.length);
            result = m_file.WriteExact(bytes + done, n, &written);
            growing.length += static_cast<uint32_t>(written);
        }
        // Bytes left 0 at the write end; a later read on this cursor follows
        // the open record as it grows.
        cursor->filePosition = m_file.WriteEnd();
        cursor->growingRecordOffset = growing.length != 0 ? growing.Offset(m_file.WriteEnd()) : 0;
        cursor->logicalPosition += written;
        cursor->bytesLeft = 0;
        entry->size = cursor->logicalPosition;
        UpdateSeekTable(*entry, cursor->logicalPosition, 0, recordOffset);
        done += static_cast<uint32_t>(written);
        if (written == 0 && QLX_SUCCEEDED(result)) result = E_FAIL;
    }
    return result;
}
