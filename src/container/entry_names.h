// EntryNames: the live entries of a container by name, byte for byte.
//
// An open-addressed table of entry numbers (linear probing), at most half
// full and doubled as it fills, so that a lookup costs one hash of the name
// and about one comparison however many entries there are (a container
// holds up to 65536). The names themselves stay in the entries, found
// through the entry array the table is made with; 4 bytes a slot is all the
// table adds.
//
// The entry of a number in the table must keep the name it was added under
// until it is taken out. One user at a time: the container's mutex.
#ifndef CONTFS_CONTAINER_ENTRY_NAMES_H
#define CONTFS_CONTAINER_ENTRY_NAMES_H

#include <qlx/result.h>

#include <cstdint>

#include "container/container_interface.h"
#include "container/ptr_array.h"

class EntryNames {
public:
    // entries: slot n holds the ContainerEntry numbered n, or null.
    explicit EntryNames(const PtrArray& entries) : m_entries(entries) {}
    ~EntryNames() { delete[] m_slots; }
    EntryNames(const EntryNames&) = delete;
    EntryNames& operator=(const EntryNames&) = delete;

    // The number of the entry of that name, or -1.
    int64_t Find(const char* name) const;
    // Adds an entry whose name is in no other entry of the table;
    // E_OUTOFMEMORY leaves the table as it was.
    int32_t Add(uint32_t number);
    // Takes out the entry of that number, found under its name.
    void Remove(uint32_t number);

private:
    static uint32_t Hash(const char* name);
    const char* NameOf(uint32_t slotValue) const;
    bool Grow();

    const PtrArray& m_entries;
    uint32_t* m_slots = nullptr;  // entry number + 1; 0 = empty
    uint32_t m_capacity = 0;      // a power of two, or 0
    uint32_t m_count = 0;
};

#endif
