#include "container/seek_table.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "container/big_endian.h"

using record_format::kSeekTableSlots;
using record_format::kSlotSize;

bool IsValidChunkSize(uint64_t chunkSize) {
    if (chunkSize == 0 || chunkSize % record_format::kBaseChunkSize != 0) return false;
    uint64_t factor = chunkSize / record_format::kBaseChunkSize;
    return (factor & (factor - 1)) == 0;
}

void SeekTable::SetOnDisk(uint64_t chunk, uint64_t firstSlot) {
    delete[] m_slots;
    m_slots = nullptr;
    chunkSize = chunk;
    m_first = firstSlot;
    m_onDisk = true;
}

int32_t SeekTable::Load(const uint8_t* stored) {
    uint64_t* slots = m_slots ? m_slots : new (std::nothrow) uint64_t[kSeekTableSlots];
    if (!slots) return E_OUTOFMEMORY;
    for (uint32_t i = 0; i < kSeekTableSlots; ++i) slots[i] = big_endian::Get64(stored + i * kSlotSize);
    m_slots = slots;
    m_onDisk = false;
    Stored();
    return S_OK;
}

void SeekTable::Stored() {
    m_recordHolds = true;
    m_changedFrom = m_changedTo = 0;
}

void SeekTable::Changed(uint32_t from, uint32_t to) {
    if (from >= to) return;
    if (m_changedFrom == m_changedTo) {
        m_changedFrom = from;
        m_changedTo = to;
        return;
    }
    if (from < m_changedFrom) m_changedFrom = from;
    if (to > m_changedTo) m_changedTo = to;
}

void SeekTable::Store(uint8_t* out) const {
    for (uint32_t i = 0; i < kSeekTableSlots; ++i) big_endian::Put64(out + i * kSlotSize, m_slots ? m_slots[i] : 0);
}

void SeekTable::Clear() {
    delete[] m_slots;
    m_slots = nullptr;
    m_first = 0;
    m_onDisk = false;
    m_recordHolds = false;
    chunkSize = record_format::kBaseChunkSize;
}

void SeekTable::Unload() {
    m_first = First();
    delete[] m_slots;
    m_slots = nullptr;
    m_onDisk = true;
}

int32_t SeekTable::Reserve() {
    if (m_onDisk) return RES_UNEXPECTED;
    if (m_slots) return S_OK;
    m_slots = new (std::nothrow) uint64_t[kSeekTableSlots];
    if (!m_slots) return E_OUTOFMEMORY;
    std::memset(m_slots, 0, kSeekTableSlots * sizeof *m_slots);
    return S_OK;
}

int32_t SeekTable::Update(uint64_t position, uint64_t newRecordOffset, uint64_t coveringRecordOffset) {
    int32_t reserved = Reserve();
    if (QLX_FAILED(reserved)) return reserved;
    uint64_t* table = m_slots;
    constexpr uint32_t kHalf = kSeekTableSlots / 2;
    // p / chunk > 999 implies chunk < 2^64 / 999, so the doubling cannot overflow.
    while (position / chunkSize >= kSeekTableSlots) {
        for (uint32_t i = 0; i < kHalf; ++i) table[i] = table[2 * i];
        for (uint32_t i = kHalf; i < kSeekTableSlots; ++i) table[i] = 0;
        chunkSize *= 2;
        Changed(0, kSeekTableSlots);
    }
    uint32_t slot = static_cast<uint32_t>(position / chunkSize);
    uint32_t lastSet = slot;
    while (lastSet > 0 && table[lastSet] == 0) --lastSet;
    const uint64_t fill = newRecordOffset == 0 && coveringRecordOffset != 0 ? coveringRecordOffset : table[lastSet];
    for (uint32_t i = lastSet + 1; i < slot; ++i) table[i] = fill;
    const bool slotSet = table[slot] == 0;
    if (slotSet) table[slot] = newRecordOffset != 0 ? newRecordOffset : fill;
    // Slots lastSet + 1 to slot - 1 were filled, and slot itself when it
    // was empty (which, for slot 0, is the slot the search stopped on).
    Changed(std::min(lastSet + 1, slot), slotSet ? slot + 1 : slot);
    return S_OK;
}
