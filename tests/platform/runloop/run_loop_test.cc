// A RunLoop driven from the test's own thread: ordering, timers on a fake
// clock, fd watches and failure handling.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "platform/runloop/run_loop.h"
#include "support/log_capture.h"

namespace sentrel::runloop {
namespace {

using std::chrono::milliseconds;
using ::testing::ElementsAre;

struct Pipe {
  Pipe() { EXPECT_EQ(pipe2(fds, O_CLOEXEC | O_NONBLOCK), 0); }
  ~Pipe() {
    closeRead();
    if (fds[1] >= 0) close(fds[1]);
  }
  void closeRead() {
    if (fds[0] >= 0) close(fds[0]);
    fds[0] = -1;
  }
  void write1() { ASSERT_EQ(::write(fds[1], "x", 1), 1); }
  void drain() {
    char buf[64];
    while (::read(fds[0], buf, sizeof buf) > 0) {
    }
  }
  int fds[2] = {-1, -1};
};

TEST(ARunLoop, RunsPostedTasksInOrderAndTasksTheyPostAfterThem) {
  FakeClock clock;
  RunLoop loop(clock);
  std::vector<int> order;
  loop.post([&] {
    order.push_back(loop.isRunningOnCurrentThread() ? 1 : -1);
    loop.post([&] { order.push_back(4); });
  });
  loop.post([&] { order.push_back(2); });
  loop.post([&] { order.push_back(3); });
  loop.post(nullptr);  // ignored

  EXPECT_FALSE(loop.isRunningOnCurrentThread());
  EXPECT_EQ(loop.runUntilIdle(), 4u);
  EXPECT_THAT(order, ElementsAre(1, 2, 3, 4));
  EXPECT_EQ(loop.runUntilIdle(), 0u);
}

TEST(ARunLoopOnAFakeClock, FiresTimersOnlyWhenTheClockReachesThemInDeadlineOrder) {
  FakeClock clock;
  RunLoop loop(clock);
  std::vector<std::string> fired;
  loop.postDelayed(milliseconds(30), [&] { fired.push_back("30"); });
  loop.postDelayed(milliseconds(10), [&] { fired.push_back("10a"); });
  loop.postDelayed(milliseconds(20), [&] { fired.push_back("20"); });
  loop.postDelayed(milliseconds(10), [&] { fired.push_back("10b"); });
  loop.postDelayed(milliseconds(-5), [&] { fired.push_back("now"); });

  EXPECT_EQ(loop.runUntilIdle(), 1u);
  EXPECT_THAT(fired, ElementsAre("now"));

  clock.advance(milliseconds(9));
  EXPECT_EQ(loop.runUntilIdle(), 0u);

  clock.advance(milliseconds(1));
  EXPECT_EQ(loop.runUntilIdle(), 2u);
  EXPECT_THAT(fired, ElementsAre("now", "10a", "10b"));

  clock.advance(milliseconds(100));
  EXPECT_EQ(loop.runUntilIdle(), 2u);
  EXPECT_THAT(fired, ElementsAre("now", "10a", "10b", "20", "30"));
}

TEST(ARunLoopOnAFakeClock, CancelsTimersThatHaveNotRunIncludingFromAnEarlierTimer) {
  FakeClock clock;
  RunLoop loop(clock);
  std::vector<int> fired;
  TimerId second = 0;
  const TimerId first = loop.postDelayed(milliseconds(5), [&] {
    fired.push_back(1);
    loop.cancel(second);
  });
  second = loop.postDelayed(milliseconds(5), [&] { fired.push_back(2); });
  const TimerId third = loop.postDelayed(milliseconds(5), [&] { fired.push_back(3); });
  const TimerId fourth = loop.postDelayed(milliseconds(5), [&] { fired.push_back(4); });
  loop.cancel(fourth);
  loop.cancel(12345);  // unknown: nothing happens

  clock.advance(milliseconds(5));
  EXPECT_EQ(loop.runUntilIdle(), 2u);
  EXPECT_THAT(fired, ElementsAre(1, 3));

  loop.cancel(first);  // already ran: nothing happens
  loop.cancel(third);
  EXPECT_EQ(loop.runUntilIdle(), 0u);
}

TEST(ARunLoopOnAFakeClock, NeverWaitsForItsTimersWhileRunning) {
  FakeClock clock;
  RunLoop loop(clock);
  bool timerFired = false;
  loop.postDelayed(milliseconds(1), [&] { timerFired = true; });
  bool posted = false;
  loop.post([&] { posted = true; });
  // The posted task ends the wait; the timer stays pending on a clock that
  // did not move.
  EXPECT_TRUE(loop.runUntil([&] { return posted; }));
  EXPECT_FALSE(timerFired);
  clock.advance(milliseconds(1));
  EXPECT_TRUE(loop.runUntil([&] { return timerFired; }));
}

TEST(ARunLoopOnTheSystemClock, WaitsInPollForItsNextTimer) {
  RunLoop loop;
  bool fired = false;
  loop.postDelayed(milliseconds(2), [&] {
    fired = true;
    loop.quit();
  });
  loop.run();  // only the timer can end this
  EXPECT_TRUE(fired);
}

TEST(ARunLoop, CallsAWatchWhenItsFdBecomesReadable) {
  RunLoop loop;
  Pipe p;
  int calls = 0;
  short seen = 0;
  const WatchId id = loop.watchFd(p.fds[0], POLLIN, [&](short revents) {
    ++calls;
    seen = revents;
    p.drain();
  });
  loop.runUntilIdle();
  EXPECT_EQ(calls, 0);

  p.write1();
  EXPECT_TRUE(loop.runUntil([&] { return calls == 1; }));
  EXPECT_TRUE(seen & POLLIN);

  loop.unwatchFd(id);
  p.write1();
  loop.runUntilIdle();
  EXPECT_EQ(calls, 1);
}

TEST(ARunLoop, LetsCallbacksUnwatchThemselvesAndOthersAndAddWatches) {
  RunLoop loop;
  Pipe p;
  std::vector<std::string> calls;
  WatchId self = 0, other = 0;
  self = loop.watchFd(p.fds[0], POLLIN, [&](short) {
    calls.push_back("self");
    loop.unwatchFd(self);
    loop.unwatchFd(other);
    loop.watchFd(p.fds[0], POLLIN, [&](short) {
      calls.push_back("added");
      p.drain();
    });
  });
  other = loop.watchFd(p.fds[0], POLLIN, [&](short) { calls.push_back("other"); });

  p.write1();
  EXPECT_TRUE(loop.runUntil([&] { return calls.size() == 2; }));
  EXPECT_THAT(calls, ElementsAre("self", "added"));
}

TEST(ARunLoop, DropsAWatchWhoseFdWasClosedInsteadOfSpinning) {
  testing::LogCapture log;
  RunLoop loop;
  Pipe p;
  int calls = 0;
  short seen = 0;
  loop.watchFd(p.fds[0], POLLIN, [&](short revents) {
    ++calls;
    seen = revents;
  });
  p.closeRead();
  loop.runUntilIdle();
  loop.runUntilIdle();
  EXPECT_EQ(calls, 1);
  EXPECT_TRUE(seen & POLLNVAL);
  EXPECT_TRUE(log.contains("was closed while watched"));
}

TEST(ARunLoop, LogsATaskThatThrowsAndGoesOn) {
  testing::LogCapture log;
  RunLoop loop;
  std::vector<int> ran;
  loop.post([] { throw std::runtime_error("boom"); });
  loop.post([] { throw 42; });
  loop.post([&] { ran.push_back(1); });
  loop.postDelayed(milliseconds(0), [] { throw std::logic_error("late boom"); });
  loop.postDelayed(milliseconds(0), [&] {
    ran.push_back(2);
    loop.quit();
  });

  loop.run();
  EXPECT_THAT(ran, ElementsAre(1, 2));
  EXPECT_TRUE(log.contains("boom"));
  EXPECT_TRUE(log.contains("late boom"));
  EXPECT_EQ(log.count("threw"), 3u);
}

TEST(ARunLoop, StopsRightAfterTheTaskThatQuitsAndKeepsTheRestQueued) {
  RunLoop loop;
  std::vector<int> ran;
  loop.post([&] {
    ran.push_back(1);
    loop.quit();
  });
  loop.post([&] { ran.push_back(2); });

  loop.run();
  EXPECT_THAT(ran, ElementsAre(1));
  EXPECT_EQ(loop.runUntilIdle(), 1u);
  EXPECT_THAT(ran, ElementsAre(1, 2));
}

TEST(ARunLoop, ReturnsFromRunAtOnceWhenQuitCameFirstAndOnlyOnce) {
  RunLoop loop;
  loop.quit();
  loop.run();  // must not block

  bool ran = false;
  loop.post([&] {
    ran = true;
    loop.quit();
  });
  loop.run();  // the earlier quit was used up: this one runs the task
  EXPECT_TRUE(ran);
}

TEST(AMainQueueOverride, SendsAsyncMainAndAfterMainToTheTestsLoopUntilItEnds) {
  FakeClock clock;
  RunLoop loop(clock);
  std::vector<int> ran;
  {
    MainQueue::ScopedOverride main(loop);
    EXPECT_EQ(&MainQueue::get(), &loop);
    asyncMain([&] { ran.push_back(1); });
    afterMain(milliseconds(100), [&] { ran.push_back(2); });
  }
  EXPECT_NE(&MainQueue::get(), &loop);
  loop.runUntilIdle();
  EXPECT_THAT(ran, ElementsAre(1));
  clock.advance(milliseconds(100));
  loop.runUntilIdle();
  EXPECT_THAT(ran, ElementsAre(1, 2));
}

}  // namespace
}  // namespace sentrel::runloop

namespace sentrel::runloop {
namespace {

// Descriptors of this process at or above `floor`.
std::vector<int> descriptorsFrom(int floor) {
  std::vector<int> fds;
  for (int fd = floor; fd < floor + 256; ++fd) {
    if (fcntl(fd, F_GETFD) != -1) fds.push_back(fd);
  }
  return fds;
}

// A daemon closes every descriptor and reuses the numbers: the loop must
// neither write its wake-ups into the program's pipe nor read the program's
// bytes, and posts from other threads must still run.
TEST(ARunLoop, KeepsRunningPostsWhenTheProgramTookItsWakeDescriptors) {
  const std::vector<int> before = descriptorsFrom(900);
  RunLoop loop;
  std::vector<int> wake;
  for (int fd : descriptorsFrom(900)) {
    if (std::find(before.begin(), before.end(), fd) == before.end()) wake.push_back(fd);
  }
  ASSERT_EQ(wake.size(), 2u);  // the wake pipe's two ends
  for (int fd : wake) close(fd);
  int ends[2];
  ASSERT_EQ(pipe2(ends, O_NONBLOCK), 0);
  ASSERT_EQ(dup2(ends[0], wake[0]), wake[0]);
  ASSERT_EQ(dup2(ends[1], wake[1]), wake[1]);
  close(ends[0]);
  close(ends[1]);
  ASSERT_EQ(write(wake[1], "mine", 4), 4);  // whichever end reads, it is the program's

  std::atomic<bool> ran{false};
  std::thread poster([&] { loop.post([&] { ran = true; }); });
  poster.join();
  EXPECT_TRUE(loop.runUntil([&] { return ran.load(); }, std::chrono::seconds(20)));

  std::string pending;
  char buffer[64];
  for (ssize_t n; (n = read(wake[0], buffer, sizeof buffer)) > 0;) pending.append(buffer, n);
  EXPECT_EQ(pending, "mine");
  close(wake[0]);
  close(wake[1]);
}

}  // namespace
}  // namespace sentrel::runloop
