// Recovery of a container that was not closed cleanly: every entry's size
// and seek table rebuilt from the data records themselves, which name their
// entry and the logical offset of their first byte.
#ifndef CONTFS_CONTAINER_RECOVERY_H
#define CONTFS_CONTAINER_RECOVERY_H

#include <cstdint>

#include "container/damage_report.h"
#include "container/entry_table.h"
#include "container/record_file.h"

// Walks the records from firstRecordOffset to the end of the file (or to
// the first head that cannot be read) and rebuilds each loaded entry from
// its data records: its size, its seek table, and the map of its records; a
// record cut short by the end of the file counts the bytes it still has.
// Writes nothing. What it rebuilt, and whether the walk ended where the
// file's bytes do (complete); a failed seek or read that cut it short
// leaves sizes that may be short, and a seek table that could not be had in
// memory leaves the directory not whole: neither is complete, and neither
// may be written back. The written-back flag is the caller's to set.
DamageReport::Recovery RebuildFromDataRecords(RecordFile& file, EntryTable& entries, uint64_t firstRecordOffset);

#endif
