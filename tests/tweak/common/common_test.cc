// Process look-ups and the kill helpers.
#include "tweak/common.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/env/environment.h"
#include "platform/paths/device_paths.h"
#include "platform/proc/process_table.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace sentrel {
namespace {

using testing::LogCapture;
using testing::TempDir;

class ProcessUtilities : public ::testing::Test {
 protected:
  // A device program that appends its arguments to "<program>.log", and the
  // device root it was told to "<program>.root".
  std::filesystem::path installRecordingProgram(const char* device_path) {
    std::filesystem::path program = paths::resolve(device_path);
    std::filesystem::create_directories(program.parent_path());
    std::ofstream(program) << "#!/bin/sh\necho \"$@\" >> \"$0.log\"\n"
                              "echo \"$SENTREL_DEVICE_ROOT\" > \"$0.root\"\n";
    chmod(program.c_str(), 0755);
    return program.string() + ".log";
  }
  static std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  TempDir root_;
  proc::InMemoryProcessTable table_;
  env::ScopedEnvironment installed_{{.device_root = root_.path(), .process_table = &table_}};
};

TEST_F(ProcessUtilities, FindsTheLatestProcessOfAName) {
  table_.add(10, 1, "SpringBoard");
  table_.add(20, 1, "MobileSafari");
  table_.add(30, 1, "SpringBoard");
  EXPECT_EQ(snt_pid_of_process("SpringBoard"), 30);
  EXPECT_EQ(snt_pid_of_process("MobileSafari"), 20);
  EXPECT_EQ(snt_pid_of_process("springboard"), 0);
  EXPECT_EQ(snt_pid_of_process(nullptr), 0);
}

TEST_F(ProcessUtilities, NeverMatchesANameLongerThanTheShortCommandName) {
  table_.add(40, 1, "AVeryLongProcessName");
  EXPECT_EQ(snt_pid_of_process("AVeryLongProcessName"), 0);
  EXPECT_EQ(snt_pid_of_process("AVeryLongProcess"), 0);
  EXPECT_EQ(snt_pid_of_process("AVeryLongProces"), 40);
}

TEST_F(ProcessUtilities, ReportsAnUnreadableTableAsNotFoundAndAsFailure) {
  table_.add(10, 1, "launchd");
  table_.setUnreadable(true);
  EXPECT_EQ(snt_pid_of_process("launchd"), 0);
  EXPECT_EQ(ProcessIDForParentOfProcessID(10), -1);
}

TEST_F(ProcessUtilities, FindsTheParentOfAProcess) {
  table_.add(10, 1, "launchd");
  table_.add(11, 10, "SpringBoard");
  EXPECT_EQ(ProcessIDForParentOfProcessID(11), 10);
  EXPECT_EQ(ProcessIDForParentOfProcessID(99), -1);
}

TEST_F(ProcessUtilities, KillsByNameThroughTheDevicesKillall) {
  const std::filesystem::path log = installRecordingProgram("/usr/bin/killall");
  SNT_kill_process("Preferences");
  EXPECT_EQ(readFile(log), "Preferences\n");
}

TEST_F(ProcessUtilities, KillsNothingForAnAbsentOrBrokenName) {
  const std::filesystem::path log = installRecordingProgram("/usr/bin/killall");
  SNT_kill_process(std::nullopt);
  SNT_kill_process(std::string_view("Pref\0erences", 12));
  EXPECT_FALSE(std::filesystem::exists(log));
}

TEST_F(ProcessUtilities, KillsByPidThroughTheDevicesKill) {
  const std::filesystem::path log = installRecordingProgram("/bin/kill");
  SNT_kill_pid(4242);
  EXPECT_EQ(readFile(log), "4242\n");
  // The tool looks for the process on this device, not at the default root.
  EXPECT_EQ(readFile(paths::resolve("/bin/kill").string() + ".root"), root_.path().string() + "\n");
}

TEST_F(ProcessUtilities, KillsNothingForPidZeroAbsentOrNegative) {
  const std::filesystem::path log = installRecordingProgram("/bin/kill");
  LogCapture capture;
  SNT_kill_pid(0);
  SNT_kill_pid(std::nullopt);
  SNT_kill_pid(-1);
  EXPECT_FALSE(std::filesystem::exists(log));
  EXPECT_TRUE(capture.contains("SNT_kill_pid: refusing pid -1"));
}

TEST(AnAlert, LogsItsTitleAndMessage) {
  LogCapture capture;
  alert("Title", "Message");
  EXPECT_EQ(capture.lines(),
            (std::vector<std::string>{"ALERT: Title Message", "Init alert", "Showing"}));
  capture.clear();
  alert(std::nullopt, "Message");
  EXPECT_EQ(capture.lines(), std::vector<std::string>{"ALERT: (null) Message"});
}

}  // namespace
}  // namespace sentrel
