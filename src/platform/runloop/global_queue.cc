// The global queue: a few worker threads shared by the whole process,
// started on first use and living as long as it.
//
// fork(): see internal/fork_safety.h. The queue's lock exists from load time,
// so the prepare handler always takes it, even when another thread is just
// creating the queue. The child handler forgets the workers (they do not
// exist in the child) and gives the condition variable a fresh state, since
// the old one still counts waiters that are gone; the next asyncGlobal() in
// the child starts new workers, which also run what was still queued at the
// fork.
#include <algorithm>
#include <condition_variable>
#include <deque>
#include <exception>
#include <new>
#include <string>
#include <thread>

#include "platform/base/mutex.h"
#include "platform/log/system_log.h"
#include "platform/runloop/internal/fork_safety.h"
#include "platform/runloop/run_loop.h"

namespace sentrel::runloop {
namespace {

constinit Mutex queueMu;

struct GlobalQueue {
  std::condition_variable ready;  // signalled when a task is queued
  std::deque<Task> tasks GUARDED_BY(queueMu);
  unsigned workers GUARDED_BY(queueMu) = 0;  // threads started and alive
};

// Created on first use and never destroyed: detached workers wait on it
// until the process ends.
constinit GlobalQueue* globalQueue GUARDED_BY(queueMu) = nullptr;

unsigned workerCount() {
  return std::clamp(std::thread::hardware_concurrency(), 2u, 4u);
}

void logFailure(const char* what) {
  sentrel::log::line(std::string("global queue: a task threw an exception: ") + what,
                     sentrel::log::Level::kError);
}

void workerMain(GlobalQueue* q) {
  for (;;) {
    Task task;
    {
      MutexLock lock(queueMu);
      while (q->tasks.empty()) q->ready.wait(lock.native());
      task = std::move(q->tasks.front());
      q->tasks.pop_front();
    }
    try {
      task();
    } catch (const std::exception& e) {
      logFailure(e.what());
    } catch (...) {
      logFailure("(not a std::exception)");
    }
  }
}

}  // namespace

void asyncGlobal(Task task) {
  if (!task) return;
  internal::ensureForkHandlers();
  GlobalQueue* q;
  {
    MutexLock lock(queueMu);
    if (!globalQueue) globalQueue = new GlobalQueue;
    q = globalQueue;
    q->tasks.push_back(std::move(task));
    for (const unsigned want = workerCount(); q->workers < want; ++q->workers) {
      std::thread(workerMain, q).detach();
    }
  }
  q->ready.notify_one();
}

namespace internal {

// The fork handlers take the lock in one handler and release it in another.
void globalQueuePrepareFork() NO_THREAD_SAFETY_ANALYSIS {
  queueMu.lock();
}

void globalQueueParentAfterFork() NO_THREAD_SAFETY_ANALYSIS {
  queueMu.unlock();
}

void globalQueueChildAfterFork() NO_THREAD_SAFETY_ANALYSIS {
  if (GlobalQueue* q = globalQueue) {
    q->workers = 0;
    // Deliberately not destroyed: destroying a condition variable waits for
    // its waiters, and those waiters no longer exist.
    new (&q->ready) std::condition_variable();
  }
  queueMu.unlock();
}

}  // namespace internal
}  // namespace sentrel::runloop
