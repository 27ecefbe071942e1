// A shared_ptr slot that many threads read while one thread at a time
// replaces it: the firewall's documents and the process firewall itself live
// in one.
//
// Readers never lock and never wait: load() is two counter updates around a
// reference-count increment, however many writers there are. A writer swaps
// the pointer and then waits for the readers that may still be copying the
// old one (a handful of instructions each) before it lets go of it: a two-
// phase grace period in the manner of sleepable RCU. Writers are serialised
// among themselves.
//
// Why not std::atomic<std::shared_ptr>: the libstdc++ we build with
// implements it with a lock bit that ThreadSanitizer cannot see, so every
// concurrent load/store pair is reported as a race.
//
// fork(): a child copies the reader counts and the writer lock as they were,
// with the parent's other threads perhaps inside load() or store(). Those
// threads do not exist in the child, whose first store() would then wait for
// them for ever. Every live cell is therefore reset in the child.
#pragma once

#include <atomic>
#include <memory>
#include <thread>
#include <utility>
#include "platform/base/mutex.h"

namespace sentrel::internal {

// The grace-period state shared by every cell, and the registry of live
// cells that fork() resets (firewall_snapshot.cc).
class SnapshotCellBase {
 protected:
  SnapshotCellBase();
  ~SnapshotCellBase();
  SnapshotCellBase(const SnapshotCellBase&) = delete;
  SnapshotCellBase& operator=(const SnapshotCellBase&) = delete;

  // Flips the epoch twice and waits for each side to drain. A reader that
  // can still hold the old slot counted itself on one of the two sides
  // before it read the slot, so once both sides were seen empty after the
  // swap, nobody reads the old slot any more.
  void awaitReaders() {
    for (int phase = 0; phase < 2; ++phase) {
      const unsigned epoch = epoch_.load();
      epoch_.store(epoch + 1);
      while (readers_[epoch & 1u].load() != 0) std::this_thread::yield();
    }
  }

  mutable std::atomic<unsigned> epoch_{0};         // low bit: the side new readers count on
  mutable std::atomic<long> readers_[2] = {0, 0};  // readers inside load(), per side
  Mutex writer_mutex_;                             // serialises store()

 private:
  friend struct SnapshotCellRegistry;
  void resetInForkedChild();

  SnapshotCellBase* prev_ = nullptr;  // the registry's list; guarded by its lock
  SnapshotCellBase* next_ = nullptr;
};

template <class T>
class SnapshotCell : private SnapshotCellBase {
 public:
  explicit SnapshotCell(std::shared_ptr<T> initial = nullptr)
      : slot_(new std::shared_ptr<T>(std::move(initial))) {}
  // REQUIRES: no reader or writer is running.
  ~SnapshotCell() { delete slot_.load(); }

  // The value stored last (or one stored concurrently). Any thread.
  std::shared_ptr<T> load() const {
    const unsigned side = epoch_.load() & 1u;
    readers_[side].fetch_add(1);
    std::shared_ptr<T> copy = *slot_.load();
    readers_[side].fetch_sub(1);
    return copy;
  }

  // Makes `next` the stored value. Any thread; blocks only for readers that
  // are inside load() right now. The previous value is released after the
  // swap, outside any lock, so its destructor may do anything but call
  // store() on this same cell.
  void store(std::shared_ptr<T> next) {
    auto* fresh = new std::shared_ptr<T>(std::move(next));
    std::shared_ptr<T>* old = nullptr;
    {
      MutexLock lock(writer_mutex_);
      old = slot_.exchange(fresh);
      awaitReaders();
    }
    delete old;
  }

 private:
  std::atomic<std::shared_ptr<T>*> slot_;  // owned; replaced by store()
};

}  // namespace sentrel::internal
