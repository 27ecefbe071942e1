// Run loops and queues used from several threads, and across fork().
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <csignal>
#include <future>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "platform/base/mutex.h"
#include "platform/runloop/run_loop.h"
#include "support/log_capture.h"

#if defined(__SANITIZE_THREAD__)
#define SENTREL_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define SENTREL_TSAN 1
#endif
#endif

#if defined(SENTREL_TSAN) || defined(__SANITIZE_ADDRESS__)
// TSan cannot follow threads started in the child of a multithreaded process
// (it keeps the parent's thread records and aborts when glibc reuses their
// stacks), and GCC 12's ASan allocator can hang a child forked while any
// thread was inside it. Under either the forked child only exits, so the
// parent's side of fork(), the locking around it, is still checked; the
// plain build runs the child's part.
constexpr bool kChildMayStartThreads = false;
#else
constexpr bool kChildMayStartThreads = true;
#endif

#if defined(__SANITIZE_ADDRESS__)
#define SENTREL_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define SENTREL_ASAN 1
#endif
#endif

#ifdef SENTREL_ASAN
// ASan's allocator (GCC 12) is not fork-safe: a child forked while another
// thread allocates hangs in its first malloc. Under ASan the process still
// has its main-queue thread and global workers at fork(), but they are idle.
constexpr bool kBusyDuringFork = false;
#else
constexpr bool kBusyDuringFork = true;
#endif

namespace sentrel::runloop {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr auto kPatience = seconds(20);

TEST(ARunLoopUsedFromManyThreads, RunsEveryPostInEachPostersOrder) {
  RunLoop loop;
  constexpr int kThreads = 8;
  constexpr int kPerThread = 2000;
  std::vector<int> lastSeen(kThreads, -1);  // touched on the loop thread only
  int outOfOrder = 0;
  int ran = 0;
  std::vector<std::thread> posters;
  for (int t = 0; t < kThreads; ++t) {
    posters.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        loop.post([&, t, i] {
          if (i != lastSeen[t] + 1) ++outOfOrder;
          lastSeen[t] = i;
          ++ran;
        });
      }
    });
  }
  EXPECT_TRUE(loop.runUntil([&] { return ran == kThreads * kPerThread; }, kPatience));
  for (auto& t : posters) t.join();
  EXPECT_EQ(outOfOrder, 0);
}

TEST(ARunLoopUsedFromManyThreads, EndsRunWhenAnotherThreadQuits) {
  RunLoop loop;
  std::promise<void> running;
  loop.post([&] { running.set_value(); });
  std::thread quitter([&] {
    running.get_future().wait();
    loop.quit();
  });
  loop.run();
  quitter.join();
}

TEST(ARunLoopUsedFromManyThreads, WakesForATimerPostedFromAnotherThreadWhileWaiting) {
  RunLoop loop;
  std::promise<void> running;
  loop.post([&] { running.set_value(); });
  std::thread poster([&] {
    running.get_future().wait();
    // The loop is blocked in poll() without a deadline; this must shorten it.
    loop.postDelayed(milliseconds(1), [&] { loop.quit(); });
  });
  loop.run();
  poster.join();
}

// Runs a task on the main queue and waits for it, without running any loop
// on this thread: only the own thread can get it done.
bool runsOnOwnMainThread() {
  auto done = std::make_shared<std::promise<bool>>();
  auto result = done->get_future();
  asyncMain([done] { done->set_value(MainQueue::get().isRunningOnCurrentThread()); });
  if (result.wait_for(kPatience) != std::future_status::ready) return false;
  return result.get();
}

TEST(AMainQueueWithItsOwnThread, RunsPostedTasksThereAndStartsOnlyOnce) {
  MainQueue::startOwnThread();
  MainQueue::startOwnThread();
  EXPECT_TRUE(runsOnOwnMainThread());
  EXPECT_FALSE(MainQueue::get().isRunningOnCurrentThread());

  auto fired = std::make_shared<std::promise<void>>();
  auto f = fired->get_future();
  afterMain(milliseconds(1), [fired] { fired->set_value(); });
  EXPECT_EQ(f.wait_for(kPatience), std::future_status::ready);
}

// In a forked child: one check of each queue, reported on `reportFd` as a
// byte ('M' for the main queue, 'G' for the global queue), then _exit().
[[noreturn]] void childMain(int reportFd) {
  auto main = std::make_shared<std::promise<void>>();
  auto global = std::make_shared<std::promise<void>>();
  asyncMain([main, reportFd] {
    if (write(reportFd, "M", 1) == 1) main->set_value();
  });
  asyncGlobal([global, reportFd] {
    if (write(reportFd, "G", 1) == 1) global->set_value();
  });
  const bool ok = main->get_future().wait_for(kPatience) == std::future_status::ready &&
                  global->get_future().wait_for(kPatience) == std::future_status::ready;
  _exit(ok ? 0 : 1);
}

// Reads what the child reports until it closes its end.
std::string readReport(int fd) {
  std::string got;
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(milliseconds(kPatience).count())) <= 0) break;
    char buf[16];
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) break;
    got.append(buf, static_cast<size_t>(n));
  }
  return got;
}

TEST(AMainQueueWithItsOwnThread, KeepsWorkingInAChildForkedFromABusyProcess) {
  MainQueue::startOwnThread();
  ASSERT_TRUE(runsOnOwnMainThread());
  // Busy threads posting to both queues, so fork() comes while their locks
  // are being taken (and, in a fresh process, while the global queue is
  // being made).
  std::atomic<bool> stop{false};
  std::atomic<int> mainRan{0};
  std::vector<std::thread> busy;
  asyncGlobal([] {});  // the workers exist before the first fork
  for (int i = 0; i < (kBusyDuringFork ? 2 : 0); ++i) {
    busy.emplace_back([&] {
      while (!stop) {
        asyncMain([&] { ++mainRan; });
        asyncGlobal([] {});
      }
    });
  }

  for (int round = 0; round < 5; ++round) {
    int report[2];
    ASSERT_EQ(pipe2(report, O_CLOEXEC), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      close(report[0]);
      if (!kChildMayStartThreads) _exit(0);
      childMain(report[1]);
    }
    close(report[1]);
    if (!kChildMayStartThreads) {
      close(report[0]);
      int status = 0;
      ASSERT_EQ(waitpid(child, &status, 0), child);
      continue;
    }
    const std::string got = readReport(report[0]);
    close(report[0]);
    if (got.size() < 2) kill(child, SIGKILL);  // stuck: do not wait forever
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "round " << round;
    EXPECT_NE(got.find('M'), std::string::npos) << "round " << round;
    EXPECT_NE(got.find('G'), std::string::npos) << "round " << round;
  }
  stop = true;
  for (auto& t : busy) t.join();

  // The parent's own thread did not lose its wake-ups to the children.
  EXPECT_TRUE(runsOnOwnMainThread());
  if (kBusyDuringFork) {
    EXPECT_GT(mainRan.load(), 0);
  }
}

TEST(TheGlobalQueue, RunsTasksConcurrently) {
  // Each task waits until the other has started: only concurrent workers
  // get both through. Shared so that a failed wait leaves nothing dangling.
  struct Meeting {
    Mutex mu;
    std::condition_variable cv;
    int arrived GUARDED_BY(mu) = 0;
    int metPartner GUARDED_BY(mu) = 0;
    int finished GUARDED_BY(mu) = 0;
  };
  auto m = std::make_shared<Meeting>();
  for (int i = 0; i < 2; ++i) {
    asyncGlobal([m] {
      MutexLock lock(m->mu);
      ++m->arrived;
      m->cv.notify_all();
      const auto deadline = std::chrono::steady_clock::now() + kPatience;
      while (m->arrived != 2 &&
             m->cv.wait_until(lock.native(), deadline) != std::cv_status::timeout) {
      }
      if (m->arrived == 2) ++m->metPartner;
      ++m->finished;
      m->cv.notify_all();
    });
  }
  MutexLock lock(m->mu);
  const auto deadline = std::chrono::steady_clock::now() + kPatience * 2;
  while (m->finished != 2 && m->cv.wait_until(lock.native(), deadline) != std::cv_status::timeout) {
  }
  ASSERT_EQ(m->finished, 2);
  EXPECT_EQ(m->metPartner, 2);
}

TEST(TheGlobalQueue, LogsATaskThatThrowsAndKeepsRunningTasks) {
  testing::LogCapture log;
  // More throwing tasks than workers, so every worker meets one.
  for (int i = 0; i < 8; ++i) asyncGlobal([] { throw std::runtime_error("worker boom"); });
  auto ran = std::make_shared<std::promise<void>>();
  asyncGlobal([ran] { ran->set_value(); });
  ASSERT_EQ(ran->get_future().wait_for(kPatience), std::future_status::ready);
  // Other workers may still be logging theirs.
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  while (log.count("worker boom") < 8 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::yield();
  }
  EXPECT_EQ(log.count("worker boom"), 8u);
}

}  // namespace
}  // namespace sentrel::runloop
