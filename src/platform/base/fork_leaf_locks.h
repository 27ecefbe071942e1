// Leaf locks held across fork().
//
// A child of a multithreaded process has only the thread that called fork().
// A mutex that some other thread held at that moment stays locked in the
// child for ever, and the child's first use of it hangs. A leaf lock (one
// under which no other lock of ours is ever taken) is made safe by taking it
// in the prepare handler and releasing it in both parent and child: no thread
// can be inside its critical section while the address space is copied.
//
// The prepare handlers of pthread_atfork run in the reverse order of their
// registration, so the leaf locks must be registered before every other
// handler of ours: a thread that holds a service's lock and then logs would
// otherwise deadlock a fork that took the log's lock first. Every place that
// registers fork handlers calls ensureLeafLockForkHandlers() first.
#pragma once

#include <mutex>

namespace sentrel::base {

// Holds `mutex` across every later fork(). The mutex must outlive the
// process (a static) and be a leaf lock. At most a handful are supported;
// registering the same one twice has no effect.
void holdAcrossFork(std::mutex& mutex) noexcept;

// Registers the fork handlers of the leaf locks once per process.
void ensureLeafLockForkHandlers() noexcept;

}  // namespace sentrel::base
