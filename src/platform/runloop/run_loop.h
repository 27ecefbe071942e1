// Run loops, queues and time: the device's stand-in for the platform's main
// queue, global queues, dispatch_async, dispatch_after and dispatch_once.
//
// One RunLoop per process serves as its main queue: a poll loop over watched
// fds, timers and an eventfd that wakes it for work posted from any thread.
// Device programs (launchd, SpringBoard, the CLI) run the main loop on their
// main thread. A library living in a foreign program, whose main thread it
// does not own, runs the main loop on one serial thread of its own
// (MainQueue::startOwnThread()).
//
// Tests own time: a RunLoop built on a FakeClock only fires timers when the
// clock is advanced, and runUntilIdle()/runUntil() replace sleeping.
#pragma once

#include <poll.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

namespace sentrel::runloop {

using Duration = std::chrono::nanoseconds;
using TimePoint = std::chrono::steady_clock::time_point;
using Task = std::function<void()>;

class Clock {
 public:
  virtual ~Clock() = default;
  virtual TimePoint now() const = 0;
  // True for clocks that only move when told (timers never wait in poll).
  virtual bool isManual() const { return false; }
};

// steady_clock, unless a test installed another clock through an
// env::Environment.
Clock& systemClock();
// Installs `clock` as systemClock() (nullptr: steady_clock again); returns the
// previous override. Only env::ScopedEnvironment calls it.
Clock* setSystemClockForTesting(Clock* clock);

// A clock that only moves when advance() is called. Thread-safe.
class FakeClock : public Clock {
 public:
  TimePoint now() const override;
  bool isManual() const override { return true; }
  void advance(Duration by);

 private:
  std::atomic<int64_t> ns_{1'000'000'000};
};

using TimerId = uint64_t;
using WatchId = uint64_t;

// Thread-safety: post(), postDelayed(), cancel(), quit(), watchFd() and
// unwatchFd() may be called from any thread; run(), runUntilIdle() and
// runUntil() from one thread at a time, and every task, timer and fd callback
// runs on the thread that runs the loop. Tasks posted with post() run in
// order; timers run in deadline order, equal deadlines in the order they were
// posted. A task or callback that throws is logged and the loop goes on.
//
// fork(): a loop keeps its queued tasks, timers and watches in the child and
// takes a fresh wake fd on its next use there; a thread that was running it
// (other than the one that forked) is gone, so something must run it again.
class RunLoop {
 public:
  explicit RunLoop(Clock& clock = systemClock());
  ~RunLoop();
  RunLoop(const RunLoop&) = delete;
  RunLoop& operator=(const RunLoop&) = delete;

  void post(Task task);  // an empty task is ignored
  // Runs `task` once clock() reaches now + delay (a negative delay is none).
  TimerId postDelayed(Duration delay, Task task);
  void cancel(TimerId timer);  // no effect once it ran or for unknown ids

  // `events` as for poll(); the callback gets revents. The fd stays owned by
  // the caller and must be unwatched before it is closed (a watch whose fd
  // turns out closed gets one POLLNVAL callback, is logged and dropped).
  // Both may be called from inside callbacks. unwatchFd() on the loop thread
  // guarantees no further callback; from another thread a callback already
  // under way may still finish.
  WatchId watchFd(int fd, short events, std::function<void(short revents)> callback);
  void unwatchFd(WatchId watch);

  // Runs until quit(). Re-entrant quit() from a task ends the loop after it;
  // tasks still queued stay queued. A quit() that comes before run() makes
  // the next run() return at once. Timers of a manual clock only fire when
  // they are due at the time of a pass (the loop never waits for them).
  void run();
  void quit();
  bool isRunningOnCurrentThread() const;
  // Whether some other thread is inside run() (or a test helper) now, or
  // about to be: a dedicated thread was started for it (below).
  // Async-signal-safe.
  bool isRunningOnAnotherThread() const;
  // Says that a thread of its own runs this loop for as long as the process
  // lives (MainQueue's own thread); a fork()ed child forgets it.
  void markRunByDedicatedThread();
  // The loop this thread is running now (inside run(), runUntilIdle() or
  // runUntil(), the innermost one when loops nest), or nullptr.
  static RunLoop* current();

  // Test helpers. runUntilIdle() runs every task and due timer without
  // waiting (and dispatches fds that are ready) and returns how many tasks
  // and timers ran. runUntil() polls (watching fds) until `done` returns true
  // or `timeout` of real time passes; returns done(). `done` is asked again
  // after every pass and at least every few milliseconds, so it may watch
  // state that other threads change. Neither of them ends on quit(): a quit
  // is kept for the next run().
  size_t runUntilIdle();
  bool runUntil(const std::function<bool()>& done, Duration timeout = std::chrono::seconds(10));

  Clock& clock() const;

  struct Impl;

 private:
  friend class MainQueue;
  // Called (once, outside any lock) on the first use of this loop in a
  // forked child.
  void setAfterForkHook(void (*hook)());

  std::unique_ptr<Impl> impl_;
};

// The process's main queue.
class MainQueue {
 public:
  // The process-wide main loop, created on first use.
  static RunLoop& get();
  // Runs the process-wide main loop (never a ScopedOverride's) on a serial
  // thread owned by the library (foreign programs), for the rest of the
  // process; a quit() only makes it start the next run(). Idempotent.
  // Survives fork(): in a child the thread is started again on the next use
  // of the main queue (get(), or a post to the loop).
  static void startOwnThread();
  // The process-wide main loop itself, never a ScopedOverride's.
  static RunLoop& processLoop();
  // Tests: make `loop` the main queue until the returned guard goes away.
  class ScopedOverride {
   public:
    explicit ScopedOverride(RunLoop& loop);
    ~ScopedOverride();

   private:
    RunLoop* previous_;
  };

};

// Code whose contract is "main queue only" says so with this line: in a
// debug build it stops the process when called from any other thread (a
// notification handler run off its loop, a settings page touched from a hook).
// Release builds check nothing.
#ifdef NDEBUG
#define SENTREL_ASSERT_ON_MAIN_QUEUE() ((void)0)
#else
#define SENTREL_ASSERT_ON_MAIN_QUEUE() \
  ::sentrel::runloop::internal::assertOnMainQueue(__FILE__, __LINE__)
#endif
namespace internal {
void assertOnMainQueue(const char* file, int line);
}  // namespace internal

// dispatch_async(dispatch_get_main_queue(), ...)
void asyncMain(Task task);
// dispatch_after(..., dispatch_get_main_queue(), ...)
void afterMain(Duration delay, Task task);
// dispatch_async(dispatch_get_global_queue(...), ...): a small shared pool
// of worker threads (2 to 4, started on first use); tasks may run
// concurrently, and one that throws is logged. Survives fork(): queued tasks
// are run by fresh workers, started on the child's next asyncGlobal().
void asyncGlobal(Task task);

}  // namespace sentrel::runloop
