#include "platform/base/fork_registry.h"

#include <pthread.h>
#include <unistd.h>

#include <array>
#include <atomic>

namespace sentrel::base {
namespace {

constexpr int kStages = static_cast<int>(ForkStage::kLog) + 1;
constexpr int kPerStage = 8;
constexpr int kLeafLocks = 16;

// Filled slot by slot under g_registration and never emptied, so the fork
// handlers read them without allocating.
constinit Mutex g_registration;
constinit std::array<std::array<ForkHandlers, kPerStage>, kStages> g_handlers{};
constinit std::array<int, kStages> g_counts{};
constinit std::array<Mutex*, kLeafLocks> g_leaf_locks{};
constinit int g_leaf_count = 0;

void overflow(const char* what) {
  // Nothing else is safe to call here: a registration may happen at load.
  static constexpr char kPrefix[] = "sentrel: too many fork handlers for ";
  (void)!write(STDERR_FILENO, kPrefix, sizeof kPrefix - 1);
  (void)!write(STDERR_FILENO, what, __builtin_strlen(what));
  (void)!write(STDERR_FILENO, "\n", 1);
}

void leafPrepare() NO_THREAD_SAFETY_ANALYSIS {
  for (int i = 0; i < g_leaf_count; ++i) g_leaf_locks[i]->lock();
}

void leafRelease() NO_THREAD_SAFETY_ANALYSIS {
  for (int i = g_leaf_count - 1; i >= 0; --i) g_leaf_locks[i]->unlock();
}

// The registration lock is taken first and released last, so no slot is
// being filled while the handlers walk them. The forking thread took every
// lock in prepare(), so it may release them in the parent and, as the only
// thread there, in the child.
void prepare() NO_THREAD_SAFETY_ANALYSIS {
  g_registration.lock();
  for (int stage = 0; stage < kStages; ++stage) {
    if (stage == static_cast<int>(ForkStage::kLeafLocks)) leafPrepare();
    for (int i = 0; i < g_counts[stage]; ++i) {
      if (g_handlers[stage][i].prepare) g_handlers[stage][i].prepare();
    }
  }
}

template <void (*ForkHandlers::*Step)()>
void release() NO_THREAD_SAFETY_ANALYSIS {
  for (int stage = kStages - 1; stage >= 0; --stage) {
    for (int i = g_counts[stage] - 1; i >= 0; --i) {
      if (g_handlers[stage][i].*Step) (g_handlers[stage][i].*Step)();
    }
    if (stage == static_cast<int>(ForkStage::kLeafLocks)) leafRelease();
  }
  g_registration.unlock();
}

// Installed at load, before a host program has threads that could fork.
[[maybe_unused]] const int g_installed =
    pthread_atfork(&prepare, &release<&ForkHandlers::parent>, &release<&ForkHandlers::child>);

}  // namespace

void registerForkHandlers(ForkStage stage, ForkHandlers handlers) noexcept {
  MutexLock lock(g_registration);
  const int s = static_cast<int>(stage);
  for (int i = 0; i < g_counts[s]; ++i) {
    if (g_handlers[s][i] == handlers) return;
  }
  if (g_counts[s] == kPerStage) return overflow("one stage");
  g_handlers[s][g_counts[s]++] = handlers;
}

void holdAcrossFork(Mutex& mutex) noexcept {
  MutexLock lock(g_registration);
  for (int i = 0; i < g_leaf_count; ++i) {
    if (g_leaf_locks[i] == &mutex) return;
  }
  if (g_leaf_count == kLeafLocks) return overflow("the leaf locks");
  g_leaf_locks[g_leaf_count++] = &mutex;
}

}  // namespace sentrel::base
