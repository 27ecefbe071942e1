// The process's main queue and its optional own thread.
//
// fork(): see internal/fork_safety.h. In a child the own thread is gone; the
// child handler only notes that it must be started again, and the next use
// of the main queue (MainQueue::get() or any call on the loop itself, which
// then calls restartAfterFork()) starts a fresh thread after the loop has
// taken a fresh eventfd.
#include <dlfcn.h>
#include <pthread.h>
#include <signal.h>

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

// One main queue per process, whichever module asks. The program, the
// injected library and the UI toolkit's library each contain this code; the
// first of them that the dynamic linker finds owns the state below and the
// others use it, so work any of them posts runs on the one main thread.
struct MainQueueState {
  // Lock order: mu first of all the locks of this service. It also guards
  // the creation of the process loop, so a fork() can never copy a half-made
  // one.
  Mutex mu;
  std::atomic<RunLoop*> loop{nullptr};  // written under mu
  bool ownThreadRunning GUARDED_BY(mu) = false;
  // Set in a forked child whose parent had started the own thread.
  std::atomic<bool> ownThreadNeedsRestart{false};
  // The owner's code makes the loop and starts its thread, so that the
  // loop's fork handling and this state's are one module's, in one order.
  RunLoop& (*processLoop)() = nullptr;
  void (*startOwnThread)() = nullptr;
};

bool ownsState();
void ownedStartOwnThread();

// This module's own state; used only when this module owns the process's.
MainQueueState& localState() {
  static auto* const state = [] {
    auto* made = new MainQueueState;  // never destroyed: see processLoop()
    made->processLoop = &MainQueue::processLoop;
    made->startOwnThread = &ownedStartOwnThread;
    return made;
  }();
  return *state;
}

}  // namespace
}  // namespace sentrel::runloop

// The rendezvous: every module exports it, the dynamic linker's first
// definition wins (executables export it through their link options).
extern "C" __attribute__((visibility("default"))) void* sentrel_main_queue_v1() {
  return &sentrel::runloop::localState();
}

namespace sentrel::runloop {
namespace {

MainQueueState& state() {
  static MainQueueState* const shared = [] {
    using Anchor = void* (*)();
    auto anchor = reinterpret_cast<Anchor>(dlsym(RTLD_DEFAULT, "sentrel_main_queue_v1"));
    return anchor ? static_cast<MainQueueState*>(anchor()) : &localState();
  }();
  return *shared;
}

// Only the owner's fork handlers touch the shared state: every module
// registers its own, and two of them taking one lock would deadlock.
bool ownsState() {
  return &state() == &localState();
}

void startThreadLocked(MainQueueState& shared, RunLoop& loop) REQUIRES(shared.mu) {
  // Detached: it runs for the rest of the process, and the loop it runs is
  // never destroyed, so exit() never waits for it or pulls the loop away.
  // The program's signals are not ours to take: the thread starts with
  // every signal blocked (it inherits the mask), so a process-directed
  // signal always runs the program's handler on one of its own threads.
  sigset_t all;
  sigset_t previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  loop.markRunByDedicatedThread();
  std::thread([&loop] {
    for (;;) loop.run();
  }).detach();
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

void restartAfterFork() {
  if (!state().ownThreadNeedsRestart.exchange(false)) return;
  MainQueue::startOwnThread();
}

}  // namespace

RunLoop& MainQueue::processLoop() {
  MainQueueState& shared = state();
  if (!ownsState()) return shared.processLoop();
  if (RunLoop* loop = shared.loop.load(std::memory_order_acquire)) return *loop;
  MutexLock lock(shared.mu);
  if (RunLoop* loop = shared.loop.load(std::memory_order_relaxed)) return *loop;
  // Never destroyed: the own thread and late posts during exit still use it.
  auto* loop = new RunLoop(systemClock());
  loop->setAfterForkHook(&restartAfterFork);
  shared.loop.store(loop, std::memory_order_release);
  return *loop;
}

RunLoop& MainQueue::get() {
  if (RunLoop* o = overrideLoop.load(std::memory_order_acquire)) return *o;
  if (state().ownThreadNeedsRestart.load(std::memory_order_relaxed)) restartAfterFork();
  return processLoop();
}

void MainQueue::startOwnThread() {
  state().startOwnThread();
}

namespace {

void ownedStartOwnThread() {
  RunLoop& loop = MainQueue::processLoop();
  MainQueueState& shared = state();
  MutexLock lock(shared.mu);
  if (shared.ownThreadRunning) return;
  shared.ownThreadRunning = true;
  startThreadLocked(shared, loop);
}

}  // namespace

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
  if (ownsState()) state().mu.lock();
}

void mainQueueParentAfterFork() NO_THREAD_SAFETY_ANALYSIS {
  if (ownsState()) state().mu.unlock();
}

void mainQueueChildAfterFork() NO_THREAD_SAFETY_ANALYSIS {
  if (!ownsState()) return;
  MainQueueState& shared = state();
  if (shared.ownThreadRunning) {
    shared.ownThreadRunning = false;
    shared.ownThreadNeedsRestart.store(true);
  }
  shared.mu.unlock();
}

}  // namespace internal
}  // namespace sentrel::runloop
