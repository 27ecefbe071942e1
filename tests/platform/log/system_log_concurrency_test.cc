#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "file_line.h"
#include "platform/log/system_log.h"
#include "platform/paths/device_paths.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace sentrel::log {
namespace {

namespace fs = std::filesystem;

constexpr int kThreads = 4;
constexpr int kLinesPerThread = 200;

TEST(TheSystemLog, KeepsEveryLineWholeWhenThreadsAndProcessesAppendAtOnce) {
  testing::TempDir dir;
  fs::create_directories(dir.path() / "var/log");
  paths::setDeviceRoot(dir.path());
  std::string payload(300, 'p');  // long enough that torn writes would show

  auto hammer = [&](int who) {
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        for (int i = 0; i < kLinesPerThread; ++i)
          linef("w%d t%d i%d %s", who, t, i, payload.c_str());
      });
    }
    for (auto& th : threads) th.join();
  };
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    hammer(1);
    _exit(0);
  }
  hammer(0);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  paths::setDeviceRoot({});

  std::ifstream in(dir.path() / "var/log/system.log");
  std::map<std::string, int> seen;
  int total = 0;
  const std::string tail = " " + payload;
  for (std::string l; std::getline(in, l); ++total) {
    std::optional<FileLine> f = parseFileLine(l);
    ASSERT_TRUE(f) << "torn line: " << l;
    ASSERT_TRUE(f->text.size() > tail.size() &&
                f->text.compare(f->text.size() - tail.size(), tail.size(), tail) == 0)
        << "torn line: " << l;
    ++seen[f->text.substr(0, f->text.size() - tail.size())];
  }
  EXPECT_EQ(total, 2 * kThreads * kLinesPerThread);
  EXPECT_EQ(seen.size(), static_cast<size_t>(2 * kThreads * kLinesPerThread));
}

// A capture that comes and goes while threads log: no line may reach a sink
// after it was replaced (the capture would be gone), and none may be lost
// while it is installed.
TEST(TheSystemLog, SwapsSinksSafelyWhileOtherThreadsLog) {
  std::atomic<bool> stop{false};
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([&] {
      while (!stop.load()) line("busy", Level::kDebug);
    });
  }
  testing::LogCapture outer;  // keeps the default sink (syslog) out of the way
  for (int round = 0; round < 200; ++round) {
    testing::LogCapture inner;
    line("marker");
    EXPECT_EQ(inner.count("marker"), 1u);
  }
  stop = true;
  for (auto& w : writers) w.join();
  EXPECT_EQ(outer.count("marker"), 0u);
}

}  // namespace
}  // namespace sentrel::log
