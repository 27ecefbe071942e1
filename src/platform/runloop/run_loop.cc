// The poll loop behind every RunLoop.
//
// Shared state (posted tasks, timers, watches, the wake fd) sits under one
// mutex per loop; tasks and callbacks always run with it released, so they
// may post, cancel, watch and unwatch freely. The wake fd is readable exactly
// while `wakePending` is set, which keeps a burst of posts down to one write
// and lets every path that takes the posted queue drain it.
#include "platform/runloop/run_loop.h"

#include <algorithm>
#include <deque>
#include <exception>
#include <map>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/base/mutex.h"
#include "platform/log/system_log.h"
#include "platform/runloop/internal/fork_safety.h"
#include "platform/runloop/internal/wake_fd.h"

namespace sentrel::runloop {
namespace {

class SystemClock final : public Clock {
 public:
  TimePoint now() const override { return std::chrono::steady_clock::now(); }
};

// How long runUntil() may sit in poll() before it asks `done` again, so that
// a condition set by another thread without posting is still noticed.
constexpr Duration kRunUntilRecheck = std::chrono::milliseconds(10);

void logTaskFailure(const char* what) {
  sentrel::log::line(std::string("RunLoop: a task threw an exception: ") + what,
                     sentrel::log::Level::kError);
}

// Runs `fn` and keeps whatever it throws inside the loop.
template <class Fn>
void runGuarded(Fn&& fn) {
  try {
    fn();
  } catch (const std::exception& e) {
    logTaskFailure(e.what());
  } catch (...) {
    logTaskFailure("(not a std::exception)");
  }
}

// Milliseconds for poll(), rounded up so the loop never wakes just before a
// deadline and spins.
int pollTimeoutMs(Duration d) {
  if (d <= Duration::zero()) return 0;
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(d).count();
  return static_cast<int>(std::min<int64_t>(ms, 24 * 60 * 60 * 1000));
}

// The loop this thread is running, for RunLoop::current().
thread_local RunLoop* currentLoop = nullptr;

// Marks `loop` as this thread's current loop for one run and restores the
// outer one afterwards, so nested runs unwind properly.
class CurrentLoopScope {
 public:
  explicit CurrentLoopScope(RunLoop* loop) : previous_(currentLoop) { currentLoop = loop; }
  ~CurrentLoopScope() { currentLoop = previous_; }
  CurrentLoopScope(const CurrentLoopScope&) = delete;
  CurrentLoopScope& operator=(const CurrentLoopScope&) = delete;

 private:
  RunLoop* previous_;
};

}  // namespace

namespace {
constinit std::atomic<Clock*> clockOverride{nullptr};
}  // namespace

Clock& systemClock() {
  if (Clock* installed = clockOverride.load(std::memory_order_acquire)) return *installed;
  static SystemClock* clock = new SystemClock;  // never destroyed: loops outlive statics
  return *clock;
}

Clock* setSystemClockForTesting(Clock* clock) {
  return clockOverride.exchange(clock, std::memory_order_acq_rel);
}

TimePoint FakeClock::now() const {
  return TimePoint(Duration(ns_.load(std::memory_order_acquire)));
}

void FakeClock::advance(Duration by) {
  ns_.fetch_add(by.count(), std::memory_order_acq_rel);
}

struct Watch {
  WatchId id;
  int fd;
  short events;
  std::function<void(short)> callback;
  std::atomic<bool> active{true};  // false once unwatched; checked before each call
};

namespace {
// Every live loop, so fork() can lock them all and mark them in the child.
// Lock order: registryMu before any loop's mu.
constinit Mutex registryMu;
}  // namespace

struct RunLoop::Impl {
  explicit Impl(Clock& c) : clock(c) {}

  Clock& clock;

  Mutex mu;
  int wakeFd GUARDED_BY(mu) = -1;
  bool wakePending GUARDED_BY(mu) = false;       // wakeFd is readable iff set
  bool needsFreshWakeFd GUARDED_BY(mu) = false;  // set in a forked child
  std::deque<Task> posted GUARDED_BY(mu);
  std::map<std::pair<TimePoint, TimerId>, Task> timers GUARDED_BY(mu);
  std::unordered_map<TimerId, TimePoint> timerDeadlines GUARDED_BY(mu);
  TimerId nextTimerId GUARDED_BY(mu) = 1;
  std::vector<std::shared_ptr<Watch>> watches GUARDED_BY(mu);
  WatchId nextWatchId GUARDED_BY(mu) = 1;
  void (*afterForkHook)() GUARDED_BY(mu) = nullptr;  // called after a child's first use

  std::atomic<bool> quitRequested{false};
  std::atomic<std::thread::id> runner{};  // the thread inside run()/runUntil*()

  // Loop-thread scratch, kept to avoid allocating on every pass.
  std::deque<Task> batch;
  std::vector<pollfd> pollFds;
  std::vector<std::shared_ptr<Watch>> polled;

  // Registry of live loops, for the fork handlers.
  Impl* prev GUARDED_BY(registryMu) = nullptr;
  Impl* next GUARDED_BY(registryMu) = nullptr;

  void signalLocked() REQUIRES(mu) {
    if (!wakePending) {
      internal::signalWakeFd(wakeFd);
      wakePending = true;
    }
  }

  // Returns the hook to call once mu is released.
  void (*refreshAfterForkLocked())() REQUIRES(mu) {
    if (!needsFreshWakeFd) return nullptr;
    needsFreshWakeFd = false;
    internal::closeWakeFd(wakeFd);  // the child's copy only; the parent keeps its own
    wakeFd = internal::createWakeFd();
    wakePending = false;
    if (!posted.empty() || quitRequested.load()) signalLocked();
    return afterForkHook;
  }

  // Takes mu; in a forked child, the first use renews the wake fd and calls
  // the after-fork hook (with mu released) before going on.
  void lockForUse() ACQUIRE(mu) {
    mu.lock();
    if (void (*hook)() = refreshAfterForkLocked()) {
      mu.unlock();
      hook();
      mu.lock();
    }
  }

  bool onLoopThread() const { return runner.load() == std::this_thread::get_id(); }

  // One pass: posted tasks, due timers, then poll (waiting at most `wait`,
  // and not at all when work is already queued). Returns tasks + timers run;
  // `fdsFired` tells whether any fd callback ran.
  size_t runOnce(Duration wait, bool stopOnQuit, bool& fdsFired);
  size_t runPosted(bool stopOnQuit);
  size_t runDueTimers(bool stopOnQuit);
  bool pollAndDispatch(Duration wait);
};

namespace {

constinit RunLoop::Impl* registryHead GUARDED_BY(registryMu) = nullptr;

// A loop's lock for one use (see lockForUse()), released at the end of the
// scope.
class SCOPED_CAPABILITY UseLock {
 public:
  explicit UseLock(RunLoop::Impl& impl) ACQUIRE(impl.mu) : impl_(impl) { impl_.lockForUse(); }
  ~UseLock() RELEASE() { impl_.mu.unlock(); }
  UseLock(const UseLock&) = delete;
  UseLock& operator=(const UseLock&) = delete;

 private:
  RunLoop::Impl& impl_;
};

}  // namespace

size_t RunLoop::Impl::runPosted(bool stopOnQuit) {
  {
    UseLock lock(*this);
    if (wakePending) {
      internal::drainWakeFd(wakeFd);
      wakePending = false;
    }
    batch.swap(posted);
  }
  // Only the tasks queued now run in this pass; what they post waits for the
  // next one, so fds and timers are never starved.
  size_t ran = 0;
  while (!batch.empty()) {
    if (stopOnQuit && quitRequested.load()) {
      MutexLock lock(mu);
      posted.insert(posted.begin(), std::make_move_iterator(batch.begin()),
                    std::make_move_iterator(batch.end()));
      batch.clear();
      signalLocked();
      break;
    }
    Task task = std::move(batch.front());
    batch.pop_front();
    runGuarded(task);
    ++ran;
  }
  return ran;
}

size_t RunLoop::Impl::runDueTimers(bool stopOnQuit) {
  // One reading of the clock per pass: a timer that re-arms itself with no
  // delay runs again on the next pass, not forever in this one.
  const TimePoint now = clock.now();
  size_t ran = 0;
  for (;;) {
    if (stopOnQuit && quitRequested.load()) break;
    Task task;
    {
      MutexLock lock(mu);
      if (timers.empty() || timers.begin()->first.first > now) break;
      auto node = timers.extract(timers.begin());
      timerDeadlines.erase(node.key().second);
      task = std::move(node.mapped());
    }
    runGuarded(task);
    ++ran;
  }
  return ran;
}

bool RunLoop::Impl::pollAndDispatch(Duration wait) {
  {
    UseLock lock(*this);
    if (!posted.empty()) wait = Duration::zero();
    if (!timers.empty() && !clock.isManual()) {
      wait = std::min(wait, timers.begin()->first.first - clock.now());
    }
    pollFds.clear();
    polled.clear();
    pollFds.push_back(pollfd{wakeFd, POLLIN, 0});
    for (const auto& w : watches) {
      pollFds.push_back(pollfd{w->fd, w->events, 0});
      polled.push_back(w);
    }
  }
  const int timeoutMs = wait == Duration::max() ? -1 : pollTimeoutMs(wait);
  const int n = poll(pollFds.data(), pollFds.size(), timeoutMs);
  if (n <= 0) {
    // EINTR or a timeout: the next pass looks again.
    polled.clear();
    return false;
  }
  bool fired = false;
  for (size_t i = 1; i < pollFds.size(); ++i) {
    const short revents = pollFds[i].revents;
    if (revents == 0) continue;
    const std::shared_ptr<Watch>& w = polled[i - 1];
    if (!w->active.load()) continue;  // unwatched by an earlier callback
    fired = true;
    runGuarded([&] { w->callback(revents); });
    if ((revents & POLLNVAL) && w->active.load()) {
      // The fd was closed while watched. Left in the set, poll() would
      // report it at once on every pass and the loop would spin.
      sentrel::log::line("RunLoop: fd " + std::to_string(w->fd) +
                             " was closed while watched; no longer watching it",
                         sentrel::log::Level::kError);
      MutexLock lock(mu);
      w->active.store(false);
      std::erase(watches, w);
    }
  }
  // Drop the references here so an unwatched callback dies on this thread.
  polled.clear();
  return fired;
}

size_t RunLoop::Impl::runOnce(Duration wait, bool stopOnQuit, bool& fdsFired) {
  size_t ran = runPosted(stopOnQuit);
  ran += runDueTimers(stopOnQuit);
  if (stopOnQuit && quitRequested.load()) {
    fdsFired = false;
    return ran;
  }
  fdsFired = pollAndDispatch(ran > 0 ? Duration::zero() : wait);
  return ran;
}

RunLoop::RunLoop(Clock& clock) : impl_(std::make_unique<Impl>(clock)) {
  internal::ensureForkHandlers();
  const int wakeFd = internal::createWakeFd();
  {
    MutexLock lock(impl_->mu);
    impl_->wakeFd = wakeFd;
  }
  if (wakeFd < 0) {
    // Without a wake fd, posts from other threads are only noticed when
    // something else wakes the loop; keep working, but say so once.
    sentrel::log::line("RunLoop: eventfd failed; cross-thread posts will be late",
                       sentrel::log::Level::kError);
  }
  MutexLock lock(registryMu);
  impl_->next = registryHead;
  if (registryHead) registryHead->prev = impl_.get();
  registryHead = impl_.get();
}

RunLoop::~RunLoop() {
  {
    MutexLock lock(registryMu);
    if (impl_->prev) impl_->prev->next = impl_->next;
    if (impl_->next) impl_->next->prev = impl_->prev;
    if (registryHead == impl_.get()) registryHead = impl_->next;
  }
  MutexLock lock(impl_->mu);
  internal::closeWakeFd(impl_->wakeFd);
}

void RunLoop::post(Task task) {
  if (!task) return;
  UseLock lock(*impl_);
  impl_->posted.push_back(std::move(task));
  impl_->signalLocked();
}

TimerId RunLoop::postDelayed(Duration delay, Task task) {
  const TimePoint deadline = impl_->clock.now() + std::max(delay, Duration::zero());
  UseLock lock(*impl_);
  const TimerId id = impl_->nextTimerId++;
  if (!task) return id;
  const bool first = impl_->timers.empty() || deadline < impl_->timers.begin()->first.first;
  impl_->timers.emplace(std::make_pair(deadline, id), std::move(task));
  impl_->timerDeadlines.emplace(id, deadline);
  // A new earliest deadline shortens the poll timeout of a waiting loop.
  if (first && !impl_->onLoopThread()) impl_->signalLocked();
  return id;
}

void RunLoop::cancel(TimerId timer) {
  Task dropped;  // destroyed after the lock is released: its captures may post
  UseLock lock(*impl_);
  auto it = impl_->timerDeadlines.find(timer);
  if (it == impl_->timerDeadlines.end()) return;
  auto node = impl_->timers.extract(std::make_pair(it->second, timer));
  impl_->timerDeadlines.erase(it);
  if (!node.empty()) dropped = std::move(node.mapped());
}

WatchId RunLoop::watchFd(int fd, short events, std::function<void(short revents)> callback) {
  auto w = std::make_shared<Watch>();
  w->fd = fd;
  w->events = events;
  w->callback = std::move(callback);
  UseLock lock(*impl_);
  w->id = impl_->nextWatchId++;
  impl_->watches.push_back(w);
  if (!impl_->onLoopThread()) impl_->signalLocked();  // a waiting poll() must see it
  return w->id;
}

void RunLoop::unwatchFd(WatchId watch) {
  std::shared_ptr<Watch> removed;  // its callback dies outside the lock
  UseLock lock(*impl_);
  auto& ws = impl_->watches;
  auto it = std::find_if(ws.begin(), ws.end(), [&](const auto& w) { return w->id == watch; });
  if (it == ws.end()) return;
  removed = std::move(*it);
  removed->active.store(false);
  ws.erase(it);
  if (!impl_->onLoopThread()) impl_->signalLocked();
}

void RunLoop::run() {
  CurrentLoopScope scope(this);
  const std::thread::id previous = impl_->runner.exchange(std::this_thread::get_id());
  bool fdsFired = false;
  while (!impl_->quitRequested.load()) {
    impl_->runOnce(Duration::max(), /*stopOnQuit=*/true, fdsFired);
  }
  impl_->quitRequested.store(false);
  impl_->runner.store(previous);
}

void RunLoop::quit() {
  impl_->quitRequested.store(true);
  UseLock lock(*impl_);
  impl_->signalLocked();
}

bool RunLoop::isRunningOnCurrentThread() const {
  return impl_->onLoopThread();
}

RunLoop* RunLoop::current() {
  return currentLoop;
}

size_t RunLoop::runUntilIdle() {
  CurrentLoopScope scope(this);
  const std::thread::id previous = impl_->runner.exchange(std::this_thread::get_id());
  size_t total = 0;
  for (;;) {
    bool fdsFired = false;
    const size_t ran = impl_->runOnce(Duration::zero(), /*stopOnQuit=*/false, fdsFired);
    total += ran;
    // A pass in which only fd callbacks ran ends it: a watched fd that stays
    // readable must not keep this from returning.
    if (ran == 0) {
      bool more = false;
      {
        MutexLock lock(impl_->mu);
        more = !impl_->posted.empty() ||
               (!impl_->timers.empty() && impl_->timers.begin()->first.first <= impl_->clock.now());
      }
      if (!more) break;
    }
  }
  impl_->runner.store(previous);
  return total;
}

bool RunLoop::runUntil(const std::function<bool()>& done, Duration timeout) {
  CurrentLoopScope scope(this);
  const std::thread::id previous = impl_->runner.exchange(std::this_thread::get_id());
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  bool result = done();
  while (!result) {
    const Duration left = deadline - std::chrono::steady_clock::now();
    if (left <= Duration::zero()) break;
    bool fdsFired = false;
    impl_->runOnce(std::min(left, kRunUntilRecheck), /*stopOnQuit=*/false, fdsFired);
    result = done();
  }
  impl_->runner.store(previous);
  return result;
}

Clock& RunLoop::clock() const {
  return impl_->clock;
}

void RunLoop::setAfterForkHook(void (*hook)()) {
  MutexLock lock(impl_->mu);
  impl_->afterForkHook = hook;
}

namespace internal {

// The registry walks take every loop's lock in turn: beyond the analysis.
void loopsPrepareFork() NO_THREAD_SAFETY_ANALYSIS {
  registryMu.lock();
  for (RunLoop::Impl* l = registryHead; l; l = l->next) l->mu.lock();
}

void loopsParentAfterFork() NO_THREAD_SAFETY_ANALYSIS {
  for (RunLoop::Impl* l = registryHead; l; l = l->next) l->mu.unlock();
  registryMu.unlock();
}

void loopsChildAfterFork() NO_THREAD_SAFETY_ANALYSIS {
  const std::thread::id survivor = std::this_thread::get_id();
  for (RunLoop::Impl* l = registryHead; l; l = l->next) {
    l->needsFreshWakeFd = true;
    // A loop run by a thread that did not fork has no runner any more.
    if (l->runner.load() != survivor) l->runner.store(std::thread::id());
    l->mu.unlock();
  }
  registryMu.unlock();
}

}  // namespace internal
}  // namespace sentrel::runloop
