// ProcFsProcessTable: /proc/<pid>/stat of every numeric entry of /proc.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <optional>

#include "platform/proc/process_table.h"

namespace sentrel::proc {
namespace {

struct StatFields {
  std::string_view command_name;  // points into the caller's buffer
  pid_t parent_pid = 0;
};

std::optional<pid_t> parsePid(std::string_view text) {
  pid_t pid = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), pid);
  if (error != std::errc() || end != text.data() + text.size() || pid <= 0) return std::nullopt;
  return pid;
}

// "<pid> (<comm>) <state> <ppid> ...". The name may itself hold ") ", so it
// ends at the LAST ')'.
std::optional<StatFields> parseStat(std::string_view text) {
  const size_t open = text.find('(');
  const size_t close = text.rfind(')');
  if (open == std::string_view::npos || close == std::string_view::npos || close < open) {
    return std::nullopt;
  }
  StatFields fields;
  fields.command_name = text.substr(open + 1, close - open - 1);
  std::string_view rest = text.substr(close + 1);  // " S 123 ..."
  if (rest.size() < 4 || rest[0] != ' ' || rest[2] != ' ') return std::nullopt;
  rest.remove_prefix(3);
  auto [end, error] = std::from_chars(rest.data(), rest.data() + rest.size(), fields.parent_pid);
  if (error != std::errc()) return std::nullopt;
  return fields;
}

// Reads the stat line of `pid` relative to the open /proc (or AT_FDCWD with
// an absolute name) into `buffer`.
std::optional<StatFields> readStat(int proc_fd, const char* name, char (&buffer)[512]) {
  const int fd = openat(proc_fd, name, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;  // the process ended meanwhile
  const ssize_t n = read(fd, buffer, sizeof buffer);
  close(fd);
  if (n <= 0) return std::nullopt;
  return parseStat(std::string_view(buffer, static_cast<size_t>(n)));
}

// Calls visit(pid, fields) for every process; false when /proc is unreadable.
template <class Visit>
bool walkProc(Visit&& visit) {
  DIR* dir = opendir("/proc");
  if (dir == nullptr) return false;
  const int proc_fd = dirfd(dir);
  char path[64];
  char buffer[512];
  while (const dirent* entry = readdir(dir)) {
    const std::optional<pid_t> pid = parsePid(entry->d_name);
    if (!pid) continue;
    std::snprintf(path, sizeof path, "%d/stat", *pid);
    if (std::optional<StatFields> fields = readStat(proc_fd, path, buffer)) visit(*pid, *fields);
  }
  closedir(dir);
  return true;
}

}  // namespace

pid_t ProcFsProcessTable::pidOfProcess(std::string_view name) const {
  pid_t found = 0;
  const bool read = walkProc([&](pid_t pid, const StatFields& fields) {
    if (fields.command_name == name) found = pid;  // keep going: the last match wins
  });
  return read ? found : -1;
}

pid_t ProcFsProcessTable::parentOf(pid_t pid) const {
  if (pid <= 0) return -1;
  char path[64];
  char buffer[512];
  std::snprintf(path, sizeof path, "/proc/%d/stat", pid);
  std::optional<StatFields> fields = readStat(AT_FDCWD, path, buffer);
  return fields ? fields->parent_pid : -1;
}

Result<std::vector<ProcessRecord>> ProcFsProcessTable::snapshot() const {
  std::vector<ProcessRecord> records;
  const bool read = walkProc([&](pid_t pid, const StatFields& fields) {
    records.push_back({std::string(fields.command_name), pid, fields.parent_pid});
  });
  if (!read) return Result<std::vector<ProcessRecord>>::Error("cannot read /proc");
  return records;
}

}  // namespace sentrel::proc
