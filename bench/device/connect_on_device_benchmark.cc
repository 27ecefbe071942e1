// An allowed loopback connect()+close() in a real program, started as an app
// through the real launcher on a started device with the default settings
// (and so the default log: a line per connect), against the same program run
// plainly, in the same run, with about 100 and about 500 processes on the
// machine (idle sleepers are started to get there, and ended afterwards).
//
// Each benchmark iteration runs the program once; it times COUNT connects
// itself and reports their median, which is the iteration's time. The
// firewalled benchmark also reports ratio_vs_plain against the plain one of
// the same process count (the goal: at most 1.05).
#include <dirent.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include <benchmark/benchmark.h>

#include "platform/hook/loopback.h"
#include "platform/plist/plist_codec.h"
#include "platform/plist/value.h"
#include "support/program_run.h"

extern char** environ;

namespace sentrel {
namespace {

namespace fs = std::filesystem;
using plist::Value;

constexpr const char* kApp = "com.example.connectloop";
// The same program linked statically: nothing is injected, the device's
// supervisor decides each connect.
constexpr const char* kStaticApp = "com.example.connectloop.static";
constexpr int kConnectsPerRun = 2000;

int processesOnMachine() {
  int count = 0;
  if (DIR* proc = opendir("/proc")) {
    while (dirent* entry = readdir(proc)) {
      if (std::isdigit(static_cast<unsigned char>(entry->d_name[0]))) ++count;
    }
    closedir(proc);
  }
  return count;
}

// Idle processes that bring the machine to about `target` processes while
// the object lives.
class Sleepers {
 public:
  explicit Sleepers(int target) {
    char sleep_arg0[] = "sleep";
    char seconds[] = "3600";
    char* argv[] = {sleep_arg0, seconds, nullptr};
    for (int have = processesOnMachine(); have < target; ++have) {
      pid_t pid = 0;
      if (posix_spawn(&pid, "/bin/sleep", nullptr, nullptr, argv, environ) != 0) break;
      pids_.push_back(pid);
    }
  }
  ~Sleepers() {
    for (pid_t pid : pids_) kill(pid, SIGKILL);
    for (pid_t pid : pids_) waitpid(pid, nullptr, 0);
  }

 private:
  std::vector<pid_t> pids_;
};

// A started device with the program installed as an app whose rules allow
// 127.0.0.1; settings otherwise the defaults. Made once, stopped at exit.
struct Device {
  Device() {
    char folder[] = "/tmp/sentrel-connect-bench-XXXXXX";
    root = mkdtemp(folder);
    io = root / "io";
    fs::create_directories(io);
    const fs::path settings =
        root / "var/mobile/Library/Preferences/ca.kelmora.sentrel_preferences.plist";
    fs::create_directories(settings.parent_path());
    const Value allowLoopback = Value::dictOf(
        {{"domains",
          Value::dictOf({{"127.0.0.1", Value::dictOf({{"allowed", Value::integer(1)}})}})}});
    const bool written =
        plist::writeFileAtomically(
            settings,
            Value::dictOf(
                {{"apps", Value::dictOf({{kApp, allowLoopback}, {kStaticApp, allowLoopback}})}}))
            .ok();
    ready = written && cli({"device", "start"}).code == 0 &&
            cli({"app", "install", "--id", kApp, SENTREL_CONNECT_LOOP}).code == 0 &&
            cli({"app", "install", "--id", kStaticApp, SENTREL_CONNECT_LOOP_STATIC}).code == 0;
  }
  ~Device() {
    cli({"device", "stop"});
    std::error_code ec;
    fs::remove_all(root, ec);
  }

  testing::ProgramOutcome cli(std::vector<std::string> args) {
    std::vector<std::string> argv{"sentrel", "--root", root.string()};
    argv.insert(argv.end(), args.begin(), args.end());
    return testing::runProgram(SENTREL_CLI, argv, io);
  }

  fs::path root;
  fs::path io;
  bool ready = false;
  hook::testing::Acceptor acceptor;
};

Device& device() {
  static Device d;
  return d;
}

// Plain medians by (static program, process count), in seconds.
std::map<std::pair<bool, int>, double>& plainMedians() {
  static std::map<std::pair<bool, int>, double> medians;
  return medians;
}

// Runs `argv` once and returns its median connect time in seconds, or a
// negative value when it failed.
double runOnce(const std::string& program, const std::vector<std::string>& argv) {
  testing::ProgramOutcome run = testing::runProgram(program, argv, device().io);
  long long median_ns = 0;
  if (run.code != 0 || std::sscanf(run.out.c_str(), "median_ns %lld", &median_ns) != 1) return -1;
  return static_cast<double>(median_ns) * 1e-9;
}

void measure(benchmark::State& state, bool firewalled, bool linked_statically = false) {
  Device& d = device();
  if (!d.ready) {
    state.SkipWithError("the device did not start");
    return;
  }
  const int processes = static_cast<int>(state.range(0));
  Sleepers sleepers(processes);
  const std::string port = std::to_string(d.acceptor.port());
  const std::string count = std::to_string(kConnectsPerRun);
  double total = 0;
  for (auto _ : state) {
    const char* program = linked_statically ? SENTREL_CONNECT_LOOP_STATIC : SENTREL_CONNECT_LOOP;
    const char* app = linked_statically ? kStaticApp : kApp;
    const double median =
        firewalled
            ? runOnce(SENTREL_CLI, {"sentrel", "--root", d.root.string(), "open", app, port, count})
            : runOnce(program, {"connect_loop", port, count});
    if (median < 0) {
      state.SkipWithError("the program failed");
      return;
    }
    state.SetIterationTime(median);
    total += median;
  }
  const double mean_of_medians = total / static_cast<double>(state.iterations());
  state.counters["processes"] = processesOnMachine();
  state.counters["median_us"] = mean_of_medians * 1e6;
  const std::pair<bool, int> baseline{linked_statically, processes};
  if (!firewalled) {
    plainMedians()[baseline] = mean_of_medians;
  } else if (plainMedians().count(baseline) != 0) {
    state.counters["ratio_vs_plain"] = mean_of_medians / plainMedians()[baseline];
  }
}

void BM_ConnectPlain(benchmark::State& state) {
  measure(state, false);
}
void BM_ConnectFirewalledApp(benchmark::State& state) {
  measure(state, true);
}

// The static program: decided by the supervisor (goal: at most 1.5x).
void BM_ConnectPlainStatic(benchmark::State& state) {
  measure(state, false, true);
}
void BM_ConnectSupervisedStaticApp(benchmark::State& state) {
  measure(state, true, true);
}

// Plain first for each process count: the firewalled run's ratio needs it.
BENCHMARK(BM_ConnectPlain)->Arg(100)->Iterations(5)->UseManualTime();
BENCHMARK(BM_ConnectFirewalledApp)->Arg(100)->Iterations(5)->UseManualTime();
BENCHMARK(BM_ConnectPlain)->Arg(500)->Iterations(5)->UseManualTime();
BENCHMARK(BM_ConnectFirewalledApp)->Arg(500)->Iterations(5)->UseManualTime();
BENCHMARK(BM_ConnectPlainStatic)->Arg(100)->Iterations(5)->UseManualTime();
BENCHMARK(BM_ConnectSupervisedStaticApp)->Arg(100)->Iterations(5)->UseManualTime();

}  // namespace
}  // namespace sentrel
