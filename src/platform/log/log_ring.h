// The device's log ring: how the lines of every device process reach the
// device's system log.
//
// launchd makes a ring in shared memory under the device root and drains it;
// every process of the device appends its lines to it (system_log.h). An
// append is one atomic reservation and a copy: no lock, no system call, no
// allocation, so it costs a connect() nothing noticeable, is safe in a signal
// handler, and leaves nothing half-taken for fork(). The drainer writes the
// lines to "<root>/var/log/system.log" and to syslog, in the order they were
// reserved, never torn. When the ring is full a line is dropped and counted;
// the drainer logs how many were lost.
//
// A process without a live ring (no device, or its launchd gone) logs as
// before: to syslog and, when the device's log folder exists, straight to
// the device's log file.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "platform/base/status.h"

namespace sentrel::log {

namespace internal {
struct RingHeader;
class RingReader;
}  // namespace internal

// "<root>/var/run/sentrel/logring".
std::filesystem::path logRingPath(const std::filesystem::path& root);

// The one reader of a device's ring (launchd). Not thread-safe: one thread
// calls drain().
class LogRingDrainer {
 public:
  // Makes a fresh ring for the device at `root`, replacing any previous one
  // (which is marked closed first, so that its writers let go of it). The
  // ring's folder must exist. `slot_count` slots of 256 bytes; a line takes
  // one slot per 248 bytes.
  static Result<std::unique_ptr<LogRingDrainer>> create(const std::filesystem::path& root,
                                                        uint32_t slot_count = 8192);

  // Drains what is left and marks the ring closed.
  ~LogRingDrainer();
  LogRingDrainer(const LogRingDrainer&) = delete;
  LogRingDrainer& operator=(const LogRingDrainer&) = delete;

  // Writes every whole line appended so far to the device's log file and to
  // syslog, and a line saying how many were lost when some were. Returns the
  // number of lines written (the loss line included).
  size_t drain();

 private:
  LogRingDrainer(std::filesystem::path root, void* block, size_t size);

  const std::filesystem::path root_;
  void* block_;
  size_t size_;
  std::unique_ptr<internal::RingReader> reader_;
};

}  // namespace sentrel::log
