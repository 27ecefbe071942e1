// Readers racing the publisher: a look-up never sees a half-written change.
#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/proc/shared_process_table.h"
#include "support/temp_dir.h"

namespace sentrel::proc {
namespace {

constexpr pid_t kLaunchd = 1000;
constexpr pid_t kSpringBoard = 1001;

std::string nameFor(pid_t pid) {
  return "app" + std::to_string(pid);
}

TEST(ASharedProcessTableUnderChange, NeverShowsATornRecordToReaders) {
  testing::TempDir root;
  auto publisher = std::move(ProcessTablePublisher::create(root.path(), 128)).value();
  ASSERT_TRUE(publisher->add(kLaunchd, 1, "launchd").ok());
  ASSERT_TRUE(publisher->add(kSpringBoard, kLaunchd, "SpringBoard").ok());

  std::atomic<bool> done{false};
  std::atomic<int> failures{0};
  SharedProcessTable table(root.path());
  // Opened before the readers start: a reader that finds another one opening
  // the table reads it as empty rather than wait.
  ASSERT_TRUE(table.isLive());
  auto reader = [&](int id) {
    int iteration = 0;
    while (!done.load(std::memory_order_acquire)) {
      if (table.pidOfProcess("launchd") != kLaunchd) failures++;
      if (table.parentOf(kSpringBoard) != kLaunchd) failures++;
      if (++iteration % 64 != id) continue;
      Result<std::vector<ProcessRecord>> records = table.snapshot();
      if (!records.ok()) {
        failures++;
        continue;
      }
      int stable = 0;
      for (const ProcessRecord& r : *records) {
        if (r.pid == kLaunchd || r.pid == kSpringBoard) {
          stable++;
        } else if (r.command_name != nameFor(r.pid) || r.parent_pid != kSpringBoard) {
          failures++;  // a record mixing two changes
        }
      }
      if (stable != 2) failures++;
    }
  };
  std::vector<std::thread> readers;
  for (int i = 0; i < 3; ++i) readers.emplace_back(reader, i);

  // Churn: apps come and go around the stable records, which are re-added
  // now and then (removed and appended in one change).
  std::vector<pid_t> apps;
  for (pid_t pid = 2000; pid < 22000; ++pid) {
    ASSERT_TRUE(publisher->add(pid, kSpringBoard, nameFor(pid)).ok());
    apps.push_back(pid);
    if (apps.size() > 60) {
      publisher->remove(apps.front());
      apps.erase(apps.begin());
    }
    if (pid % 7 == 0) {
      ASSERT_TRUE(publisher->add(kLaunchd, 1, "launchd").ok());
    }
    if (pid % 11 == 0) {
      ASSERT_TRUE(publisher->add(kSpringBoard, kLaunchd, "SpringBoard").ok());
    }
  }
  done.store(true, std::memory_order_release);
  for (std::thread& t : readers) t.join();
  EXPECT_EQ(failures.load(), 0);
}

}  // namespace
}  // namespace sentrel::proc
