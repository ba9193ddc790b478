// The seek table of an entry: 1000 slots, slot k naming a data record of the
// entry from which a forward scan reaches logical offset k x chunk size.
// When a position would land beyond slot 999 the table is halved (new slot
// i = old slot 2i) and the chunk size doubles, so a table never refers
// beyond 1000 x chunk size and slot 0 always names the first data record.
//
// A table costs 8000 bytes, so its slots are in memory only while they are
// needed. Three states:
//
//   all zero   no slots in memory: a new entry's table, or one that
//              recovery starts again from nothing;
//   on disk    no slots in memory: the entry record holds them, as the
//              directory was read (or written back); Load brings them in;
//   in memory  the 1000 slots, once loaded or once a slot was set.
//
// Slot 0 (the entry's first data record) and the chunk size are known in
// every state.
#ifndef CONTFS_CONTAINER_SEEK_TABLE_H
#define CONTFS_CONTAINER_SEEK_TABLE_H

#include <qlx/result.h>

#include <cstdint>

#include "container/record_format.h"

// 25000 times a power of two: the only chunk sizes a writer produces. Any
// other value read from a file (0 above all) must not reach a division.
bool IsValidChunkSize(uint64_t chunkSize);

class SeekTable {
public:
    SeekTable() = default;
    ~SeekTable() { delete[] m_slots; }
    SeekTable(const SeekTable&) = delete;
    SeekTable& operator=(const SeekTable&) = delete;

    uint64_t chunkSize = record_format::kBaseChunkSize;

    bool OnDisk() const { return m_onDisk; }
    bool InMemory() const { return m_slots != nullptr; }
    // Slot 0: the offset of the entry's first data record, 0 when none.
    uint64_t First() const { return m_slots ? m_slots[0] : m_first; }
    // Slot k of a table not on disk.
    uint64_t operator[](uint32_t slot) const { return m_slots ? m_slots[slot] : 0; }

    // The table as an entry record holds it: its slots stay on disk.
    void SetOnDisk(uint64_t chunk, uint64_t firstSlot);
    // The slots from record_format::kSeekTableBytes bytes as an entry record
    // holds them. E_OUTOFMEMORY leaves the table as it was.
    int32_t Load(const uint8_t* stored);
    // The slots as an entry record holds them (all 0 for a table on disk,
    // whose bytes are not to be written).
    void Store(uint8_t* out) const;

    // Which slots the entry record lacks: the table changes where a record
    // starts and the entry's end moves, a few slots at a time, and writing
    // back only those keeps a close from writing (and syncing) 8000 bytes
    // per entry that are on disk already. Whole() means the record holds
    // none of them as they are (never written, or rebuilt since); else
    // [ChangedFrom(), ChangedTo()) is what changed since Stored().
    bool Whole() const { return !m_recordHolds; }
    uint32_t ChangedFrom() const { return m_changedFrom; }
    uint32_t ChangedTo() const { return m_changedTo; }
    // The entry record holds every slot as it is now.
    void Stored();
    // All zero, chunk size 25000: nothing in memory.
    void Clear();
    // The entry record now holds these slots: they leave memory.
    void Unload();
    // Slots in memory from now on (zeros for an all-zero table), so that
    // Update cannot fail for want of memory. Not for a table on disk.
    int32_t Reserve();

    // Brings the table up to the logical position p: halving first while
    // p's slot exceeds 999, then filling the empty slots from the highest set
    // slot j at or below p's slot s up to s.
    //
    // When a record is being started at p, newRecordOffset is its offset:
    // slots j+1 to s-1 receive slot j's value and slot s, when empty, the
    // new record.
    //
    // When the entry's end has moved to p by bytes appended to the record at
    // coveringRecordOffset, that record reaches every position from its own
    // start (at or below slot j) to p, so the empty slots j+1 to s receive
    // it: a seek then scans from a record near its target instead of from
    // wherever slot j pointed, which for interleaved entries would be the
    // first record. With neither offset, slots j+1 to s receive slot j's
    // value.
    //
    // The chunk size must be valid, the table not on disk (RES_UNEXPECTED);
    // E_OUTOFMEMORY when slots cannot be had.
    int32_t Update(uint64_t position, uint64_t newRecordOffset, uint64_t coveringRecordOffset = 0);

private:
    void Changed(uint32_t from, uint32_t to);

    uint64_t* m_slots = nullptr;  // kSeekTableSlots once in memory
    uint64_t m_first = 0;         // slot 0 while the slots are not in memory
    bool m_onDisk = false;
    bool m_recordHolds = false;   // the entry record holds the slots, but the changed ones
    uint32_t m_changedFrom = 0;
    uint32_t m_changedTo = 0;
};

#endif
