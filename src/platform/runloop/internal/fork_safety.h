// How the run loops and the global queue survive fork().
//
// A child of a multithreaded process has only the thread that called fork().
// Every other thread (the main queue's own thread, the global queue's
// workers, any thread that was running a loop) is gone, and the wake
// eventfds are shared with the parent: a child writing to one would wake the
// parent's loop, and the parent would swallow the child's wake-ups.
//
// One set of handlers, run at the run loops' stage of the fork registry
// (base/fork_registry.h), covers all of it:
// - prepare takes every lock of this service, in the one order the rest of
//   the code also follows (own-thread lock, global queue lock, loop
//   registry, each loop), so no other thread is in the middle of changing a
//   queue, or of creating the process loop or the global queue, when the
//   address space is copied;
// - parent releases them;
// - child only stores flags and releases the locks (the forking thread holds
//   them, so unlocking is valid): every loop is marked as needing a fresh
//   wake fd and forgets a runner thread that no longer exists, the global
//   queue forgets its workers, and the main queue notes that its own thread
//   must be started again.
// The real work (new eventfd, new threads) happens on the next use in the
// child, outside the handler. Tasks that a vanished thread had already taken
// off a queue are lost with it; everything still queued survives.
//
// Other services' locks are theirs to guard: the registry takes the
// notification centers' before these and the leaf locks after them.
#pragma once

namespace sentrel::runloop::internal {

// Registers the handlers once per process. Thread-safe; cheap after the
// first call.
void ensureForkHandlers();

// Hooks of the pieces that take part, called by the handlers in this order
// for prepare (and reversed for parent/child).
void mainQueuePrepareFork();
void mainQueueParentAfterFork();
void mainQueueChildAfterFork();

void globalQueuePrepareFork();
void globalQueueParentAfterFork();
void globalQueueChildAfterFork();

void loopsPrepareFork();
void loopsParentAfterFork();
void loopsChildAfterFork();

}  // namespace sentrel::runloop::internal
