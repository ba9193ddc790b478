// QLXWinMutex: the one QLXMutex, on a recursive mutex. The owning thread may
// lock again without blocking and must unlock as often as it locked; only
// the owner unlocks.
#ifndef CONTFS_DATAFILE_WIN_MUTEX_H
#define CONTFS_DATAFILE_WIN_MUTEX_H

#include <mutex>

#include "datafile/mutex.h"

class QLXWinMutex : public QLXMutex {
public:
    QLXWinMutex() = default;
    QLXWinMutex(const QLXWinMutex&) = delete;
    QLXWinMutex& operator=(const QLXWinMutex&) = delete;

    int32_t Lock() override;
    int32_t Unlock() override;
    int32_t TryLock() override;

private:
    std::recursive_mutex m_section;
};

#endif
