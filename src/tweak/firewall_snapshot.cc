#include "tweak/firewall_snapshot.h"

#include <pthread.h>

#include <new>

#include "platform/base/fork_leaf_locks.h"

namespace sentrel::internal {

// Every live cell, in a list that a fork() child walks to reset them. The
// lock is held across fork(), so the list is whole in the child.
struct SnapshotCellRegistry {
  static void add(SnapshotCellBase* cell) {
    std::lock_guard<std::mutex> lock(mutex);
    cell->next_ = head;
    if (head != nullptr) head->prev_ = cell;
    head = cell;
  }

  static void remove(SnapshotCellBase* cell) {
    std::lock_guard<std::mutex> lock(mutex);
    if (cell->prev_ != nullptr) {
      cell->prev_->next_ = cell->next_;
    } else {
      head = cell->next_;
    }
    if (cell->next_ != nullptr) cell->next_->prev_ = cell->prev_;
  }

  // The child's only thread, with the leaf locks already released.
  static void resetAllInChild() {
    for (SnapshotCellBase* cell = head; cell != nullptr; cell = cell->next_) {
      cell->resetInForkedChild();
    }
  }

  static inline constinit std::mutex mutex;
  static inline constinit SnapshotCellBase* head = nullptr;
};

namespace {
// Registered at load, after the leaf locks' handlers: their child handler
// (which releases the registry's lock) runs before this one.
[[maybe_unused]] const bool g_fork_reset_registered = [] {
  base::holdAcrossFork(SnapshotCellRegistry::mutex);
  pthread_atfork(nullptr, nullptr, &SnapshotCellRegistry::resetAllInChild);
  return true;
}();
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
  new (&writer_mutex_) std::mutex;
}

}  // namespace sentrel::internal
