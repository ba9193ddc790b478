// Gives up the rest of the calling thread's time slice, for the rare short
// waits on another thread that has already started to finish its work.
#ifndef CONTFS_PLATFORM_THREAD_YIELD_H
#define CONTFS_PLATFORM_THREAD_YIELD_H

#include <thread>

namespace platform {

inline void YieldThread() { std::this_thread::yield(); }

}  // namespace platform

#endif
