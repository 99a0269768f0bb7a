#pragma once
// CheckedSharedMutex: a read-write lock that clang's thread-safety analysis
// knows, for data read often and changed rarely; CheckedReadLock and
// CheckedWriteLock hold it for a scope. Members it guards are marked
// GUARDED_BY; readers need only the shared hold (hostapi/ThreadAnnotations.h).
//
// The owner of the data owns the mutex beside it; any thread may lock it. A
// holder belongs to the scope (and thread) that made it.

#include <shared_mutex>

#include "hostapi/ThreadAnnotations.h"

namespace Orvana {
namespace Util {

class CAPABILITY("mutex") CheckedSharedMutex {
public:
    CheckedSharedMutex() = default;
    CheckedSharedMutex(const CheckedSharedMutex&) = delete;
    CheckedSharedMutex& operator=(const CheckedSharedMutex&) = delete;

    void lock() ACQUIRE() { m_mutex.lock(); }
    void unlock() RELEASE() { m_mutex.unlock(); }
    void lockShared() ACQUIRE_SHARED() { m_mutex.lock_shared(); }
    void unlockShared() RELEASE_SHARED() { m_mutex.unlock_shared(); }

private:
    std::shared_mutex m_mutex;
};

class SCOPED_CAPABILITY CheckedReadLock {
public:
    explicit CheckedReadLock(CheckedSharedMutex& mutex) ACQUIRE_SHARED(mutex) : m_mutex(mutex) {
        m_mutex.lockShared();
    }
    ~CheckedReadLock() RELEASE() { m_mutex.unlockShared(); }
    CheckedReadLock(const CheckedReadLock&) = delete;
    CheckedReadLock& operator=(const CheckedReadLock&) = delete;

private:
    CheckedSharedMutex& m_mutex;
};

class SCOPED_CAPABILITY CheckedWriteLock {
public:
    explicit CheckedWriteLock(CheckedSharedMutex& mutex) ACQUIRE(mutex) : m_mutex(mutex) {
        m_mutex.lock();
    }
    ~CheckedWriteLock() RELEASE() { m_mutex.unlock(); }
    CheckedWriteLock(const CheckedWriteLock&) = delete;
    CheckedWriteLock& operator=(const CheckedWriteLock&) = delete;

private:
    CheckedSharedMutex& m_mutex;
};

}  // namespace Util
}  // namespace Orvana
