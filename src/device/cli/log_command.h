// `sentrel log [--follow] [--process NAME]`: shows the device's system log
// ("<root>/var/log/system.log", where launchd writes what every device
// process logged).
//
// --process NAME keeps the entries of processes whose command name is NAME
// (an entry's continuation lines go with it). --follow keeps showing new
// entries as they arrive until interrupted, and starts again from the top
// when the file is replaced or cut. On a terminal, the time is dimmed and the
// process name coloured.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace sentrel::cli {

extern const char* const kLogUsageText;

// `args` without "log". Writes to stdout and stderr.
int runLog(const std::filesystem::path& root, const std::vector<std::string>& args);

// One line of the log as `sentrel log` shows it. `entry_name` is the process
// name of the entry the line belongs to: set from a line that starts an
// entry ("2026-12-08 14:00:00.123 NAME[pid] text"), kept for the lines that
// continue it. Returns whether to show the line for `process` (empty: all);
// `out` gets the line, coloured when `colour`, without a newline.
bool formatLogLine(std::string_view line, std::string_view process, bool colour,
                   std::string* entry_name, std::string* out);

}  // namespace sentrel::cli
