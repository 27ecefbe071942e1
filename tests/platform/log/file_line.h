// Shared by the system log tests.
#pragma once

#include <cctype>
#include <optional>
#include <string>

namespace sentrel::log {

// One line of the device log file, taken apart:
// "2026-12-08 14:00:00.123 name[pid] text". Empty when it has another shape.
struct FileLine {
  std::string name;
  std::string pid;
  std::string text;
};
inline std::optional<FileLine> parseFileLine(const std::string& l) {
  const std::string shape = "dddd-dd-dd dd:dd:dd.ddd ";
  if (l.size() < shape.size()) return std::nullopt;
  for (size_t i = 0; i < shape.size(); ++i) {
    bool ok =
        shape[i] == 'd' ? std::isdigit(static_cast<unsigned char>(l[i])) != 0 : l[i] == shape[i];
    if (!ok) return std::nullopt;
  }
  size_t open = l.find('[', shape.size());
  size_t close = l.find("] ", open == std::string::npos ? l.size() : open);
  if (open == std::string::npos || close == std::string::npos || open == shape.size()) {
    return std::nullopt;
  }
  FileLine f{l.substr(shape.size(), open - shape.size()), l.substr(open + 1, close - open - 1),
             l.substr(close + 2)};
  if (f.pid.empty() || f.pid.find_first_not_of("0123456789") != std::string::npos) {
    return std::nullopt;
  }
  return f;
}

}  // namespace sentrel::log
