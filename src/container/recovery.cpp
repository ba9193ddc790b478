#include "container/recovery.h"

#include "container/record_walk.h"

using namespace record_format;

DamageReport::Recovery RebuildFromDataRecords(RecordFile& file, EntryTable& entries, uint64_t firstRecordOffset) {
    DamageReport::Recovery rebuilt;
    for (uint32_t i = 0; i < entries.Count(); ++i) {
        StoredEntry* entry = entries.At(i);
        if (!entry) continue;
        entry->size = 0;
        entry->seekTable.Clear();
        entry->records.Clear();
    }
    bool tablesWhole = true;
    // Every record is read, so the window is filled whole from the start.
    RecordWalk walk(file, firstRecordOffset, RecordFile::kWindowSize);
    const int64_t fileLength = walk.FileLength();
    uint64_t at = firstRecordOffset;
    auto finish = [&](bool complete) {
        rebuilt.complete = complete && tablesWhole;
        // The entries whose bytes turned up: every other table stayed empty.
        for (uint32_t i = 0; i < entries.Count(); ++i) {
            const StoredEntry* entry = entries.At(i);
            if (entry && entry->seekTable.First() != 0) ++rebuilt.entries;
        }
        rebuilt.endOffset = fileLength >= 0 && at > static_cast<uint64_t>(fileLength) ? static_cast<uint64_t>(fileLength) : at;
        return rebuilt;
    };
    if (fileLength < 0) return finish(false);
    const uint64_t end = static_cast<uint64_t>(fileLength);
    RecordHeader record;
    DataRecordHeader data;
    bool isData = false;
    for (;;) {
        at = walk.Position();
        if (at > end || end - at < kRecordHeadSize) return finish(true);
        if (QLX_FAILED(walk.Next(&record, &data, &isData))) return finish(false);
        if (record.type != kDataRecord || record.length < kDataHeadPayload) continue;
        // A data head cut short by the end of the file, or by a failed read.
        if (!isData) {
            rebuilt.cutShort = record.offset + kDataRecordHeadSize > end;
            return finish(rebuilt.cutShort);
        }
        ++rebuilt.dataRecords;
        StoredEntry* entry = entries.At(data.entryIndex);
        // A record cut short by the end of the file counts only the bytes it still has.
        uint64_t length = data.DataLength();
        const uint64_t present = end > data.DataStart() ? end - data.DataStart() : 0;
        if (length > present) {
            length = present;
            rebuilt.cutShort = true;
        }
        // Each record of an entry continues where the entry's bytes before
        // it end (overwrites stay in place). One that does not is no part of
        // the entry: a head torn by a power cut, the end of its logical
        // offset lost, would otherwise cut the entry short or leave a gap.
        if (!entry || data.logicalOffset != entry->size || data.logicalOffset > UINT64_MAX - length) continue;
        tablesWhole &= QLX_SUCCEEDED(entry->seekTable.Update(data.logicalOffset, record.offset));
        entry->size = data.logicalOffset + length;
        tablesWhole &= QLX_SUCCEEDED(entry->seekTable.Update(entry->size, 0, record.offset));
        entry->records.Learn(record.offset, data.logicalOffset, length, !record.lengthGiven, true, &entries.recordBudget);
    }
}
