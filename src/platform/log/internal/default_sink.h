// The default sink of the system log: syslog plus the device's log file.
// Private to src/platform/log.
#pragma once

#include <string>
#include <string_view>

#include "platform/log/system_log.h"

namespace sentrel::log::internal {

// The process-wide default sink. Lives as long as the process.
Sink& defaultSink();

// One line of the device log file, without the trailing newline:
// "2026-12-08 14:00:00.123 SpringBoard[412] text" (local time, milliseconds).
// Trailing newlines of `text` are dropped; inner ones are kept.
std::string formatFileLine(std::string_view process_name, int pid, std::string_view text);

}  // namespace sentrel::log::internal
