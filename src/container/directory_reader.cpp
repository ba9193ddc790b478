#include "container/directory_reader.h"

#include <cstring>
#include <deque>
#include <iterator>
#include <map>
#include <new>
#include <stdexcept>

#include "container/big_endian.h"

using namespace record_format;

int32_t DirectoryReader::ReadHeader(ContainerHeader* header) {
    int32_t result = m_file.SeekTo(0);
    if (QLX_SUCCEEDED(result)) result = m_file.ReadExact(m_file.Scratch(), kMagicSize);
    if (QLX_FAILED(result)) return E_FAIL;
    if (std::memcmp(m_file.Scratch(), kMagicW7K, kMagicSize) == 0) {
        header->variant = ContainerHeader::Variant::kW7K;
        if (QLX_FAILED(m_file.ReadExact(m_file.Scratch(), kW7KVersionSize + kCleanFlagSize))) return E_FAIL;
        if (big_endian::Get16(m_file.Scratch()) > kHighestVersionRead) return RES_BAD_FORMAT;
        header->cleanFlag = m_file.Scratch()[kW7KVersionSize];
    } else if (std::memcmp(m_file.Scratch(), kMagicCFS, kMagicSize) == 0) {
        header->variant = ContainerHeader::Variant::kCFS;
        if (QLX_FAILED(m_file.ReadExact(m_file.Scratch(), kCleanFlagSize))) return E_FAIL;
        header->cleanFlag = m_file.Scratch()[0];
    } else {
        return RES_BAD_FORMAT;
    }

    if (QLX_FAILED(m_file.ReadExact(m_file.Scratch(), kStringLengthSize))) return E_FAIL;
    uint32_t titleLength = big_endian::Get32(m_file.Scratch());
    int64_t fileLength = m_file.FileLength();
    if (fileLength < 0) return E_FAIL;
    uint64_t remaining = static_cast<uint64_t>(fileLength) - m_file.Position();
    if (titleLength == 0 || titleLength >= remaining || titleLength > CompactString::kMaxLength) return E_FAIL;
    CompactString title;
    char* titleChars = title.GetWritableBuffer(titleLength);
    if (!titleChars) return E_OUTOFMEMORY;
    result = m_file.ReadExact(titleChars, titleLength);
    titleChars[QLX_SUCCEEDED(result) ? titleLength : 0] = '\0';
    title.ReleaseBuffer(-1);
    if (QLX_FAILED(result)) return E_FAIL;
    header->title = title;
    header->firstRecordOffset = m_file.Position();
    return S_OK;
}

int32_t DirectoryReader::ReadIndex(uint64_t firstRecordOffset) {
    RecordHeader root;
    if (QLX_FAILED(m_file.SeekTo(firstRecordOffset)) || QLX_FAILED(m_file.ReadRecordHead(&root)) ||
        root.type != kIndexRecord)
        return E_FAIL;
    return WalkIndex(firstRecordOffset, root);
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
// so a directory never takes more than kBytesPerFileByte bytes of
// memory per byte of the file, plus a few kilobytes, while it is read or
// after.
int32_t DirectoryReader::WalkIndex(uint64_t firstRecordOffset, const RecordHeader& root) {
    struct Frame {
        uint64_t slotsAt;  // in `slots`, where this record's slots start
        uint32_t slotCount;
        uint32_t next;
    };
    const int64_t fileLength = m_file.FileLength();
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
            if (record.length != 0 && QLX_FAILED(m_file.ReadExact(m_file.Scratch(), record.length))) return E_FAIL;
            const uint32_t slotCount = static_cast<uint32_t>(record.length / kSlotSize);
            stack.push_back(Frame{slots.size(), slotCount, 0});
            for (uint32_t i = 0; i < slotCount; ++i) slots.push_back(big_endian::Get64(m_file.Scratch() + i * kSlotSize));
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
            if (QLX_FAILED(m_file.SeekTo(offset)) || QLX_FAILED(m_file.ReadRecordHead(&record))) return E_FAIL;
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

int32_t DirectoryReader::LoadEntryRecord(const RecordHeader& record) {
    const int64_t fileLength = m_file.FileLength();
    if (fileLength < 0 || QLX_FAILED(m_file.ReadExact(m_file.Scratch(), kStringLengthSize))) return E_FAIL;
    uint32_t nameLength = big_endian::Get32(m_file.Scratch());
    uint64_t afterLength = record.offset + kEntryNameOffset;
    // The tail must lie inside the record: it is rewritten in place at close.
    if (nameLength == 0 || nameLength >= static_cast<uint64_t>(fileLength) - afterLength ||
        nameLength > CompactString::kMaxLength || record.length < uint64_t{nameLength} + kEntryPayloadFixed)
        return E_FAIL;
    if (m_entries.Count() >= kMaxEntryNumbers) return E_FAIL;

    CompactString name;
    char* chars = name.GetWritableBuffer(nameLength);
    if (!chars) return E_OUTOFMEMORY;
    int32_t result = m_file.ReadExact(chars, nameLength);
    chars[QLX_SUCCEEDED(result) ? nameLength : 0] = '\0';
    name.ReleaseBuffer(-1);  // a name ends at its first zero byte
    if (QLX_FAILED(result)) return E_FAIL;

    if (QLX_FAILED(m_file.ReadExact(m_file.Scratch(), kTailSeekTableOffset))) return E_FAIL;
    uint64_t size = big_endian::Get64(m_file.Scratch() + kTailSizeOffset);
    uint64_t chunkSize = big_endian::Get64(m_file.Scratch() + kTailChunkSizeOffset);
    if (QLX_FAILED(m_file.ReadExact(m_file.Scratch(), kSeekTableBytes))) return E_FAIL;

    // A removed entry (empty name) keeps its number with no entry in it.
    if (name.IsEmpty()) return m_entries.Load(nullptr);
    StoredEntry* entry = new (std::nothrow) StoredEntry;
    if (!entry) return E_OUTOFMEMORY;
    entry->name = name;
    if (entry->name.GetLength() != name.GetLength()) {
        delete entry;
        return E_OUTOFMEMORY;
    }
    entry->size = size;
    entry->chunkSize = chunkSize;
    for (uint32_t i = 0; i < kSeekTableSlots; ++i) entry->seekTable[i] = big_endian::Get64(m_file.Scratch() + i * kSlotSize);
    entry->recordOffset = record.offset;
    entry->recordNameLength = nameLength;
    // A name met twice: the earlier record is an entry that was removed and
    // its name added again (which always takes a new, higher number), in a
    // file whose writer stopped before the flush that marks removed records.
    // The table keeps the later record as the live entry; the earlier one
    // keeps its number with no entry in it, so its bytes are not served
    // under the name.
    return m_entries.Load(entry);
}

