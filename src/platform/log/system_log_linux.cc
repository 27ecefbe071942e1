// The default sink: syslog under "Sentrel" and the device's log file.
#include <fcntl.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "platform/base/fork_registry.h"
#include "platform/base/mutex.h"
#include "platform/log/internal/default_sink.h"
#include "platform/paths/device_paths.h"

namespace sentrel::log::internal {
namespace {

// glibc's syslog() and localtime_r() take process-wide locks that fork()
// leaves as they were: a child forked while another thread was inside either
// would hang at its first log line. Our calls into them go through this leaf
// lock, which is held across fork().
Mutex g_libc_mutex;
bool g_syslog_opened GUARDED_BY(g_libc_mutex) = false;
[[maybe_unused]] const bool g_libc_mutex_guarded = (base::holdAcrossFork(g_libc_mutex), true);

int syslogPriority(Level level) {
  switch (level) {
    case Level::kDebug:
      return LOG_DEBUG;
    case Level::kInfo:
      return LOG_INFO;
    case Level::kWarning:
      return LOG_WARNING;
    case Level::kError:
      return LOG_ERR;
  }
  return LOG_INFO;
}

// The main thread's command name, read at each line: it changes with exec()
// and prctl(PR_SET_NAME), and /proc/self/comm names the process, not the
// calling thread.
std::string processName() {
  char buf[64];
  int fd = open("/proc/self/comm", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return "?";
  ssize_t n;
  do {
    n = read(fd, buf, sizeof buf);
  } while (n < 0 && errno == EINTR);
  close(fd);
  if (n <= 0) return "?";
  std::string name(buf, static_cast<size_t>(n));
  while (!name.empty() && name.back() == '\n') name.pop_back();
  return name;
}

class DefaultSink final : public Sink {
 public:
  void write(Level level, std::string_view text) override {
    // LOG_PID: glibc takes getpid() per message, so the pid is right after a
    // fork. No LOG_CONS and no LOG_PERROR: the host program's terminal and
    // stderr are not ours.
    {
      MutexLock lock(g_libc_mutex);
      if (!g_syslog_opened) {
        openlog("Sentrel", LOG_PID, LOG_USER);
        g_syslog_opened = true;
      }
      syslog(syslogPriority(level), "%.*s", static_cast<int>(text.size()), text.data());
    }
    appendToDeviceLog(text);
  }

 private:
  // Opened per line rather than cached: the descriptor would otherwise be
  // shared with fork()ed children, outlive a change of device root and keep a
  // rotated file alive. O_APPEND makes each single write() land whole at the
  // end, even with several processes appending.
  static void appendToDeviceLog(std::string_view text) {
    std::string path =
        (paths::resolve(paths::kLogDir) / "system.log").string();  // no folder is ever created
    std::string entry = formatFileLine(processName(), static_cast<int>(getpid()), text);
    entry += '\n';
    int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0644);
    if (fd < 0) return;  // no device log folder: syslog alone
    ssize_t n;
    do {
      n = ::write(fd, entry.data(), entry.size());
    } while (n < 0 && errno == EINTR);
    close(fd);
  }
};

}  // namespace

namespace {

// Built before any code runs (constant initialisation) and never destroyed:
// lines may come during exit, and a lazily built sink would let a fork()
// copy its construction guard half-taken by another thread, so that the
// child waited for ever at its first line.
union DefaultSinkHolder {
  constexpr DefaultSinkHolder() : sink() {}
  ~DefaultSinkHolder() {}
  DefaultSink sink;
};
constinit DefaultSinkHolder g_default_sink;

}  // namespace

Sink& defaultSink() {
  return g_default_sink.sink;
}

std::string formatFileLine(std::string_view process_name, int pid, std::string_view text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm local{};
  {
    MutexLock lock(g_libc_mutex);
    localtime_r(&now.tv_sec, &local);
  }
  char stamp[48];
  size_t len = strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
  snprintf(stamp + len, sizeof stamp - len, ".%03ld", now.tv_nsec / 1000000);
  std::string out;
  out.reserve(64 + process_name.size() + text.size());
  out += stamp;
  out += ' ';
  out += process_name;
  out += '[';
  out += std::to_string(pid);
  out += "] ";
  out += text;
  return out;
}

}  // namespace sentrel::log::internal
