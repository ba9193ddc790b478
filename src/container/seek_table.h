// The seek table of an entry: 1000 slots, slot k naming a data record of the
// entry from which a forward scan reaches logical offset k x chunk size.
// When a position would land beyond slot 999 the table is halved (new slot
// i = old slot 2i) and the chunk size doubles, so a table never refers
// beyond 1000 x chunk size and slot 0 always names the first data record.
#ifndef CONTFS_CONTAINER_SEEK_TABLE_H
#define CONTFS_CONTAINER_SEEK_TABLE_H

#include <cstdint>

#include "container/container_interface.h"

// 25000 times a power of two: the only chunk sizes a writer produces. Any
// other value read from a file (0 above all) must not reach a division.
bool IsValidChunkSize(uint64_t chunkSize);

// Brings the table up to the logical position p: halving first while p's
// slot exceeds 999, then filling the empty slots from the highest set slot j
// at or below p's slot s up to s.
//
// When a record is being started at p, newRecordOffset is its offset: slots
// j+1 to s-1 receive slot j's value and slot s, when empty, the new record.
//
// When the entry's end has moved to p by bytes appended to the record at
// coveringRecordOffset, that record reaches every position from its own
// start (at or below slot j) to p, so the empty slots j+1 to s receive it:
// a seek then scans from a record near its target instead of from wherever
// slot j pointed, which for interleaved entries would be the first record.
// With neither offset, slots j+1 to s receive slot j's value.
//
// The chunk size must be valid.
void UpdateSeekTable(ContainerEntry& entry, uint64_t position, uint64_t newRecordOffset,
                     uint64_t coveringRecordOffset = 0);

#endif
