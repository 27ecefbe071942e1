// The device's process table in shared memory.
//
// The device's launchd starts every device process and publishes the table
// in a file under the device root, sharedProcessTablePath(root), which every
// reader maps. One publisher writes, any number of processes read:
//
//  - Writes are guarded by a sequence lock. Readers never lock, allocate or
//    wait for the writer: they read, check that the sequence did not move,
//    and read again if it did. A look-up is a hash probe (tens of
//    nanoseconds, whatever the number of records).
//  - The publisher's pid is in the file. A reader takes the table only if
//    that process is alive when it opens the file; a table that its
//    publisher closed (or that a new publisher replaced) reads as empty.
//  - Without a live table (no launchd running) the table is empty:
//    pidOfProcess() is 0, parentOf() -1, snapshot() empty.
//
// The file is outside input: a reader checks every size and index it reads
// from it and never reads past the mapping.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string_view>
#include <vector>

#include "platform/base/mutex.h"
#include "platform/base/status.h"
#include "platform/proc/process_table.h"

namespace sentrel::proc {

namespace internal {
struct Mapping;
enum class ReadOutcome;
}  // namespace internal

inline constexpr size_t kDefaultProcessTableCapacity = 4096;
inline constexpr size_t kMaxProcessTableCapacity = 1 << 16;

// "<root>/var/run/sentrel/proctable".
std::filesystem::path sharedProcessTablePath(const std::filesystem::path& root);

// Reads the table of the device at `root`. Thread-safe; queries may run on
// any thread and in a child after fork() (the mapping is inherited).
//
// The file is opened lazily, on the first query. While no live table is
// mapped, a query tries to open it again at most once per reopen_interval
// (a few system calls; a query never waits for another thread doing so) and
// otherwise costs nothing. A table closed by its publisher is noticed on the
// next query.
class SharedProcessTable final : public ProcessTable {
 public:
  struct Options {
    std::chrono::nanoseconds reopen_interval = std::chrono::milliseconds(250);
  };

  explicit SharedProcessTable(std::filesystem::path root);
  SharedProcessTable(std::filesystem::path root, Options options);
  ~SharedProcessTable() override;
  SharedProcessTable(const SharedProcessTable&) = delete;
  SharedProcessTable& operator=(const SharedProcessTable&) = delete;

  // -1 / an error only when the table is mapped but stays inconsistent for
  // long (its publisher died in the middle of a change).
  pid_t pidOfProcess(std::string_view name) const override;
  pid_t parentOf(pid_t pid) const override;
  Result<std::vector<ProcessRecord>> snapshot() const override;

  // Whether a live table is mapped now (opening it if due).
  bool isLive() const;

 private:
  const internal::Mapping* current() const;
  const internal::Mapping* tryOpen() const;
  void retire(const internal::Mapping* mapping) const;
  template <class Read>
  internal::ReadOutcome readLive(Read&& read) const;

  const std::filesystem::path path_;
  const Options options_;
  mutable std::atomic<const internal::Mapping*> live_{nullptr};
  mutable std::atomic<int64_t> next_open_ns_{0};  // monotonic time of the next open attempt
  mutable std::atomic<pid_t> opener_{0};  // pid of the process whose thread is opening, else 0
  // Every mapping ever made live, unmapped only by the destructor so that a
  // reader that loaded a pointer just before it was retired stays safe.
  // Changed only by the thread that set opener_ to its pid (a spin lock the
  // analysis does not know).
  mutable std::vector<std::unique_ptr<internal::Mapping>> mappings_;
};

// The writing side, used by the device's launchd. Thread-safe (one internal
// lock); there must be one publisher per device at a time.
//
// Contract with launchd: add a process right after spawning it and remove it
// BEFORE reaping it (waitpid). Until it is reaped the kernel does not reuse
// its pid, so every pid in the table always names a process of this device
// (alive or a zombie), and the device's kill/killall never signal a foreign
// process that happened to get a recycled pid.
class ProcessTablePublisher {
 public:
  // Creates a fresh, empty table for the device at `root` and makes it the
  // device's table (atomically replacing the file; a previous table is
  // marked closed first so that its readers let go of it).
  // REQUIRES: 0 < capacity <= kMaxProcessTableCapacity.
  static Result<std::unique_ptr<ProcessTablePublisher>> create(
      const std::filesystem::path& root, size_t capacity = kDefaultProcessTableCapacity);

  // Marks the table closed: readers see it empty from then on. The file stays
  // (a successor may already have replaced it).
  ~ProcessTablePublisher();
  ProcessTablePublisher(const ProcessTablePublisher&) = delete;
  ProcessTablePublisher& operator=(const ProcessTablePublisher&) = delete;

  // Appends a record; the name is cut to its short form. A record with the
  // same pid is replaced and moves to the end. When the table is full the
  // record is refused: logged, and an error returned; nothing changes.
  // An error too for pid <= 0 or parent_pid < 0.
  Status add(pid_t pid, pid_t parent_pid, std::string_view command_name);
  // Removes the record of `pid`; false when there is none.
  bool remove(pid_t pid);
  void clear();

  size_t size() const;
  size_t capacity() const;
  const std::filesystem::path& path() const { return path_; }

 private:
  ProcessTablePublisher(std::filesystem::path path, std::unique_ptr<internal::Mapping> mapping);

  const std::filesystem::path path_;
  mutable Mutex mutex_;
  std::unique_ptr<internal::Mapping> mapping_;  // writes guarded by mutex_
};

}  // namespace sentrel::proc
