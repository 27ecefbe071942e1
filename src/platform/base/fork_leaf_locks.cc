#include "platform/base/fork_leaf_locks.h"

#include <pthread.h>

#include <atomic>

namespace sentrel::base {
namespace {

constexpr int kMaxLocks = 8;
std::mutex* g_locks[kMaxLocks] = {};  // filled once, slot by slot
std::atomic<int> g_count{0};          // slots published
std::mutex g_registration;            // serialises holdAcrossFork()
int g_held = 0;                       // how many prepare() took; only the forking thread uses it

void prepare() {
  g_registration.lock();  // no slot is being filled while we copy
  g_held = g_count.load(std::memory_order_acquire);
  for (int i = 0; i < g_held; ++i) g_locks[i]->lock();
}

// The forking thread took every lock in prepare(), so it may release them in
// the parent and (as the child's only thread) in the child.
void release() {
  for (int i = g_held - 1; i >= 0; --i) g_locks[i]->unlock();
  g_registration.unlock();
}

}  // namespace

void ensureLeafLockForkHandlers() noexcept {
  static std::once_flag once;
  std::call_once(once, [] { pthread_atfork(&prepare, &release, &release); });
}

void holdAcrossFork(std::mutex& mutex) noexcept {
  ensureLeafLockForkHandlers();
  std::lock_guard<std::mutex> lock(g_registration);
  const int n = g_count.load(std::memory_order_relaxed);
  for (int i = 0; i < n; ++i) {
    if (g_locks[i] == &mutex) return;
  }
  if (n == kMaxLocks) return;  // a programming error; the lock stays unguarded
  g_locks[n] = &mutex;
  g_count.store(n + 1, std::memory_order_release);
}

namespace {
// Registered at load time, before the other services' handlers.
[[maybe_unused]] const bool registeredAtLoad = (ensureLeafLockForkHandlers(), true);
}  // namespace

}  // namespace sentrel::base
