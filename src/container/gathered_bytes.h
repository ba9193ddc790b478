// Gathered bytes: what a gathering writer (GatherAccess) handed over for an
// entry but the container has not yet written to its file. They continue
// the entry where its bytes in the file end, are read from memory by every
// cursor of the container meanwhile, and are written out as one data record
// (entry_gathering.cpp) when they reach kGatherRecordBytes, when the oldest
// of them has waited kGatherDelayMs, when the container's gathered bytes
// together would hold more than kGatherMemoryBytes (oldest first), and on
// the writer's Seek, Close, Sync and the container's last release.
//
// GatheredBytes is one entry's; GatherQueue holds the entries that have
// some, in the order their first byte came (so the oldest is first), and
// the memory they take. One user at a time: the container's mutex.
#ifndef CONTFS_CONTAINER_GATHERED_BYTES_H
#define CONTFS_CONTAINER_GATHERED_BYTES_H

#include <cstdint>

// The record a gathering writer's bytes are written out as: large enough
// that reading one entry of many written at once costs little more than a
// plain file (bench/gathered_io.cpp), small enough that eight at once stay
// far below the memory bound.
constexpr uint32_t kGatherRecordBytes = 1u << 20;
// What a container holds in gathered bytes at most, in buffer capacity.
constexpr uint64_t kGatherMemoryBytes = 16u << 20;
// How long a gathered byte waits at most before it is written out, so that
// a reader in another process sees it: checked on every write to the
// container, by Sync, and by the module's flusher thread (gather_flusher.h).
constexpr int64_t kGatherDelayMs = 500;

// Milliseconds of a steady clock; tests may set another
// (SetGatherClockForTests), the same for every container.
int64_t GatherClockMs();
using GatherClock = int64_t (*)();
void SetGatherClockForTests(GatherClock clock);

class GatheredBytes {
public:
    GatheredBytes() = default;
    ~GatheredBytes() { delete[] m_bytes; }
    GatheredBytes(const GatheredBytes&) = delete;
    GatheredBytes& operator=(const GatheredBytes&) = delete;

    uint32_t Length() const { return m_length; }
    // The entry's logical offset of the first byte held.
    uint64_t Start() const { return m_start; }
    uint64_t End() const { return m_start + m_length; }
    const uint8_t* Bytes() const { return m_bytes; }
    // When the first byte held came (GatherClockMs).
    int64_t Since() const { return m_since; }
    uint32_t Capacity() const { return m_capacity; }

private:
    friend class GatherQueue;
    uint8_t* m_bytes = nullptr;
    uint32_t m_length = 0;
    uint32_t m_capacity = 0;
    // The capacity the next buffer starts with: the length the last one
    // reached, so that a stream gets its whole record's room at once.
    uint32_t m_lastReached = 0;
    uint64_t m_start = 0;
    int64_t m_since = 0;
    // The queue, oldest first: both null when not in it (no bytes held).
    GatheredBytes* m_older = nullptr;
    GatheredBytes* m_newer = nullptr;
    uint32_t m_entryIndex = 0;
};

class GatherQueue {
public:
    GatherQueue() = default;
    GatherQueue(const GatherQueue&) = delete;
    GatherQueue& operator=(const GatherQueue&) = delete;

    // Adds bytes to the entry's gathered bytes, which begin at `start` when
    // it held none (taking the queue's last place, at time `now`); the
    // caller keeps the total length within kGatherRecordBytes. False when
    // memory could not be had (nothing added).
    bool Add(GatheredBytes& gathered, uint32_t entryIndex, uint64_t start, const uint8_t* bytes, uint32_t size,
             int64_t now);
    // Lets go of the entry's gathered bytes (written out or lost).
    void Drop(GatheredBytes& gathered);

    // The entry number of the oldest gathered bytes; false when none.
    bool Oldest(uint32_t* entryIndex, int64_t* since) const;
    bool Empty() const { return m_oldest == nullptr; }
    // The buffer capacity the gathered bytes take, together.
    uint64_t MemoryBytes() const { return m_memory; }

private:
    GatheredBytes* m_oldest = nullptr;
    GatheredBytes* m_newest = nullptr;
    uint64_t m_memory = 0;
};

#endif
