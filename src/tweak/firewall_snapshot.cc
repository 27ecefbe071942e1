#include "tweak/firewall_snapshot.h"

#include <new>

#include "platform/base/fork_registry.h"
#include "platform/base/mutex.h"

namespace sentrel::internal {

// Every live cell, in a list that a fork() child walks to reset them. The
// lock is held across fork(), so the list is whole in the child.
struct SnapshotCellRegistry {
  static void add(SnapshotCellBase* cell) {
    MutexLock lock(mutex);
    cell->next_ = head;
    if (head != nullptr) head->prev_ = cell;
    head = cell;
  }

  static void remove(SnapshotCellBase* cell) {
    MutexLock lock(mutex);
    if (cell->prev_ != nullptr) {
      cell->prev_->next_ = cell->next_;
    } else {
      head = cell->next_;
    }
    if (cell->next_ != nullptr) cell->next_->prev_ = cell->prev_;
  }

  // Taken in the fork's prepare step and released in parent and child.
  static void lockForFork() NO_THREAD_SAFETY_ANALYSIS { mutex.lock(); }
  static void unlockInParent() NO_THREAD_SAFETY_ANALYSIS { mutex.unlock(); }
  // The child's only thread: every cell starts afresh.
  static void resetAllInChild() NO_THREAD_SAFETY_ANALYSIS {
    for (SnapshotCellBase* cell = head; cell != nullptr; cell = cell->next_) {
      cell->resetInForkedChild();
    }
    mutex.unlock();
  }

  static inline constinit Mutex mutex;
  static inline constinit SnapshotCellBase* head = nullptr;
};

namespace {
[[maybe_unused]] const bool g_fork_reset_registered =
    (base::registerForkHandlers(
         base::ForkStage::kSnapshotCells,
         {&SnapshotCellRegistry::lockForFork, &SnapshotCellRegistry::unlockInParent,
          &SnapshotCellRegistry::resetAllInChild}),
     true);
}  // namespace

SnapshotCellBase::SnapshotCellBase() {
  SnapshotCellRegistry::add(this);
}

SnapshotCellBase::~SnapshotCellBase() {
  SnapshotCellRegistry::remove(this);
}

// Threads that were inside load() or store() at the fork exist only in the
// parent: nobody reads or writes in the child yet.
void SnapshotCellBase::resetInForkedChild() {
  readers_[0].store(0);
  readers_[1].store(0);
  new (&writer_mutex_) Mutex;
}

}  // namespace sentrel::internal
