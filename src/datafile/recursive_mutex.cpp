#include "datafile/recursive_mutex.h"

#include <new>

// lock() reports a failure (only a recursion count overflow is possible)
// with an exception, which must not leave this call.
int32_t RecursiveMutex::Lock() {
    try {
        m_section.lock();
    } catch (...) {
        return E_FAIL;
    }
    return S_OK;
}

int32_t RecursiveMutex::Unlock() {
    m_section.unlock();
    return S_OK;
}

int32_t RecursiveMutex::TryLock() { return m_section.try_lock() ? S_OK : E_FAIL; }

int32_t NewMutex(QLXMutex** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    RecursiveMutex* mutex = new (std::nothrow) RecursiveMutex;
    if (!mutex) return E_OUTOFMEMORY;
    *out = mutex;
    return S_OK;
}
