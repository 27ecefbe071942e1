// The process table: which processes run, by command name and parent.
//
// A record is (command name, pid, parent pid). The command name is the
// kernel's short name of the executable as /proc/<pid>/comm shows it: at most
// kMaxCommandNameLength (15) bytes, longer names cut. Names are compared
// exactly, byte for byte, so a name longer than 15 bytes never matches.
//
// Backends:
//  - SharedProcessTable (shared_process_table.h): the processes of one device,
//    as the device's launchd publishes them in shared memory. This is what
//    the system asks (deviceProcessTable()).
//  - ProcFsProcessTable: every process of the machine, read from /proc.
//  - InMemoryProcessTable: records a test puts in.
//
// Every backend is thread-safe.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/mutex.h"
#include "platform/base/status.h"

namespace sentrel::proc {

inline constexpr size_t kMaxCommandNameLength = 15;

struct ProcessRecord {
  std::string command_name;  // at most kMaxCommandNameLength bytes
  pid_t pid = 0;
  pid_t parent_pid = 0;

  bool operator==(const ProcessRecord&) const = default;
};

// The kernel's short form of a name: its first kMaxCommandNameLength bytes.
std::string shortCommandName(std::string_view name);

class ProcessTable {
 public:
  virtual ~ProcessTable() = default;

  // The pid of the process whose command name is exactly `name`; when several
  // match, the one latest in table order. 0 when none matches, -1 when the
  // table cannot be read.
  virtual pid_t pidOfProcess(std::string_view name) const = 0;

  // The parent pid of `pid`; -1 when the process is not in the table or the
  // table cannot be read.
  virtual pid_t parentOf(pid_t pid) const = 0;

  // Every record, in table order. An error when the table cannot be read.
  virtual Result<std::vector<ProcessRecord>> snapshot() const = 0;
};

// The table of the device this process belongs to: a SharedProcessTable for
// paths::deviceRoot() as it is at the first call (a process belongs to one
// device; tests that switch roots build their own SharedProcessTable or
// install a table through an env::Environment).
// Never fails; without a running launchd the table is empty. Safe from any
// thread, in a child after fork() too; the object lives as long as the process.
ProcessTable& deviceProcessTable();

// Makes deviceProcessTable() return `table` (nullptr: the real one again) and
// returns the previous override. `table` must outlive its installation.
// Only env::ScopedEnvironment (and the table's own tests) call it.
ProcessTable* setDeviceProcessTable(ProcessTable* table);

// Every process of the machine, from /proc, walked afresh on each call in
// /proc's directory order (ascending pids). -1 / an error when /proc cannot
// be read. Slow (a few hundred microseconds per call): for tools and as a
// baseline, not for hot paths.
class ProcFsProcessTable final : public ProcessTable {
 public:
  pid_t pidOfProcess(std::string_view name) const override;
  pid_t parentOf(pid_t pid) const override;
  Result<std::vector<ProcessRecord>> snapshot() const override;
};

// Records held in memory, in insertion order. Thread-safe.
class InMemoryProcessTable final : public ProcessTable {
 public:
  // Appends a record; the name is cut to its short form. A record with the
  // same pid is replaced (and moves to the end).
  void add(pid_t pid, pid_t parent_pid, std::string_view command_name);
  void remove(pid_t pid);
  void clear();
  // While set, every query fails as an unreadable table would (-1 / error).
  void setUnreadable(bool unreadable);

  pid_t pidOfProcess(std::string_view name) const override;
  pid_t parentOf(pid_t pid) const override;
  Result<std::vector<ProcessRecord>> snapshot() const override;

 private:
  mutable Mutex mutex_;
  std::vector<ProcessRecord> records_ GUARDED_BY(mutex_);
  bool unreadable_ GUARDED_BY(mutex_) = false;
};

}  // namespace sentrel::proc
