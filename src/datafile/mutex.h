// QLXMutex: the recursive lock a container holds around entry input and
// output. The owning thread may lock again without blocking and unlocks as
// many times as it locked; TryLock never waits.
#ifndef CONTFS_DATAFILE_MUTEX_H
#define CONTFS_DATAFILE_MUTEX_H

#include <qlx/result.h>

class QLXMutex {
public:
    virtual ~QLXMutex() = default;
    virtual int32_t Lock() = 0;     // S_OK
    virtual int32_t Unlock() = 0;   // S_OK
    virtual int32_t TryLock() = 0;  // S_OK when entered, E_FAIL when another thread holds it
};

// Sets *out to null, then to a new RecursiveMutex; E_OUTOFMEMORY when none can be made.
int32_t NewMutex(QLXMutex** out);

// Holds a mutex for a scope; a null mutex locks nothing.
class MutexHold {
public:
    explicit MutexHold(QLXMutex* mutex) : m_mutex(mutex) {
        if (m_mutex) m_mutex->Lock();
    }
    ~MutexHold() {
        if (m_mutex) m_mutex->Unlock();
    }
    MutexHold(const MutexHold&) = delete;
    MutexHold& operator=(const MutexHold&) = delete;

private:
    QLXMutex* m_mutex;
};

#endif
