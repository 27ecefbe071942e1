// The mutex of the tree: std::mutex with the annotations that let clang check
// GUARDED_BY / REQUIRES / EXCLUDES (see thread_annotations.h).
//
//   MutexLock lock(mutex_);            // a scope, like std::lock_guard
//   std::unique_lock<std::mutex>& ...  // where a condition variable waits:
//   MutexLock lock(mutex_); cv_.wait(lock.native(), ...);
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "platform/base/thread_annotations.h"

namespace sentrel {

class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock() ACQUIRE() { mutex_.lock(); }
  void unlock() RELEASE() { mutex_.unlock(); }
  bool try_lock() TRY_ACQUIRE(true) { return mutex_.try_lock(); }
  // Tells the analysis that the caller holds the lock (a callback that runs
  // under it, say); checks nothing at run time.
  void assertHeld() const ASSERT_CAPABILITY(this) {}

  std::mutex& native() { return mutex_; }

 private:
  std::mutex mutex_;
};

// Holds a Mutex for a scope. native() gives the std::unique_lock a condition
// variable waits with; the lock is held again when the wait returns.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : lock_(mutex.native()) {}
  ~MutexLock() RELEASE() = default;
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

  // Lets go for a while (a slow read that must not hold the lock) and
  // takes the lock again.
  void unlock() RELEASE() { lock_.unlock(); }
  void lock() ACQUIRE() { lock_.lock(); }

  // Waits on `cv` until `done()` holds or `timeout` passes; true when it
  // holds. done() runs with the lock held: a lambda that reads guarded state
  // says so with the mutex's assertHeld().
  template <class Rep, class Period, class Done>
  bool waitFor(std::condition_variable& cv, std::chrono::duration<Rep, Period> timeout, Done done) {
    return cv.wait_for(lock_, timeout, std::move(done));
  }

  std::unique_lock<std::mutex>& native() { return lock_; }

 private:
  std::unique_lock<std::mutex> lock_;
};

}  // namespace sentrel
