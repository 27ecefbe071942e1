// The sentrel CLI and launchd, run as real processes against a fresh device
// root per test.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "device/launchd/control.h"
#include "device/launchd/device_layout.h"
#include "platform/apps/installed_apps.h"
#include "platform/display/screen_profile.h"
#include "platform/notify/device_bus.h"
#include "platform/plist/plist_codec.h"
#include "platform/plist/value.h"
#include "platform/spawn/spawn.h"
#include "support/program_run.h"
#include "support/temp_dir.h"

namespace sentrel {
namespace {

namespace fs = std::filesystem;
using plist::Value;

using Outcome = testing::ProgramOutcome;

// The status code of a GET of `path` on 127.0.0.1:`port` (0: no answer).
int httpStatus(int port, const std::string& path) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  timeval timeout{5, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int code = 0;
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
    const std::string request = "GET " + path +
                                " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                                "\r\nConnection: close\r\n\r\n";
    if (write(fd, request.data(), request.size()) == static_cast<ssize_t>(request.size())) {
      char reply[64] = {};
      ssize_t n = read(fd, reply, sizeof reply - 1);
      if (n > 12 && std::string(reply, 9) == "HTTP/1.1 ") code = atoi(reply + 9);
    }
  }
  close(fd);
  return code;
}

// "http://127.0.0.1:PORT/TOKEN/" -> PORT and "/TOKEN/"
bool splitUrl(const std::string& url, int* port, std::string* path) {
  const std::string prefix = "http://127.0.0.1:";
  if (url.rfind(prefix, 0) != 0) return false;
  size_t slash = url.find('/', prefix.size());
  if (slash == std::string::npos) return false;
  *port = atoi(url.substr(prefix.size(), slash - prefix.size()).c_str());
  *path = url.substr(slash);
  return *port > 0;
}

class ACliDevice : public ::testing::Test {
 protected:
  void TearDown() override {
    if (started_) run({"device", "stop"});
  }

  Outcome run(std::vector<std::string> args, const fs::path* root = nullptr) {
    std::vector<std::string> argv{"sentrel", "--root", (root ? *root : tmp_.path()).string()};
    argv.insert(argv.end(), args.begin(), args.end());
    return runRaw(argv);
  }

  Outcome runRaw(const std::vector<std::string>& argv) {
    Outcome r = testing::runProgram(SENTREL_CLI, argv, io_.path());
    if (argv.size() > 4 && argv[3] == "device" && argv[4] == "start" && r.code == 0) {
      started_ = true;
    }
    return r;
  }

  Value status() {
    Result<device::ControlClient> client = device::ControlClient::connect(tmp_.path());
    if (!client) return Value();
    Result<Value> reply = client->call(Value::dictOf({{"command", Value::string("status")}}));
    return reply ? *reply : Value();
  }

  pid_t pidOf(const std::string& name) {
    pid_t found = 0;
    Value current = status();  // keeps the records alive while we read them
    if (const plist::Array* processes = current.get("processes").asArray()) {
      for (const Value& p : *processes) {
        if (const std::string* n = p.get("name").asString(); n && *n == name) {
          found = static_cast<pid_t>(p.get("pid").asInteger().value_or(0));
        }
      }
    }
    return found;
  }

  // Polls `done` until it holds; the device answers on its own schedule.
  template <class F>
  bool eventually(F done) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
      if (done()) return true;
      std::this_thread::yield();
    }
    return done();
  }

  // SpringBoard takes save requests once it finished launching, a moment
  // after `device start` returns.
  bool springBoardLaunched() {
    return eventually([&] {
      return testing::slurp(tmp_.path() / "var/log/system.log")
                 .find("SpringBoard finished launching") != std::string::npos;
    });
  }

  testing::TempDir tmp_;
  testing::TempDir io_;
  bool started_ = false;
};

TEST_F(ACliDevice, StartsReportsAndStopsADevice) {
  Outcome start = run({"device", "start"});
  ASSERT_EQ(start.code, 0) << start.err;
  EXPECT_NE(start.out.find("running"), std::string::npos);
  EXPECT_NE(start.out.find("launchd"), std::string::npos);
  EXPECT_NE(start.out.find("dbus-daemon"), std::string::npos);
  // The device's programs are installed where the system calls them.
  for (const char* tool : {"usr/bin/killall", "bin/kill", "sbin/launchctl", "usr/bin/open"}) {
    EXPECT_TRUE(fs::exists(tmp_.path() / tool)) << tool;
  }

  Outcome again = run({"device", "start"});
  EXPECT_EQ(again.code, 1);
  EXPECT_NE(again.err.find("already running"), std::string::npos) << again.err;

  Outcome stop = run({"device", "stop"});
  EXPECT_EQ(stop.code, 0) << stop.err;
  started_ = false;
  Outcome status = run({"device", "status"});
  EXPECT_EQ(status.code, 3);
  EXPECT_NE(status.out.find("not running"), std::string::npos);
}

// ---- Settings changes on a started device ----

fs::path settingsFileOf(const fs::path& root) {
  return root / "var/mobile/Library/Preferences/ca.kelmora.sentrel_preferences.plist";
}

// Each command reads the settings, hands SpringBoard a whole document and
// waits for the file to show it; at once, each would undo the others.
TEST_F(ACliDevice, KeepsEveryConfirmedChangeOfTwelveMadeAtOnce) {
  ASSERT_EQ(run({"device", "start"}).code, 0);
  ASSERT_TRUE(springBoardLaunched());
  constexpr int kChanges = 12;
  std::vector<Outcome> outcomes(kChanges);
  std::vector<std::unique_ptr<testing::TempDir>> io;
  for (int n = 0; n < kChanges; ++n) io.push_back(std::make_unique<testing::TempDir>());
  std::vector<std::thread> commands;
  for (int n = 0; n < kChanges; ++n) {
    commands.emplace_back([&, n] {
      outcomes[n] =
          testing::runProgram(SENTREL_CLI,
                              {"sentrel", "--root", tmp_.path().string(), "rules", "block",
                               "10.1.0." + std::to_string(n), "--global", "--timeout", "60"},
                              io[n]->path());
    });
  }
  for (std::thread& command : commands) command.join();

  Result<Value> saved = plist::readDictionaryFile(settingsFileOf(tmp_.path()));
  ASSERT_TRUE(saved.ok()) << saved.reason();
  for (int n = 0; n < kChanges; ++n) {
    const std::string host = "10.1.0." + std::to_string(n);
    EXPECT_EQ(outcomes[n].code, 0) << host << ": " << outcomes[n].err;
    EXPECT_EQ(outcomes[n].out, "global rule: " + host + " -> blocked\n");
    EXPECT_EQ(saved->get("global_hosts").get(host).get("allowed"), Value::integer(2)) << host;
  }
}

TEST_F(ACliDevice, KeepsADamagedSettingsFileAsideBeforeSpringBoardSavesOverIt) {
  ASSERT_EQ(run({"device", "start"}).code, 0);
  ASSERT_TRUE(springBoardLaunched());
  const fs::path file = settingsFileOf(tmp_.path());
  fs::create_directories(file.parent_path());
  const std::string garbage = "<plist><dict><key>global_hosts</key><dict><key>ads.exa";
  std::ofstream(file) << garbage;

  Outcome list = run({"rules", "list"});
  EXPECT_EQ(list.code, 1);
  EXPECT_NE(list.err.find("is damaged"), std::string::npos) << list.err;

  Outcome change = run({"rules", "block", "example.com", "--global"});
  ASSERT_EQ(change.code, 0) << change.err;
  EXPECT_NE(change.err.find("damaged settings file was kept as " + file.string() + ".damaged-"),
            std::string::npos)
      << change.err;
  std::vector<fs::path> kept;
  for (const fs::directory_entry& entry : fs::directory_iterator(file.parent_path())) {
    if (entry.path().filename().string().find(".damaged-") != std::string::npos) {
      kept.push_back(entry.path());
    }
  }
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(testing::slurp(kept[0]), garbage);
  Result<Value> saved = plist::readDictionaryFile(file);
  ASSERT_TRUE(saved.ok()) << saved.reason();
  EXPECT_EQ(saved->get("global_hosts").get("example.com").get("allowed"), Value::integer(2));
  EXPECT_EQ(run({"rules", "list"}).code, 0);
  EXPECT_TRUE(eventually([&] {
    return testing::slurp(tmp_.path() / "var/log/system.log").find("kept it aside as") !=
           std::string::npos;
  }));
}

// ---- Roots and exit codes ----

TEST_F(ACliDevice, SaysThereIsNoDeviceAtARootThatDoesNotExist) {
  const fs::path missing = tmp_.path() / "nowhere";
  for (std::vector<std::string> args : {std::vector<std::string>{"rules", "list"},
                                        {"app", "list"},
                                        {"device", "status"},
                                        {"log"},
                                        {"rules", "block", "example.com", "--global"}}) {
    Outcome r = run(args, &missing);
    EXPECT_EQ(r.code, 2) << args[0];
    EXPECT_EQ(r.err, "sentrel: no device at " + missing.string() + "\n") << args[0];
    EXPECT_EQ(r.out, "");
  }
  EXPECT_FALSE(fs::exists(missing));
}

TEST_F(ACliDevice, ListsEverySettingsKeyAndTheExitCodesInItsHelp) {
  Outcome help = run({"help"});
  ASSERT_EQ(help.code, 0);
  for (const char* key :
       {"snt_enabled", "snt_system_apps_enabled", "snt_hook_syscalls", "snt_animations",
        "snt_show_bundle_ids", "snt_alert_show_bundle", "snt_alert_show_url",
        "snt_filter_custom_scheme", "snt_no_network_apps_enabled", "snt_upload_anonymous_data",
        "new_app_policy", "firewall_enabled", "allow_all_outbound", "deny_all_outbound",
        "new_site_policy", "filter_webviews", "filter_streams"}) {
    EXPECT_NE(help.out.find(key), std::string::npos) << key;
  }
  EXPECT_NE(help.out.find("exit codes:"), std::string::npos);
  EXPECT_NE(help.out.find("rules test --app ID HOST[:PORT]"), std::string::npos);
}

TEST_F(ACliDevice, RefusesToSaveAScreenshotOverAFolder) {
  Outcome r = run({"screen", "--png", io_.path().string()});
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find("is a folder"), std::string::npos) << r.err;
}

TEST_F(ACliDevice, RefusesToInstallAFileTheKernelCannotRun) {
  const fs::path text = io_.path() / "readme";
  std::ofstream(text) << "hello\n";
  fs::permissions(text, fs::perms::owner_all);
  Outcome r = run({"app", "install", "--id", "com.example.text", text.string()});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("not a program this machine can run"), std::string::npos) << r.err;
  EXPECT_NE(run({"app", "list"}).out.find("No apps installed"), std::string::npos);
}

TEST_F(ACliDevice, ListsAppsAndStatusAsJson) {
  ASSERT_EQ(run({"app", "install", "--id", "com.example.shell", "--name", "Shell", "/bin/sh"}).code,
            0);
  Outcome apps = run({"app", "list", "--json"});
  ASSERT_EQ(apps.code, 0) << apps.err;
  const nlohmann::json list = nlohmann::json::parse(apps.out);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0]["id"], "com.example.shell");
  EXPECT_EQ(list[0]["name"], "Shell");
  EXPECT_EQ(list[0]["type"], "User");

  Outcome stopped = run({"device", "status", "--json"});
  EXPECT_EQ(stopped.code, 3);
  EXPECT_EQ(nlohmann::json::parse(stopped.out)["running"], false);
  ASSERT_EQ(run({"device", "start"}).code, 0);
  Outcome running = run({"device", "status", "--json"});
  ASSERT_EQ(running.code, 0) << running.err;
  const nlohmann::json status = nlohmann::json::parse(running.out);
  EXPECT_EQ(status["running"], true);
  EXPECT_GT(status["pid"].get<int64_t>(), 0);
  bool springboard = false;
  for (const nlohmann::json& p : status["processes"]) springboard |= p["name"] == "SpringBoard";
  EXPECT_TRUE(springboard) << running.out;
}

TEST_F(ACliDevice, StopsARunningApp) {
  ASSERT_EQ(
      run({"app", "install", "--id", "com.example.sleeper", "--name", "Sleeper", "/bin/sleep"})
          .code,
      0);
  ASSERT_EQ(run({"device", "start"}).code, 0);
  Outcome idle = run({"app", "stop", "com.example.sleeper"});
  EXPECT_EQ(idle.code, 0) << idle.err;
  EXPECT_EQ(idle.out, "com.example.sleeper is not running; nothing changed\n");

  testing::TempDir app_io;
  Outcome opened;
  std::thread app([&] {
    opened = testing::runProgram(
        SENTREL_CLI,
        {"sentrel", "--root", tmp_.path().string(), "open", "com.example.sleeper", "600"},
        app_io.path());
  });
  ASSERT_TRUE(eventually([&] { return pidOf("Sleeper") > 0; }));
  Outcome stopped = run({"app", "stop", "com.example.sleeper"});
  app.join();
  EXPECT_EQ(stopped.code, 0) << stopped.err;
  EXPECT_EQ(stopped.out, "Stopped com.example.sleeper\n");
  EXPECT_EQ(pidOf("Sleeper"), 0);
  EXPECT_NE(opened.code, 0);

  Outcome unknown = run({"app", "stop", "com.example.ghost"});
  EXPECT_EQ(unknown.code, 1);
  EXPECT_NE(unknown.err.find("unknown app"), std::string::npos) << unknown.err;
}

TEST_F(ACliDevice, RefusesARootThatIsMissingOrNotAFolder) {
  fs::path missing = tmp_.path() / "nowhere";
  Outcome r = run({"device", "start"}, &missing);
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("does not exist"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(missing));

  fs::path file = tmp_.path() / "a-file";
  std::ofstream(file) << "x";
  r = run({"device", "start"}, &file);
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("not a folder"), std::string::npos) << r.err;
}

TEST_F(ACliDevice, RejectsBadCommandLinesWithExitCodeTwoAndChangesNothing) {
  const std::vector<std::vector<std::string>> bad = {
      {},
      {"frobnicate"},
      {"device"},
      {"device", "explode"},
      {"app", "install", "/bin/true"},                        // no --id
      {"app", "install", "--id", "bad id", "/bin/true"},      // invalid identifier
      {"app", "install", "--id", "com.example.x", "--name"},  // missing value
      {"app", "install", "--id", "com.example.x", "--bogus", "/bin/true"},
      {"app", "remove"},
      {"open"},
      {"open", "../escape"},
      {"notify"},
      {"notify", "a", "b"},
      {"notify", ""},
  };
  for (const auto& args : bad) {
    Outcome r = run(args);
    std::string joined;
    for (const auto& a : args) joined += a + " ";
    EXPECT_EQ(r.code, 2) << joined;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << joined << ": " << r.err;
  }
  EXPECT_FALSE(fs::exists(tmp_.path() / "Applications"));
  EXPECT_FALSE(fs::exists(tmp_.path() / "var"));

  Outcome no_root = runRaw({"sentrel", "--root"});
  EXPECT_EQ(no_root.code, 2);
  // A well-formed command for a device that is not running says so.
  Outcome stopped = run({"notify", "_snt_springboard_alert_removed"});
  EXPECT_EQ(stopped.code, 1);
  EXPECT_NE(stopped.err.find("not running"), std::string::npos) << stopped.err;
}

TEST_F(ACliDevice, RefusesToInstallAnAppUnderAnIdentifierTheSystemTreatsSpecially) {
  // An app under one of these would run unfiltered (or as SpringBoard).
  for (const char* id :
       {"com.apple.springboard", "com.apple.CoreAuthUI", "com.apple.SafariViewService",
        "com.saurik.Cydia", "com.apple.WebKit.Networking"}) {
    Outcome r = run({"app", "install", "--id", id, "/bin/true"});
    EXPECT_EQ(r.code, 2) << id;
    EXPECT_NE(r.err.find(std::string(id) + " is reserved"), std::string::npos) << r.err;
  }
  EXPECT_FALSE(fs::exists(tmp_.path() / "Applications"));
  EXPECT_FALSE(fs::exists(tmp_.path() / "var"));
  // Only those names: one that merely starts like them is an ordinary app.
  Outcome lookalike = run({"app", "install", "--id", "com.apple.springboard.helper", "/bin/true"});
  EXPECT_EQ(lookalike.code, 0) << lookalike.err;
}

TEST_F(ACliDevice, KeepsItsBusControlSocketAndLogToItsOwnUser) {
  const fs::path& root = tmp_.path();
  // A root left by an older version, with folders and a log others could read.
  for (const char* folder : {"var/run/sentrel", "var/log"}) {
    fs::create_directories(root / folder);
    fs::permissions(root / folder, fs::perms(0755));
  }
  std::ofstream(root / "var/log/system.log") << "an old line\n";
  fs::permissions(root / "var/log/system.log", fs::perms(0644));

  Outcome start = run({"device", "start"});
  ASSERT_EQ(start.code, 0) << start.err;
  auto mode = [](const fs::path& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 07777) : -1;
  };
  EXPECT_EQ(mode(root / "var/run/sentrel"), 0700);
  EXPECT_EQ(mode(root / "var/log"), 0700);
  EXPECT_EQ(mode(root / "var/log/system.log"), 0600);
  EXPECT_EQ(mode(device::controlSocketPath(root)), 0600);
  EXPECT_EQ(mode(notify::busSocketPath(root)), 0600);

  // The settings file holds every app's rules: SpringBoard writes it
  // private, in a private folder, even over an older root's open modes.
  fs::permissions(root / "var/mobile/Library/Preferences", fs::perms(0755));
  Outcome set = run({"rules", "set", "snt_show_bundle_ids", "on"});
  ASSERT_EQ(set.code, 0) << set.err;
  EXPECT_EQ(mode(root / "var/mobile/Library/Preferences"), 0700);
  EXPECT_EQ(mode(root / "var/mobile/Library/Preferences/ca.kelmora.sentrel_preferences.plist"),
            0600);

  // A fresh root gets the same modes, the log file included.
  testing::TempDir fresh;
  const fs::path fresh_root = fresh.path();
  ASSERT_EQ(run({"app", "install", "--id", "com.example.x", "/bin/true"}, &fresh_root).code, 0);
  EXPECT_EQ(mode(fresh_root / "var/run/sentrel"), 0700);
  EXPECT_EQ(mode(fresh_root / "var/log"), 0700);
  EXPECT_EQ(mode(fresh_root / "var/log/system.log"), 0600);
  EXPECT_EQ(mode(fresh_root / "var/mobile/Library/Preferences"), 0700);
}

// Once `device start` returns, SpringBoard listens: a rule change right
// after it is saved, never lost to a SpringBoard still launching.
TEST_F(ACliDevice, ReturnsFromStartOnceSpringBoardTakesRuleChanges) {
  ASSERT_EQ(run({"device", "start"}).code, 0);
  Outcome set = run({"rules", "set", "snt_show_bundle_ids", "on", "--timeout", "30"});
  EXPECT_EQ(set.code, 0) << set.err;
  Outcome list = run({"rules", "list"});
  EXPECT_NE(list.out.find("snt_show_bundle_ids"), std::string::npos) << list.out;
  Result<Value> saved = plist::readDictionaryFile(
      tmp_.path() / "var/mobile/Library/Preferences/ca.kelmora.sentrel_preferences.plist");
  ASSERT_TRUE(saved.ok()) << saved.reason();
  EXPECT_EQ(saved->get("snt_show_bundle_ids"), Value::boolean(true));
}

// A change sent while launchd brings SpringBoard back is delivered to the
// new SpringBoard once it listens.
TEST_F(ACliDevice, DeliversARuleChangeSentWhileSpringBoardRestarts) {
  ASSERT_EQ(run({"device", "start"}).code, 0);
  const pid_t first = pidOf("SpringBoard");
  ASSERT_GT(first, 0);
  ASSERT_EQ(kill(first, SIGKILL), 0);
  Outcome set = run({"rules", "set", "snt_show_bundle_ids", "on", "--timeout", "30"});
  EXPECT_EQ(set.code, 0) << set.err;
  EXPECT_NE(pidOf("SpringBoard"), first);
  Result<Value> saved = plist::readDictionaryFile(
      tmp_.path() / "var/mobile/Library/Preferences/ca.kelmora.sentrel_preferences.plist");
  ASSERT_TRUE(saved.ok()) << saved.reason();
  EXPECT_EQ(saved->get("snt_show_bundle_ids"), Value::boolean(true));
}

TEST_F(ACliDevice, InstallsListsOpensAndRemovesApps) {
  Outcome install =
      run({"app", "install", "--id", "com.example.shell", "--name", "Shell", "/bin/sh"});
  ASSERT_EQ(install.code, 0) << install.err;
  Outcome duplicate = run({"app", "install", "--id", "com.example.shell", "/bin/sh"});
  EXPECT_EQ(duplicate.code, 1);

  Outcome list = run({"app", "list"});
  EXPECT_NE(list.out.find("com.example.shell"), std::string::npos);
  EXPECT_NE(list.out.find("Shell"), std::string::npos);

  Outcome closed = run({"open", "com.example.shell", "-c", "exit 0"});
  EXPECT_EQ(closed.code, 1);
  EXPECT_NE(closed.err.find("no device is running"), std::string::npos) << closed.err;

  ASSERT_EQ(run({"device", "start"}).code, 0);
  // The app talks to the caller's streams, sees the device's environment and
  // its exit status comes back.
  Outcome opened = run({"open", "com.example.shell", "-c",
                        "echo \"out $0 $SENTREL_DEVICE_ROOT\"; echo err >&2; exit 7"});
  EXPECT_EQ(opened.code, 7) << opened.err;
  EXPECT_NE(opened.out.find("out /var/containers/Bundle/Application/"), std::string::npos)
      << opened.out;
  EXPECT_NE(opened.out.find(tmp_.path().string()), std::string::npos) << opened.out;
  EXPECT_EQ(opened.err, "err\n");

  Outcome unknown = run({"open", "com.example.unknown"});
  EXPECT_EQ(unknown.code, 1);
  EXPECT_NE(unknown.err.find("com.example.unknown"), std::string::npos) << unknown.err;

  EXPECT_EQ(run({"app", "remove", "com.example.shell"}).code, 0);
  EXPECT_EQ(run({"app", "remove", "com.example.shell"}).code, 1);
  EXPECT_EQ(run({"open", "com.example.shell"}).code, 1);
}

TEST_F(ACliDevice, RestartsTheBusWhenItDies) {
  ASSERT_EQ(run({"device", "start"}).code, 0);
  pid_t bus = pidOf("dbus-daemon");
  ASSERT_GT(bus, 0);
  ASSERT_EQ(kill(bus, SIGKILL), 0);
  EXPECT_TRUE(eventually([&] {
    pid_t now = pidOf("dbus-daemon");
    return now > 0 && now != bus;
  }));
}

TEST_F(ACliDevice, RebootsUserspaceThroughLaunchctl) {
  ASSERT_EQ(run({"device", "start"}).code, 0);
  pid_t launchd = pidOf("launchd");
  pid_t bus = pidOf("dbus-daemon");
  ASSERT_GT(bus, 0);
  spawn::Options options;
  options.environment = {{"SENTREL_DEVICE_ROOT", tmp_.path().string()}};
  Result<spawn::ExitStatus> rebooted =
      spawn::run(tmp_.path() / "sbin/launchctl", {"launchctl", "reboot", "userspace"}, options);
  ASSERT_TRUE(rebooted && rebooted->success());
  EXPECT_TRUE(eventually([&] {
    pid_t now = pidOf("dbus-daemon");
    return now > 0 && now != bus;
  }));
  EXPECT_EQ(pidOf("launchd"), launchd);
}

TEST_F(ACliDevice, OpensAppsThroughTheDevicesOpenProgram) {
  fs::path marker = tmp_.path() / "opened";
  ASSERT_EQ(run({"app", "install", "--id", "com.example.touch", "/usr/bin/touch"}).code, 0);
  ASSERT_EQ(run({"device", "start"}).code, 0);
  spawn::Options options;
  options.environment = {{"SENTREL_DEVICE_ROOT", tmp_.path().string()}};
  Result<spawn::ExitStatus> opened = spawn::run(
      tmp_.path() / "usr/bin/open", {"open", "com.example.touch", marker.string()}, options);
  ASSERT_TRUE(opened && opened->success());
  EXPECT_TRUE(eventually([&] { return fs::exists(marker); }));
}

TEST_F(ACliDevice, ToolsStartedWithoutEnvironmentFindTheirDevice) {
  apps::InstallOptions install;
  install.identifier = "com.example.touch";
  install.display_name = "Toucher";
  install.bundle_name = "touchtool";
  install.executable = "/usr/bin/touch";
  ASSERT_TRUE(apps::installApp(tmp_.path(), install));
  ASSERT_EQ(run({"device", "start"}).code, 0);
  spawn::Options options;
  options.inherit_environment = false;
  const fs::path by_display = tmp_.path() / "by-display-name";
  Result<spawn::ExitStatus> opened =
      spawn::run(tmp_.path() / "usr/bin/open", {"open", "Toucher", by_display.string()}, options);
  ASSERT_TRUE(opened && opened->success());
  EXPECT_TRUE(eventually([&] { return fs::exists(by_display); }));
  const fs::path by_process = tmp_.path() / "by-process-name";
  opened =
      spawn::run(tmp_.path() / "usr/bin/open", {"open", "touchtool", by_process.string()}, options);
  ASSERT_TRUE(opened && opened->success());
  EXPECT_TRUE(eventually([&] { return fs::exists(by_process); }));

  pid_t bus = pidOf("dbus-daemon");
  ASSERT_GT(bus, 0);
  Result<spawn::ExitStatus> rebooted =
      spawn::run(tmp_.path() / "sbin/launchctl", {"launchctl", "reboot", "userspace"}, options);
  ASSERT_TRUE(rebooted && rebooted->success());
  EXPECT_TRUE(eventually([&] {
    pid_t now = pidOf("dbus-daemon");
    return now > 0 && now != bus;
  }));
  bus = pidOf("dbus-daemon");
  ASSERT_GT(bus, 0);
  Result<spawn::ExitStatus> killed =
      spawn::run(tmp_.path() / "usr/bin/killall", {"killall", "dbus-daemon"}, options);
  ASSERT_TRUE(killed && killed->success());
  EXPECT_TRUE(eventually([&] {
    pid_t now = pidOf("dbus-daemon");
    return now > 0 && now != bus;
  }));
}

}  // namespace
}  // namespace sentrel

namespace sentrel {
namespace {

class ACliDeviceScreen : public ACliDevice {
 protected:
  std::string urlFile() {
    std::ifstream in(display::screenUrlPath(tmp_.path()));
    std::string line;
    std::getline(in, line);
    return line;
  }
  std::string logText() {
    std::ifstream in(tmp_.path() / "var/log/system.log");
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
};

// The home screen shows an app installed while the device runs, and drops
// one removed, without a restart.
TEST_F(ACliDeviceScreen, ShowsAnAppInstalledWhileTheDeviceRuns) {
  ASSERT_EQ(run({"device", "start"}).code, 0);
  Outcome home = run({"screen", "--wait", "Settings"});
  ASSERT_EQ(home.code, 0) << home.err;
  ASSERT_EQ(
      run({"app", "install", "--id", "com.example.zebra", "--name", "Zebra", "/bin/true"}).code, 0);
  Outcome shown = run({"screen", "--wait", "Zebra", "--timeout", "20"});
  EXPECT_EQ(shown.code, 0) << shown.err;
  ASSERT_EQ(run({"app", "remove", "com.example.zebra"}).code, 0);
  Outcome settings = run({"screen", "--wait", "Settings"});
  EXPECT_EQ(settings.code, 0) << settings.err;
}

TEST_F(ACliDeviceScreen, StartsBackboarddWhichServesThePageOnlyUnderItsToken) {
  Outcome start = run({"device", "start", "--screen", "375x667@2"});
  ASSERT_EQ(start.code, 0) << start.err;
  const pid_t backboardd = pidOf("backboardd");
  ASSERT_GT(backboardd, 0);
  ASSERT_TRUE(eventually([&] { return !urlFile().empty(); }));
  const std::string url = urlFile();
  EXPECT_NE(start.out.find("Screen: " + url), std::string::npos) << start.out;
  struct stat st {};
  ASSERT_EQ(stat(display::screenUrlPath(tmp_.path()).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  std::ifstream profile(display::screenProfilePath(tmp_.path()));
  std::string profile_text;
  std::getline(profile, profile_text);
  EXPECT_EQ(profile_text, "375x667@2");

  Outcome screen = run({"screen"});
  EXPECT_EQ(screen.code, 0) << screen.err;
  EXPECT_EQ(screen.out, url + "\n");
  Outcome status = run({"device", "status"});
  EXPECT_NE(status.out.find("Screen: " + url), std::string::npos) << status.out;

  int port = 0;
  std::string path;
  ASSERT_TRUE(splitUrl(url, &port, &path)) << url;
  EXPECT_EQ(httpStatus(port, path), 200);
  EXPECT_EQ(httpStatus(port, "/0123456789abcdef0123456789abcdef/"), 404);
  EXPECT_EQ(httpStatus(port, "/"), 404);
  EXPECT_TRUE(eventually([&] {
    return logText().find("backboardd serving the screen at " + url) != std::string::npos;
  }));

  // launchd starts it again, with a new page.
  ASSERT_EQ(kill(backboardd, SIGKILL), 0);
  ASSERT_TRUE(eventually([&] {
    pid_t now = pidOf("backboardd");
    return now > 0 && now != backboardd && !urlFile().empty() && urlFile() != url;
  }));
  const std::string fresh = urlFile();
  ASSERT_TRUE(splitUrl(fresh, &port, &path)) << fresh;
  EXPECT_EQ(httpStatus(port, path), 200);
  EXPECT_GT(pidOf("SpringBoard"), 0);
}

TEST_F(ACliDeviceScreen, RefusesAMalformedProfileAndReportsAStoppedScreen) {
  Outcome bad = run({"device", "start", "--screen", "375x667"});
  EXPECT_EQ(bad.code, 2);
  EXPECT_NE(bad.err.find("bad screen profile \"375x667\""), std::string::npos) << bad.err;
  EXPECT_EQ(std::count(bad.err.begin(), bad.err.end(), '\n'), 1) << bad.err;
  EXPECT_EQ(pidOf("launchd"), 0);

  Outcome screen = run({"screen"});
  EXPECT_EQ(screen.code, 1);
  EXPECT_NE(screen.err.find("not running"), std::string::npos) << screen.err;
  EXPECT_EQ(run({"screen", "--jpeg", "x"}).code, 2);
}

// launchd run from a folder without backboardd: the device comes up and
// keeps its firewall side running; the screen is logged as missing.
TEST_F(ACliDeviceScreen, KeepsTheDeviceRunningWhenBackboarddCannotStart) {
  testing::TempDir programs;
  const fs::path built = fs::path(SENTREL_CLI).parent_path();
  fs::create_directories(programs.path() / "bin");
  for (const char* program : {"launchd", "SpringBoard"}) {
    fs::copy_file(built / program, programs.path() / "bin" / program);
  }
  ASSERT_TRUE(device::prepareDeviceRoot(tmp_.path()));
  int ready[2];
  ASSERT_EQ(pipe2(ready, O_CLOEXEC), 0);
  spawn::Options options;
  options.new_session = true;
  options.stdin_ = options.stderr_ = spawn::Stdio::devNull();
  options.stdout_ = spawn::Stdio::fromFd(ready[1]);
  Result<pid_t> launchd =
      spawn::spawnProcess(programs.path() / "bin" / "launchd",
                          {"launchd", "--root", tmp_.path().string(), "--ready-fd", "1"}, options);
  close(ready[1]);
  ASSERT_TRUE(launchd) << launchd.reason();
  started_ = true;  // stopped by the CLI in TearDown
  std::string line;
  char c;
  while (read(ready[0], &c, 1) == 1 && c != '\n') line += c;
  close(ready[0]);
  EXPECT_EQ(line, "ready");
  EXPECT_GT(pidOf("dbus-daemon"), 0);
  EXPECT_GT(pidOf("SpringBoard"), 0);
  EXPECT_EQ(pidOf("backboardd"), 0);
  EXPECT_TRUE(eventually(
      [&] { return logText().find("launchd: cannot start backboardd") != std::string::npos; }));
  EXPECT_FALSE(fs::exists(display::screenUrlPath(tmp_.path())));
  Outcome status = run({"device", "status"});
  EXPECT_EQ(status.code, 0);
  EXPECT_NE(status.out.find("Screen: not served"), std::string::npos) << status.out;
  EXPECT_EQ(run({"screen"}).code, 1);
  // The retries back off: a start that fails at once must not spin launchd
  // (at most a dozen tries in the first minute).
  const std::string log = logText();
  size_t tries = 0;
  for (size_t at = 0; (at = log.find("cannot start backboardd", at)) != std::string::npos; ++at) {
    ++tries;
  }
  EXPECT_LT(tries, 12u) << log;

  EXPECT_EQ(run({"device", "stop"}).code, 0);
  started_ = false;
  Result<spawn::ExitStatus> ended = spawn::waitForExit(*launchd);
  ASSERT_TRUE(ended);
  EXPECT_TRUE(ended->success());
}

TEST_F(ACliDeviceScreen, SavesAScreenshotAtTheProfilesScaleAndSaysWhenChromiumIsMissing) {
  ASSERT_EQ(run({"device", "start", "--screen", "375x667@2"}).code, 0);
  ASSERT_TRUE(eventually([&] { return !urlFile().empty(); }));
  const fs::path png = io_.path() / "screen.png";
  Outcome shot = run({"screen", "--png", png.string()});
  ASSERT_EQ(shot.code, 0) << shot.err;
  // A PNG of the screen's points times its scale, as sharp as the device.
  const std::string bytes = testing::slurp(png);
  ASSERT_GT(bytes.size(), 24u);
  EXPECT_EQ(bytes.substr(1, 3), "PNG");
  auto be32 = [&](size_t at) {
    return (uint32_t(uint8_t(bytes[at])) << 24) | (uint32_t(uint8_t(bytes[at + 1])) << 16) |
           (uint32_t(uint8_t(bytes[at + 2])) << 8) | uint32_t(uint8_t(bytes[at + 3]));
  };
  EXPECT_EQ(be32(16), 375u * 2);
  EXPECT_EQ(be32(20), 667u * 2);

  // No chromium on PATH: one clear line, exit 1, no file.
  testing::TempDir empty;
  const std::string path = getenv("PATH") ? getenv("PATH") : "";
  setenv("PATH", empty.path().c_str(), 1);
  Outcome missing = run({"screen", "--png", (io_.path() / "other.png").string()});
  setenv("PATH", path.c_str(), 1);
  EXPECT_EQ(missing.code, 1);
  EXPECT_NE(missing.err.find("cannot run chromium"), std::string::npos) << missing.err;
  EXPECT_FALSE(fs::exists(io_.path() / "other.png"));
}

}  // namespace
}  // namespace sentrel
