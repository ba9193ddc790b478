#include "container/append_point.h"

#include <algorithm>
#include <new>
#include <vector>

#include "container/big_endian.h"
#include "container/record_walk.h"

using namespace record_format;

namespace {

// The chain can hold no more index records than there are entry numbers to
// fill them, and one more that is empty.
constexpr uint32_t kMaxChainRecords = kMaxEntryNumbers / kEntriesPerIndex + 1;

// A record the directory leads to: its offset, its type and, for a data
// record, its entry.
struct Required {
    uint64_t offset;
    uint8_t type;
    uint32_t entry;
    bool operator<(const Required& other) const { return offset < other.offset; }
};

int32_t FindLastIndexRecord(RecordFile& file, uint32_t entryCount, uint64_t root, AppendPoint* point,
                            std::vector<Required>* required) {
    const int64_t fileLength = file.FileLength();
    uint64_t at = root;
    for (uint32_t full = 0; full < kMaxChainRecords; ++full) {
        uint8_t head[kRecordHeadSize];
        RecordHeader record;
        if (file.ReadAt(at, head, sizeof head) != kRecordHeadSize ||
            QLX_FAILED(DecodeRecordHead(head, at, fileLength, &record)))
            return E_FAIL;
        if (record.type != kIndexRecord || !record.lengthGiven || record.length != kIndexPayloadSize)
            return RES_BAD_FORMAT;
        required->push_back(Required{at, kIndexRecord, 0});
        if (file.ReadAt(at + kRecordHeadSize, file.Scratch(), kIndexPayloadSize) != kIndexPayloadSize) return E_FAIL;
        const uint8_t* slots = file.Scratch();
        uint32_t used = 0;
        while (used < kEntriesPerIndex && big_endian::Get64(slots + used * kSlotSize) != 0) ++used;
        // A reader stops at the first empty slot: one in use after it
        // would come back into the walk once that slot is filled.
        for (uint32_t i = used; i < kEntriesPerIndex; ++i)
            if (big_endian::Get64(slots + i * kSlotSize) != 0) return RES_BAD_FORMAT;
        const uint64_t link = big_endian::Get64(slots + kIndexLinkSlot * kSlotSize);
        if (link == 0) {
            if (uint64_t{full} * kEntriesPerIndex + used != entryCount) return RES_BAD_FORMAT;
            point->lastIndexPayload = at + kRecordHeadSize;
            point->slotsUsed = used;
            return S_OK;
        }
        if (used != kEntriesPerIndex) return RES_BAD_FORMAT;
        at = link;
    }
    return RES_BAD_FORMAT;
}

// Whether a last record that runs past the end of the file can be kept by
// giving it the length it has: a data record that holds its head, and an
// entry record that holds its name and tail (one a slot may lead to: its
// length may claim more than that, and a reader still loads it). Any other
// record cut short is one no slot leads to: a reader loads a directory
// record only whole.
int32_t KeepsItsBytes(RecordFile& file, const RecordHeader& record, uint64_t fileLength, bool* keeps) {
    const uint64_t there = fileLength - record.offset;
    *keeps = false;
    if (there - kRecordHeadSize > kMaxDataPayload) return S_OK;
    if (record.type == kDataRecord) {
        *keeps = there >= kDataRecordHeadSize;
    } else if (record.type == kEntryRecord && there >= kEntryNameOffset) {
        uint8_t nameLength[kStringLengthSize];
        if (file.ReadAt(record.offset + kEntryNameLengthOffset, nameLength, sizeof nameLength) != kStringLengthSize)
            return E_FAIL;
        *keeps = there >= uint64_t{kEntryNameOffset} + big_endian::Get32(nameLength) + kEntryTailSize;
    }
    return S_OK;
}

// Walks the records by their lengths to the last one. Every record the
// directory leads to (`required`, in file order) must be one the walk
// meets, of the type the directory expects; the last record may be
// unfinished, but nothing the directory leads to may lie inside it.
int32_t FindLastRecord(RecordFile& file, uint64_t firstRecordOffset, AppendPoint* point,
                       const std::vector<Required>& required) {
    // Every record is read, so the window is filled whole from the start.
    RecordWalk walk(file, firstRecordOffset, RecordFile::kWindowSize);
    const int64_t length = walk.FileLength();
    if (length < 0 || static_cast<uint64_t>(length) < firstRecordOffset) return E_FAIL;
    const uint64_t fileLength = static_cast<uint64_t>(length);
    point->fileLength = fileLength;
    size_t next = 0;  // the first required record not met yet
    // Nothing required may lie before `at`, where the walk now is, unmet.
    auto allMetBefore = [&](uint64_t at) { return next == required.size() || required[next].offset >= at; };
    for (;;) {
        const uint64_t at = walk.Position();
        if (!allMetBefore(at)) return RES_BAD_FORMAT;
        if (at == fileLength) {
            point->tail = AppendPoint::Tail::kWhole;
            return next == required.size() ? S_OK : RES_BAD_FORMAT;
        }
        point->tailOffset = at;
        if (fileLength - at < kRecordHeadSize) {
            point->tail = AppendPoint::Tail::kDebris;
            return next == required.size() ? S_OK : RES_BAD_FORMAT;
        }
        RecordHeader record;
        DataRecordHeader data;
        bool isData = false;
        if (QLX_FAILED(walk.Next(&record, &data, &isData))) return E_FAIL;
        if (isData && data.entryIndex < kMaxEntryNumbers && data.entryIndex >= point->numbersInData)
            point->numbersInData = data.entryIndex + 1;
        for (; next < required.size() && required[next].offset == at; ++next) {
            const Required& wanted = required[next];
            if (record.type != wanted.type || (wanted.type == kDataRecord && (!isData || data.entryIndex != wanted.entry)))
                return RES_BAD_FORMAT;
        }
        if (!record.lengthGiven || record.End() > fileLength) {
            if (next != required.size()) return RES_BAD_FORMAT;
            bool keeps = false;
            if (QLX_FAILED(KeepsItsBytes(file, record, fileLength, &keeps))) return E_FAIL;
            point->tail = keeps ? AppendPoint::Tail::kUnfinished : AppendPoint::Tail::kDebris;
            return S_OK;
        }
    }
}

}  // namespace

int32_t FindAppendPoint(RecordFile& file, const EntryTable& entries, uint64_t firstRecordOffset, AppendPoint* point) {
    *point = AppendPoint();
    try {
        std::vector<Required> required;
        const int32_t result = FindLastIndexRecord(file, entries.Count(), firstRecordOffset, point, &required);
        if (QLX_FAILED(result)) return result;
        for (uint32_t i = 0; i < entries.Count(); ++i) {
            const StoredEntry* entry = entries.At(i);
            if (!entry) continue;
            required.push_back(Required{entry->recordOffset, kEntryRecord, 0});
            if (entry->size != 0 && entry->seekTable.First() != 0)
                required.push_back(Required{entry->seekTable.First(), kDataRecord, entry->index});
        }
        std::sort(required.begin(), required.end());
        const int32_t found = FindLastRecord(file, firstRecordOffset, point, required);
        if (QLX_FAILED(found)) return found;
        // An adder that died leaves at most the few entries it added since
        // its last sync without their slots; data records that name numbers
        // far past the directory are damage, and keeping those numbers from
        // new entries would take an entry record each, half a gigabyte of
        // them for one stray record naming the last number.
        if (point->numbersInData > entries.Count() + kMaxUnlinkedNumbers) return RES_BAD_FORMAT;
        return found;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

int32_t FinishLastRecord(RecordFile& file, const AppendPoint& point) {
    uint64_t end = point.fileLength;
    int32_t result = S_OK;
    if (point.tail == AppendPoint::Tail::kUnfinished) {
        uint8_t length[4];
        big_endian::Put32(length, static_cast<uint32_t>(point.fileLength - point.tailOffset - kRecordHeadSize));
        result = file.WriteAt(point.tailOffset + kRecordLengthOffset, length, sizeof length);
    } else if (point.tail == AppendPoint::Tail::kDebris) {
        // The filler covers what is there, and at least its own head.
        const uint64_t there = point.fileLength - point.tailOffset;
        const uint64_t payload = (there > kDataRecordHeadSize ? there : kDataRecordHeadSize) - kRecordHeadSize;
        if (payload > kMaxDataPayload) return E_FAIL;
        uint8_t* head = file.Scratch();
        head[kRecordTypeOffset] = kDataRecord;
        big_endian::Put32(head + kRecordLengthOffset, static_cast<uint32_t>(payload));
        big_endian::Put32(head + kDataEntryIndexOffset, kNoEntryIndex);
        big_endian::Put64(head + kDataLogicalOffsetOffset, 0);
        result = file.WriteAt(point.tailOffset, head, kDataRecordHeadSize);
        end = point.tailOffset + kRecordHeadSize + payload;
    }
    if (QLX_SUCCEEDED(result)) file.ContinueAt(end);
    return result;
}
