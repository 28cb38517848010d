#pragma once
// A re-entrant lock, the critical section of the log and of the lazily built
// process-wide tables.
#include <mutex>

namespace platform {

class RecursiveLock {
public:
    void lock() { m_mutex.lock(); }
    void unlock() { m_mutex.unlock(); }

private:
    std::recursive_mutex m_mutex;
};

class LockGuard {
public:
    explicit LockGuard(RecursiveLock& l) : m_lock(l) { m_lock.lock(); }
    ~LockGuard() { m_lock.unlock(); }
    LockGuard(const LockGuard&) = delete;
    LockGuard& operator=(const LockGuard&) = delete;

private:
    RecursiveLock& m_lock;
};

}  // namespace platform
