// The firewall at work: real programs started through the device's launcher
// (the `sentrel` CLI and launchd, as real processes) with the tweak library
// injected, SpringBoard running, and the test watching the device's bus.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/notify/device_bus.h"
#include "platform/notify/notification_center.h"
#include "platform/plist/plist_codec.h"
#include "platform/plist/value.h"
#include "platform/runloop/run_loop.h"
#include "platform/spawn/spawn.h"
#include "support/temp_dir.h"

namespace sentrel {
namespace {

namespace fs = std::filesystem;
using plist::Value;

constexpr const char* kSettingsFile =
    "var/mobile/Library/Preferences/ca.kelmora.sentrel_preferences.plist";
constexpr const char* kProbeId = "com.example.probe";

struct Outcome {
  int code = -1;
  std::string out;
  std::string err;
};

std::string slurp(const fs::path& p) {
  std::ifstream in(p);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// A loopback TCP listener that accepts (the kernel completes connects).
class Listener {
 public:
  explicit Listener(int family) : family_(family) {
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
  int family_;
  int fd_ = -1;
  bool ok_ = false;
  int port_ = 0;
};

class AFirewalledProgram : public ::testing::Test {
 protected:
  void TearDown() override {
    center_.reset();
    if (started_) cli({"device", "stop"});
  }

  Outcome cli(std::vector<std::string> args) {
    std::vector<std::string> argv{"sentrel", "--root", root_.path().string()};
    argv.insert(argv.end(), args.begin(), args.end());
    fs::path out = io_.path() / "out", err = io_.path() / "err";
    int out_fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    int err_fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    spawn::Options options;
    options.stdin_ = spawn::Stdio::devNull();
    options.stdout_ = spawn::Stdio::fromFd(out_fd);
    options.stderr_ = spawn::Stdio::fromFd(err_fd);
    Result<spawn::ExitStatus> status = spawn::run(SENTREL_CLI, argv, options);
    close(out_fd);
    close(err_fd);
    Outcome r;
    if (status) r.code = status->signaled ? 128 + status->signal : status->code;
    r.out = slurp(out);
    r.err = slurp(err);
    return r;
  }

  // Starts the device with `settings` as its settings file, installs the
  // probe and starts listening on its bus.
  void startDevice(const Value& settings) {
    fs::create_directories((root_.path() / kSettingsFile).parent_path());
    if (!settings.isNull()) {
      ASSERT_TRUE(plist::writeFileAtomically(root_.path() / kSettingsFile, settings).ok());
    }
    Outcome start = cli({"device", "start"});
    ASSERT_EQ(start.code, 0) << start.err;
    started_ = true;
    Outcome install = cli({"app", "install", "--id", kProbeId, SENTREL_NET_PROBE});
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
};

const std::string kUnreachable = "failed " + std::to_string(ENETUNREACH) + "\n";

TEST_F(AFirewalledProgram, IsBlockedAllowedAndAskedAboutByItsRules) {
  Listener allowed(AF_INET);
  ASSERT_TRUE(allowed.ok());
  startDevice(appRules("127.0.0.1", 2));

  // A blocked host fails at once, and nobody is asked.
  Outcome blocked = probe({"tcp", "127.0.0.1", std::to_string(allowed.port())});
  EXPECT_EQ(blocked.out, kUnreachable) << blocked.err;

  // A host without a rule fails at once too, and SpringBoard is asked.
  Listener v6(AF_INET6);
  ASSERT_TRUE(v6.ok());
  Outcome asked = probe({"tcp", "::1", std::to_string(v6.port())});
  EXPECT_EQ(asked.out, kUnreachable) << asked.err;
  ASSERT_TRUE(loop_.runUntil([&] { return !alerts_.empty(); }, std::chrono::seconds(20)));
  const Value& alert = alerts_.front();
  EXPECT_EQ(*alert.get("host").asString(), "::1");
  EXPECT_EQ(alert.get("port").asInteger(), v6.port());
  EXPECT_EQ(*alert.get("bundle_id").asString(), kProbeId);
  EXPECT_EQ(*alert.get("custom_message").asString(),
            "Warning: This task can't be resumed. You may need to restart this app if you click "
            "'Allow'.");
  EXPECT_FALSE(alert.get("url").isNull() && alert.get("alert_id").isNull());
  for (const char* key :
       {"alert_id", "bundle_id", "pid", "app_name", "host", "port", "custom_message",
        "is_system_app", "is_hidden_app", "is_daemon", "app_settings", "global_settings"}) {
    EXPECT_FALSE(alert.get(key).isNull()) << key;
  }
  EXPECT_TRUE(alert.get("url").isNull());
  EXPECT_TRUE(waitForLog("showSNTAlert called!"));

  // Once a rule allows them, both connect.
  plist::MutableDict domains;
  domains.set("127.0.0.1", Value::dictOf({{"allowed", Value::integer(1)}}));
  domains.set("::1", Value::dictOf({{"allowed", Value::integer(1)}}));
  Value allowAll = Value::dictOf(
      {{"apps",
        Value::dictOf({{kProbeId, Value::dictOf({{"domains", std::move(domains).build()}})}})}});
  ASSERT_TRUE(saveThroughSpringBoard(allowAll));
  EXPECT_EQ(settingsFile(), allowAll);
  EXPECT_EQ(probe({"tcp", "127.0.0.1", std::to_string(allowed.port())}).out, "connected\n");
  EXPECT_EQ(probe({"tcp", "::1", std::to_string(v6.port())}).out, "connected\n");
  EXPECT_EQ(alerts_.size(), 1u);
}

TEST_F(AFirewalledProgram, SendsItsLearningRuleToSpringBoardWhichWritesIt) {
  Listener listener(AF_INET);
  ASSERT_TRUE(listener.ok());
  // New sites are allowed for this app and remembered.
  startDevice(Value::dictOf(
      {{"apps",
        Value::dictOf({{kProbeId, Value::dictOf({{"new_site_policy", Value::string("1")}})}})}}));
  EXPECT_EQ(probe({"tcp", "127.0.0.1", std::to_string(listener.port())}).out, "connected\n");
  ASSERT_TRUE(loop_.runUntil(
      [&] {
        return settingsFile()
                   .get("apps")
                   .get(kProbeId)
                   .get("domains")
                   .get("127.0.0.1")
                   .get("allowed")
                   .asInteger() == 1;
      },
      std::chrono::seconds(20)));
  EXPECT_NE(deviceLog().find("Received SNT_SB_SAVE_SETTINGS"), std::string::npos);
  EXPECT_TRUE(alerts_.empty());
}

TEST_F(AFirewalledProgram, WithItsFirewallOffAtLaunchGetsNoHooks) {
  Listener listener(AF_INET);
  ASSERT_TRUE(listener.ok());
  Value settings = Value::dictOf(
      {{"apps", Value::dictOf(
                    {{kProbeId, Value::dictOf({{"firewall_enabled", Value::boolean(false)},
                                               {"deny_all_outbound", Value::boolean(true)}})}})}});
  startDevice(settings);
  EXPECT_EQ(probe({"tcp", "127.0.0.1", std::to_string(listener.port())}).out, "connected\n");
  const std::string log = deviceLog();
  EXPECT_NE(log.find("sentrel ctor for com.example.probe"), std::string::npos);
  EXPECT_EQ(log.find("sentrel initializing hooks"), std::string::npos);
}

TEST_F(AFirewalledProgram, NeverExaminesLocalSockets) {
  // Everything outbound is denied, yet a Unix-domain connection goes through.
  startDevice(Value::dictOf(
      {{"apps", Value::dictOf(
                    {{kProbeId, Value::dictOf({{"deny_all_outbound", Value::boolean(true)}})}})}}));
  fs::path path = io_.path() / "local.sock";
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(fd, 4), 0);
  EXPECT_EQ(probe({"unix", path.string()}).out, "connected\n");
  EXPECT_EQ(probe({"tcp", "127.0.0.1", "9"}).out, kUnreachable);
  close(fd);
}

TEST_F(AFirewalledProgram, KeepsWorkingWhenItForksFromSeveralThreadsAndStaysSilent) {
  Listener listener(AF_INET);
  ASSERT_TRUE(listener.ok());
  startDevice(appRules("127.0.0.1", 1));
  Outcome run = probe({"forks", "127.0.0.1", std::to_string(listener.port())});
  EXPECT_EQ(run.code, 0);
  // Nothing but the program's own line on its streams.
  EXPECT_EQ(run.out, "ok\n");
  EXPECT_EQ(run.err, "");
}

}  // namespace
}  // namespace sentrel
