// The process's main queue and its optional own thread.
//
// fork(): see internal/fork_safety.h. In a child the own thread is gone; the
// child handler only notes that it must be started again, and the next use
// of the main queue (MainQueue::get() or any call on the loop itself, which
// then calls restartAfterFork()) starts a fresh thread after the loop has
// taken a fresh eventfd.
#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>

#include "platform/base/mutex.h"
#include "platform/log/system_log.h"
#include "platform/runloop/internal/fork_safety.h"
#include "platform/runloop/run_loop.h"

namespace sentrel::runloop {
namespace {

constinit std::atomic<RunLoop*> overrideLoop{nullptr};

// Lock order: ownThreadMu first of all the locks of this service. It also
// guards the creation of the process loop, so a fork() can never copy a
// half-made one.
constinit Mutex ownThreadMu;
constinit std::atomic<RunLoop*> mainLoop{nullptr};  // written under ownThreadMu
constinit bool ownThreadRunning GUARDED_BY(ownThreadMu) = false;
// Set in a forked child whose parent had started the own thread.
constinit std::atomic<bool> ownThreadNeedsRestart{false};

void startThreadLocked(RunLoop& loop) REQUIRES(ownThreadMu) {
  // Detached: it runs for the rest of the process, and the loop it runs is
  // never destroyed, so exit() never waits for it or pulls the loop away.
  std::thread([&loop] {
    for (;;) loop.run();
  }).detach();
}

void restartAfterFork() {
  if (!ownThreadNeedsRestart.exchange(false)) return;
  MainQueue::startOwnThread();
}

}  // namespace

RunLoop& MainQueue::processLoop() {
  if (RunLoop* loop = mainLoop.load(std::memory_order_acquire)) return *loop;
  MutexLock lock(ownThreadMu);
  if (RunLoop* loop = mainLoop.load(std::memory_order_relaxed)) return *loop;
  // Never destroyed: the own thread and late posts during exit still use it.
  auto* loop = new RunLoop(systemClock());
  loop->setAfterForkHook(&restartAfterFork);
  mainLoop.store(loop, std::memory_order_release);
  return *loop;
}

RunLoop& MainQueue::get() {
  if (RunLoop* o = overrideLoop.load(std::memory_order_acquire)) return *o;
  if (ownThreadNeedsRestart.load(std::memory_order_relaxed)) restartAfterFork();
  return processLoop();
}

void MainQueue::startOwnThread() {
  RunLoop& loop = processLoop();
  MutexLock lock(ownThreadMu);
  if (ownThreadRunning) return;
  ownThreadRunning = true;
  startThreadLocked(loop);
}

MainQueue::ScopedOverride::ScopedOverride(RunLoop& loop)
    : previous_(overrideLoop.exchange(&loop, std::memory_order_acq_rel)) {}

MainQueue::ScopedOverride::~ScopedOverride() {
  overrideLoop.store(previous_, std::memory_order_release);
}

void asyncMain(Task task) {
  MainQueue::get().post(std::move(task));
}

void afterMain(Duration delay, Task task) {
  MainQueue::get().postDelayed(delay, std::move(task));
}

namespace internal {

void assertOnMainQueue(const char* file, int line) {
  if (MainQueue::get().isRunningOnCurrentThread()) return;
  sentrel::log::line(std::string("main queue only: called from another thread at ") + file + ":" +
                         std::to_string(line),
                     sentrel::log::Level::kError);
  std::abort();
}

// The fork handlers take the lock in one handler and release it in another.
void mainQueuePrepareFork() NO_THREAD_SAFETY_ANALYSIS {
  ownThreadMu.lock();
}

void mainQueueParentAfterFork() NO_THREAD_SAFETY_ANALYSIS {
  ownThreadMu.unlock();
}

void mainQueueChildAfterFork() NO_THREAD_SAFETY_ANALYSIS {
  if (ownThreadRunning) {
    ownThreadRunning = false;
    ownThreadNeedsRestart.store(true);
  }
  ownThreadMu.unlock();
}

}  // namespace internal
}  // namespace sentrel::runloop
