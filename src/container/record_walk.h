// RecordWalk: a container's records one after another from a record head
// on, read through the record file's read window, so that a run of small
// records costs one read and not one per head, and the file's position is
// never moved. Each record ends after its head, so a walk always moves
// forward and ends at the end of the file at the latest.
//
// The window's read-ahead follows the records met: large after small
// records, a few kilobytes after one that filled the window (its bytes are
// not wanted, only the next head).
#ifndef CONTFS_CONTAINER_RECORD_WALK_H
#define CONTFS_CONTAINER_RECORD_WALK_H

#include <cstdint>

#include "container/record_file.h"

class RecordWalk {
public:
    // readAhead: what the first read takes (the window's size for a walk
    // known to be long).
    RecordWalk(RecordFile& file, uint64_t from, uint32_t readAhead = kFirstReadAhead)
        : m_file(file), m_at(from), m_readAhead(readAhead) {}

    // The record at the walk's place, which then moves past it. *isData
    // tells whether its data head (entry index, logical offset) was read
    // too. E_FAIL where no head can be read (the end of the file, or a head
    // cut short), RES_IO_ERROR when a read failed, E_OUTOFMEMORY when the
    // window could not be had.
    int32_t Next(RecordHeader* record, DataRecordHeader* data, bool* isData);

    // The data bytes of the record Next gave last that the file holds: its
    // data length, less what lies beyond the end of the file.
    uint64_t PresentDataLength(const DataRecordHeader& data);

    // Where the next record head is looked for.
    uint64_t Position() const { return m_at; }
    // The file's length, asked once per walk; -1 when it cannot be had.
    int64_t FileLength();

    static constexpr uint32_t kFirstReadAhead = 16u << 10;

private:
    RecordFile& m_file;
    uint64_t m_at;
    uint32_t m_readAhead;
    int64_t m_fileLength = -2;  // not asked yet
    uint64_t m_heldEnd = 0;     // the file holds at least the bytes before this offset
};

#endif
