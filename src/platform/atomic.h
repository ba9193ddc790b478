// Atomic 32-bit counters for reference counts: each call returns the new value.
#ifndef CONTFS_PLATFORM_ATOMIC_H
#define CONTFS_PLATFORM_ATOMIC_H

#include <atomic>
#include <cstdint>

namespace platform {

using AtomicCount = std::atomic<int32_t>;

inline int32_t AtomicIncrement(AtomicCount& count) { return count.fetch_add(1, std::memory_order_relaxed) + 1; }

// Release ordering on the way down and an acquire fence before the last
// holder destroys the object, so every earlier write through other
// references happens before the destructor runs.
inline int32_t AtomicDecrement(AtomicCount& count) {
    int32_t now = count.fetch_sub(1, std::memory_order_release) - 1;
    if (now == 0) std::atomic_thread_fence(std::memory_order_acquire);
    return now;
}

}  // namespace platform

#endif
