#include "device/cli/log_command.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>

#include "device/cli/outcome.h"
#include "platform/paths/device_paths.h"

namespace sentrel::cli {

const char* const kLogUsageText = "       sentrel [--root DIR] log [--follow] [--process NAME]\n";

namespace {

constexpr std::string_view kStampShape = "dddd-dd-dd dd:dd:dd.ddd ";
constexpr const char* kDim = "\x1b[2m";
constexpr const char* kName = "\x1b[36m";
constexpr const char* kReset = "\x1b[m";
constexpr int kFollowPollMs = 200;

// Where the entry's "NAME[pid] " ends and its text starts; npos when `line`
// does not start an entry.
bool splitEntry(std::string_view line, std::string_view* stamp, std::string_view* name,
                std::string_view* pid, std::string_view* text) {
  if (line.size() < kStampShape.size()) return false;
  for (size_t i = 0; i < kStampShape.size(); ++i) {
    const bool ok = kStampShape[i] == 'd' ? std::isdigit(static_cast<unsigned char>(line[i])) != 0
                                          : line[i] == kStampShape[i];
    if (!ok) return false;
  }
  const size_t open = line.find('[', kStampShape.size());
  const size_t close = line.find("] ", open == std::string_view::npos ? line.size() : open);
  if (open == std::string_view::npos || close == std::string_view::npos) return false;
  std::string_view digits = line.substr(open + 1, close - open - 1);
  if (digits.empty() || digits.find_first_not_of("0123456789") != std::string_view::npos) {
    return false;
  }
  *stamp = line.substr(0, kStampShape.size() - 1);
  *name = line.substr(kStampShape.size(), open - kStampShape.size());
  *pid = digits;
  *text = line.substr(close + 2);
  return true;
}

// Shows the complete lines of `pending` and keeps a last partial one there.
void showLines(std::string* pending, std::string_view process, bool colour,
               std::string* entry_name) {
  size_t start = 0;
  std::string out;
  for (size_t end; (end = pending->find('\n', start)) != std::string::npos; start = end + 1) {
    if (formatLogLine(std::string_view(*pending).substr(start, end - start), process, colour,
                      entry_name, &out)) {
      std::fwrite(out.data(), 1, out.size(), stdout);
      std::fputc('\n', stdout);
    }
  }
  pending->erase(0, start);
  std::fflush(stdout);
}

// Appends what the file holds past `*offset`; starts again from the top when
// it was replaced or cut. False when it cannot be read.
bool readMore(const std::filesystem::path& file, off_t* offset, ino_t* inode,
              std::string* pending) {
  const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st {};
  if (fstat(fd, &st) == 0 && (st.st_ino != *inode || st.st_size < *offset)) {
    *inode = st.st_ino;
    *offset = 0;
    pending->clear();
  }
  char buffer[65536];
  for (;;) {
    const ssize_t n = pread(fd, buffer, sizeof buffer, *offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    pending->append(buffer, static_cast<size_t>(n));
    *offset += n;
  }
  close(fd);
  return true;
}

}  // namespace

bool formatLogLine(std::string_view line, std::string_view process, bool colour,
                   std::string* entry_name, std::string* out) {
  std::string_view stamp, name, pid, text;
  const bool starts_entry = splitEntry(line, &stamp, &name, &pid, &text);
  if (starts_entry) entry_name->assign(name);
  if (!process.empty() && *entry_name != process) return false;
  out->clear();
  if (!colour || !starts_entry) {
    out->assign(line);
    return true;
  }
  *out += kDim;
  *out += stamp;
  *out += kReset;
  *out += ' ';
  *out += kName;
  *out += name;
  *out += '[';
  *out += pid;
  *out += ']';
  *out += kReset;
  *out += ' ';
  *out += text;
  return true;
}

int runLog(const std::filesystem::path& root, const std::vector<std::string>& args) {
  bool follow = false;
  std::string process;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--follow" || args[i] == "-f") {
      follow = true;
    } else if (args[i] == "--process") {
      if (i + 1 >= args.size() || args[i + 1].empty()) return usage("--process needs a name");
      process = args[++i];
    } else {
      return usage("unknown log option " + args[i]);
    }
  }
  const std::filesystem::path file = paths::resolveUnder(root, paths::kLogDir) / "system.log";
  const bool colour = isatty(STDOUT_FILENO) != 0;
  off_t offset = 0;
  ino_t inode = 0;
  std::string pending;
  std::string entry_name;
  if (!readMore(file, &offset, &inode, &pending) && !follow) {
    return fail("no log at " + file.string());
  }
  showLines(&pending, process, colour, &entry_name);
  while (follow) {
    poll(nullptr, 0, kFollowPollMs);
    readMore(file, &offset, &inode, &pending);
    showLines(&pending, process, colour, &entry_name);
  }
  return kOk;
}

}  // namespace sentrel::cli
