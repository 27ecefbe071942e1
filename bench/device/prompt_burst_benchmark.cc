// A burst of prompt requests on the path a user runs: a started device
// (launchd, the bus, backboardd, SpringBoard), five URL-session apps opened
// through the real launcher, each asking for the same ten hosts 20 times at
// once (1,000 requests), and each prompt answered on the screen with taps
// on "Block" and "Block always" through the screen page's WebSocket, as the
// browser sends them.
//
// Counters:
//   prompts            prompts answered (the goal: exactly 10, one per host)
//   requests_answered  requests whose task ended with the answer (1,000)
//   answer_to_all_ms   the slowest prompt: from the tap on "Block always" to
//                      the last of that host's 100 tasks ending in its app
//                      (the goal: at most 100)
//   answer_mean_ms     the same, averaged over the prompts
//   sb_rss_growth_kb   SpringBoard's resident memory after the burst less
//                      before it
//   log_growth_kb, sb_log_lines   what the device's log grew by, and how
//                      many of its lines SpringBoard wrote
// Time: the whole burst, from launching the apps to the last task's end.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "platform/display/screen_client.h"
#include "platform/spawn/spawn.h"

namespace sentrel {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kApps = 5;
constexpr int kHosts = 10;
constexpr int kRequestsPerHostPerApp = 20;

std::string host(int h) {
  return "h" + std::to_string(h) + ".burst.test";
}

std::string slurp(const fs::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Runs a program to its end; its standard output, or nullopt when it failed.
std::optional<std::string> output(const std::vector<std::string>& argv) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return std::nullopt;
  spawn::Options options;
  options.stdin_ = spawn::Stdio::devNull();
  options.stdout_ = spawn::Stdio::fromFd(fds[1]);
  Result<pid_t> pid = spawn::spawnProcess(SENTREL_CLI, argv, options);
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

// An app opened with `sentrel open`; every line it prints is stamped with
// the time it arrived here.
class RunningApp {
 public:
  explicit RunningApp(const std::vector<std::string>& argv) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return;
    spawn::Options options;
    options.stdin_ = spawn::Stdio::devNull();
    options.stdout_ = spawn::Stdio::fromFd(fds[1]);
    options.stderr_ = spawn::Stdio::devNull();
    Result<pid_t> pid = spawn::spawnProcess(SENTREL_CLI, argv, options);
    close(fds[1]);
    if (!pid) {
      close(fds[0]);
      return;
    }
    pid_ = *pid;
    reader_ = std::thread([this, fd = fds[0]] {
      std::string pending;
      char buffer[4096];
      for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) {
        const Clock::time_point now = Clock::now();
        pending.append(buffer, static_cast<size_t>(n));
        for (size_t end; (end = pending.find('\n')) != std::string::npos;) {
          std::lock_guard<std::mutex> lock(mutex_);
          lines_.emplace_back(pending.substr(0, end), now);
          pending.erase(0, end + 1);
        }
      }
      close(fd);
    });
  }
  ~RunningApp() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      (void)spawn::waitForExit(pid_);
    }
    if (reader_.joinable()) reader_.join();
  }

  std::vector<std::pair<std::string, Clock::time_point>> lines() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }

 private:
  pid_t pid_ = 0;
  std::thread reader_;
  std::mutex mutex_;
  std::vector<std::pair<std::string, Clock::time_point>> lines_;
};

class Device {
 public:
  Device() {
    char folder[] = "/tmp/sentrel-burst-bench-XXXXXX";
    root_ = mkdtemp(folder);
    ok_ = true;
    for (int a = 0; a < kApps; ++a) {
      ok_ = ok_ && cli({"app", "install", "--id", appId(a), "--name", "Burst" + std::to_string(a),
                        SENTREL_SESSION_DEMO});
    }
    ok_ = ok_ && cli({"device", "start"}) && launched();
    if (ok_) {
      std::optional<std::string> url = output(args({"screen"}));
      if (url) url_ = url->substr(0, url->find('\n'));
      ok_ = !url_.empty();
    }
  }
  ~Device() {
    cli({"device", "stop"});
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }

  static std::string appId(int a) { return "com.example.burst" + std::to_string(a); }
  bool ok() const { return ok_; }
  const std::string& screenUrl() const { return url_; }
  fs::path log() const { return root_ / "var/log/system.log"; }

  std::vector<std::string> args(std::vector<std::string> rest) const {
    std::vector<std::string> argv{"sentrel", "--root", root_.string()};
    argv.insert(argv.end(), rest.begin(), rest.end());
    return argv;
  }
  bool cli(std::vector<std::string> rest) const {
    return output(args(std::move(rest))).has_value();
  }

  // SpringBoard's resident memory in kB, from /proc; 0 when not found.
  long springBoardRssKb() const {
    std::optional<std::string> status = pidOf("SpringBoard");
    if (!status) return 0;
    std::ifstream in("/proc/" + *status + "/status");
    for (std::string line; std::getline(in, line);) {
      if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    }
    return 0;
  }

 private:
  // The pid of the device's process named `name`, from its log's first line.
  std::optional<std::string> pidOf(const std::string& name) const {
    const std::string text = slurp(log());
    const std::string marker = " " + name + "[";
    const size_t at = text.rfind(marker);
    if (at == std::string::npos) return std::nullopt;
    const size_t start = at + marker.size();
    return text.substr(start, text.find(']', start) - start);
  }
  bool launched() const {
    for (int i = 0; i < 200; ++i) {
      if (slurp(log()).find("SpringBoard finished launching") != std::string::npos) return true;
      std::this_thread::sleep_for(50ms);
    }
    return false;
  }

  fs::path root_;
  std::string url_;
  bool ok_ = false;
};

void BM_PromptBurst(benchmark::State& state) {
  for (auto _ : state) {
    // Destroyed after the device, whose stop ends the apps and so their output.
    std::vector<std::unique_ptr<RunningApp>> apps;
    Device device;
    if (!device.ok()) return state.SkipWithError("the device did not start");
    Result<std::unique_ptr<display::ScreenClient>> screen =
        display::ScreenClient::connect(device.screenUrl());
    if (!screen) return state.SkipWithError(screen.reason().c_str());
    display::ScreenClient& finger = **screen;

    const long rssBefore = device.springBoardRssKb();
    const size_t logBefore = slurp(device.log()).size();
    const Clock::time_point started = Clock::now();
    for (int a = 0; a < kApps; ++a) {
      std::vector<std::string> argv = device.args({"open", Device::appId(a)});
      for (int r = 0; r < kRequestsPerHostPerApp; ++r) {
        for (int h = 0; h < kHosts; ++h) {
          argv.push_back("http://" + host(h) + ":9/" + std::to_string(a) + "/" + std::to_string(r));
        }
      }
      apps.push_back(std::make_unique<RunningApp>(argv));
    }

    // Each prompt: which host it names, then the answer.
    std::map<std::string, Clock::time_point> answered;
    int prompts = 0;
    while (true) {
      Result<display::Point> shown = finger.waitForText("Allow always", prompts == 0 ? 30s : 3s);
      if (!shown) break;
      std::string named;
      for (int h = 0; h < kHosts; ++h) {
        if (finger.showing(host(h))) named = host(h);
      }
      if (named.empty() || answered.count(named)) {
        return state.SkipWithError(
            ("a prompt for " + (named.empty() ? "no host" : named) + " came twice or named none")
                .c_str());
      }
      if (!finger.tapText("Block", 10s, "Block always"))
        return state.SkipWithError("tapping Block did not retitle the choices");
      answered[named] = Clock::now();
      if (!finger.tapText("Block always", 10s)) return state.SkipWithError("cannot answer");
      ++prompts;
    }

    // Every task ends with its answer: "GET http://hN.burst.test:9/... -> error -999".
    std::map<std::string, Clock::time_point> lastEnd;
    int ended = 0;
    const Clock::time_point deadline = Clock::now() + 30s;
    Clock::time_point finished = started;
    while (Clock::now() < deadline) {
      lastEnd.clear();
      ended = 0;
      for (auto& app : apps) {
        for (const auto& [line, at] : app->lines()) {
          if (line.rfind("GET http://", 0) != 0) continue;
          const std::string name = line.substr(11, line.find(':', 11) - 11);
          ++ended;
          lastEnd[name] = std::max(lastEnd[name], at);
          finished = std::max(finished, at);
        }
      }
      if (ended >= kApps * kHosts * kRequestsPerHostPerApp) break;
      std::this_thread::sleep_for(20ms);
    }
    state.SetIterationTime(std::chrono::duration<double>(finished - started).count());

    double slowest = 0;
    double total = 0;
    for (const auto& [name, at] : answered) {
      auto end = lastEnd.find(name);
      const double ms = end == lastEnd.end()
                            ? 1e9
                            : std::chrono::duration<double, std::milli>(end->second - at).count();
      slowest = std::max(slowest, ms);
      total += ms;
    }
    const std::string log = slurp(device.log());
    size_t springBoardLines = 0;
    for (size_t at = log.find(" SpringBoard[", logBefore); at != std::string::npos;
         at = log.find(" SpringBoard[", at + 1))
      ++springBoardLines;
    state.counters["prompts"] = prompts;
    state.counters["requests_answered"] = ended;
    state.counters["answer_to_all_ms"] = slowest;
    state.counters["answer_mean_ms"] = answered.empty() ? 0 : total / answered.size();
    state.counters["sb_rss_growth_kb"] = static_cast<double>(device.springBoardRssKb() - rssBefore);
    state.counters["log_growth_kb"] = static_cast<double>(log.size() - logBefore) / 1024;
    state.counters["sb_log_lines"] = static_cast<double>(springBoardLines);
  }
}
BENCHMARK(BM_PromptBurst)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace sentrel
