#include "platform/runloop/internal/fork_safety.h"

#include <mutex>

#include "platform/base/fork_registry.h"

namespace sentrel::runloop::internal {
namespace {

void prepare() {
  mainQueuePrepareFork();
  globalQueuePrepareFork();
  loopsPrepareFork();
}

void parent() {
  loopsParentAfterFork();
  globalQueueParentAfterFork();
  mainQueueParentAfterFork();
}

void child() {
  loopsChildAfterFork();
  globalQueueChildAfterFork();
  mainQueueChildAfterFork();
}

}  // namespace

void ensureForkHandlers() {
  static std::once_flag once;
  std::call_once(once, [] {
    base::registerForkHandlers(base::ForkStage::kRunLoops, {&prepare, &parent, &child});
  });
}

namespace {
// Registered at load time too, before a host program has threads that could
// fork while the first queue is being made.
[[maybe_unused]] const bool registeredAtLoad = (ensureForkHandlers(), true);
}  // namespace

}  // namespace sentrel::runloop::internal
