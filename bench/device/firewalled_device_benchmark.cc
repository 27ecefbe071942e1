// The cost of being firewalled, measured on the path a user runs: a started
// device (launchd, the bus, SpringBoard), apps opened through the real
// launcher with the tweak library injected, against the same programs run
// plainly in the same run.
//
// BM_ProcessStart/RULES: a shell script starts /bin/true 200 times, once
// run plainly and once as a firewalled app, with a settings document of 10
// or 20,000 rules (200 apps x 100 hosts). Time: one start in the app.
// Counters: plain_us and firewalled_us per start, extra_us (the goal: at
// most 1000, the same with 20,000 rules as with 10) and ratio.
//
// BM_RuleChange: 20,000 rules, ten running instances of an app that
// connects to a loopback listener; `sentrel rules allow 127.0.0.1 --app ID`
// from its start until the command confirmed the save and every instance
// connects (goal: at most 100 ms). The rule is blocked again between
// iterations, untimed.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "platform/plist/plist_codec.h"
#include "platform/plist/value.h"
#include "platform/spawn/spawn.h"

namespace sentrel {
namespace {

namespace fs = std::filesystem;
using plist::Value;

constexpr int kStarts = 200;
constexpr int kRunningApps = 10;
constexpr const char* kShellApp = "com.example.sh";
constexpr const char* kProbeApp = "com.example.probe";
constexpr const char* kSettingsFile =
    "var/mobile/Library/Preferences/ca.kelmora.sentrel_preferences.plist";

// Runs a program to its end; its standard output, or nullopt when it failed.
std::optional<std::string> output(const std::string& program,
                                  const std::vector<std::string>& argv) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return std::nullopt;
  spawn::Options options;
  options.stdin_ = spawn::Stdio::devNull();
  options.stdout_ = spawn::Stdio::fromFd(fds[1]);
  Result<pid_t> pid = spawn::spawnProcess(program, argv, options);
  close(fds[1]);
  std::string out;
  char buffer[4096];
  for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;) out.append(buffer, n);
  close(fds[0]);
  if (!pid) return std::nullopt;
  Result<spawn::ExitStatus> status = spawn::waitForExit(*pid);
  if (!status || !status->success()) return std::nullopt;
  return out;
}

Value hostRules(int hosts, const std::string& suffix, int64_t allowed) {
  plist::MutableDict domains;
  for (int h = 0; h < hosts; ++h) {
    domains.set("host" + std::to_string(h) + "." + suffix,
                Value::dictOf({{"allowed", Value::integer(h % 2 == 0 ? allowed : 2)}}));
  }
  return std::move(domains).build();
}

// A device of its own with `apps` x `hosts` rules besides the shell app's
// and the probe app's entries; stopped and removed at exit.
class Device {
 public:
  Device(int apps, int hosts) {
    char folder[] = "/tmp/sentrel-device-bench-XXXXXX";
    root_ = mkdtemp(folder);
    plist::MutableDict entries;
    for (int a = 0; a < apps; ++a) {
      const std::string id = "com.example.app" + std::to_string(a);
      entries.set(id, Value::dictOf({{"name", Value::string("App " + std::to_string(a))},
                                     {"domains", hostRules(hosts, id, 1)}}));
    }
    entries.set(kShellApp, Value::dictOf({{"domains", hostRules(1, "sh", 1)}}));
    entries.set(
        kProbeApp,
        Value::dictOf(
            {{"domains",
              Value::dictOf({{"127.0.0.1", Value::dictOf({{"allowed", Value::integer(2)}})}})}}));
    const Value settings = Value::dictOf(
        {{"snt_enabled", Value::boolean(true)}, {"apps", std::move(entries).build()}});
    fs::create_directories((root_ / kSettingsFile).parent_path());
    ok_ = plist::writeFileAtomically(root_ / kSettingsFile, settings).ok() &&
          cli({"device", "start"}) && springBoardLaunched() &&
          cli({"app", "install", "--id", kShellApp, "/bin/sh"}) &&
          cli({"app", "install", "--id", kProbeApp, SENTREL_RULE_CHANGE_PROBE}) &&
          // A save through SpringBoard: the command returns once it is written.
          cli({"rules", "set", "snt_animations", "on"});
    std::ofstream(root_ / "starts.sh")
        << "s=$(date +%s%N); i=0; while [ $i -lt " << kStarts
        << " ]; do /bin/true; i=$((i+1)); done; e=$(date +%s%N); echo $((e-s))\n";
  }
  ~Device() {
    cli({"device", "stop"});
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }

  bool ok() const { return ok_; }
  const fs::path& root() const { return root_; }

  // `device start` returns once launchd is up; SpringBoard takes saves only
  // once it has finished launching. Up to 10 s.
  bool springBoardLaunched() const {
    for (int i = 0; i < 200; ++i) {
      std::ifstream log(root_ / "var/log/system.log");
      std::stringstream text;
      text << log.rdbuf();
      if (text.str().find("SpringBoard finished launching") != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }

  std::vector<std::string> cliArgs(std::vector<std::string> args) const {
    std::vector<std::string> argv{"sentrel", "--root", root_.string()};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
  }
  bool cli(std::vector<std::string> args) const {
    return output(SENTREL_CLI, cliArgs(std::move(args))).has_value();
  }

  // Nanoseconds for kStarts starts of /bin/true from the script, run plainly
  // or as the shell app; -1 on failure.
  double startsPlain() const { return number(output("/bin/sh", {"sh", scriptPath()})); }
  double startsFirewalled() const {
    return number(output(SENTREL_CLI, cliArgs({"open", kShellApp, scriptPath()})));
  }

 private:
  std::string scriptPath() const { return (root_ / "starts.sh").string(); }
  static double number(const std::optional<std::string>& text) {
    return text ? std::atof(text->c_str()) : -1;
  }

  fs::path root_;
  bool ok_ = false;
};

// One device per rule count, made on first use; stopped and removed when
// the run ends.
Device& deviceWithRules(int rules) {
  static std::map<int, std::unique_ptr<Device>> devices;
  std::unique_ptr<Device>& device = devices[rules];
  if (!device) {
    // 10 rules: one app of 10 hosts; 20,000: 200 apps of 100 hosts.
    device = rules <= 100 ? std::make_unique<Device>(1, rules)
                          : std::make_unique<Device>(200, rules / 200);
  }
  return *device;
}

void BM_ProcessStart(benchmark::State& state) {
  Device& device = deviceWithRules(static_cast<int>(state.range(0)));
  if (!device.ok()) return state.SkipWithError("the device did not start");
  double plain_total = 0;
  double firewalled_total = 0;
  for (auto _ : state) {
    const double plain = device.startsPlain();
    const double firewalled = device.startsFirewalled();
    if (plain < 0 || firewalled < 0) return state.SkipWithError("a script failed");
    plain_total += plain / kStarts;
    firewalled_total += firewalled / kStarts;
    state.SetIterationTime(firewalled / kStarts / 1e9);
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["plain_us"] = plain_total / n / 1e3;
  state.counters["firewalled_us"] = firewalled_total / n / 1e3;
  state.counters["extra_us"] = (firewalled_total - plain_total) / n / 1e3;
  state.counters["ratio"] = firewalled_total / plain_total;
}
BENCHMARK(BM_ProcessStart)
    ->Arg(10)
    ->Arg(20000)
    ->UseManualTime()
    ->Iterations(5)
    ->Unit(benchmark::kMicrosecond);

// A loopback listener that accepts and closes, so connects never queue up.
class Listener {
 public:
  Listener() {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(fd_, reinterpret_cast<sockaddr*>(&address), length);
    listen(fd_, 512);
    getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] {
      for (int client; (client = accept(fd_, nullptr, nullptr)) >= 0;) close(client);
    });
  }
  ~Listener() {
    shutdown(fd_, SHUT_RDWR);
    thread_.join();
    close(fd_);
  }
  int port() const { return port_; }

 private:
  int fd_ = -1;
  int port_ = 0;
  std::thread thread_;
};

// CPU time (user + system, in ms) of the processes of this machine whose
// short command name is `name`: where a rule change's time goes.
double cpuMsOf(const std::string& name) {
  double ticks = 0;
  for (const fs::directory_entry& entry : fs::directory_iterator("/proc")) {
    const std::string pid = entry.path().filename().string();
    if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream stat(entry.path() / "stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const size_t open = text.find('(');
    const size_t close = text.rfind(')');
    if (open == std::string::npos || close == std::string::npos) continue;
    if (text.substr(open + 1, close - open - 1) != name) continue;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    double utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
      if (i == 14) utime = std::atof(field.c_str());
      if (i == 15) stime = std::atof(field.c_str());
    }
    ticks += utime + stime;
  }
  return ticks * 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// One running instance of the probe app, talked to through pipes.
struct Probe {
  pid_t pid = -1;
  FILE* to = nullptr;
  FILE* from = nullptr;
};

Probe openProbe(const Device& device, int port) {
  int in[2];
  int out[2];
  Probe probe;
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return probe;
  spawn::Options options;
  options.stdin_ = spawn::Stdio::fromFd(in[0]);
  options.stdout_ = spawn::Stdio::fromFd(out[1]);
  Result<pid_t> pid = spawn::spawnProcess(
      SENTREL_CLI, device.cliArgs({"open", kProbeApp, std::to_string(port)}), options);
  close(in[0]);
  close(out[1]);
  probe.pid = pid ? *pid : -1;
  probe.to = fdopen(in[1], "w");
  probe.from = fdopen(out[0], "r");
  return probe;
}

// Tells every probe which outcome to wait for.
void await(std::vector<Probe>& probes, const char* outcome) {
  for (Probe& probe : probes) {
    std::fprintf(probe.to, "%s\n", outcome);
    std::fflush(probe.to);
  }
}
// True once every probe said it sees that outcome.
bool collect(std::vector<Probe>& probes) {
  char line[16];
  for (Probe& probe : probes) {
    if (std::fgets(line, sizeof line, probe.from) == nullptr) return false;
  }
  return true;
}

void BM_RuleChange(benchmark::State& state) {
  Device& device = deviceWithRules(20000);
  if (!device.ok()) return state.SkipWithError("the device did not start");
  Listener listener;
  std::vector<Probe> probes;
  for (int i = 0; i < kRunningApps; ++i) probes.push_back(openProbe(device, listener.port()));
  await(probes, "blocked");
  if (!collect(probes)) return state.SkipWithError("a probe did not start");
  const char* const kCounted[] = {"SpringBoard", "dbus-daemon"};
  std::map<std::string, double> cpu_before;
  for (const char* name : kCounted) cpu_before[name] = cpuMsOf(name);
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    await(probes, "allowed");
    const bool changed = device.cli({"rules", "allow", "127.0.0.1", "--app", kProbeApp});
    if (!changed || !collect(probes)) return state.SkipWithError("the change did not arrive");
    state.SetIterationTime(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    await(probes, "blocked");
    if (!device.cli({"rules", "block", "127.0.0.1", "--app", kProbeApp}) || !collect(probes)) {
      return state.SkipWithError("the rule could not be blocked again");
    }
  }
  // Per change (two per iteration: the timed allow and the untimed block).
  const double changes = 2.0 * static_cast<double>(state.iterations());
  state.counters["springboard_cpu_ms"] =
      (cpuMsOf("SpringBoard") - cpu_before["SpringBoard"]) / changes;
  state.counters["bus_cpu_ms"] = (cpuMsOf("dbus-daemon") - cpu_before["dbus-daemon"]) / changes;
  for (Probe& probe : probes) {
    std::fclose(probe.to);  // the probe ends at the end of its input
    std::fclose(probe.from);
    (void)spawn::waitForExit(probe.pid);  // only reaps it
  }
}
BENCHMARK(BM_RuleChange)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace sentrel
