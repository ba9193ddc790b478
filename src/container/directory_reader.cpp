#include "container/directory_reader.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <deque>
#include <iterator>
#include <map>
#include <new>
#include <stdexcept>

#include "container/big_endian.h"

using namespace record_format;

namespace {

constexpr uint32_t kHeader = DamageReport::kHeader;

// What a record head is read with: enough for the head, name and tail of an
// entry record of a name up to a few hundred bytes, and little enough that
// the read costs no more than the system call.
constexpr uint32_t kRecordStartRead = 256;

}  // namespace

// A read that came back short, as damage at offset: the file ends early,
// or (RES_IO_ERROR) it could not be read at all. E_FAIL either way.
int32_t DirectoryReader::Unreadable(int32_t readResult, uint64_t offset, uint32_t part, const char* what) {
    if (readResult == RES_IO_ERROR)
        return m_report.Damage(E_FAIL, offset, part, "%s at offset %" PRIu64 " could not be read", what, offset);
    return m_report.Damage(E_FAIL, offset, part, "%s at offset %" PRIu64 " runs past the end of the file", what,
                           offset);
}

int32_t DirectoryReader::ReadHeader(ContainerHeader* header) {
    int32_t result = m_file.SeekTo(0);
    if (QLX_SUCCEEDED(result)) result = m_file.ReadExact(m_file.Scratch(), kMagicSize);
    if (QLX_FAILED(result)) return Unreadable(result, 0, kHeader, "the header");
    header->magic = big_endian::Get32(m_file.Scratch());
    if (std::memcmp(m_file.Scratch(), kMagicW7K, kMagicSize) == 0) {
        header->variant = ContainerHeader::Variant::kW7K;
        result = m_file.ReadExact(m_file.Scratch(), kW7KVersionSize + kCleanFlagSize);
        if (QLX_FAILED(result)) return Unreadable(result, 0, kHeader, "the header");
        const uint16_t version = big_endian::Get16(m_file.Scratch());
        header->version = version;
        if (version > kHighestVersionRead)
            return m_report.Damage(RES_BAD_FORMAT, kW7KVersionOffset, kHeader,
                                   "the header at offset 0 has version %u; this reader knows versions up to %u",
                                   version, kHighestVersionRead);
        header->cleanFlag = m_file.Scratch()[kW7KVersionSize];
        header->cleanFlagRead = true;
    } else if (std::memcmp(m_file.Scratch(), kMagicCFS, kMagicSize) == 0) {
        header->variant = ContainerHeader::Variant::kCFS;
        result = m_file.ReadExact(m_file.Scratch(), kCleanFlagSize);
        if (QLX_FAILED(result)) return Unreadable(result, 0, kHeader, "the header");
        header->cleanFlag = m_file.Scratch()[0];
        header->cleanFlagRead = true;
    } else {
        return m_report.Damage(RES_BAD_FORMAT, 0, kHeader,
                               "the file does not begin with a container's magic (.W7K or .CFS)");
    }

    const uint64_t lengthOffset = m_file.Position();
    result = m_file.ReadExact(m_file.Scratch(), kStringLengthSize);
    if (QLX_FAILED(result)) return Unreadable(result, 0, kHeader, "the header");
    uint32_t titleLength = big_endian::Get32(m_file.Scratch());
    int64_t fileLength = m_file.FileLength();
    if (fileLength < 0) return Unreadable(RES_IO_ERROR, 0, kHeader, "the header");
    uint64_t remaining = static_cast<uint64_t>(fileLength) - m_file.Position();
    if (titleLength == 0)
        return m_report.Damage(E_FAIL, lengthOffset, kHeader, "the title length at offset %" PRIu64 " is 0",
                               lengthOffset);
    if (titleLength >= remaining || titleLength > CompactString::kMaxLength)
        return m_report.Damage(E_FAIL, lengthOffset, kHeader,
                               "the title of %" PRIu32 " bytes at offset %" PRIu64
                               " leaves no room for a record before the end of the file",
                               titleLength, lengthOffset);
    CompactString title;
    char* titleChars = title.GetWritableBuffer(titleLength);
    if (!titleChars) return E_OUTOFMEMORY;
    result = m_file.ReadExact(titleChars, titleLength);
    titleChars[QLX_SUCCEEDED(result) ? titleLength : 0] = '\0';
    title.ReleaseBuffer(-1);
    if (QLX_FAILED(result)) return Unreadable(result, 0, kHeader, "the header");
    header->title = title;
    header->firstRecordOffset = m_file.Position();
    return S_OK;
}

int32_t DirectoryReader::ReadIndex(uint64_t firstRecordOffset, bool damagePerEntry) {
    m_damagePerEntry = damagePerEntry;
    m_fileLength = m_file.FileLength();
    if (m_fileLength < 0) return Unreadable(RES_IO_ERROR, firstRecordOffset, kIndexRecord, "the first record");
    RecordHeader root;
    const int32_t result = ReadHead(firstRecordOffset, &root);
    if (result == E_OUTOFMEMORY) return result;
    if (QLX_FAILED(result)) return Unreadable(result, firstRecordOffset, kIndexRecord, "the first record");
    if (root.type != kIndexRecord)
        return m_report.Damage(E_FAIL, firstRecordOffset, root.type,
                               "the first record at offset %" PRIu64 " has type %u, not an index record",
                               firstRecordOffset, root.type);
    return WalkIndex(firstRecordOffset, root);
}

int32_t DirectoryReader::BytesAt(uint64_t offset, uint32_t count, const uint8_t** bytes, uint32_t readAhead) {
    uint32_t held = 0;
    const int32_t result = m_file.Peek(offset, count, bytes, &held, readAhead);
    if (result == E_OUTOFMEMORY || result == RES_IO_ERROR) return result;
    return QLX_SUCCEEDED(result) && held >= count ? S_OK : E_FAIL;
}

int32_t DirectoryReader::ReadHead(uint64_t offset, RecordHeader* out) {
    const uint8_t* head = nullptr;
    const int32_t result = BytesAt(offset, kRecordHeadSize, &head, kRecordStartRead);
    return QLX_SUCCEEDED(result) ? DecodeRecordHead(head, offset, m_fileLength, out) : result;
}

namespace {

// The file ranges [start, end) of the directory records a walk has met, none
// overlapping another.
class ClaimedRanges {
public:
    static constexpr uint64_t kNone = ~uint64_t{0};

    // The start of a claimed range that [start, end) overlaps, else kNone.
    uint64_t Overlapped(uint64_t start, uint64_t end) const {
        // Records mostly come in file order: one after every range claimed.
        if (m_ends.empty() || start >= std::prev(m_ends.end())->second) return kNone;
        auto after = m_ends.upper_bound(start);
        if (after != m_ends.end() && after->first < end) return after->first;
        if (after != m_ends.begin() && std::prev(after)->second > start) return std::prev(after)->first;
        return kNone;
    }
    // Claims the range unless it overlaps one claimed before; that one's
    // start, else kNone.
    uint64_t Claim(uint64_t start, uint64_t end) {
        uint64_t overlapped = Overlapped(start, end);
        // The hint is right for a range after all others, and harmless otherwise.
        if (overlapped == kNone) m_ends.emplace_hint(m_ends.end(), start, end);
        return overlapped;
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
// many file bytes); for an entry record an entry (under 200 bytes with its
// slots in the entry table and the name index, for a record of at least
// 8,026 bytes; its seek table stays in the file) and its name, which the
// record holds too; once a later record takes its name, a shadow (16) in
// its place. The smallest record, an
// index record of one slot, takes 13 bytes with the slot that leads to it,
// so a directory never takes more than kBytesPerFileByte bytes of
// memory per byte of the file, plus a few kilobytes, while it is read or
// after.
int32_t DirectoryReader::WalkIndex(uint64_t firstRecordOffset, const RecordHeader& root) {
    struct Frame {
        uint64_t offset;   // of the index record
        uint64_t slotsAt;  // in `slots`, where this record's slots start
        uint32_t slotCount;
        uint32_t next;
    };
    const int64_t fileLength = m_fileLength;
    try {
        // Deques: they grow without the doubled copy of a vector, which
        // would break the bound.
        std::deque<Frame> stack;
        std::deque<uint64_t> slots;  // the slots of the records on the stack, back to back
        ClaimedRanges claimed;

        auto push = [&](const RecordHeader& record) -> int32_t {
            if (record.length > kMaxIndexPayloadRead)
                return m_report.Damage(RES_IO_ERROR, record.offset, kIndexRecord,
                                       "the index record at offset %" PRIu64 " holds %" PRIu64
                                       " bytes of slots, more than %u",
                                       record.offset, record.length, kMaxIndexPayloadRead);
            const uint32_t length = static_cast<uint32_t>(record.length);
            const uint8_t* payload = nullptr;
            if (length != 0) {
                const int32_t read = BytesAt(record.offset + kRecordHeadSize, length, &payload);
                if (read == E_OUTOFMEMORY) return read;
                if (QLX_FAILED(read)) return Unreadable(read, record.offset, kIndexRecord, "the index record");
            }
            const uint32_t slotCount = length / kSlotSize;
            stack.push_back(Frame{record.offset, slots.size(), slotCount, 0});
            for (uint32_t i = 0; i < slotCount; ++i) slots.push_back(big_endian::Get64(payload + i * kSlotSize));
            return S_OK;
        };

        // One slot: the record it leads to, claimed and loaded (an index
        // record pushed, an entry record added to the table), or damage.
        auto visit = [&](uint64_t offset, uint32_t slot, uint64_t from) -> int32_t {
            if (offset < firstRecordOffset || offset >= static_cast<uint64_t>(fileLength))
                return m_report.Damage(E_FAIL, from, kIndexRecord,
                                       "index slot %" PRIu32 " of the record at offset %" PRIu64
                                       " leads to offset %" PRIu64 ", outside the records of the file",
                                       slot, from, offset);
            // Refused before its head is read: a second reference to a record reads nothing.
            const uint64_t met = claimed.Overlapped(offset, offset + kRecordHeadSize);
            if (met == from)
                return m_report.Damage(E_FAIL, from, kIndexRecord,
                                       "index slot %" PRIu32 " of the record at offset %" PRIu64
                                       " leads back to itself",
                                       slot, from);
            if (met != ClaimedRanges::kNone)
                return m_report.Damage(E_FAIL, from, kIndexRecord,
                                       "index slot %" PRIu32 " of the record at offset %" PRIu64
                                       " leads to offset %" PRIu64 ", into the record at offset %" PRIu64
                                       " met before",
                                       slot, from, offset, met);
            RecordHeader record;
            const int32_t read = ReadHead(offset, &record);
            if (read == E_OUTOFMEMORY) return read;
            if (QLX_FAILED(read))
                return m_report.Damage(E_FAIL, from, kIndexRecord,
                                       "index slot %" PRIu32 " of the record at offset %" PRIu64
                                       " leads to offset %" PRIu64 ", where no record head can be read",
                                       slot, from, offset);
            // No writer leaves a directory record growing: in a file whose
            // last writes may not have reached the disk, a length of 0 is
            // bytes never written (zeros), not a record.
            if (m_damagePerEntry && !record.lengthGiven)
                return m_report.Damage(E_FAIL, from, kIndexRecord,
                                       "index slot %" PRIu32 " of the record at offset %" PRIu64
                                       " leads to offset %" PRIu64 ", where the bytes hold no record",
                                       slot, from, offset);
            const uint64_t overlapped = claimed.Claim(record.offset, record.End());
            if (overlapped != ClaimedRanges::kNone)
                return m_report.Damage(E_FAIL, offset, record.type,
                                       "the record at offset %" PRIu64 " (%" PRIu64
                                       " bytes) overlaps the record at offset %" PRIu64,
                                       offset, record.End() - offset, overlapped);
            if (record.type == kIndexRecord) return push(record);
            if (record.type == kEntryRecord) return LoadEntryRecord(record);
            return m_report.Damage(E_FAIL, offset, record.type,
                                   "index slot %" PRIu32 " of the record at offset %" PRIu64
                                   " leads to a record of type %u at offset %" PRIu64 ", not an index or entry record",
                                   slot, from, record.type, offset);
        };

        claimed.Claim(root.offset, root.End());
        int32_t result = push(root);
        // A slot that failed, in a container whose damage is per entry: the
        // entry it named keeps its number, empty, and the walk goes on. The
        // link of an index record as a writer lays it (slot 256 of 257)
        // names no entry: what lay behind it is lost.
        bool linkSlot = false;
        auto slotFailed = [&](int32_t failure) -> int32_t {
            if (!m_damagePerEntry || failure == E_OUTOFMEMORY) return failure;
            return linkSlot ? S_OK : m_entries.Load(nullptr);
        };
        while (QLX_SUCCEEDED(result) && !stack.empty()) {
            Frame& top = stack.back();
            uint64_t offset = top.next < top.slotCount ? slots[top.slotsAt + top.next] : 0;
            if (offset == 0) {
                slots.resize(top.slotsAt);
                stack.pop_back();
                continue;
            }
            const uint32_t slot = top.next++;
            const uint64_t from = top.offset;
            linkSlot = slot == kIndexLinkSlot && top.slotCount == kIndexLinkSlot + 1;
            result = visit(offset, slot, from);
            if (QLX_FAILED(result)) result = slotFailed(result);
        }
        return result;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (const std::length_error&) {
        return E_OUTOFMEMORY;
    }
}

int32_t DirectoryReader::LoadEntryRecord(const RecordHeader& record) {
    const uint32_t number = m_entries.Count();
    // Named only when it is damaged: most records are not.
    char whatText[64];
    auto what = [&whatText, number]() -> const char* {
        std::snprintf(whatText, sizeof whatText, "entry record %" PRIu32, number);
        return whatText;
    };
    const uint64_t fileLength = static_cast<uint64_t>(m_fileLength);
    const uint8_t* field = nullptr;
    int32_t result = BytesAt(record.offset + kEntryNameLengthOffset, kStringLengthSize, &field);
    if (result == E_OUTOFMEMORY) return result;
    if (QLX_FAILED(result)) return Unreadable(result, record.offset, kEntryRecord, what());
    const uint32_t nameLength = big_endian::Get32(field);
    const uint64_t afterLength = record.offset + kEntryNameOffset;
    if (nameLength == 0)
        return m_report.Damage(E_FAIL, record.offset, kEntryRecord, "%s at offset %" PRIu64 " has a name length of 0",
                               what(), record.offset);
    if (nameLength >= fileLength - afterLength) return Unreadable(E_FAIL, record.offset, kEntryRecord, what());
    if (nameLength > CompactString::kMaxLength)
        return m_report.Damage(E_FAIL, record.offset, kEntryRecord,
                               "%s at offset %" PRIu64 " has a name of %" PRIu32 " bytes, longer than a name can be",
                               what(), record.offset, nameLength);
    // The tail must lie inside the record: it is rewritten in place at close.
    if (record.length < uint64_t{nameLength} + kEntryPayloadFixed)
        return m_report.Damage(E_FAIL, record.offset, kEntryRecord,
                               "%s at offset %" PRIu64 " holds %" PRIu64 " bytes, too few for its name of %" PRIu32
                               " bytes and its tail",
                               what(), record.offset, record.length, nameLength);
    if (number >= kMaxEntryNumbers)
        return m_report.Damage(E_FAIL, record.offset, kEntryRecord,
                               "%s at offset %" PRIu64 " is one more than the %" PRIu32 " entry numbers there are",
                               what(), record.offset, kMaxEntryNumbers);
    // The whole tail must be in the file; of the seek table only slot 0 is
    // read now, the rest when a seek needs it.
    const uint64_t tailAt = afterLength + nameLength;
    if (fileLength - tailAt < kEntryTailSize) return Unreadable(E_FAIL, record.offset, kEntryRecord, what());

    CompactString name;
    char* chars = name.GetWritableBuffer(nameLength);
    if (!chars) return E_OUTOFMEMORY;
    // A name longer than the window is read on its own.
    if (nameLength <= RecordFile::kWindowSize) {
        const uint8_t* stored = nullptr;
        // The tail that follows comes in the same read.
        result = BytesAt(afterLength, nameLength, &stored, nameLength + kTailSeekTableOffset + kSlotSize);
        if (QLX_SUCCEEDED(result)) std::memcpy(chars, stored, nameLength);
    } else {
        const int64_t read = m_file.ReadAt(afterLength, chars, nameLength);
        result = read < 0 ? RES_IO_ERROR : read == static_cast<int64_t>(nameLength) ? S_OK : E_FAIL;
    }
    chars[QLX_SUCCEEDED(result) ? nameLength : 0] = '\0';
    name.ReleaseBuffer(-1);  // a name ends at its first zero byte
    const uint8_t* tail = nullptr;
    if (QLX_SUCCEEDED(result)) result = BytesAt(tailAt, kTailSeekTableOffset + kSlotSize, &tail);
    if (result == E_OUTOFMEMORY) return result;
    if (QLX_FAILED(result)) return Unreadable(result, record.offset, kEntryRecord, what());
    const uint64_t size = big_endian::Get64(tail + kTailSizeOffset);
    const uint64_t chunkSize = big_endian::Get64(tail + kTailChunkSizeOffset);
    const uint64_t firstSlot = big_endian::Get64(tail + kTailSeekTableOffset);

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
    // The table stays in the file until a seek needs it.
    entry->seekTable.SetOnDisk(chunkSize, firstSlot);
    entry->recordOffset = record.offset;
    entry->recordNameLength = nameLength;
    // A name met twice: the earlier record is an entry that was removed and
    // its name added again (which always takes a new, higher number), in a
    // file whose writer stopped before the flush that marks removed records.
    // The table keeps the later record as the live entry; the earlier one
    // keeps its number with no entry in it, so its bytes are not served
    // under the name, and becomes a shadow of the live one, marked removed
    // on disk when the name is removed or the directory written back.
    return m_entries.Load(entry);
}

