#include "platform/log/system_log.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "file_line.h"
#include "platform/paths/device_paths.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace sentrel::log {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::vector<std::string> fileLines(const fs::path& path) {
  std::vector<std::string> out;
  std::istringstream in(readFile(path));
  for (std::string l; std::getline(in, l);) out.push_back(l);
  return out;
}

// Points the process at a fresh device root for one test, and back after.
class DeviceLogTest : public ::testing::Test {
 protected:
  void SetUp() override { paths::setDeviceRoot(dir_.path()); }
  void TearDown() override { paths::setDeviceRoot({}); }

  fs::path logFile() const { return dir_.path() / "var/log/system.log"; }
  void makeLogFolder() const { fs::create_directories(dir_.path() / "var/log"); }

  testing::TempDir dir_;
};

TEST(ADebugLine, IsBuiltExactlyInTheColouredForm) {
  EXPECT_EQ(
      formatDebugLine("Tweak", 42, "hello world"),
      "\x1b[1;36m[Sentrel] \x1b[m\x1b[0;36mTweak:42\x1b[m \x1b[0;30;46mDEBUG:\x1b[m hello world");
}

TEST(ALogCapture, SeesLinesWithTheirLevelsAndRestoresThePreviousSinkWhenItEnds) {
  testing::LogCapture outer;
  {
    testing::LogCapture inner;
    line("inner only", Level::kWarning);
    debug("Tweak", 7, "dbg");
    EXPECT_TRUE(inner.contains("inner only"));
    EXPECT_THAT(inner.levels(), ElementsAre(Level::kWarning, Level::kDebug));
    EXPECT_EQ(inner.lines()[1], formatDebugLine("Tweak", 7, "dbg"));
  }
  line("outer again");
  EXPECT_THAT(outer.lines(), ElementsAre("outer again"));
  EXPECT_EQ(outer.count("again"), 1u);
}

TEST(ALogLine, FormatsPrintfStyleTextOfAnyLength) {
  testing::LogCapture capture;
  linef("SNTFirewall init(%s)!", "com.example.app");
  std::string long_text(5000, 'x');
  linef("%s|%d", long_text.c_str(), 7);
  EXPECT_THAT(capture.lines(), ElementsAre("SNTFirewall init(com.example.app)!", long_text + "|7"));
}

TEST_F(DeviceLogTest, AppendsStampedLinesWithProcessNameAndPidToTheDeviceLogFile) {
  makeLogFolder();
  line("first");
  debug("Tweak", 3, "second");
  std::vector<std::string> lines = fileLines(logFile());
  ASSERT_EQ(lines.size(), 2u);
  char comm[17] = {};
  prctl(PR_GET_NAME, comm);
  std::optional<FileLine> first = parseFileLine(lines[0]);
  ASSERT_TRUE(first) << lines[0];
  EXPECT_EQ(first->name, comm);
  EXPECT_EQ(first->pid, std::to_string(getpid()));
  EXPECT_EQ(first->text, "first");
  std::optional<FileLine> second = parseFileLine(lines[1]);
  ASSERT_TRUE(second) << lines[1];
  EXPECT_EQ(second->text, formatDebugLine("Tweak", 3, "second"));
}

TEST_F(DeviceLogTest, KeepsOneEntryPerLineWhenTheTextEndsInNewlines) {
  makeLogFolder();
  line("ends in newline\n\n");
  EXPECT_THAT(readFile(logFile()), ::testing::EndsWith("] ends in newline\n"));
}

TEST_F(DeviceLogTest, CreatesNoFoldersWhenTheDeviceHasNoLogFolder) {
  line("nowhere to go");
  EXPECT_FALSE(fs::exists(dir_.path() / "var"));

  fs::path missing_root = dir_.path() / "not-a-device";
  paths::setDeviceRoot(missing_root);
  line("still nowhere");
  EXPECT_FALSE(fs::exists(missing_root));
}

TEST_F(DeviceLogTest, FollowsAChangeOfDeviceRoot) {
  makeLogFolder();
  testing::TempDir other;
  fs::create_directories(other.path() / "var/log");
  line("to the first");
  paths::setDeviceRoot(other.path());
  line("to the second");
  EXPECT_THAT(readFile(logFile()), ::testing::HasSubstr("to the first"));
  EXPECT_THAT(readFile(logFile()), ::testing::Not(::testing::HasSubstr("to the second")));
  EXPECT_THAT(readFile(other.path() / "var/log/system.log"), ::testing::HasSubstr("to the second"));
}

// Runs `body` with stdout and stderr pointing into a file, and returns what
// landed there.
template <class F>
std::string outputOf(F body) {
  testing::TempDir dir;
  fs::path out = dir.path() / "out";
  int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  fflush(stdout);
  fflush(stderr);
  int saved_out = dup(1), saved_err = dup(2);
  dup2(fd, 1);
  dup2(fd, 2);
  body();
  fflush(stdout);
  fflush(stderr);
  dup2(saved_out, 1);
  dup2(saved_err, 2);
  close(saved_out);
  close(saved_err);
  close(fd);
  return readFile(out);
}

TEST_F(DeviceLogTest, NeverWritesToStdoutOrStderr) {
  makeLogFolder();
  std::string written = outputOf([] {
    line("quiet please", Level::kError);
    linef("%s", "formatted");
    debug("Tweak", 1, "debug");
  });
  EXPECT_EQ(written, "");
  EXPECT_EQ(fileLines(logFile()).size(), 3u);
}

TEST_F(DeviceLogTest, NamesTheChildAfterAFork) {
  makeLogFolder();
  line("parent");
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    prctl(PR_SET_NAME, "forkedchild");
    line("child");
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  std::vector<std::string> lines = fileLines(logFile());
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_THAT(lines[1], ::testing::EndsWith(" forkedchild[" + std::to_string(child) + "] child"));
}

// glibc's syslog() and localtime_r() keep process-wide locks that fork()
// copies as they are. A child forked while other threads were in the middle of
// a line must still be able to log (and so to leave).
TEST_F(DeviceLogTest, LetsAChildLogWhileOtherThreadsWereLoggingAtTheFork) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "fork() from a multithreaded program is not supported by the sanitizer runtime";
#endif
  makeLogFolder();
  std::atomic<bool> stop{false};
  std::vector<std::thread> writers;
  for (int t = 0; t < 3; ++t) {
    writers.emplace_back([&] {
      while (!stop.load()) line("busy");
    });
  }
  int exited = 0;
  for (int round = 0; round < 100; ++round) {
    pid_t child = fork();
    if (child == 0) {
      line("child");
      _exit(0);
    }
    int status = 0;
    if (child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status)) ++exited;
  }
  stop = true;
  for (auto& w : writers) w.join();
  EXPECT_EQ(exited, 100);
}

}  // namespace
}  // namespace sentrel::log
