#pragma once
// CheckedMutex: a plain (non-recursive) mutex that clang's thread-safety
// analysis knows as a lock, with its scoped holder CheckedLock and the
// condition variable CheckedCondition that waits on it. Members it guards are
// marked GUARDED_BY, functions that need it REQUIRES (hostapi/ThreadAnnotations.h).
//
// The owner of the data owns the mutex beside it; any thread may lock it. A
// CheckedLock belongs to the scope (and thread) that made it.

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "hostapi/ThreadAnnotations.h"

namespace Orvana {
namespace Util {

class CAPABILITY("mutex") CheckedMutex {
public:
    CheckedMutex() = default;
    CheckedMutex(const CheckedMutex&) = delete;
    CheckedMutex& operator=(const CheckedMutex&) = delete;

    void lock() ACQUIRE() { m_mutex.lock(); }
    void unlock() RELEASE() { m_mutex.unlock(); }

private:
    friend class CheckedCondition;
    std::mutex m_mutex;
};

// Holds the mutex for its scope; unlock() and lock() let go of it for a
// stretch in between (the destructor releases it only when held).
class SCOPED_CAPABILITY CheckedLock {
public:
    explicit CheckedLock(CheckedMutex& mutex) ACQUIRE(mutex) : m_mutex(mutex) { m_mutex.lock(); }
    ~CheckedLock() RELEASE() {
        if (m_held) m_mutex.unlock();
    }
    CheckedLock(const CheckedLock&) = delete;
    CheckedLock& operator=(const CheckedLock&) = delete;

    void unlock() RELEASE() {
        m_mutex.unlock();
        m_held = false;
    }
    void lock() ACQUIRE() {
        m_mutex.lock();
        m_held = true;
    }

private:
    CheckedMutex& m_mutex;
    bool m_held = true;
};

// Waits release the mutex while they sleep and hold it again when they
// return; spurious wake-ups happen, so callers wait in a loop on their
// condition.
class CheckedCondition {
public:
    void wait(CheckedMutex& mutex) REQUIRES(mutex) {
        std::unique_lock<std::mutex> lock(mutex.m_mutex, std::adopt_lock);
        m_condition.wait(lock);
        lock.release();
    }
    // False once the deadline has passed.
    template <class Clock, class Duration>
    bool waitUntil(CheckedMutex& mutex, const std::chrono::time_point<Clock, Duration>& deadline)
        REQUIRES(mutex) {
        std::unique_lock<std::mutex> lock(mutex.m_mutex, std::adopt_lock);
        const std::cv_status status = m_condition.wait_until(lock, deadline);
        lock.release();
        return status == std::cv_status::no_timeout;
    }
    void notifyOne() { m_condition.notify_one(); }
    void notifyAll() { m_condition.notify_all(); }

private:
    std::condition_variable m_condition;
};

}  // namespace Util
}  // namespace Orvana
