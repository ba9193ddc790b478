// Entry writing: WriteEntry under the container's mutex for its whole run,
// since it shares the data file's position, the write end and the growing
// data record with every other operation.
//
// Writing overwrites existing bytes where they lie (placed like a read,
// entry_reading.cpp) and appends the rest to the growing data record, or to
// a new one at the end of the file. Every record appended to is told to the
// entry's record map and its seek table as it grows.
#include <algorithm>
#include <cstring>

#include "container/big_endian.h"
#include "container/container_file.h"

using namespace record_format;

namespace {

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

}  // namespace

int32_t CContainerFile::WriteEntry(EntryCursor* cursor, IQLXBuffer* data) {
    if (!cursor) return E_FAIL;
    if (!data) return E_POINTER;
    MutexHold hold(m_mutex);
    m_file.ForgetWindow();
    // A container opened for reading is never written through entries.
    if (!m_writable) return E_ACCESSDENIED;
    StoredEntry* entry = m_entries.At(cursor->index);
    if (entry) entry->writeTried = true;
    if (!m_file.HasFile()) return RES_IO_ERROR;
    if (QLX_FAILED(m_writer.Failure())) return m_writer.Failure();
    // A write that cannot land must not begin writing either: the header and
    // directory it would write for nothing are an unreadable file when the
    // container has no entries.
    if (!entry || !IsValidChunkSize(entry->seekTable.chunkSize)) return E_FAIL;
    uint32_t size = data->GetSize();
    const uint8_t* bytes = data->GetBuffer();
    if (size != 0 && !bytes) return E_POINTER;
    if (!m_writer.Begun()) {
        int32_t begun = BeginWriting();
        if (QLX_FAILED(begun)) return begun;
    }

    int32_t result = S_OK;
    if (cursor->logicalPosition > entry->size) {
        // Only a gathering writer whose bytes were lost stands there.
        return QLX_FAILED(entry->gatherLoss) ? entry->gatherLoss : E_FAIL;
    }
    if (cursor->gather && cursor->logicalPosition == entry->size) {
        result = Gather(cursor, entry, bytes, size);
        if (QLX_SUCCEEDED(result)) entry->written = true;
        // The time bound is checked on every write to the container.
        if (!m_gathers.Empty()) WriteOutDue(GatherClockMs());
        return result;
    }
    // Any other write lands behind the entry's gathered bytes or amid them.
    result = WriteOut(entry);
    if (QLX_FAILED(result)) return result;
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
    if (QLX_SUCCEEDED(result)) entry->written = true;
    if (!m_gathers.Empty()) WriteOutDue(GatherClockMs());
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
        if (n == 0) result = PlaceOnNextRecord(cursor, *entry);
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
    if (QLX_FAILED(result)) {
        // The next record starts where the filler should have.
        m_file.TakeBackTo(fillerOffset);
        m_file.SeekTo(fillerOffset);
    }
    return result;
}

int32_t CContainerFile::StartDataRecord(EntryCursor* cursor, StoredEntry* entry, bool alignData) {
    // The table must take the record's slots once its head is on disk.
    int32_t result = entry->seekTable.Reserve();
    if (QLX_SUCCEEDED(result)) result = m_writer.FixGrowingRecord();
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
    entry->seekTable.Update(cursor->logicalPosition, recordOffset);
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
        entry->seekTable.Update(cursor->logicalPosition, 0, recordOffset);
        if (written != 0) {
            const uint64_t dataLength = growing.length - kDataHeadPayload;
            entry->records.Learn(recordOffset, entry->size - dataLength, dataLength, true, true, &m_entries.recordBudget);
        }
        done += static_cast<uint32_t>(written);
        if (written == 0 && QLX_SUCCEEDED(result)) result = E_FAIL;
    }
    return result;
}
