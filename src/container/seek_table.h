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
// slot exceeds 999, then filling the slots between the highest set slot at or
// below p's slot and that slot. p's own slot, when empty, receives
// newRecordOffset when a record is being started there (nonzero), else the
// value of the highest set slot below it. The chunk size must be valid.
void UpdateSeekTable(ContainerEntry& entry, uint64_t position, uint64_t newRecordOffset);

#endif
