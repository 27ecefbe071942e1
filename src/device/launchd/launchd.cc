#include "device/launchd/launchd.h"

#include <fcntl.h>
#include <link.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/poll.h>
#include <sys/prctl.h>
#include <sys/random.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "device/launchd/connect_decider.h"
#include "device/launchd/control.h"
#include "device/launchd/device_layout.h"
#include "device/tools/launchctl_protocol.h"
#include "device/tools/open_request.h"
#include "platform/apps/installed_apps.h"
#include "platform/log/log_ring.h"
#include "platform/log/system_log.h"
#include "platform/notify/device_bus.h"
#include "platform/paths/device_paths.h"
#include "platform/plist/plist_codec.h"
#include "platform/plist/value.h"
#include "platform/proc/shared_process_table.h"
#include "platform/runloop/run_loop.h"
#include "platform/spawn/spawn.h"
#include "platform/supervise/connect_filter.h"
#include "platform/supervise/connect_supervisor.h"

namespace sentrel::device {
namespace {

using plist::Value;
using Clock = std::chrono::steady_clock;

constexpr auto kQuickDeath = std::chrono::seconds(2);
constexpr auto kMaxRestartDelay = std::chrono::seconds(10);
constexpr auto kKillGrace = std::chrono::seconds(5);
constexpr auto kLogDrainInterval = std::chrono::milliseconds(20);

void logf(const std::string& text) {
  log::line("launchd: " + text);
}

Value errorReply(const std::string& reason) {
  return Value::dictOf({{"ok", Value::boolean(false)}, {"error", Value::string(reason)}});
}

// A process launchd keeps running.
struct Service {
  std::string name;                      // its command name
  std::function<Result<pid_t>()> start;  // starts it; the pid is a child of launchd
  pid_t pid = 0;                         // 0 while not running
  Clock::time_point started{};
  int quick_deaths = 0;  // deaths in a row soon after a start
  bool restart_pending = false;
  // The device cannot run without it; a service that is not essential
  // (the screen) may be down while the device goes on.
  bool essential = true;
};

// The tweak's resource bundle, as its package names it.
constexpr const char* kTweakResourceBundleName = "ca.kelmora.sentrel.bundle";

// Where SpringBoard's bundle lives on the device.
constexpr const char* kSpringBoardBundlePath = "/System/Library/CoreServices/SpringBoard.app";

// LD_PRELOAD for the device's processes: the device's injector beside the
// programs (<programs>/../lib/libinject.so), which loads the tweak library
// beside it (libSentrel.so) when a process needs it, after the sanitizer
// runtimes this build runs with, which must come first in a program that was
// not built with them. Empty when either library is missing.
std::string injectionPreload(const std::filesystem::path& programs_dir) {
  const std::filesystem::path libraries = programs_dir.parent_path() / "lib";
  const std::filesystem::path library = libraries / "libinject.so";
  if (!std::filesystem::exists(library) || !std::filesystem::exists(libraries / "libSentrel.so")) {
    return "";
  }
  std::string preload;
  dl_iterate_phdr(
      [](dl_phdr_info* info, size_t, void* data) {
        const std::string name = info->dlpi_name ? info->dlpi_name : "";
        for (const char* runtime : {"libasan.so", "libtsan.so", "libubsan.so"}) {
          if (name.find(runtime) != std::string::npos) {
            *static_cast<std::string*>(data) += name + ":";
          }
        }
        return 0;
      },
      &preload);
  return preload + library.string();
}

// An app launched on request.
struct LaunchedApp {
  std::string bundle_id;
  int waiting_client = -1;  // control connection told of the exit, or -1
};

enum class Phase { kRunning, kRebooting, kStopping };

class Launchd {
 public:
  explicit Launchd(const LaunchdOptions& options) : options_(options), root_(options.root) {}

  ~Launchd() {
    for (auto& [fd, watch] : clients_) {
      loop_.unwatchFd(watch);
      close(fd);
    }
    if (listen_fd_ >= 0) {
      loop_.unwatchFd(listen_watch_);
      close(listen_fd_);
      unlink(controlSocketPath(root_).c_str());
    }
    if (signal_fd_ >= 0) {
      loop_.unwatchFd(signal_watch_);
      close(signal_fd_);
    }
    table_.reset();     // marks the table closed: readers see an empty device
    log_ring_.reset();  // writes out what is left; processes log to the file again
    if (lock_fd_ >= 0) close(lock_fd_);
  }

  int run() {
    Status ready = setUp();
    tellReady(ready);
    if (!ready) {
      logf("cannot start: " + ready.reason());
      return 1;
    }
    logf("device started at " + root_.string());
    drainOpenSpool();
    loop_.run();
    logf("device stopped");
    return 0;
  }

 private:
  Status setUp() {
    paths::setDeviceRoot(root_);
    // No app reads launchd's memory or takes its descriptors (the
    // supervisor's listeners), and every process an app leaves behind stays
    // launchd's descendant, whose memory the supervisor may read.
    if (prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) != 0) logf("cannot make launchd undumpable");
    if (prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0) logf("cannot make launchd a subreaper");
    if (Status s = prepareDeviceRoot(root_); !s) return s;

    std::filesystem::path lock = paths::resolveUnder(root_, paths::kRunDir) / "launchd.lock";
    lock_fd_ = open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lock_fd_ < 0) return Status::FromErrno("cannot open " + lock.string());
    if (flock(lock_fd_, LOCK_EX | LOCK_NB) != 0) {
      return Status::Error("a device is already running at " + root_.string());
    }

    // Before anything else starts: every device process appends to the ring.
    auto ring = log::LogRingDrainer::create(root_);
    if (ring) {
      log_ring_ = std::move(ring).value();
      scheduleLogDrain();
    } else {
      logf("no log ring, processes log straight to the log file: " + ring.reason());
    }

    auto table = proc::ProcessTablePublisher::create(root_);
    if (!table) return table.status();
    table_ = std::move(table).value();
    if (Status s = table_->add(getpid(), getppid(), tools::kLaunchdCommandName); !s) return s;

    if (Status s = watchSignals(); !s) return s;
    if (Status s = listenForControl(); !s) return s;

    launch_helper_ = options_.programs_dir / "sentrel-launch";
    if (access(launch_helper_.c_str(), X_OK) != 0) {
      logf("no launch helper at " + launch_helper_.string() +
           ": apps start without the supervisor, only the injected library decides for them");
      launch_helper_.clear();
    }
    preload_ = injectionPreload(options_.programs_dir);
    sanitized_ = preload_.find(':') != std::string::npos;
    if (preload_.empty()) logf("no tweak library beside launchd: processes start without it");
    services_.push_back(
        Service{"dbus-daemon", [root = root_] { return notify::startDeviceBus(root); }});
    // The screen comes up before SpringBoard, whose windows go to it; the
    // firewall does not depend on it, so a screen that cannot start is
    // logged and retried while the device runs.
    if (Status s = writeScreenProfile(); !s)
      logf("cannot record the screen profile: " + s.reason());
    Service screen{"backboardd", [this] { return startBackboardd(); }};
    screen.essential = false;
    services_.push_back(std::move(screen));
    if (Status s = installSpringBoardBundle(); !s) return s;
    installTweakResources();
    services_.push_back(Service{"SpringBoard", [this] { return startSpringBoard(); }});
    for (Service& service : services_) {
      startService(service);
      if (service.pid == 0 && service.essential) {
        return Status::Error("cannot start " + service.name);
      }
    }
    return Status::Ok();
  }

  // Drains the log ring now and then, for as long as the loop runs.
  void scheduleLogDrain() {
    loop_.postDelayed(kLogDrainInterval, [this] {
      log_ring_->drain();
      scheduleLogDrain();
    });
  }

  void tellReady(const Status& status) {
    if (options_.ready_fd < 0) return;
    std::string text = status ? "ready\n" : "error: " + status.reason() + "\n";
    ssize_t ignored = write(options_.ready_fd, text.data(), text.size());
    (void)ignored;
    // The descriptor may be a standard stream: keep its number taken.
    int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null_fd >= 0) {
      dup2(null_fd, options_.ready_fd);
      close(null_fd);
    } else {
      close(options_.ready_fd);
    }
  }

  // --- signals -------------------------------------------------------------

  Status watchSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : {SIGCHLD, SIGTERM, SIGINT, SIGHUP, SIGUSR1}) sigaddset(&set, sig);
    if (sigprocmask(SIG_BLOCK, &set, nullptr) != 0) return Status::Error("sigprocmask failed");
    signal(SIGPIPE, SIG_IGN);
    signal_fd_ = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    if (signal_fd_ < 0) return Status::FromErrno("signalfd");
    signal_watch_ = loop_.watchFd(signal_fd_, POLLIN, [this](short) { onSignals(); });
    return Status::Ok();
  }

  void onSignals() {
    signalfd_siginfo info;
    while (read(signal_fd_, &info, sizeof info) == sizeof info) {
      switch (info.ssi_signo) {
        case SIGCHLD:
          reap();
          break;
        case SIGTERM:
        case SIGINT:
          stop();
          break;
        case tools::kRebootUserspaceSignal:
          rebootUserspace();
          break;
        case tools::kOpenRequestSignal:
          drainOpenSpool();
          break;
        default:
          break;
      }
    }
  }

  // --- children ----------------------------------------------------------

  // Reaps every ended child. Its record leaves the process table before it is
  // reaped, so the table never names a pid the kernel may already reuse.
  void reap() {
    for (;;) {
      siginfo_t info{};
      if (waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) != 0 || info.si_pid == 0) break;
      pid_t pid = info.si_pid;
      table_->remove(pid);
      int status = 0;
      if (waitpid(pid, &status, 0) < 0) continue;
      onChildEnded(pid, status);
    }
    maybeFinishPhase();
  }

  void onChildEnded(pid_t pid, int status) {
    std::string how = WIFSIGNALED(status) ? "killed by signal " + std::to_string(WTERMSIG(status))
                                          : "exited with " + std::to_string(WEXITSTATUS(status));
    for (Service& service : services_) {
      if (service.pid != pid) continue;
      service.pid = 0;
      logf(service.name + " (" + std::to_string(pid) + ") " + how);
      // The page died with it: nobody is to be sent to a dead URL.
      if (service.name == "backboardd") removeScreenUrl();
      if (phase_ == Phase::kRunning) scheduleRestart(service);
      return;
    }
    auto it = apps_.find(pid);
    if (it == apps_.end()) return;
    logf(it->second.bundle_id + " (" + std::to_string(pid) + ") " + how);
    if (it->second.waiting_client >= 0) {
      int code = WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
      const int client = it->second.waiting_client;
      reply(client, Value::dictOf({{"ok", Value::boolean(true)},
                                   {"exited", Value::boolean(true)},
                                   {"status", Value::integer(code)}}));
    }
    apps_.erase(it);
  }

  void startService(Service& service) {
    service.restart_pending = false;
    Result<pid_t> pid = service.start();
    if (!pid) {
      logf("cannot start " + service.name + ": " + pid.reason());
      // A start that fails counts as a death right after starting, so the
      // retries back off instead of spinning.
      service.started = Clock::now();
      if (phase_ == Phase::kRunning) scheduleRestart(service);
      return;
    }
    service.pid = *pid;
    service.started = Clock::now();
    // The rule engine finds SpringBoard and the bus by name in the table: a
    // service that cannot be recorded is stopped and retried with back-off
    // rather than left running unseen.
    if (Status s = table_->add(service.pid, getpid(), service.name); !s) {
      logf("cannot record " + service.name + " in the process table: " + s.reason());
      kill(service.pid, SIGKILL);
      return;
    }
    logf("started " + service.name + " (" + std::to_string(service.pid) + ")");
  }

  // Restarts at once after a long life; backs off when a service keeps dying
  // right after it starts, so a broken one cannot spin the machine.
  void scheduleRestart(Service& service) {
    if (service.restart_pending) return;
    bool quick = Clock::now() - service.started < kQuickDeath;
    service.quick_deaths = quick ? service.quick_deaths + 1 : 0;
    auto delay = std::chrono::milliseconds(0);
    if (service.quick_deaths > 0) {
      delay = std::min<std::chrono::milliseconds>(
          std::chrono::milliseconds(100L << std::min(service.quick_deaths, 10)), kMaxRestartDelay);
    }
    service.restart_pending = true;
    std::string name = service.name;
    loop_.postDelayed(delay, [this, name] {
      for (Service& s : services_) {
        if (s.name == name && s.pid == 0 && phase_ == Phase::kRunning) startService(s);
      }
    });
  }

  std::vector<pid_t> children() const {
    std::vector<pid_t> pids;
    for (const Service& s : services_) {
      if (s.pid > 0) pids.push_back(s.pid);
    }
    for (const auto& [pid, app] : apps_) pids.push_back(pid);
    return pids;
  }

  // Ends every child: SIGTERM now, SIGKILL to those still there after a grace.
  void terminateChildren() {
    for (pid_t pid : children()) kill(pid, SIGTERM);
    uint64_t generation = ++terminate_generation_;
    loop_.postDelayed(kKillGrace, [this, generation] {
      if (generation != terminate_generation_) return;
      for (pid_t pid : children()) kill(pid, SIGKILL);
    });
    maybeFinishPhase();
  }

  void stop() {
    if (phase_ == Phase::kStopping) return;
    logf("stopping the device");
    phase_ = Phase::kStopping;
    terminateChildren();
  }

  void rebootUserspace() {
    if (phase_ != Phase::kRunning) return;
    logf("reboot userspace");
    phase_ = Phase::kRebooting;
    terminateChildren();
  }

  void maybeFinishPhase() {
    if (phase_ == Phase::kRunning || !children().empty()) return;
    ++terminate_generation_;  // no SIGKILL for pids that may be reused
    if (phase_ == Phase::kStopping) {
      loop_.quit();
      return;
    }
    phase_ = Phase::kRunning;
    for (Service& service : services_) {
      service.quick_deaths = 0;
      startService(service);
    }
  }

  // --- apps ----------------------------------------------------------------

  // Launches an installed app. With `stdio` (three descriptors) the app uses
  // them for its standard streams; otherwise they go to /dev/null.
  Result<pid_t> launchApp(const std::string& bundle_id, const std::vector<std::string>& args,
                          const std::vector<int>& stdio) {
    if (phase_ != Phase::kRunning) return Result<pid_t>::Error("the device is stopping");
    auto catalogue = apps::newDeviceCatalogue(root_);
    std::optional<apps::AppRecord> app = catalogue->applicationWithIdentifier(bundle_id);
    if (!app) return Result<pid_t>::Error("no app with bundle id " + bundle_id);
    if (app->executable_path.empty()) {
      return Result<pid_t>::Error(bundle_id + " has no executable");
    }
    // argv[0] is the executable's path as the device knows it, as on the phone.
    std::string device_executable =
        app->device_bundle_path + "/" + app->executable_path.filename().string();
    std::vector<std::string> argv{device_executable};
    argv.insert(argv.end(), args.begin(), args.end());

    spawn::Options options;
    options.environment = deviceEnvironment(app->bundle_path, app->executable_path);
    options.new_session = true;
    if (stdio.size() == 3) {
      options.stdin_ = spawn::Stdio::fromFd(stdio[0]);
      options.stdout_ = spawn::Stdio::fromFd(stdio[1]);
      options.stderr_ = spawn::Stdio::fromFd(stdio[2]);
    } else {
      options.stdin_ = options.stdout_ = options.stderr_ = spawn::Stdio::devNull();
    }
    LaunchedAppIdentity identity{bundle_id, app->executable_path.filename().string(),
                                 app->isSystemApplication(), !app->isVisible()};
    Result<pid_t> pid =
        launch_helper_.empty()
            ? spawn::spawnProcess(app->executable_path, argv, options)
            : spawnSupervised(app->executable_path, app->bundle_path, argv, options, identity);
    if (!pid) return pid;
    // An app missing from the table would be decided for without its name;
    // one that cannot be recorded is stopped and the launch fails.
    if (Status s = table_->add(*pid, getpid(), app->executable_path.filename().string()); !s) {
      kill(*pid, SIGKILL);
      return Result<pid_t>::Error("cannot launch " + bundle_id + ": " + s.reason());
    }
    apps_[*pid] = LaunchedApp{bundle_id};
    logf("launched " + bundle_id + " (" + std::to_string(*pid) + ")");
    return pid;
  }

  // Starts an app through the launch helper, under the connect filter whose
  // listener the supervisor takes. A kernel that refuses the filter (one
  // older than 5.0, or seccomp turned off) leaves the app to the injected
  // library alone, which is logged once.
  Result<pid_t> spawnSupervised(const std::filesystem::path& program,
                                const std::filesystem::path& bundle_path,
                                const std::vector<std::string>& argv, spawn::Options options,
                                const LaunchedAppIdentity& identity) {
    uint64_t token = 0;
    while (token == 0) {
      if (getrandom(&token, sizeof token, 0) != static_cast<ssize_t>(sizeof token)) token = 0;
    }
    char token_text[17];
    supervise::formatConnectToken(token, token_text);
    int channel[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, channel) != 0) {
      return Result<pid_t>::FromErrno("cannot launch " + identity.bundle_id);
    }
    constexpr int kChannelInHelper = 3;
    options.extra_fds.push_back({channel[1], kChannelInHelper});
    options.environment.emplace_back(supervise::kConnectTokenEnv,
                                     std::string(token_text) + ":" + bundle_path.string());
    std::vector<std::string> helper_argv{"sentrel-launch", std::to_string(kChannelInHelper),
                                         token_text, program.string()};
    helper_argv.insert(helper_argv.end(), argv.begin(), argv.end());
    Result<pid_t> pid = spawn::spawnProcess(launch_helper_, helper_argv, options);
    close(channel[1]);
    if (!pid) {
      close(channel[0]);
      return pid;
    }
    // The helper says whether it has a listener, then either executes the
    // program (end of file) or says why it could not.
    const uint64_t launch = ++launch_count_;
    bool listening = false;
    std::optional<int> exec_error;
    for (;;) {
      int listener = -1;
      std::string message = receiveFromHelper(channel[0], &listener);
      if (message.empty()) break;
      if (message == "listener" && listener >= 0 && !listening) {
        decider_->addLaunch(launch, identity);
        if (Status s = supervisor_->supervise(listener, launch, identity.bundle_id); !s) {
          logf("cannot supervise " + identity.bundle_id + ": " + s.reason());
        }
        listening = true;
      } else if (message.starts_with("no filter ")) {
        if (listener >= 0) close(listener);
        if (!filter_refusal_logged_) {
          filter_refusal_logged_ = true;
          logf("the kernel refused the connect filter (" +
               std::string(std::strerror(std::atoi(message.c_str() + 10))) +
               "): apps run without the supervisor, only the injected library decides for them");
        }
      } else if (message.starts_with("exec ")) {
        if (listener >= 0) close(listener);
        exec_error = std::atoi(message.c_str() + 5);
      } else if (listener >= 0) {
        close(listener);
      }
    }
    close(channel[0]);
    if (exec_error) {
      // The helper exits; the reaper collects it like any child.
      return Result<pid_t>::FromErrno("cannot start " + program.string(), *exec_error);
    }
    return pid;
  }

  // One message of the launch helper, with the descriptor it passed; empty
  // at end of file, or when it says nothing for five seconds.
  static std::string receiveFromHelper(int fd, int* passed) {
    pollfd wait{fd, POLLIN, 0};
    if (poll(&wait, 1, 5000) <= 0) return "";
    char text[64];
    iovec part{text, sizeof text - 1};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t n;
    do {
      n = recvmsg(fd, &message, MSG_CMSG_CLOEXEC);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) return "";
    for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr;
         header = CMSG_NXTHDR(&message, header)) {
      if (header->cmsg_level == SOL_SOCKET && header->cmsg_type == SCM_RIGHTS &&
          header->cmsg_len == CMSG_LEN(sizeof(int))) {
        std::memcpy(passed, CMSG_DATA(header), sizeof(int));
      }
    }
    text[n] = '\0';
    return text;
  }

  // --- backboardd -------------------------------------------------------------

  // <root>/var/run/sentrel/screen.profile, for UI processes to size their
  // screen; the run folder is private to the device's user.
  Status writeScreenProfile() {
    const std::filesystem::path path = display::screenProfilePath(root_);
    std::error_code error;
    std::filesystem::create_directories(path.parent_path(), error);
    const std::filesystem::path temporary = path.string() + ".new";
    unlink(temporary.c_str());
    int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return Status::FromErrno("cannot create " + temporary.string());
    const std::string text = display::formatScreenProfile(options_.screen) + "\n";
    const bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    if (!written || rename(temporary.c_str(), path.c_str()) != 0) {
      Status failed = Status::FromErrno("cannot write " + path.string());
      unlink(temporary.c_str());
      return failed;
    }
    return Status::Ok();
  }

  void removeScreenUrl() {
    std::error_code error;
    std::filesystem::remove(display::screenUrlPath(root_), error);
  }

  // The display server, from beside launchd. It is not given the tweak
  // library: like the bus, it is part of the system the tweak runs on.
  Result<pid_t> startBackboardd() {
    removeScreenUrl();
    spawn::Options options;
    options.environment = {{paths::kDeviceRootEnv, root_.string()}};
    options.new_session = true;
    options.stdin_ = options.stdout_ = options.stderr_ = spawn::Stdio::devNull();
    return spawn::spawnProcess(
        options_.programs_dir / "backboardd",
        {"backboardd", "--screen", display::formatScreenProfile(options_.screen)}, options);
  }

  // --- SpringBoard ------------------------------------------------------------

  // SpringBoard's bundle, where the phone keeps it; its executable is the
  // SpringBoard program beside launchd.
  Status installSpringBoardBundle() {
    const std::filesystem::path bundle = paths::resolveUnder(root_, kSpringBoardBundlePath);
    std::error_code error;
    std::filesystem::create_directories(bundle, error);
    if (error) return Status::Error("cannot create " + bundle.string() + ": " + error.message());
    plist::MutableDict info;
    info.set("CFBundleIdentifier", Value::string("com.apple.springboard"));
    info.set("CFBundleExecutable", Value::string("SpringBoard"));
    info.set("CFBundleDisplayName", Value::string("SpringBoard"));
    if (Status s = plist::writeFileAtomically(bundle / "Info.plist", std::move(info).build()); !s) {
      return s;
    }
    const std::filesystem::path executable = bundle / "SpringBoard";
    std::filesystem::remove(executable, error);
    std::filesystem::create_symlink(options_.programs_dir / "SpringBoard", executable, error);
    if (error) return Status::Error("cannot link " + executable.string() + ": " + error.message());
    return Status::Ok();
  }

  // The tweak's resource bundle (the prompt's images), from beside the
  // tweak library (<programs>/../share) to where the tweak reads it, as its
  // package installs it. A device without it shows prompts without images.
  void installTweakResources() {
    const std::filesystem::path from =
        options_.programs_dir.parent_path() / "share" / kTweakResourceBundleName;
    const std::filesystem::path to =
        paths::resolveUnder(root_, "/Library/Application Support") / kTweakResourceBundleName;
    std::error_code error;
    if (!std::filesystem::is_directory(from, error)) {
      logf("no tweak resources at " + from.string() + ": prompts show no images");
      return;
    }
    std::filesystem::create_directories(to, error);
    std::filesystem::copy(from, to,
                          std::filesystem::copy_options::recursive |
                              std::filesystem::copy_options::overwrite_existing,
                          error);
    if (error)
      logf("cannot install the tweak resources into " + to.string() + ": " + error.message());
  }

  Result<pid_t> startSpringBoard() {
    const std::filesystem::path bundle = paths::resolveUnder(root_, kSpringBoardBundlePath);
    spawn::Options options;
    options.environment = deviceEnvironment(bundle, bundle / "SpringBoard");
    options.new_session = true;
    options.stdin_ = options.stdout_ = options.stderr_ = spawn::Stdio::devNull();
    const std::string device_executable = std::string(kSpringBoardBundlePath) + "/SpringBoard";
    return spawn::spawnProcess(bundle / "SpringBoard", {device_executable}, options);
  }

  // What every process launchd starts on the device sees: the device, its
  // bundle, and the tweak library injected.
  std::vector<std::pair<std::string, std::string>> deviceEnvironment(
      const std::filesystem::path& bundle_path, const std::filesystem::path& executable) const {
    std::vector<std::pair<std::string, std::string>> environment = {
        {paths::kDeviceRootEnv, root_.string()}, {"SENTREL_BUNDLE_PATH", bundle_path.string()}};
    if (preload_.empty()) return environment;
    if (sanitized_) {
      // A sanitizer runtime preloaded into a program built without it can
      // break the program's own start-up (glibc's locale lock has been seen
      // corrupted before main, hanging the first setlocale()). A sanitized
      // build therefore injects only into programs of the same build.
      std::error_code error;
      const std::filesystem::path real = std::filesystem::canonical(executable, error);
      const std::filesystem::path build =
          std::filesystem::canonical(options_.programs_dir.parent_path(), error);
      const auto [end, rest] = std::mismatch(build.begin(), build.end(), real.begin(), real.end());
      if (error || end != build.end()) {
        logf("not injecting into " + executable.string() +
             ": a sanitized build injects only into its own programs");
        return environment;
      }
      // The leak report at exit would change the program's exit status.
      environment.emplace_back("ASAN_OPTIONS", "detect_leaks=0");
    }
    environment.emplace_back("LD_PRELOAD", preload_);
    return environment;
  }

  void drainOpenSpool() {
    for (const tools::OpenRequest& request : tools::drainOpenRequests(root_)) {
      Result<pid_t> pid = launchApp(request.bundle_id, request.args, {});
      if (!pid) logf("cannot open " + request.bundle_id + ": " + pid.reason());
    }
  }

  // --- control socket ----------------------------------------------------

  Status listenForControl() {
    std::string path = controlSocketPath(root_).string();
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
      return Status::Error("device root path too long for a socket: " + path);
    }
    memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    listen_fd_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (listen_fd_ < 0) return Status::FromErrno("socket");
    unlink(path.c_str());  // a leftover of a launchd that died; the lock says none runs
    if (bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        chmod(path.c_str(), 0600) != 0 || listen(listen_fd_, 16) != 0) {
      return Status::FromErrno("cannot listen on " + path);
    }
    listen_watch_ = loop_.watchFd(listen_fd_, POLLIN, [this](short) { acceptClients(); });
    return Status::Ok();
  }

  void acceptClients() {
    for (;;) {
      int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) return;
      clients_[fd] = loop_.watchFd(fd, POLLIN, [this, fd](short) { onClientReadable(fd); });
    }
  }

  void dropClient(int fd) {
    auto it = clients_.find(fd);
    if (it == clients_.end()) return;
    loop_.unwatchFd(it->second);
    clients_.erase(it);
    for (auto& [pid, app] : apps_) {
      if (app.waiting_client == fd) app.waiting_client = -1;
    }
    close(fd);
  }

  // A client that cannot take its answer has gone: it is dropped.
  void reply(int fd, const Value& answer) {
    if (Status s = sendControlMessage(fd, answer); !s) {
      logf("control: " + s.reason());
      dropClient(fd);
    }
  }

  void onClientReadable(int fd) {
    std::vector<int> fds;
    Result<Value> request = receiveControlMessage(fd, &fds);
    if (!request) {
      if (request.reason() != "closed") logf("control: " + request.reason());
      dropClient(fd);
      return;
    }
    Value answer = handle(fd, *request, fds);
    for (int passed : fds) close(passed);  // the app holds its own copies
    reply(fd, answer);
    if (stop_after_reply_) {
      stop_after_reply_ = false;
      stop();
    }
  }

  Value handle(int client, const Value& request, const std::vector<int>& fds) {
    const std::string* command = request.get("command").asString();
    if (command == nullptr) return errorReply("request without a command");
    if (*command == "status") return statusReply();
    if (*command == "stop") {
      stop_after_reply_ = true;
      return Value::dictOf({{"ok", Value::boolean(true)}});
    }
    if (*command == "open") {
      const std::string* bundle_id = request.get("bundle_id").asString();
      if (bundle_id == nullptr) return errorReply("open without a bundle id");
      std::vector<std::string> args;
      if (const plist::Array* list = request.get("args").asArray()) {
        for (const Value& arg : *list) {
          if (const std::string* s = arg.asString()) args.push_back(*s);
        }
      }
      bool wait = request.get("wait").asBool().value_or(false);
      if (wait && fds.size() != 3) return errorReply("open with wait needs three descriptors");
      Result<pid_t> pid = launchApp(*bundle_id, args, wait ? fds : std::vector<int>{});
      if (!pid) return errorReply(pid.reason());
      if (wait) apps_[*pid].waiting_client = client;
      return Value::dictOf({{"ok", Value::boolean(true)}, {"pid", Value::integer(*pid)}});
    }
    return errorReply("unknown command " + *command);
  }

  Value statusReply() {
    plist::MutableArray processes;
    proc::SharedProcessTable reader(root_);
    if (auto records = reader.snapshot()) {
      for (const proc::ProcessRecord& r : *records) {
        processes.append(Value::dictOf({{"name", Value::string(r.command_name)},
                                        {"pid", Value::integer(r.pid)},
                                        {"ppid", Value::integer(r.parent_pid)}}));
      }
    }
    return Value::dictOf({{"ok", Value::boolean(true)},
                          {"pid", Value::integer(getpid())},
                          {"root", Value::string(root_.string())},
                          {"bus", Value::string(notify::busAddressForRoot(root_))},
                          {"processes", std::move(processes).build()}});
  }

  const LaunchdOptions options_;
  const std::filesystem::path root_;
  runloop::RunLoop loop_;
  // Decides the apps' connections the injected library does not; both post
  // to loop_, so they go before it.
  std::unique_ptr<SupervisedAppDecider> decider_ = std::make_unique<SupervisedAppDecider>(loop_);
  std::unique_ptr<supervise::ConnectSupervisor> supervisor_ =
      std::make_unique<supervise::ConnectSupervisor>(*decider_);
  std::filesystem::path launch_helper_;  // empty: apps start without it
  uint64_t launch_count_ = 0;
  bool filter_refusal_logged_ = false;
  std::unique_ptr<proc::ProcessTablePublisher> table_;
  std::unique_ptr<log::LogRingDrainer> log_ring_;  // null when it could not be made
  std::vector<Service> services_;
  std::string preload_;     // LD_PRELOAD of the device's processes
  bool sanitized_ = false;  // the preload starts with sanitizer runtimes
  std::map<pid_t, LaunchedApp> apps_;
  Phase phase_ = Phase::kRunning;
  uint64_t terminate_generation_ = 0;
  bool stop_after_reply_ = false;
  int lock_fd_ = -1;
  int signal_fd_ = -1;
  runloop::WatchId signal_watch_ = 0;
  int listen_fd_ = -1;
  runloop::WatchId listen_watch_ = 0;
  std::map<int, runloop::WatchId> clients_;
};

}  // namespace

int runLaunchd(const LaunchdOptions& options) {
  Launchd launchd(options);
  return launchd.run();
}

}  // namespace sentrel::device
