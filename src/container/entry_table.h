// EntryTable: the entries of an open container, by number and by name.
//
// Slot n holds entry number n, or null: a number in use with no entry in it
// (an entry record whose name was marked removed, or the earlier of two
// records with one name). The names (EntryNames) find live entries only; an
// entry that is removed keeps its slot and number with an empty name. The
// table owns its entries. One user at a time: the container's mutex.
//
// The earlier of two records with one name is a removed entry whose mark
// never reached the disk (its writer stopped first): its name is still on
// disk, and a reader would serve it again once the later record is marked
// removed. The table keeps the offset of every such record (its shadows),
// listed per live entry of that name, so that removing the name marks them
// too, and a write-back can mark them all.
#ifndef CONTFS_CONTAINER_ENTRY_TABLE_H
#define CONTFS_CONTAINER_ENTRY_TABLE_H

#include <cstdint>
#include <vector>

#include "container/container_interface.h"
#include "container/entry_names.h"
#include "container/gathered_bytes.h"
#include "container/ptr_array.h"
#include "container/record_map.h"
#include "container/seek_table.h"
#include "util/compact_string.h"

// An entry as the container keeps it: with what only its entry record knows
// (the length of the name the record holds, which locates the record's tail
// after the name changed), its seek table, and the map of its data records.
struct StoredEntry : ContainerEntry {
    uint32_t recordNameLength = 0;
    // Added by this container rather than read from its file; whether a
    // write reached it, and whether one succeeded. An entry that takes the
    // name of one removed here replaces it on disk unless every write to it
    // failed before it held a byte: a replacement that failed so (a full
    // disk) keeps the old entry.
    bool addedHere = false;
    bool writeTried = false;
    bool written = false;
    bool FailedEveryWrite() const { return writeTried && !written && size == 0; }
    // The name a removed entry had, by which its write-back finds the entry
    // that took the name since.
    CompactString removedName;
    // The latest earlier record of this name, as EntryTable::Shadow numbers
    // it; 0 for none.
    uint32_t shadows = 0;
    SeekTable seekTable;
    RecordMap records;
    // Bytes a gathering writer handed over that are not in the file yet;
    // they continue the entry where its bytes in the file end, and `size`
    // counts them. A write-out that failed loses them: its failure stays
    // here, for the gathering writer that stands beyond the entry's end.
    GatheredBytes gathered;
    int32_t gatherLoss = 0;
    // Where the entry's bytes in the file end.
    uint64_t FileEnd() const { return gathered.Length() ? gathered.Start() : size; }
    // File offset of the seek table in the entry record.
    uint64_t SeekTableOffset() const;
};

class EntryTable {
public:
    EntryTable();
    ~EntryTable();
    EntryTable(const EntryTable&) = delete;
    EntryTable& operator=(const EntryTable&) = delete;

    uint32_t Count() const { return static_cast<uint32_t>(m_entries.GetSize()); }
    // The entry numbered index; null for an empty slot or past the end.
    StoredEntry* At(uint64_t index) const;
    // The live entry of that name (byte for byte). An empty name finds the
    // first entry, in number order, that has a name and holds data.
    StoredEntry* Find(const CompactString& name) const;
    // The live entry of that name, which must not be empty; null when
    // there is none.
    StoredEntry* FindNamed(const char* name) const;

    // A new, empty entry under the next number; null when memory runs out
    // or every number is in use. The name must be new and not empty.
    StoredEntry* AddNew(const CompactString& name);
    // A new entry under the next number that is removed from the start (no
    // name): a number kept from use. Null when memory runs out or every
    // number is in use.
    StoredEntry* AddRemoved();
    // Takes back the entry AddNew or AddRemoved made last.
    void TakeBackLast();
    // The entry loses its name (kept as its removedName); it keeps its
    // number, data and record.
    void Forget(StoredEntry* entry);
    // The latest entry forgotten under this name has it again, unless a live
    // entry has it.
    void Restore(const CompactString& name);

    // Appends an entry as its record was read: its number is the next one.
    // A null entry keeps the number with no entry in it. An entry whose name
    // a live entry has already makes that earlier one's slot empty and its
    // record a shadow of the new one, with the earlier one's own shadows:
    // the later record is the live entry. The table owns entry even on
    // failure.
    int32_t Load(StoredEntry* entry);

    // A record shadowed by a later one of its name. Shadows are numbered
    // from 1 to ShadowCount(); each links to the one before it under the
    // same name (0 after the first), so that an entry's shadows run from
    // its `shadows` number back to 0. 16 bytes each, for a record of at
    // least 8,026 bytes.
    struct Shadow {
        uint64_t recordOffset;
        uint32_t before;
    };
    uint32_t ShadowCount() const { return static_cast<uint32_t>(m_shadows.size()); }
    const Shadow& ShadowAt(uint32_t number) const { return m_shadows[number - 1]; }

    // What the entries' record maps may still keep of records that hold no
    // grid point (RecordMap), together.
    RecordBudget recordBudget;

private:
    PtrArray m_entries;
    EntryNames m_names{m_entries};
    std::vector<Shadow> m_shadows;
};

#endif
