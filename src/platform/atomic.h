// Atomic 32-bit counters for reference counts: each call returns the new value.
#ifndef CONTFS_PLATFORM_ATOMIC_H
#define CONTFS_PLATFORM_ATOMIC_H

#include <atomic>
#include <cstdint>

namespace platform {

using AtomicCount = std::atomic<int32_t>;

inline int32_t AtomicIncrement(AtomicCount& count) { return count.fetch_add(1, std::memory_order_relaxed) + 1; }

// Acquire-release on the way down, so every earlier use of the object
// through other references happens before the last holder destroys it. (A
// release decrement plus an acquire fence would do on the hardware, but
// ThreadSanitizer does not see fences and would report each destruction
// after a release on another thread as a race.)
inline int32_t AtomicDecrement(AtomicCount& count) { return count.fetch_sub(1, std::memory_order_acq_rel) - 1; }

}  // namespace platform

#endif
