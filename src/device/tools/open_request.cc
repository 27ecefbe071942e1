#include "device/tools/open_request.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "device/tools/launchctl_protocol.h"
#include "platform/log/system_log.h"
#include "platform/paths/device_paths.h"
#include "platform/proc/shared_process_table.h"

namespace sentrel::tools {
namespace {

constexpr std::string_view kSuffix = ".request";

bool writeAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

// Names sort in request order: zero-padded wall-clock nanoseconds first.
std::string uniqueRequestName() {
  static std::atomic<unsigned> counter{0};
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  char name[96];
  std::snprintf(name, sizeof name, "%020lld-%d-%u",
                static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec,
                static_cast<int>(getpid()), counter.fetch_add(1));
  return std::string(name) + std::string(kSuffix);
}

// Reads a whole regular file of at most kMaxOpenRequestBytes; nullopt and a
// reason otherwise.
std::optional<std::string> readRequestFile(const std::filesystem::path& path, std::string& reason) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) {
    reason = Status::errnoText("cannot open");
    return std::nullopt;
  }
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
      st.st_size > static_cast<off_t>(kMaxOpenRequestBytes)) {
    close(fd);
    reason = "not a regular file of at most " + std::to_string(kMaxOpenRequestBytes) + " bytes";
    return std::nullopt;
  }
  std::string text;
  char buffer[4096];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      reason = Status::errnoText("cannot read");
      close(fd);
      return std::nullopt;
    }
    if (n == 0) break;
    text.append(buffer, static_cast<size_t>(n));
    if (text.size() > kMaxOpenRequestBytes) {  // grew since fstat
      reason = "larger than " + std::to_string(kMaxOpenRequestBytes) + " bytes";
      close(fd);
      return std::nullopt;
    }
  }
  close(fd);
  return text;
}

}  // namespace

bool isValidBundleId(std::string_view bundle_id) {
  if (bundle_id.empty() || bundle_id.size() > 255) return false;
  return std::all_of(bundle_id.begin(), bundle_id.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '-' || c == '_';
  });
}

Status validateOpenRequest(const OpenRequest& request) {
  if (!isValidBundleId(request.bundle_id)) {
    return Status::Error("not a bundle id: \"" + request.bundle_id + "\"");
  }
  size_t bytes = request.bundle_id.size() + 1;
  for (const std::string& arg : request.args) {
    if (arg.find_first_of(std::string_view("\n\0", 2)) != std::string::npos) {
      return Status::Error("an argument holds a line break or NUL byte");
    }
    bytes += arg.size() + 1;
  }
  if (bytes > kMaxOpenRequestBytes) return Status::Error("arguments too long");
  return Status::Ok();
}

std::string formatOpenRequest(const OpenRequest& request) {
  std::string text = request.bundle_id + "\n";
  for (const std::string& arg : request.args) text += arg + "\n";
  return text;
}

std::optional<OpenRequest> parseOpenRequest(std::string_view text) {
  if (text.empty() || text.size() > kMaxOpenRequestBytes || text.back() != '\n') {
    return std::nullopt;  // empty, oversized or cut short
  }
  OpenRequest request;
  bool first = true;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end + 1);
    if (first) {
      if (!isValidBundleId(line)) return std::nullopt;
      request.bundle_id = std::string(line);
      first = false;
    } else {
      if (line.find('\0') != std::string_view::npos) return std::nullopt;
      request.args.emplace_back(line);
    }
  }
  return request;
}

Status requestOpen(const std::filesystem::path& root, std::string bundle_id,
                   std::vector<std::string> args) {
  const OpenRequest request{std::move(bundle_id), std::move(args)};
  if (Status valid = validateOpenRequest(request); !valid) return valid;
  // A request with nobody to take it would launch the app at some later,
  // unrelated start of the device: refuse it instead.
  const pid_t launchd = proc::SharedProcessTable(root).pidOfProcess(kLaunchdCommandName);
  if (launchd <= 0) return Status::Error("launchd is not running on this device");

  const std::filesystem::path spool = paths::resolveUnder(root, kOpenSpoolDir);
  std::error_code ec;
  std::filesystem::create_directories(spool, ec);
  if (ec) return Status::Error("cannot create " + spool.string() + ": " + ec.message());
  const std::string name = uniqueRequestName();
  const std::filesystem::path final_path = spool / name;
  const std::filesystem::path temp_path = spool / ("." + name + ".tmp");
  const int fd = open(temp_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return Status::FromErrno("cannot create " + temp_path.string());
  const bool written = writeAll(fd, formatOpenRequest(request));
  if (close(fd) != 0 || !written) {
    const std::string reason = Status::errnoText("cannot write " + temp_path.string());
    unlink(temp_path.c_str());
    return Status::Error(reason);
  }
  if (rename(temp_path.c_str(), final_path.c_str()) != 0) {
    const std::string reason = Status::errnoText("cannot publish " + final_path.string());
    unlink(temp_path.c_str());
    return Status::Error(reason);
  }
  if (kill(launchd, kOpenRequestSignal) != 0) {
    const std::string reason =
        Status::errnoText("cannot signal launchd (" + std::to_string(launchd) + ")");
    unlink(final_path.c_str());
    return Status::Error(reason);
  }
  return Status::Ok();
}

std::vector<OpenRequest> drainOpenRequests(const std::filesystem::path& root) {
  const std::filesystem::path spool = paths::resolveUnder(root, kOpenSpoolDir);
  std::vector<std::string> names;
  std::error_code ec;
  for (std::filesystem::directory_iterator it(spool, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (!name.starts_with(".") && name.ends_with(kSuffix)) names.push_back(name);
  }
  std::sort(names.begin(), names.end());

  std::vector<OpenRequest> requests;
  for (const std::string& name : names) {
    const std::filesystem::path path = spool / name;
    std::string reason;
    std::optional<std::string> text = readRequestFile(path, reason);
    // Whoever removes the file owns the request; a failed unlink means another
    // drainer took it.
    if (unlink(path.c_str()) != 0) continue;
    if (!text) {
      log::linef("open request %s dropped: %s", name.c_str(), reason.c_str());
      continue;
    }
    std::optional<OpenRequest> request = parseOpenRequest(*text);
    if (!request) {
      log::linef("open request %s dropped: malformed", name.c_str());
      continue;
    }
    requests.push_back(std::move(*request));
  }
  return requests;
}

}  // namespace sentrel::tools
