// A process that forks while its threads read the firewall: the child must
// still be able to replace what it reads (new settings, a learning rule).
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "tweak/firewall_snapshot.h"

namespace sentrel::internal {
namespace {

TEST(ASnapshotCell, CanBeReplacedInAChildForkedWhileOtherThreadsWereReadingOrWriting) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "fork() from a multithreaded program is not supported by the sanitizer runtime";
#endif
  SnapshotCell<int> cell(std::make_shared<int>(0));
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&] {
      while (!stop.load()) (void)cell.load();
    });
  }
  threads.emplace_back([&] {
    for (int i = 0; !stop.load(); ++i) cell.store(std::make_shared<int>(-i));
  });

  int replaced = 0;
  for (int round = 1; round <= 200 && replaced == round - 1; ++round) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      alarm(10);  // a child that hangs dies and fails the round instead
      cell.store(std::make_shared<int>(round));
      _exit(*cell.load() == round ? 0 : 1);
    }
    int status = 0;
    if (waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0) {
      ++replaced;
    }
  }
  stop = true;
  for (auto& t : threads) t.join();
  EXPECT_EQ(replaced, 200);
}

}  // namespace
}  // namespace sentrel::internal
