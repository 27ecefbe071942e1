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

Clock& systemClock();  // steady_clock

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

// Thread-safety: post(), postDelayed(), cancel() and quit() may be called
// from any thread; everything else, and every task and fd callback, runs on
// the thread that runs the loop. Tasks posted with post() run in order.
class RunLoop {
 public:
  explicit RunLoop(Clock& clock = systemClock());
  ~RunLoop();
  RunLoop(const RunLoop&) = delete;
  RunLoop& operator=(const RunLoop&) = delete;

  void post(Task task);
  TimerId postDelayed(Duration delay, Task task);
  void cancel(TimerId timer);  // no effect once it ran

  // `events` as for poll(); the callback gets revents. The fd stays owned by
  // the caller and must be unwatched before it is closed.
  WatchId watchFd(int fd, short events, std::function<void(short revents)> callback);
  void unwatchFd(WatchId watch);

  // Runs until quit(). Re-entrant quit() from a task ends the loop after it.
  void run();
  void quit();
  bool isRunningOnCurrentThread() const;

  // Test helpers. runUntilIdle() runs every task and due timer without
  // waiting and returns how many ran. runUntil() polls (watching fds) until
  // `done` returns true or `timeout` of real time passes; returns done().
  size_t runUntilIdle();
  bool runUntil(const std::function<bool()>& done,
                Duration timeout = std::chrono::seconds(10));

  Clock& clock() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

// The process's main queue.
class MainQueue {
 public:
  // The process-wide main loop, created on first use.
  static RunLoop& get();
  // Runs get() on a serial thread owned by the library (foreign programs).
  // Idempotent. Survives fork(): in a child the thread is started again on
  // the next post.
  static void startOwnThread();
  // Tests: make `loop` the main queue until the returned guard goes away.
  class ScopedOverride {
   public:
    explicit ScopedOverride(RunLoop& loop);
    ~ScopedOverride();

   private:
    RunLoop* previous_;
  };
};

// dispatch_async(dispatch_get_main_queue(), ...)
void asyncMain(Task task);
// dispatch_after(..., dispatch_get_main_queue(), ...)
void afterMain(Duration delay, Task task);
// dispatch_async(dispatch_get_global_queue(...), ...): a small shared pool
// of worker threads; tasks may run concurrently.
void asyncGlobal(Task task);

}  // namespace sentrel::runloop
