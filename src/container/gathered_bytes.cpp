#include "container/gathered_bytes.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <new>

namespace {

constexpr uint32_t kLeastCapacity = 4u << 10;

int64_t SteadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::atomic<GatherClock> g_clock{nullptr};

}  // namespace

int64_t GatherClockMs() {
    const GatherClock clock = g_clock.load(std::memory_order_relaxed);
    return clock ? clock() : SteadyMs();
}

void SetGatherClockForTests(GatherClock clock) { g_clock.store(clock, std::memory_order_relaxed); }

bool GatherQueue::Add(GatheredBytes& gathered, uint32_t entryIndex, uint64_t start, const uint8_t* bytes,
                      uint32_t size, int64_t now) {
    if (size == 0) return true;
    const uint32_t needed = gathered.m_length + size;
    if (needed > gathered.m_capacity) {
        // Doubling up to a record's size; a buffer starts as large as the
        // last one grew, so a stream copies nothing into a grown buffer.
        uint32_t capacity = gathered.m_capacity ? gathered.m_capacity * 2 : gathered.m_lastReached;
        if (capacity < kLeastCapacity) capacity = kLeastCapacity;
        if (capacity > kGatherRecordBytes) capacity = kGatherRecordBytes;
        if (capacity < needed) capacity = needed;
        uint8_t* grown = new (std::nothrow) uint8_t[capacity];
        if (!grown) return false;
        if (gathered.m_length) std::memcpy(grown, gathered.m_bytes, gathered.m_length);
        delete[] gathered.m_bytes;
        m_memory += capacity - gathered.m_capacity;
        gathered.m_bytes = grown;
        gathered.m_capacity = capacity;
    }
    if (gathered.m_length == 0) {
        gathered.m_start = start;
        gathered.m_since = now;
        gathered.m_entryIndex = entryIndex;
        gathered.m_older = m_newest;
        gathered.m_newer = nullptr;
        if (m_newest) m_newest->m_newer = &gathered;
        m_newest = &gathered;
        if (!m_oldest) m_oldest = &gathered;
    }
    std::memcpy(gathered.m_bytes + gathered.m_length, bytes, size);
    gathered.m_length = needed;
    return true;
}

void GatherQueue::Drop(GatheredBytes& gathered) {
    if (gathered.m_length != 0) {
        if (gathered.m_older) gathered.m_older->m_newer = gathered.m_newer;
        if (gathered.m_newer) gathered.m_newer->m_older = gathered.m_older;
        if (m_oldest == &gathered) m_oldest = gathered.m_newer;
        if (m_newest == &gathered) m_newest = gathered.m_older;
        gathered.m_older = gathered.m_newer = nullptr;
        gathered.m_lastReached = gathered.m_length;
    }
    m_memory -= gathered.m_capacity;
    delete[] gathered.m_bytes;
    gathered.m_bytes = nullptr;
    gathered.m_capacity = 0;
    gathered.m_length = 0;
}

bool GatherQueue::Oldest(uint32_t* entryIndex, int64_t* since) const {
    if (!m_oldest) return false;
    *entryIndex = m_oldest->m_entryIndex;
    *since = m_oldest->m_since;
    return true;
}
