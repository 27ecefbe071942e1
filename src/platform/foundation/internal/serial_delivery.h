// Runs posted tasks one at a time, in the order they were posted, on
// global-queue threads. What a web view uses so that its delegate sees its
// navigations finish in order even though the global queue runs tasks
// concurrently. post() is thread-safe; tasks that are still queued when the
// object goes away still run.
#pragma once

#include <deque>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>

#include "platform/base/mutex.h"
#include "platform/log/system_log.h"
#include "platform/runloop/run_loop.h"

namespace sentrel::foundation::internal {

class SerialDelivery {
 public:
  void post(runloop::Task task) {
    bool start = false;
    {
      MutexLock lock(shared_->mu);
      shared_->tasks.push_back(std::move(task));
      start = !shared_->draining;
      shared_->draining = true;
    }
    if (start) runloop::asyncGlobal([shared = shared_] { drain(*shared); });
  }

 private:
  struct Shared {
    Mutex mu;
    std::deque<runloop::Task> tasks GUARDED_BY(mu);
    bool draining GUARDED_BY(mu) = false;  // a drain task is queued or running
  };

  static void drain(Shared& shared) {
    for (;;) {
      runloop::Task task;
      {
        MutexLock lock(shared.mu);
        if (shared.tasks.empty()) {
          shared.draining = false;
          return;
        }
        task = std::move(shared.tasks.front());
        shared.tasks.pop_front();
      }
      // A task that throws must not stall the ones behind it.
      try {
        task();
      } catch (const std::exception& e) {
        log::line(std::string("a delivered task threw: ") + e.what(), log::Level::kError);
      } catch (...) {
        log::line("a delivered task threw", log::Level::kError);
      }
    }
  }

  std::shared_ptr<Shared> shared_ = std::make_shared<Shared>();
};

}  // namespace sentrel::foundation::internal
