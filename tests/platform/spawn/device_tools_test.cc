// The device's killall, kill, launchctl and open, run as real programs
// against a device whose "processes" are sleepers this test starts.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <sstream>

#include <gtest/gtest.h>

#include "device/tools/device_tools.h"
#include "device/tools/open_request.h"
#include "platform/env/environment.h"
#include "platform/paths/device_paths.h"
#include "platform/proc/shared_process_table.h"
#include "platform/spawn/spawn.h"
#include "support/temp_dir.h"

namespace sentrel::tools {
namespace {

using spawn::ExitStatus;

struct ToolRun {
  ExitStatus status;
  std::string err;  // what the tool wrote to stderr
};

class TheDeviceTools : public ::testing::Test {
 protected:
  TheDeviceTools() {
    publisher_ = std::move(proc::ProcessTablePublisher::create(root_.path())).value();
  }
  ~TheDeviceTools() override {
    for (pid_t pid : children_) {
      kill(pid, SIGKILL);
      (void)spawn::waitForExit(pid);
    }
  }

  // A running process, in the device's table under `name` unless empty.
  pid_t startProcess(const std::string& name) {
    Result<pid_t> pid = spawn::spawnProcess("/bin/sleep", {"sleep", "1000"});
    EXPECT_TRUE(pid.ok()) << pid.reason();
    if (!pid.ok()) return -1;
    children_.push_back(*pid);
    if (!name.empty()) {
      EXPECT_TRUE(publisher_->add(*pid, getpid(), name).ok());
    }
    return *pid;
  }

  // How a process started by startProcess() ended. A process that nothing
  // signalled is ended here with SIGKILL; one that was signalled before
  // already has its fatal signal recorded, which a later SIGKILL leaves.
  ExitStatus endOf(pid_t pid) {
    kill(pid, SIGKILL);
    Result<ExitStatus> status = spawn::waitForExit(pid);
    std::erase(children_, pid);
    EXPECT_TRUE(status.ok()) << status.reason();
    return status.ok() ? *status : ExitStatus::exited(-1);
  }

  ToolRun runTool(const std::filesystem::path& tool, std::vector<std::string> args) {
    const std::filesystem::path err_path = root_.path() / "tool-stderr";
    const int fd = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    spawn::Options options;
    options.environment = {{paths::kDeviceRootEnv, root_.path().string()}};
    options.stderr_ = spawn::Stdio::fromFd(fd);
    args.insert(args.begin(), tool.filename().string());
    Result<ExitStatus> status = spawn::run(tool, args, options);
    ::close(fd);
    EXPECT_TRUE(status.ok()) << status.reason();
    std::ifstream in(err_path);
    std::stringstream err;
    err << in.rdbuf();
    return {status.ok() ? *status : ExitStatus::exited(-1), err.str()};
  }

  testing::TempDir root_;
  env::ScopedEnvironment installed_{{.device_root = root_.path()}};
  std::unique_ptr<proc::ProcessTablePublisher> publisher_;
  std::vector<pid_t> children_;
};

const std::filesystem::path kKillall = SENTREL_TEST_KILLALL;
const std::filesystem::path kKill = SENTREL_TEST_KILL;
const std::filesystem::path kLaunchctl = SENTREL_TEST_LAUNCHCTL;
const std::filesystem::path kOpen = SENTREL_TEST_OPEN;

TEST_F(TheDeviceTools, KillallSignalsEveryDeviceProcessOfThatNameAndNothingElse) {
  const pid_t first = startProcess("sleep");
  const pid_t second = startProcess("sleep");
  const pid_t other = startProcess("SpringBoard");
  const pid_t foreign = startProcess("");  // also "sleep" to the kernel, but not the device's
  ToolRun run = runTool(kKillall, {"sleep"});
  EXPECT_EQ(run.status, ExitStatus::exited(0)) << run.err;
  EXPECT_EQ(endOf(first), ExitStatus::killedBy(SIGTERM));
  EXPECT_EQ(endOf(second), ExitStatus::killedBy(SIGTERM));
  EXPECT_EQ(endOf(other), ExitStatus::killedBy(SIGKILL));
  EXPECT_EQ(endOf(foreign), ExitStatus::killedBy(SIGKILL));
}

TEST_F(TheDeviceTools, KillallTakesTheSignalInEitherForm) {
  const pid_t a = startProcess("Preferences");
  const pid_t b = startProcess("backboardd");
  EXPECT_EQ(runTool(kKillall, {"-HUP", "Preferences"}).status, ExitStatus::exited(0));
  EXPECT_EQ(runTool(kKillall, {"-s", "SIGUSR2", "backboardd"}).status, ExitStatus::exited(0));
  EXPECT_EQ(endOf(a), ExitStatus::killedBy(SIGHUP));
  EXPECT_EQ(endOf(b), ExitStatus::killedBy(SIGUSR2));
}

TEST_F(TheDeviceTools, KillallFailsForANameNoDeviceProcessHas) {
  const pid_t device = startProcess("SpringBoard");
  const pid_t foreign = startProcess("");
  ToolRun run = runTool(kKillall, {"sleep", "SpringBoard"});
  EXPECT_EQ(run.status, ExitStatus::exited(1));
  EXPECT_EQ(run.err, "killall: sleep: no process found\n");
  EXPECT_EQ(endOf(device), ExitStatus::killedBy(SIGTERM));
  EXPECT_EQ(endOf(foreign), ExitStatus::killedBy(SIGKILL));
}

TEST_F(TheDeviceTools, KillSignalsDeviceProcessesAndRefusesForeignOnes) {
  const pid_t device = startProcess("Preferences");
  const pid_t foreign = startProcess("");
  ToolRun run = runTool(kKill, {"-9", std::to_string(foreign), std::to_string(device)});
  EXPECT_EQ(run.status, ExitStatus::exited(1));
  EXPECT_EQ(run.err, "kill: (" + std::to_string(foreign) + ") - not a process of this device\n");
  ASSERT_EQ(runTool(kKill, {"-s", "HUP", std::to_string(foreign)}).status, ExitStatus::exited(1));
  EXPECT_EQ(endOf(device), ExitStatus::killedBy(SIGKILL));
  // Sent SIGHUP it would have died of SIGHUP.
  EXPECT_EQ(endOf(foreign), ExitStatus::killedBy(SIGKILL));
  const pid_t next = startProcess("Preferences");
  EXPECT_EQ(runTool(kKill, {std::to_string(next)}).status, ExitStatus::exited(0));
  EXPECT_EQ(endOf(next), ExitStatus::killedBy(SIGTERM));
}

TEST_F(TheDeviceTools, RejectBadCommandLinesWithExitTwoAndChangeNothing) {
  const pid_t device = startProcess("SpringBoard");
  const std::string pid = std::to_string(device);
  const std::vector<std::pair<std::filesystem::path, std::vector<std::string>>> cases = {
      {kKillall, {}},
      {kKillall, {"-BOGUS", "SpringBoard"}},
      {kKillall, {"-s"}},
      {kKillall, {"-s", "99999", "SpringBoard"}},
      {kKillall, {"-KILL"}},
      {kKill, {}},
      {kKill, {pid, "abc"}},
      {kKill, {"--", "-1"}},
      {kKill, {"0"}},
      {kKill, {pid, "99999999999999"}},
      {kLaunchctl, {}},
      {kLaunchctl, {"reboot"}},
      {kLaunchctl, {"reboot", "userspace", "now"}},
      {kLaunchctl, {"kickstart", "system/SpringBoard"}},
      {kOpen, {}},
      {kOpen, {"com.example/../app"}},
      {kOpen, {""}},
      {kOpen, {"com.example.app", "two\nlines"}},
  };
  for (const auto& [tool, args] : cases) {
    ToolRun run = runTool(tool, args);
    std::string line = tool.filename().string();
    for (const std::string& arg : args) line += " '" + arg + "'";
    EXPECT_EQ(run.status, ExitStatus::exited(2)) << line;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << line << ": " << run.err;
  }
  EXPECT_EQ(endOf(device), ExitStatus::killedBy(SIGKILL));
  EXPECT_TRUE(drainOpenRequests(root_.path()).empty());
}

TEST_F(TheDeviceTools, LaunchctlRebootUserspaceSignalsTheDevicesLaunchd) {
  ToolRun missing = runTool(kLaunchctl, {"reboot", "userspace"});
  EXPECT_EQ(missing.status, ExitStatus::exited(1));
  EXPECT_EQ(missing.err, "launchctl: launchd is not running on this device\n");
  const pid_t launchd = startProcess("launchd");
  EXPECT_EQ(runTool(kLaunchctl, {"reboot", "userspace"}).status, ExitStatus::exited(0));
  EXPECT_EQ(endOf(launchd), ExitStatus::killedBy(SIGHUP));
}

TEST_F(TheDeviceTools, OpenSpoolsARequestAndWakesLaunchd) {
  const pid_t launchd = startProcess("launchd");
  EXPECT_EQ(runTool(kOpen, {"com.example.app", "--flag", "two words", ""}).status,
            ExitStatus::exited(0));
  EXPECT_EQ(runTool(kOpen, {"com.apple.Preferences"}).status, ExitStatus::exited(0));
  EXPECT_EQ(endOf(launchd), ExitStatus::killedBy(SIGUSR1));
  const std::vector<OpenRequest> requests = drainOpenRequests(root_.path());
  EXPECT_EQ(requests, (std::vector<OpenRequest>{
                          {"com.example.app", {"--flag", "two words", ""}},
                          {"com.apple.Preferences", {}},
                      }));
  EXPECT_TRUE(drainOpenRequests(root_.path()).empty());
}

TEST_F(TheDeviceTools, OpenFailsWithoutLaunchdAndLeavesNothingBehind) {
  ToolRun run = runTool(kOpen, {"com.example.app"});
  EXPECT_EQ(run.status, ExitStatus::exited(1));
  EXPECT_EQ(run.err, "open: launchd is not running on this device\n");
  const std::filesystem::path spool = paths::resolveUnder(root_.path(), kOpenSpoolDir);
  EXPECT_TRUE(!std::filesystem::exists(spool) || std::filesystem::is_empty(spool));
}

TEST_F(TheDeviceTools, InstallIntoADeviceAndRunFromThere) {
  ASSERT_TRUE(installDeviceTools(root_.path(), kKillall.parent_path()).ok());
  ASSERT_TRUE(installDeviceTools(root_.path(), kKillall.parent_path()).ok());  // again: replaced
  for (const DeviceTool& tool : kDeviceTools) {
    const std::filesystem::path installed = paths::resolveUnder(root_.path(), tool.device_path);
    EXPECT_EQ(access(installed.c_str(), X_OK), 0) << installed;
  }
  const pid_t launchd = startProcess("launchd");
  EXPECT_EQ(
      runTool(paths::resolveUnder(root_.path(), "/sbin/launchctl"), {"reboot", "userspace"}).status,
      ExitStatus::exited(0));
  EXPECT_EQ(endOf(launchd), ExitStatus::killedBy(SIGHUP));
  Status missing = installDeviceTools(root_.path(), root_.path() / "nowhere");
  EXPECT_FALSE(missing.ok());
  EXPECT_NE(missing.reason().find("killall"), std::string::npos);
}

TEST(AnOpenRequest, RoundTripsThroughItsFileText) {
  const OpenRequest request{"com.example.app", {"a", "", "b c"}};
  EXPECT_EQ(formatOpenRequest(request), "com.example.app\na\n\nb c\n");
  EXPECT_EQ(parseOpenRequest(formatOpenRequest(request)), request);
  EXPECT_EQ(parseOpenRequest("com.example.app\n"), (OpenRequest{"com.example.app", {}}));
}

TEST(AnOpenRequest, RejectsTextThatIsNotAWholeValidRequest) {
  EXPECT_FALSE(parseOpenRequest(""));
  EXPECT_FALSE(parseOpenRequest("\n"));
  EXPECT_FALSE(parseOpenRequest("com.example.app"));       // cut short
  EXPECT_FALSE(parseOpenRequest("com.example.app\narg"));  // cut short
  EXPECT_FALSE(parseOpenRequest("com example\n"));         // not a bundle id
  EXPECT_FALSE(parseOpenRequest("../../etc\n"));
  EXPECT_FALSE(parseOpenRequest(std::string("com.x\na\0b\n", 11)));
  EXPECT_FALSE(validateOpenRequest({"com.example.app", {std::string("nul\0", 4)}}).ok());
  EXPECT_FALSE(validateOpenRequest({std::string(256, 'a'), {}}).ok());
  EXPECT_TRUE(validateOpenRequest({std::string(255, 'a'), {}}).ok());
}

TEST(DrainingTheOpenSpool, TakesFinishedRequestsInOrderAndDropsBadOnes) {
  testing::TempDir root;
  const std::filesystem::path spool = paths::resolveUnder(root.path(), kOpenSpoolDir);
  std::filesystem::create_directories(spool);
  auto write = [&](const std::string& name, const std::string& text) {
    std::ofstream(spool / name, std::ios::binary) << text;
  };
  write("2-b.request", "com.example.second\n");
  write("1-a.request", "com.example.first\nx\n");
  write("3-c.request", "not a bundle id\n");
  write("4-d.request", std::string(kMaxOpenRequestBytes + 1, 'a'));
  write(".5-e.request.tmp", "com.example.unfinished\n");
  write("6-f.other", "com.example.other\n");
  std::filesystem::create_directory(spool / "7-g.request");
  EXPECT_EQ(drainOpenRequests(root.path()), (std::vector<OpenRequest>{
                                                {"com.example.first", {"x"}},
                                                {"com.example.second", {}},
                                            }));
  EXPECT_FALSE(std::filesystem::exists(spool / "3-c.request"));
  EXPECT_FALSE(std::filesystem::exists(spool / "4-d.request"));
  EXPECT_TRUE(std::filesystem::exists(spool / ".5-e.request.tmp"));
  EXPECT_TRUE(std::filesystem::exists(spool / "6-f.other"));
  EXPECT_TRUE(drainOpenRequests(root.path()).empty());
}

TEST(DrainingTheOpenSpool, FindsNothingInADeviceWithoutSpool) {
  testing::TempDir root;
  EXPECT_TRUE(drainOpenRequests(root.path()).empty());
}

}  // namespace
}  // namespace sentrel::tools
