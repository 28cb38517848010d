#pragma once
// A re-entrant lock, the critical section of the log and of the lazily built
// process-wide tables.
#include <mutex>
#if defined(_WIN32)
#include <pthread.h>
#endif

namespace platform {

class RecursiveLock {
  public:
    RecursiveLock() = default;
    RecursiveLock(const RecursiveLock&) = delete;
    RecursiveLock& operator=(const RecursiveLock&) = delete;
#if defined(_WIN32)
    // winpthread makes the mutex on its first lock, and the runtime's
    // destructor of a statically initialised mutex does nothing: without this
    // every lock that was ever taken would stay on the heap.
    ~RecursiveLock() {
        pthread_mutex_destroy(m_mutex.native_handle());
    }
#endif
    void lock() {
        m_mutex.lock();
    }
    void unlock() {
        m_mutex.unlock();
    }

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
