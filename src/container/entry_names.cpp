#include "container/entry_names.h"

#include <cstring>
#include <new>

namespace {

constexpr uint32_t kFirstCapacity = 16;

}  // namespace

// FNV-1a over the name's bytes.
uint32_t EntryNames::Hash(const char* name) {
    uint32_t hash = 2166136261u;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(name); *p; ++p) hash = (hash ^ *p) * 16777619u;
    return hash;
}

const char* EntryNames::NameOf(uint32_t slotValue) const {
    const ContainerEntry* entry = static_cast<const ContainerEntry*>(m_entries.GetAt(static_cast<int32_t>(slotValue - 1)));
    return entry ? entry->name.GetChars() : "";
}

int64_t EntryNames::Find(const char* name) const {
    if (m_count == 0 || !name) return -1;
    const uint32_t mask = m_capacity - 1;
    for (uint32_t at = Hash(name) & mask; m_slots[at] != 0; at = (at + 1) & mask) {
        if (std::strcmp(NameOf(m_slots[at]), name) == 0) return m_slots[at] - 1;
    }
    return -1;
}

bool EntryNames::Grow() {
    const uint32_t capacity = m_capacity ? m_capacity * 2 : kFirstCapacity;
    if (capacity < m_capacity) return false;
    uint32_t* slots = new (std::nothrow) uint32_t[capacity];
    if (!slots) return false;
    std::memset(slots, 0, capacity * sizeof *slots);
    const uint32_t mask = capacity - 1;
    for (uint32_t i = 0; i < m_capacity; ++i) {
        if (m_slots[i] == 0) continue;
        uint32_t at = Hash(NameOf(m_slots[i])) & mask;
        while (slots[at] != 0) at = (at + 1) & mask;
        slots[at] = m_slots[i];
    }
    delete[] m_slots;
    m_slots = slots;
    m_capacity = capacity;
    return true;
}

int32_t EntryNames::Add(uint32_t number) {
    if (number == UINT32_MAX) return E_INVALIDARG;
    if (uint64_t{m_count + 1} * 2 > m_capacity && !Grow()) return E_OUTOFMEMORY;
    const uint32_t mask = m_capacity - 1;
    uint32_t at = Hash(NameOf(number + 1)) & mask;
    while (m_slots[at] != 0) at = (at + 1) & mask;
    m_slots[at] = number + 1;
    ++m_count;
    return S_OK;
}

// Linear probing without tombstones: the slots after the emptied one move
// back when their home lies at or before it, so that every probe sequence
// stays unbroken.
void EntryNames::Remove(uint32_t number) {
    if (m_count == 0) return;
    const uint32_t mask = m_capacity - 1;
    uint32_t at = Hash(NameOf(number + 1)) & mask;
    while (m_slots[at] != 0 && m_slots[at] != number + 1) at = (at + 1) & mask;
    if (m_slots[at] == 0) return;
    uint32_t hole = at;
    for (uint32_t next = (hole + 1) & mask; m_slots[next] != 0; next = (next + 1) & mask) {
        const uint32_t home = Hash(NameOf(m_slots[next])) & mask;
        // Moves back unless its home lies cyclically in (hole, next].
        const bool stays = hole <= next ? (home > hole && home <= next) : (home > hole || home <= next);
        if (stays) continue;
        m_slots[hole] = m_slots[next];
        hole = next;
    }
    m_slots[hole] = 0;
    --m_count;
}
