#include "container/seek_table.h"

#include "container/record_format.h"

using record_format::kSeekTableSlots;

bool IsValidChunkSize(uint64_t chunkSize) {
    if (chunkSize == 0 || chunkSize % record_format::kBaseChunkSize != 0) return false;
    uint64_t factor = chunkSize / record_format::kBaseChunkSize;
    return (factor & (factor - 1)) == 0;
}

void UpdateSeekTable(ContainerEntry& entry, uint64_t position, uint64_t newRecordOffset,
                     uint64_t coveringRecordOffset) {
    uint64_t* table = entry.seekTable;
    constexpr uint32_t kHalf = kSeekTableSlots / 2;
    // p / chunk > 999 implies chunk < 2^64 / 999, so the doubling cannot overflow.
    while (position / entry.chunkSize >= kSeekTableSlots) {
        for (uint32_t i = 0; i < kHalf; ++i) table[i] = table[2 * i];
        for (uint32_t i = kHalf; i < kSeekTableSlots; ++i) table[i] = 0;
        entry.chunkSize *= 2;
    }
    uint32_t slot = static_cast<uint32_t>(position / entry.chunkSize);
    uint32_t lastSet = slot;
    while (lastSet > 0 && table[lastSet] == 0) --lastSet;
    const uint64_t fill = newRecordOffset == 0 && coveringRecordOffset != 0 ? coveringRecordOffset : table[lastSet];
    for (uint32_t i = lastSet + 1; i < slot; ++i) table[i] = fill;
    if (table[slot] == 0) table[slot] = newRecordOffset != 0 ? newRecordOffset : fill;
}
