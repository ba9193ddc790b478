// RecursiveMutex: the one QLXMutex, on a recursive mutex. The owning thread may
// lock again without blocking and must unlock as often as it locked; only
// the owner unlocks.
#ifndef CONTFS_DATAFILE_RECURSIVE_MUTEX_H
#define CONTFS_DATAFILE_RECURSIVE_MUTEX_H

#include <mutex>

#include "datafile/mutex.h"

class RecursiveMutex : public QLXMutex {
public:
    RecursiveMutex() = default;
    RecursiveMutex(const RecursiveMutex&) = delete;
    RecursiveMutex& operator=(const RecursiveMutex&) = delete;

    int32_t Lock() override;
    int32_t Unlock() override;
    int32_t TryLock() override;

private:
    std::recursive_mutex m_section;
};

#endif
