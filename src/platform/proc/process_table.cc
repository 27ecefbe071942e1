#include "platform/proc/process_table.h"

#include <algorithm>

#include "platform/base/mutex.h"
#include "platform/paths/device_paths.h"
#include "platform/proc/shared_process_table.h"

namespace sentrel::proc {
namespace {

std::atomic<ProcessTable*> g_override{nullptr};
// Created on first use and never destroyed, so that it stays valid for other
// threads during exit and in children after fork(). No function-local static:
// its guard could be held by a thread that does not exist in a forked child.
std::atomic<SharedProcessTable*> g_device_table{nullptr};

}  // namespace

std::string shortCommandName(std::string_view name) {
  return std::string(name.substr(0, kMaxCommandNameLength));
}

ProcessTable& deviceProcessTable() {
  if (ProcessTable* table = g_override.load(std::memory_order_acquire)) return *table;
  SharedProcessTable* table = g_device_table.load(std::memory_order_acquire);
  if (table != nullptr) return *table;
  auto* fresh = new SharedProcessTable(paths::deviceRoot());
  // Map the table before anyone can query it: a query that finds another
  // thread opening the table does not wait for it and reads an empty table.
  fresh->isLive();
  if (g_device_table.compare_exchange_strong(table, fresh, std::memory_order_acq_rel)) {
    return *fresh;
  }
  delete fresh;  // another thread was first; `table` now holds its table
  return *table;
}

ProcessTable* setDeviceProcessTable(ProcessTable* table) {
  return g_override.exchange(table, std::memory_order_acq_rel);
}

void InMemoryProcessTable::add(pid_t pid, pid_t parent_pid, std::string_view command_name) {
  MutexLock lock(mutex_);
  std::erase_if(records_, [pid](const ProcessRecord& r) { return r.pid == pid; });
  records_.push_back({shortCommandName(command_name), pid, parent_pid});
}

void InMemoryProcessTable::remove(pid_t pid) {
  MutexLock lock(mutex_);
  std::erase_if(records_, [pid](const ProcessRecord& r) { return r.pid == pid; });
}

void InMemoryProcessTable::clear() {
  MutexLock lock(mutex_);
  records_.clear();
}

void InMemoryProcessTable::setUnreadable(bool unreadable) {
  MutexLock lock(mutex_);
  unreadable_ = unreadable;
}

pid_t InMemoryProcessTable::pidOfProcess(std::string_view name) const {
  MutexLock lock(mutex_);
  if (unreadable_) return -1;
  auto it = std::find_if(records_.rbegin(), records_.rend(),
                         [name](const ProcessRecord& r) { return r.command_name == name; });
  return it == records_.rend() ? 0 : it->pid;
}

pid_t InMemoryProcessTable::parentOf(pid_t pid) const {
  MutexLock lock(mutex_);
  if (unreadable_) return -1;
  auto it = std::find_if(records_.begin(), records_.end(),
                         [pid](const ProcessRecord& r) { return r.pid == pid; });
  return it == records_.end() ? -1 : it->parent_pid;
}

Result<std::vector<ProcessRecord>> InMemoryProcessTable::snapshot() const {
  MutexLock lock(mutex_);
  if (unreadable_) return Result<std::vector<ProcessRecord>>::Error("process table unreadable");
  return records_;
}

}  // namespace sentrel::proc
