#include "container/recovery.h"

#include <cstring>

#include "container/seek_table.h"

using namespace record_format;

bool RebuildFromDataRecords(RecordFile& file, EntryTable& entries, uint64_t firstRecordOffset) {
    for (uint32_t i = 0; i < entries.Count(); ++i) {
        StoredEntry* entry = entries.At(i);
        if (!entry) continue;
        entry->size = 0;
        entry->chunkSize = kBaseChunkSize;
        std::memset(entry->seekTable, 0, sizeof entry->seekTable);
    }
    const int64_t fileLength = file.FileLength();
    uint64_t at = firstRecordOffset;
    RecordHeader record;
    DataRecordHeader data;
    bool isData = false;
    while (fileLength >= 0) {
        if (at + kRecordHeadSize > static_cast<uint64_t>(fileLength)) return true;
        if (QLX_FAILED(file.SeekTo(at)) || QLX_FAILED(file.ReadRecordAndDataHead(&record, &data, &isData))) break;
        if (record.type == kDataRecord && record.length >= kDataHeadPayload) {
            // A data head cut short by the end of the file, or by a failed read.
            if (!isData) return record.offset + kDataRecordHeadSize > static_cast<uint64_t>(fileLength);
            StoredEntry* entry = entries.At(data.entryIndex);
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
        at = record.End();
    }
    return false;
}
