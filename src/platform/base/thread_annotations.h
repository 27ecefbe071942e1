// Clang's thread-safety analysis: which lock guards which state, checked by
// the compiler. Other compilers see nothing. A clang build with
// -Wthread-safety (.ci/run's "thread-safety" stage) turns a field read
// without its lock, or a "Locked" helper called without it, into an error.
//
//   Mutex mutex_;
//   int count_ GUARDED_BY(mutex_);
//   void bumpLocked() REQUIRES(mutex_);
//   void bump() EXCLUDES(mutex_) { MutexLock lock(mutex_); bumpLocked(); }
#pragma once

#if defined(__clang__)
#define SENTREL_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define SENTREL_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) SENTREL_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY SENTREL_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) SENTREL_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) SENTREL_THREAD_ANNOTATION(pt_guarded_by(x))
#define ACQUIRED_AFTER(...) SENTREL_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define REQUIRES(...) SENTREL_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) SENTREL_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) SENTREL_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) SENTREL_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define EXCLUDES(...) SENTREL_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) SENTREL_THREAD_ANNOTATION(assert_capability(x))
#define RETURN_CAPABILITY(x) SENTREL_THREAD_ANNOTATION(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS SENTREL_THREAD_ANNOTATION(no_thread_safety_analysis)
