#include "support/log_capture.h"
#include "platform/base/mutex.h"

namespace sentrel::testing {

LogCapture::LogCapture() : previous_(log::setSink(this)) {}

LogCapture::~LogCapture() {
  log::setSink(previous_);
}

std::vector<std::string> LogCapture::lines() const {
  MutexLock lock(mutex_);
  return lines_;
}

bool LogCapture::contains(std::string_view text) const {
  return count(text) > 0;
}

size_t LogCapture::count(std::string_view text) const {
  MutexLock lock(mutex_);
  size_t n = 0;
  for (const std::string& l : lines_) {
    if (l.find(text) != std::string::npos) ++n;
  }
  return n;
}

std::vector<log::Level> LogCapture::levels() const {
  MutexLock lock(mutex_);
  return levels_;
}

void LogCapture::clear() {
  MutexLock lock(mutex_);
  lines_.clear();
  levels_.clear();
}

void LogCapture::write(log::Level level, std::string_view text) {
  MutexLock lock(mutex_);
  lines_.emplace_back(text);
  levels_.push_back(level);
}

}  // namespace sentrel::testing
