// The sentrel CLI and launchd, run as real processes against a fresh device
// root per test.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "device/launchd/control.h"
#include "platform/notify/device_bus.h"
#include "platform/plist/value.h"
#include "platform/spawn/spawn.h"
#include "support/program_run.h"
#include "support/temp_dir.h"

namespace sentrel {
namespace {

namespace fs = std::filesystem;
using plist::Value;

using Outcome = testing::ProgramOutcome;

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

  // A fresh root gets the same modes, the log file included.
  testing::TempDir fresh;
  const fs::path fresh_root = fresh.path();
  ASSERT_EQ(run({"app", "install", "--id", "com.example.x", "/bin/true"}, &fresh_root).code, 0);
  EXPECT_EQ(mode(fresh_root / "var/run/sentrel"), 0700);
  EXPECT_EQ(mode(fresh_root / "var/log"), 0700);
  EXPECT_EQ(mode(fresh_root / "var/log/system.log"), 0600);
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

}  // namespace
}  // namespace sentrel
