#include "container/recovery.h"

#include <cstring>

#include "container/seek_table.h"

using namespace record_format;

DamageReport::Recovery RebuildFromDataRecords(RecordFile& file, EntryTable& entries, uint64_t firstRecordOffset) {
    DamageReport::Recovery rebuilt;
    for (uint32_t i = 0; i < entries.Count(); ++i) {
        StoredEntry* entry = entries.At(i);
        if (!entry) continue;
        entry->size = 0;
        entry->chunkSize = kBaseChunkSize;
        std::memset(entry->seekTable, 0, sizeof entry->seekTable);
    }
    const int64_t fileLength = file.FileLength();
    uint64_t at = firstRecordOffset;
    auto finish = [&](bool complete) {
        rebuilt.complete = complete;
        // The entries whose bytes turned up: every other table stayed empty.
        for (uint32_t i = 0; i < entries.Count(); ++i) {
            const StoredEntry* entry = entries.At(i);
            if (!entry) continue;
            for (uint64_t slot : entry->seekTable) {
                if (slot == 0) continue;
                ++rebuilt.entries;
                break;
            }
        }
        rebuilt.endOffset = fileLength >= 0 && at > static_cast<uint64_t>(fileLength) ? static_cast<uint64_t>(fileLength) : at;
        return rebuilt;
    };
    RecordHeader record;
    DataRecordHeader data;
    bool isData = false;
    while (fileLength >= 0) {
        if (at + kRecordHeadSize > static_cast<uint64_t>(fileLength)) return finish(true);
        if (QLX_FAILED(file.SeekTo(at)) || QLX_FAILED(file.ReadRecordAndDataHead(&record, &data, &isData))) break;
        if (record.type == kDataRecord && record.length >= kDataHeadPayload) {
            // A data head cut short by the end of the file, or by a failed read.
            if (!isData) {
                rebuilt.cutShort = record.offset + kDataRecordHeadSize > static_cast<uint64_t>(fileLength);
                at = record.offset;
                return finish(rebuilt.cutShort);
            }
            ++rebuilt.dataRecords;
            StoredEntry* entry = entries.At(data.entryIndex);
            // A record cut short by the end of the file counts only the bytes it still has.
            uint64_t length = data.DataLength();
            uint64_t present = static_cast<uint64_t>(fileLength) > data.DataStart()
                                   ? static_cast<uint64_t>(fileLength) - data.DataStart()
                                   : 0;
            if (length > present) {
                length = present;
                rebuilt.cutShort = true;
            }
            if (entry && data.logicalOffset <= UINT64_MAX - length) {
                UpdateSeekTable(*entry, data.logicalOffset, record.offset);
                entry->size = data.logicalOffset + length;
                UpdateSeekTable(*entry, entry->size, 0, record.offset);
            }
        }
        at = record.End();
    }
    return finish(false);
}
