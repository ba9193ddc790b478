// AppendPoint: where a container that already holds records takes new ones
// (layout: record_format.h), for a container opened to have entries added.
//
// New entries are linked from the next free slot of the last index record
// of the chain (the records linked through slot 256 from the root), and
// every record goes behind the file's last record. That keeps the numbers
// every reader gives the entries - their order in the walk of the index
// tree - only for a directory laid out as a writer lays it: index records
// of 256 entry slots and a link, each filled from slot 0 without a gap and
// linked on only when full. Any other directory is refused.
//
// The file may end in a record that a writer left unfinished: a data record
// still growing (length field 0), or any record cut short by a crash.
// Records are found by walking their lengths, so nothing may be appended
// behind a record whose length is not true. A data record that holds its
// whole head keeps its bytes and gets the length it has, and so does an
// entry record that holds its name and tail (a slot may lead to it);
// anything shorter (a head cut off, the start of a directory record that no
// slot leads to yet) becomes a filler: a data record of no entry, which
// every reader passes over.
#ifndef CONTFS_CONTAINER_APPEND_POINT_H
#define CONTFS_CONTAINER_APPEND_POINT_H

#include <cstdint>

#include "container/entry_table.h"
#include "container/record_file.h"

struct AppendPoint {
    uint64_t lastIndexPayload = 0;  // payload of the last index record of the chain
    uint32_t slotsUsed = 0;         // its entry slots in use, 0 to 256

    enum class Tail { kWhole, kUnfinished, kDebris };
    Tail tail = Tail::kWhole;
    uint64_t tailOffset = 0;  // where the last record begins, when it is not whole
    uint64_t fileLength = 0;

    // One more than the highest entry number a data record in the file
    // names (0 when none does). An adder whose last entry's slot never
    // reached the disk left records of a number the directory lacks; a new
    // entry given that number would have their bytes read as its own.
    uint32_t numbersInData = 0;
};

// How many numbers past the directory's data records may name and still be
// kept from new entries (one index record's worth); a container whose data
// name more is refused for adding.
constexpr uint32_t kMaxUnlinkedNumbers = 256;

// Finds where a container whose directory is `entries`, its first record
// at firstRecordOffset, takes new records. RES_BAD_FORMAT for a directory
// laid out otherwise, for one whose records, walked by their lengths,
// do not begin where the directory says (an index or entry record, or an
// entry's first data record, lying inside another record): the append
// point such a walk finds may lie inside bytes a reader serves; and for
// one whose data records name numbers more than kMaxUnlinkedNumbers past
// its directory. E_FAIL when
// its records cannot be read.
int32_t FindAppendPoint(RecordFile& file, const EntryTable& entries, uint64_t firstRecordOffset, AppendPoint* point);

// Gives an unfinished last record the length it has (see above) and sets
// the file's write end behind it. Writes nothing for a whole one.
int32_t FinishLastRecord(RecordFile& file, const AppendPoint& point);

#endif
