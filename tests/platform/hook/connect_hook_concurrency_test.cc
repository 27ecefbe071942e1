// The connect interposer under many threads: replacements swapped while
// others connect, a replacement blocked on one thread while another
// connects, and fork() while other threads are inside connect.
#include <sys/wait.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/base/mutex.h"
#include "platform/hook/connect_hook.h"
#include "platform/hook/loopback.h"

namespace sentrel::hook {
namespace {

using testing::connectFresh;
using testing::Fd;
using testing::loopback4;
using testing::LoopbackSocket;
using testing::Outcome;
using testing::portOf;

std::atomic<uint16_t> denied_port{0};
std::atomic<long> calls_a{0};
std::atomic<long> calls_b{0};

int deny(int socket, const sockaddr* address, socklen_t length) {
  if (portOf(address) == denied_port) {
    errno = ENETUNREACH;
    return -1;
  }
  return realConnect()(socket, address, length);
}
int replacementA(int socket, const sockaddr* address, socklen_t length) {
  calls_a++;
  return deny(socket, address, length);
}
int replacementB(int socket, const sockaddr* address, socklen_t length) {
  calls_b++;
  return deny(socket, address, length);
}

struct RestoreRealConnect {
  ~RestoreRealConnect() { EXPECT_TRUE(MSHookFunction(kConnect, realConnect(), nullptr).ok()); }
};

// UDP connect() only sets the peer, so it goes as fast as the hook allows.
TEST(AConnectHookUnderSwaps, GivesEveryCallerOneWholeReplacement) {
  RestoreRealConnect restore;
  LoopbackSocket denied(AF_INET, SOCK_DGRAM);
  LoopbackSocket allowed(AF_INET, SOCK_DGRAM);
  denied_port = denied.port();
  calls_a = calls_b = 0;
  ASSERT_TRUE(MSHookFunction(kConnect, replacementA, nullptr).ok());

  constexpr int kThreads = 6;
  constexpr int kCallsPerThread = 4000;
  std::atomic<int> wrong{0};
  std::atomic<int> running{kThreads};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      Fd fd(::socket(AF_INET, SOCK_DGRAM, 0));
      for (int i = 0; i < kCallsPerThread; ++i) {
        bool deny_this = i % 2 == 0;
        auto address = loopback4(deny_this ? denied.port() : allowed.port());
        errno = 0;
        int result = ::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
        Outcome expected = deny_this ? Outcome{-1, ENETUNREACH} : Outcome{0, 0};
        if (Outcome{result, result == 0 ? 0 : errno} != expected) wrong++;
      }
      running--;
    });
  }
  // Swap while they run; each swap hands back what the one before installed.
  ConnectFunction expected_previous = replacementA;
  long swaps = 0;
  while (running.load() > 0 || swaps < 100) {
    ConnectFunction next = swaps % 2 == 0 ? replacementB : replacementA;
    ConnectFunction previous = nullptr;
    EXPECT_TRUE(MSHookFunction(kConnect, next, &previous).ok());
    EXPECT_EQ(previous, expected_previous);
    expected_previous = next;
    ++swaps;
  }
  for (auto& t : threads) t.join();

  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(calls_a + calls_b, long{kThreads} * kCallsPerThread);
}

// Blocks inside the replacement until released.
Mutex gate_mutex;
std::condition_variable gate_changed;
bool blocker_inside = false;
bool release_blocker = false;
std::atomic<int> gated_calls{0};

int gatedConnect(int socket, const sockaddr* address, socklen_t length) {
  if (gated_calls++ == 0) {
    MutexLock lock(gate_mutex);
    blocker_inside = true;
    gate_changed.notify_all();
    while (!release_blocker) gate_changed.wait(lock.native());
  }
  return realConnect()(socket, address, length);
}

TEST(AConnectHookUnderThreads, KeepsTheReentryGuardToTheThreadThatEnteredTheReplacement) {
  RestoreRealConnect restore;
  ASSERT_TRUE(MSHookFunction(kConnect, gatedConnect, nullptr).ok());
  LoopbackSocket target(AF_INET, SOCK_DGRAM);
  std::thread blocked([&] { connectFresh(SOCK_DGRAM, loopback4(target.port())); });
  {
    MutexLock lock(gate_mutex);
    ASSERT_TRUE(lock.waitFor(gate_changed, std::chrono::seconds(30), [] {
      gate_mutex.assertHeld();
      return blocker_inside;
    }));
  }
  // This thread is not inside the replacement, so its call reaches it too.
  EXPECT_EQ(connectFresh(SOCK_DGRAM, loopback4(target.port())), (Outcome{0, 0}));
  EXPECT_EQ(gated_calls, 2);
  {
    MutexLock lock(gate_mutex);
    release_blocker = true;
  }
  gate_changed.notify_all();
  blocked.join();
}

TEST(AConnectHookAcrossFork, WorksInTheChildOfAProcessWhoseThreadsAreConnecting) {
  RestoreRealConnect restore;
  LoopbackSocket denied(AF_INET, SOCK_STREAM);
  LoopbackSocket allowed(AF_INET, SOCK_STREAM);
  LoopbackSocket busy(AF_INET, SOCK_DGRAM);
  denied_port = denied.port();
  ASSERT_TRUE(MSHookFunction(kConnect, replacementA, nullptr).ok());

  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([&] {
      Fd fd(::socket(AF_INET, SOCK_DGRAM, 0));
      auto address = loopback4(busy.port());
      while (!stop.load()) {
        ::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
      }
    });
  }
  for (int round = 0; round < 10; ++round) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      // Only async-signal-safe calls here: socket, connect, close, _exit.
      int code = 0;
      auto to_denied = loopback4(denied.port());
      auto to_allowed = loopback4(allowed.port());
      int fd = ::socket(AF_INET, SOCK_STREAM, 0);
      if (::connect(fd, reinterpret_cast<sockaddr*>(&to_denied), sizeof to_denied) != -1 ||
          errno != ENETUNREACH) {
        code |= 1;
      }
      if (::connect(fd, reinterpret_cast<sockaddr*>(&to_allowed), sizeof to_allowed) != 0) {
        code |= 2;
      }
      ::close(fd);
      _exit(code);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "round " << round;
  }
  stop = true;
  for (auto& t : threads) t.join();
}

}  // namespace
}  // namespace sentrel::hook
