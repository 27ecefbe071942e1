// One running device for a firewall test: its own root, launchd, bus and
// SpringBoard started through the `sentrel` CLI (real processes, the tweak
// library injected), an app installed, and the test watching the bus.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/notify/device_bus.h"
#include "platform/notify/notification_center.h"
#include "platform/plist/plist_codec.h"
#include "platform/plist/value.h"
#include "platform/runloop/run_loop.h"
#include "platform/spawn/spawn.h"
#include "support/program_run.h"
#include "support/temp_dir.h"

namespace sentrel::testing {

namespace fs = std::filesystem;
using plist::Value;

constexpr const char* kSettingsFile =
    "var/mobile/Library/Preferences/ca.kelmora.sentrel_preferences.plist";
constexpr const char* kProbeId = "com.example.probe";

using Outcome = ProgramOutcome;

// A loopback TCP listener that accepts (the kernel completes connects).
class Listener {
 public:
  explicit Listener(int family) {
    fd_ = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_storage storage{};
    socklen_t length;
    if (family == AF_INET) {
      auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
      v4->sin_family = AF_INET;
      v4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      length = sizeof *v4;
    } else {
      auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
      v6->sin6_family = AF_INET6;
      v6->sin6_addr = in6addr_loopback;
      length = sizeof *v6;
    }
    ok_ = fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&storage), length) == 0 &&
          listen(fd_, 512) == 0 &&
          getsockname(fd_, reinterpret_cast<sockaddr*>(&storage), &length) == 0;
    port_ = ntohs(family == AF_INET ? reinterpret_cast<sockaddr_in*>(&storage)->sin_port
                                    : reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port);
  }
  ~Listener() {
    if (fd_ >= 0) close(fd_);
  }
  bool ok() const { return ok_; }
  int port() const { return port_; }

 private:
  int fd_ = -1;
  bool ok_ = false;
  int port_ = 0;
};

class FirewalledDevice : public ::testing::Test {
 protected:
  void TearDown() override {
    center_.reset();
    if (started_) cli({"device", "stop"});
  }

  Outcome cli(std::vector<std::string> args) {
    std::vector<std::string> argv{"sentrel", "--root", root_.path().string()};
    argv.insert(argv.end(), args.begin(), args.end());
    return runProgram(SENTREL_CLI, argv, io_.path());
  }

  // Starts the device with `settings` as its settings file, installs the
  // probe and starts listening on its bus.
  void startDevice(const Value& settings, const char* app = kProbeId,
                   const char* executable = SENTREL_NET_PROBE) {
    fs::create_directories((root_.path() / kSettingsFile).parent_path());
    if (!settings.isNull()) {
      ASSERT_TRUE(plist::writeFileAtomically(root_.path() / kSettingsFile, settings).ok());
    }
    Outcome start = cli({"device", "start"});
    ASSERT_EQ(start.code, 0) << start.err;
    started_ = true;
    Outcome install = cli({"app", "install", "--id", app, executable});
    ASSERT_EQ(install.code, 0) << install.err;
    auto center = notify::makeBusCenter(notify::busAddressForRoot(root_.path()), loop_);
    ASSERT_TRUE(center.ok()) << center.reason();
    center_ = std::move(center).value();
    center_->addObserver(
        "SNT_NEW_SPRINGBOARD_ALERT",
        [this](const std::string&, const Value& info) { alerts_.push_back(info); });
    center_->addObserver("SNT_NEW_SETTINGS", [this](const std::string&, const Value& info) {
      newSettings_.push_back(info);
    });
    ASSERT_TRUE(waitForLog("SpringBoard finished launching"));
  }

  Outcome probe(std::vector<std::string> args) {
    std::vector<std::string> argv{"open", kProbeId};
    argv.insert(argv.end(), args.begin(), args.end());
    return cli(argv);
  }

  // An app run in the background through `sentrel open`, for requests the
  // firewall holds; its output goes to a file of its own.
  struct Running {
    pid_t pid = 0;
    fs::path out;
  };
  Running openInBackground(const char* app, std::vector<std::string> args) {
    std::vector<std::string> argv{"sentrel", "--root", root_.path().string(), "open", app};
    argv.insert(argv.end(), args.begin(), args.end());
    Running running;
    running.out = io_.path() / ("background-" + std::to_string(++background_));
    int out_fd = open(running.out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    spawn::Options options;
    options.stdin_ = spawn::Stdio::devNull();
    options.stdout_ = spawn::Stdio::fromFd(out_fd);
    options.stderr_ = spawn::Stdio::devNull();
    Result<pid_t> pid = spawn::spawnProcess(SENTREL_CLI, argv, options);
    close(out_fd);
    if (pid.ok()) running.pid = *pid;
    return running;
  }
  // Its exit code once it ended, or -1.
  int finish(const Running& running) {
    if (running.pid <= 0) return -1;
    Result<spawn::ExitStatus> status = spawn::waitForExit(running.pid);
    return status.ok() && !status->signaled ? status->code : -1;
  }
  bool waitForOutput(const Running& running, const std::string& text) {
    return loop_.runUntil([&] { return slurp(running.out).find(text) != std::string::npos; },
                          std::chrono::seconds(20));
  }
  // Answers a prompt request as SpringBoard does.
  void answer(const std::string& app, const std::string& alertId, bool allow) {
    center_->post("SNT_ALERT_CALLBACK_" + app, Value::dictOf({{"alert_id", Value::string(alertId)},
                                                              {"allow", Value::boolean(allow)}}));
  }
  bool waitForAlerts(size_t count) {
    return loop_.runUntil([&] { return alerts_.size() >= count; }, std::chrono::seconds(20));
  }

  std::string deviceLog() { return slurp(root_.path() / "var/log/system.log"); }

  bool waitForLog(const std::string& text) {
    return loop_.runUntil([&] { return deviceLog().find(text) != std::string::npos; },
                          std::chrono::seconds(20));
  }

  Value settingsFile() {
    Result<Value> read = plist::readDictionaryFile(root_.path() / kSettingsFile);
    return read.ok() ? *read : Value();
  }

  // Asks SpringBoard to save `settings` and tell everyone, as the Settings
  // app does; true once SpringBoard announced it.
  bool saveThroughSpringBoard(const Value& settings) {
    newSettings_.clear();
    center_->post("SNT_SB_SAVE_SETTINGS_AND_NOTIFY", settings);
    return loop_.runUntil([&] { return !newSettings_.empty(); }, std::chrono::seconds(20)) &&
           newSettings_.back() == settings;
  }

  static Value appRules(const char* host, int64_t value) {
    return Value::dictOf(
        {{"apps",
          Value::dictOf(
              {{kProbeId,
                Value::dictOf(
                    {{"domains",
                      Value::dictOf(
                          {{host, Value::dictOf({{"allowed", Value::integer(value)}})}})}})}})}});
  }

  testing::TempDir root_;
  testing::TempDir io_;
  runloop::RunLoop loop_;
  std::unique_ptr<notify::NotificationCenter> center_;
  std::vector<Value> alerts_;
  std::vector<Value> newSettings_;
  bool started_ = false;
  int background_ = 0;
};

}  // namespace sentrel::testing
