// Captures the system log while it lives: installs a sink that records every
// line and restores the previous sink when destroyed. Captures nest (the
// innermost one sees the lines). Thread-safe: lines may arrive from any thread
// while the test reads them.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/base/mutex.h"
#include "platform/log/system_log.h"

namespace sentrel::testing {

class LogCapture final : public log::Sink {
 public:
  LogCapture();
  ~LogCapture() override;
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<std::string> lines() const;      // in arrival order
  bool contains(std::string_view text) const;  // some line contains `text`
  size_t count(std::string_view text) const;   // lines containing `text`
  std::vector<log::Level> levels() const;      // level of each line, same order
  void clear();

  void write(log::Level level, std::string_view text) override;

 private:
  mutable Mutex mutex_;
  std::vector<std::string> lines_ GUARDED_BY(mutex_);
  std::vector<log::Level> levels_ GUARDED_BY(mutex_);
  log::Sink* previous_;  // restored on destruction
};

}  // namespace sentrel::testing
