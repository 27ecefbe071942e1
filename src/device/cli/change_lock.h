// One CLI change of the settings at a time.
//
// A change reads the settings, edits its copy, hands the whole document to
// SpringBoard and waits until the file shows the edit. Two changes at once
// would each hand over a document without the other's edit, and the one
// SpringBoard writes last would undo the other although both were
// confirmed. Every change therefore holds a ChangeLock, an exclusive lock
// (flock) on "/var/run/sentrel/settings-change.lock" of the device, from
// before its read until its confirmation. The kernel drops the lock when the
// process ends, however it ends, so a killed command never keeps it.
//
// Thread affinity: one thread holds a lock; it is released when the object
// is destroyed.
#pragma once

#include <chrono>
#include <filesystem>
#include <memory>

#include "platform/base/status.h"

namespace sentrel::cli {

inline constexpr const char* kChangeLockPath = "/var/run/sentrel/settings-change.lock";

class ChangeLock {
 public:
  // Takes the lock of the device at `root`, waiting while another change
  // holds it, until `deadline`. Fails, saying why, when the lock file cannot
  // be opened or the deadline passes first.
  static Result<std::unique_ptr<ChangeLock>> acquire(
      const std::filesystem::path& root, std::chrono::steady_clock::time_point deadline);

  ~ChangeLock();
  ChangeLock(const ChangeLock&) = delete;
  ChangeLock& operator=(const ChangeLock&) = delete;

 private:
  explicit ChangeLock(int fd) : fd_(fd) {}

  int fd_;  // the open lock file, locked
};

}  // namespace sentrel::cli
