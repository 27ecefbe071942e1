#include "platform/notify/device_bus.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <system_error>
#include <vector>

#include "platform/paths/device_paths.h"
#include "platform/spawn/spawn.h"

namespace sentrel::notify {
namespace {

constexpr int kStartTimeoutMs = 10'000;
constexpr int kStopGraceMs = 5'000;

// D-Bus address values: bytes outside a small safe set are %-escaped.
std::string escapeAddressValue(const std::string& value) {
  static const char* hex = "0123456789abcdef";
  std::string out;
  for (unsigned char c : value) {
    if (isalnum(c) || strchr("-_/.\\*", c) != nullptr) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

std::string escapeXml(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&apos;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string configText(const std::string& address) {
  return R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<!-- Generated for one Sentrel device each time its bus starts; edits are lost. -->
<busconfig>
  <type>sentrel-device</type>
  <listen>)" +
         escapeXml(address) +
         R"(</listen>
  <auth>EXTERNAL</auth>
  <!-- Only the user running the bus may connect (the daemon's default when no
       user is allowed explicitly). Peers may send to and own anything; nobody
       eavesdrops. There are no activatable services. -->
  <policy context="default">
    <allow send_destination="*" eavesdrop="false"/>
    <allow receive_sender="*"/>
    <allow own="*"/>
  </policy>
  <!-- A settings document is the largest payload; keep well above it while
       bounding what one peer can make the daemon hold. -->
  <limit name="max_message_size">33554432</limit>
  <limit name="max_incoming_bytes">134217728</limit>
  <limit name="max_outgoing_bytes">134217728</limit>
  <limit name="max_message_unix_fds">16</limit>
  <limit name="max_incoming_unix_fds">64</limit>
  <limit name="max_outgoing_unix_fds">64</limit>
  <limit name="auth_timeout">30000</limit>
  <limit name="pending_fd_timeout">30000</limit>
  <limit name="max_completed_connections">2048</limit>
  <limit name="max_incomplete_connections">64</limit>
  <limit name="max_connections_per_user">2048</limit>
  <limit name="max_pending_service_starts">16</limit>
  <limit name="max_names_per_connection">64</limit>
  <limit name="max_match_rules_per_connection">4096</limit>
  <limit name="max_replies_per_connection">1024</limit>
</busconfig>
)";
}

// True when something accepts connections on the unix socket `path`.
bool socketAnswers(const std::filesystem::path& path) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
  bool answered = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
  close(fd);
  return answered;
}

std::string exitText(int status) {
  if (WIFEXITED(status)) return "exited with status " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return std::string("was killed by ") + strsignal(WTERMSIG(status));
  return "ended";
}

int pidfdOpen(pid_t pid) {
  return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}

// Waits up to `timeout_ms` for `pid` to exit (without reaping it).
bool waitForExit(int pidfd, int timeout_ms) {
  pollfd p{pidfd, POLLIN, 0};
  for (;;) {
    int r = poll(&p, 1, timeout_ms);
    if (r < 0 && errno == EINTR) continue;
    return r > 0;
  }
}

void killAndReap(pid_t pid) {
  kill(pid, SIGKILL);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

// Reads the address line the daemon prints once it listens. Fails on EOF
// (the daemon died) or after the start timeout.
Status readReadyLine(int fd) {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(kStartTimeoutMs);
  std::string line;
  while (line.find('\n') == std::string::npos) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return Status::Error("dbus-daemon did not become ready within 10 s");
    pollfd p{fd, POLLIN, 0};
    int r = poll(&p, 1, static_cast<int>(left.count()));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return Status::FromErrno("poll", errno);
    if (r == 0) continue;
    char buf[512];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return Status::Error("dbus-daemon ended before the bus was ready");
    line.append(buf, static_cast<size_t>(n));
  }
  return Status::Ok();
}

}  // namespace

std::filesystem::path busSocketPath(const std::filesystem::path& root) {
  return paths::resolveUnder(root, kBusSocketDevicePath);
}

std::string busAddressForRoot(const std::filesystem::path& root) {
  return "unix:path=" + escapeAddressValue(busSocketPath(root).string());
}

Result<pid_t> startDeviceBus(const std::filesystem::path& root) {
  const std::filesystem::path socket_path = busSocketPath(root);
  if (socket_path.string().size() >= sizeof(sockaddr_un::sun_path)) {
    return Result<pid_t>::Error("the bus socket path " + socket_path.string() +
                                " is too long for a unix socket; use a shorter device root");
  }
  std::error_code ec;
  std::filesystem::create_directories(socket_path.parent_path(), ec);
  if (ec)
    return Result<pid_t>::Error("cannot create " + socket_path.parent_path().string() + ": " +
                                ec.message());
  // Only the device's user may reach the bus: the folder is closed to
  // everyone else, and the socket too once the daemon made it.
  if (chmod(socket_path.parent_path().c_str(), 0700) != 0) {
    return Result<pid_t>::FromErrno("cannot restrict " + socket_path.parent_path().string(), errno);
  }
  // dbus-daemon silently replaces an existing socket file; never steal the
  // socket of a bus that is still serving this device.
  if (socketAnswers(socket_path)) {
    return Result<pid_t>::Error("a bus is already running for the device at " + root.string());
  }

  const std::filesystem::path config = paths::resolveUnder(root, kBusConfigDevicePath);
  {
    std::ofstream out(config, std::ios::trunc);
    out << configText(busAddressForRoot(root));
    out.close();
    if (!out) return Result<pid_t>::Error("cannot write " + config.string());
  }

  // The daemon reports readiness by printing its address to fd 3. The pipe
  // ends are kept above 3 so the dup2 below always clears close-on-exec.
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) return Result<pid_t>::FromErrno("pipe", errno);
  int read_fd = fcntl(pipe_fds[0], F_DUPFD_CLOEXEC, 10);
  int write_fd = fcntl(pipe_fds[1], F_DUPFD_CLOEXEC, 10);
  close(pipe_fds[0]);
  close(pipe_fds[1]);
  if (read_fd < 0 || write_fd < 0) {
    int err = errno;
    if (read_fd >= 0) close(read_fd);
    if (write_fd >= 0) close(write_fd);
    return Result<pid_t>::FromErrno("fcntl", err);
  }

  spawn::Options options;
  options.stdin_ = spawn::Stdio::devNull();
  options.extra_fds = {{write_fd, 3}};
  options.search_path = true;
  Result<pid_t> started = spawn::spawnProcess("dbus-daemon",
                                              {"dbus-daemon", "--config-file=" + config.string(),
                                               "--nofork", "--nopidfile", "--print-address=3"},
                                              options);
  close(write_fd);
  if (!started) {
    close(read_fd);
    return Result<pid_t>::Error(started.reason() +
                                " (the program comes with the Debian package dbus-daemon); the "
                                "device bus cannot start");
  }
  const pid_t pid = *started;

  Status ready = readReadyLine(read_fd);
  close(read_fd);
  if (!ready) {
    int status = 0;
    pid_t reaped = waitpid(pid, &status, WNOHANG);
    if (reaped == pid) return Result<pid_t>::Error(ready.reason() + ": it " + exitText(status));
    killAndReap(pid);
    return Result<pid_t>::Error(ready.reason());
  }
  if (chmod(socket_path.c_str(), 0600) != 0) {
    const int err = errno;
    killAndReap(pid);
    return Result<pid_t>::FromErrno("cannot restrict " + socket_path.string(), err);
  }
  return pid;
}

Status stopDeviceBus(pid_t pid, const std::filesystem::path& root) {
  if (pid <= 0) return Status::Error("no bus process to stop");
  int pidfd = pidfdOpen(pid);
  if (pidfd < 0) {
    if (errno == ESRCH) return Status::Ok();  // already gone and reaped
    return Status::FromErrno("cannot watch the bus process", errno);
  }
  kill(pid, SIGTERM);
  if (!waitForExit(pidfd, kStopGraceMs)) {
    kill(pid, SIGKILL);
    waitForExit(pidfd, kStopGraceMs);
  }
  close(pidfd);
  int status = 0;
  pid_t reaped;
  while ((reaped = waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
  }
  // A daemon that did not get to clean up leaves its socket behind. Only
  // when it was ours to reap: otherwise a new bus may own the socket by now.
  if (reaped == pid) {
    std::error_code ignored;
    std::filesystem::remove(busSocketPath(root), ignored);
  }
  return Status::Ok();
}

}  // namespace sentrel::notify
