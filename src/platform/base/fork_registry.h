// Everything that must be done around fork(), in one place and one order.
//
// A child of a multithreaded process has only the thread that called fork().
// A lock that some other thread held at that moment stays locked in the
// child for ever, and state that such a thread was changing is half changed.
// Each service that has such state registers handlers here: prepare takes its
// locks (so no thread is inside a critical section while the address space is
// copied), parent releases them, child releases them or starts the state
// afresh. The registry installs one pthread_atfork() set, at load, and runs
// the services' handlers by stage:
//
//   prepare:        notification centers, run loops, snapshot cells, the connect
//                   hook's hand-off, leaf locks, log
//   parent, child:  the reverse
//
// Why this order: a thread takes locks from the outside in. A notification
// center's thread posts to a run loop and logs while it holds the center's
// lock; a run loop's lock is held while a snapshot cell or a leaf lock is
// taken (a task that logs); the leaf locks (the device paths', the system
// log's libc lock, the interceptor's table, the hook's wake pipe) are taken
// last of all, with no other lock of ours under them. The connect hook's
// hand-off takes no lock at all (its queue is lock-free); its child step
// starts the queue and its wake pipe afresh once the leaf locks are free. Prepare must take them in
// the same order, or it could wait for a lock that a thread holds while that thread waits for one
// prepare already took. The log's child step runs first in the child (the reverse order) because
// every other child step may log.
//
// A service's handlers must not allocate (a child of a multithreaded process
// may only make async-signal-safe calls until it execs) and must not fork.
// Registration is thread-safe and cheap; a handler set registered twice runs
// once.
#pragma once

#include "platform/base/mutex.h"

namespace sentrel::base {

enum class ForkStage {
  kNotificationCenters,
  kRunLoops,
  kSnapshotCells,
  kConnectHook,
  kLeafLocks,
  kLog,
};

struct ForkHandlers {
  void (*prepare)() = nullptr;  // each may be null
  void (*parent)() = nullptr;
  void (*child)() = nullptr;
  bool operator==(const ForkHandlers&) const = default;
};

// Adds `handlers` to `stage`. At most a handful per stage; more is a
// programming error, reported on stderr once and otherwise ignored.
void registerForkHandlers(ForkStage stage, ForkHandlers handlers) noexcept;

// Holds `mutex` across every later fork() (stage kLeafLocks): taken in
// prepare, released in parent and child. The mutex must outlive the process
// (a static) and be a leaf lock: no other lock of ours is taken under it.
void holdAcrossFork(Mutex& mutex) noexcept;

}  // namespace sentrel::base
