// The fork registry runs every stage's handlers in the one documented order.
#include "platform/base/fork_registry.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

namespace sentrel::base {
namespace {

// What the handlers saw, as letters: a fixed buffer, since a child of a fork
// must not allocate. Only the forking thread writes it.
char g_trace[64];
std::atomic<int> g_length{0};
void note(char c) {
  const int at = g_length.load();
  if (at < static_cast<int>(sizeof g_trace) - 1) {
    g_trace[at] = c;
    g_length.store(at + 1);
  }
}
std::string trace() {
  return std::string(g_trace, g_length.load());
}

// Prepare letters are upper case, parent/child lower case, by stage:
// C/c centers, L/l run loops, S/s snapshot cells, K/k leaf-lock stage, G/g log.
void centersPrepare() {
  note('C');
}
void centersAfter() {
  note('c');
}
void loopsPrepare() {
  note('L');
}
void loopsAfter() {
  note('l');
}
void cellsPrepare() {
  note('S');
}
void cellsAfter() {
  note('s');
}
void leafPrepare() {
  note('K');
}
void leafAfter() {
  note('k');
}
void logPrepare() {
  note('G');
}
void logAfter() {
  note('g');
}

void registerAll() {
  // Registered out of order on purpose: the stage decides, not the call order.
  registerForkHandlers(ForkStage::kLog, {&logPrepare, &logAfter, &logAfter});
  registerForkHandlers(ForkStage::kLeafLocks, {&leafPrepare, &leafAfter, &leafAfter});
  registerForkHandlers(ForkStage::kRunLoops, {&loopsPrepare, &loopsAfter, &loopsAfter});
  registerForkHandlers(ForkStage::kNotificationCenters,
                       {&centersPrepare, &centersAfter, &centersAfter});
  registerForkHandlers(ForkStage::kSnapshotCells, {&cellsPrepare, &cellsAfter, &cellsAfter});
  // Twice: still once.
  registerForkHandlers(ForkStage::kRunLoops, {&loopsPrepare, &loopsAfter, &loopsAfter});
}

TEST(TheForkRegistry, PreparesFromTheOutermostStageInAndReleasesInReverse) {
  registerAll();
  g_length.store(0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    _exit(trace() == "CLSKGgkslc" ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child saw another order";
  EXPECT_EQ(trace(), "CLSKGgkslc");
}

// A leaf lock held by another thread at the fork would stay locked in the
// child for ever; held across the fork, the child can take it.
TEST(TheForkRegistry, LetsAChildTakeALeafLockThatWasBusyInTheParent) {
  static constinit Mutex leaf;
  holdAcrossFork(leaf);
  holdAcrossFork(leaf);  // once is enough; twice changes nothing
  std::atomic<bool> stop{false};
  std::thread busy([&] {
    while (!stop.load()) {
      MutexLock lock(leaf);
    }
  });
  for (int i = 0; i < 50; ++i) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      leaf.lock();  // hangs here if the fork copied the lock taken
      leaf.unlock();
      _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  stop.store(true);
  busy.join();
}

}  // namespace
}  // namespace sentrel::base
