// RecordMap: the data records of one entry that its container has learned,
// in logical order: where each one's bytes start in the file, the logical
// offset of the first of them and how many there are. A read or a seek
// finds the record holding a position by a binary search, where the file
// alone would need a scan from a seek-table slot, a head read per record.
//
// Nothing is read for the map's sake: the writer tells it every record it
// starts and lengthens, recovery every record it passes, and a scan (for a
// read or a seek that the map could not answer) every data record it passes,
// of whichever entry. What the map does not hold, a scan finds again.
//
// Memory stays below 1% of the bytes the map covers (the logical span from
// its first record's start to its last one's end), plus a few dozen bytes:
// a record is kept when its logical range holds a multiple of kGrid, which
// no other kept record holds (kept records never overlap), so there is at
// most one per kGrid bytes of the span; a run of records of 4 KiB and more
// is kept whole. The last record, where a writer appends and a reader
// follows, is always kept. A record costs sizeof(Record) bytes, and the
// array grows by a quarter at a time: at most 24 x 1.25 bytes per 4 KiB.
//
// Beyond that, a record that holds no grid point (one of a few hundred
// bytes, an interleaving writer's piece) is kept while the container's
// RecordBudget allows, so that a read among such records finds each one
// without a scan; the budget bounds what they take per container.
//
// The array's free room is kept as a gap where the last record was learned.
// A scan teaches an entry its records in logical order, each right after
// the one before, often amid records learned earlier (a seek back in a long
// recording): with the gap there each costs the copy of one record, where
// moving up the rest of a map of a million records would copy megabytes.
//
// Damage: only records whose head names the entry are learned, with no more
// bytes than the file held when they were learned; a record whose logical
// range overlaps one already kept is not learned (the first one stays). Each
// record says whether it is known to lie on the chain of records, so that a
// walk may start after it and teach other entries.
// One user at a time: the container's mutex.
#ifndef CONTFS_CONTAINER_RECORD_MAP_H
#define CONTFS_CONTAINER_RECORD_MAP_H

#include <cstdint>

// How many records that hold no grid point the maps of one container may
// still keep: kOffGridRecords at first, 24 x 1.25 bytes each at most, so
// about 15 MiB (a container of some 700 MiB in records of 1,316 bytes).
struct RecordBudget {
    static constexpr uint64_t kOffGridRecords = 512u << 10;
    uint64_t offGridLeft = kOffGridRecords;
};

class RecordMap {
public:
    static constexpr uint64_t kGrid = 4096;

    struct Record {
        uint64_t dataStart;  // file offset of the record's first data byte
        uint64_t logical;    // logical offset of that byte
        uint32_t length;     // data bytes
        uint16_t growing;    // the length field was 0 when the record was learned
        uint16_t onChain;    // reached by a walk known to follow the chain of records
        uint64_t End() const { return logical + length; }
        uint64_t HeadOffset() const;
    };

    RecordMap() = default;
    ~RecordMap() { delete[] m_records; }
    RecordMap(const RecordMap&) = delete;
    RecordMap& operator=(const RecordMap&) = delete;

    // A data record of the entry: the offset of its head, the logical offset
    // of its first data byte and its data bytes (as far as the file holds
    // them); onChain when it was found by the writer, by recovery or by a
    // walk known to follow the records from one to the next (not one begun
    // at a seek-table slot a damaged file may have aimed amid some data). A
    // record learned before is lengthened; one of no bytes, or of more than
    // a Record can say, is not learned.
    // With a budget, a record that holds no grid point is kept too while
    // the budget lasts, each one taking one from it.
    void Learn(uint64_t headOffset, uint64_t logical, uint64_t dataLength, bool growing, bool onChain,
               RecordBudget* budget = nullptr);
    // The record at headOffset, the last one, has its length field set: it
    // no longer grows.
    void Settle(uint64_t headOffset);

    // The record that reaches position p (its logical offset at most p, its
    // end at least p), the later one where one ends and the next starts at
    // p; null when no kept record does. The record found last and the one
    // after it are tried first: a reader going through the entry asks for
    // them next, and each binary search over a large map costs a cache miss
    // per step.
    const Record* Reaching(uint64_t position) const;
    // The kept record with the highest logical offset at or below p; null
    // when there is none.
    const Record* Before(uint64_t position) const;

    uint32_t Count() const { return m_count; }
    // The logical span the kept records cover, from the first one's start
    // to the last one's end.
    uint64_t MappedBytes() const { return m_count ? m_records[m_count - 1].End() - m_records[0].logical : 0; }
    uint64_t MemoryBytes() const { return uint64_t{m_capacity} * sizeof(Record); }
    void Clear();

private:
    // Index of the first record whose logical offset exceeds p.
    uint32_t UpperBound(uint64_t position) const;
    bool MakeRoom();
    // Records [0, m_gapAt) lie at the start of the array, the rest at its end.
    Record& At(uint32_t index) const { return m_records[index < m_gapAt ? index : index + (m_capacity - m_count)]; }
    void MoveGapTo(uint32_t index);

    Record* m_records = nullptr;
    uint32_t m_count = 0;
    uint32_t m_capacity = 0;
    uint32_t m_gapAt = 0;
    mutable uint32_t m_lastFound = 0;  // a hint only: checked before use
};

#endif
