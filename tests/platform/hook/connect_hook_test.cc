// The connect interposer in this test binary: ::connect() below goes through
// the exported connect of sentrel_connect_interposer.
#include <pthread.h>
#include <sys/mman.h>
#include <sys/un.h>

#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "platform/hook/connect_hook.h"
#include "platform/hook/loopback.h"
#include "support/temp_dir.h"

namespace sentrel::hook {
namespace {

using testing::connectFresh;
using testing::Fd;
using testing::loopback4;
using testing::loopback6;
using testing::LoopbackSocket;
using testing::Outcome;
using testing::portOf;

// Installs a replacement for one test and puts back what it replaced.
class ScopedHook {
 public:
  explicit ScopedHook(ConnectFunction replacement) {
    Status status = MSHookFunction(kConnect, replacement, &previous_);
    if (!status.ok()) throw std::runtime_error(status.reason());
  }
  ~ScopedHook() { EXPECT_TRUE(MSHookFunction(kConnect, previous_, nullptr).ok()); }
  ConnectFunction previous() const { return previous_; }

 private:
  ConnectFunction previous_ = nullptr;
};

// The replacement most tests use: denies one port, passes the rest on.
std::atomic<uint16_t> denied_port{0};
std::atomic<int> replacement_calls{0};
ConnectFunction original_connect = nullptr;

int denyingConnect(int socket, const sockaddr* address, socklen_t length) {
  replacement_calls++;
  if (portOf(address) == denied_port) {
    errno = ENETUNREACH;
    return -1;
  }
  return original_connect(socket, address, length);
}

class AConnectHook : public ::testing::Test {
 protected:
  AConnectHook() {
    replacement_calls = 0;
    denied_port = denied_.port();
    if (!MSHookFunction(kConnect, denyingConnect, &original_connect).ok()) abort();
  }
  ~AConnectHook() override { EXPECT_TRUE(MSHookFunction(kConnect, realConnect(), nullptr).ok()); }

  LoopbackSocket denied_{AF_INET, SOCK_STREAM};  // listening: only the hook can refuse it
  LoopbackSocket allowed_{AF_INET, SOCK_STREAM};
};

TEST_F(AConnectHook, GivesBackTheRealConnectAsThePreviousImplementation) {
  EXPECT_EQ(original_connect, realConnect());
  EXPECT_EQ(installedConnect(), &denyingConnect);
}

TEST_F(AConnectHook, FailsADeniedPortWithENETUNREACHAndConnectsAnAllowedOne) {
  EXPECT_EQ(connectFresh(SOCK_STREAM, loopback4(denied_.port())), (Outcome{-1, ENETUNREACH}));
  EXPECT_EQ(connectFresh(SOCK_STREAM, loopback4(allowed_.port())), (Outcome{0, 0}));
  EXPECT_EQ(replacement_calls, 2);

  // Off again: the listener was reachable.
  ASSERT_TRUE(MSHookFunction(kConnect, realConnect(), nullptr).ok());
  EXPECT_EQ(connectFresh(SOCK_STREAM, loopback4(denied_.port())), (Outcome{0, 0}));
  EXPECT_EQ(replacement_calls, 2);
}

TEST_F(AConnectHook, SeesIPv6Addresses) {
  LoopbackSocket denied6(AF_INET6, SOCK_STREAM);
  LoopbackSocket allowed6(AF_INET6, SOCK_STREAM);
  denied_port = denied6.port();
  EXPECT_EQ(connectFresh(SOCK_STREAM, loopback6(denied6.port())), (Outcome{-1, ENETUNREACH}));
  EXPECT_EQ(connectFresh(SOCK_STREAM, loopback6(allowed6.port())), (Outcome{0, 0}));
}

TEST_F(AConnectHook, LeavesTheErrnoOfThePassedOnCallToTheCaller) {
  uint16_t closed_port;
  {
    LoopbackSocket gone(AF_INET, SOCK_STREAM);
    closed_port = gone.port();
  }
  EXPECT_EQ(connectFresh(SOCK_STREAM, loopback4(closed_port)), (Outcome{-1, ECONNREFUSED}));

  // A call that succeeds leaves errno as the caller had it.
  Fd fd(::socket(AF_INET, SOCK_STREAM, 0));
  auto address = loopback4(allowed_.port());
  errno = EDOM;
  ASSERT_EQ(::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  EXPECT_EQ(errno, EDOM);
}

int succeedsWithItsOwnErrno(int, const sockaddr*, socklen_t) {
  errno = EALREADY;
  return 0;
}

TEST(AConnectHookReplacement, DecidesWhatTheCallerSeesIncludingErrno) {
  ScopedHook hook(succeedsWithItsOwnErrno);
  auto address = loopback4(9);
  Fd fd(::socket(AF_INET, SOCK_DGRAM, 0));
  errno = 0;
  EXPECT_EQ(::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  EXPECT_EQ(errno, EALREADY);
}

TEST_F(AConnectHook, PassesNullShortAndOversizedAddressesOnUnread) {
  Fd fd(::socket(AF_INET, SOCK_STREAM, 0));
  auto address = loopback4(denied_.port());
  sockaddr_storage big{};
  std::memcpy(&big, &address, sizeof address);
  const socklen_t oversized = sizeof big + 1;
  struct Case {
    const sockaddr* address;
    socklen_t length;
  };
  for (Case c : {Case{nullptr, 0}, Case{nullptr, sizeof address},
                 Case{reinterpret_cast<sockaddr*>(&address), 1},
                 Case{reinterpret_cast<sockaddr*>(&big), oversized}}) {
    errno = 0;
    int result = ::connect(fd.get(), c.address, c.length);
    Outcome hooked{result, errno};
    errno = 0;
    result = realConnect()(fd.get(), c.address, c.length);
    EXPECT_EQ(hooked, (Outcome{result, errno})) << "length " << c.length;
  }
  EXPECT_EQ(replacement_calls, 0);
}

// A replacement that reads a whole sockaddr_in6 whatever the length.
std::atomic<uint32_t> scope_seen{1};
int readsAWholeAddress(int socket, const sockaddr* address, socklen_t length) {
  sockaddr_in6 copy;
  std::memcpy(&copy, address, sizeof copy);
  scope_seen = copy.sin6_scope_id;
  return realConnect()(socket, address, length);
}

TEST(AConnectHookReplacement, ReadsAZeroFilledCopyNeverThePastTheEndOfTheCallersAddress) {
  ScopedHook hook(readsAWholeAddress);
  // The caller's family field sits at the very end of a readable page,
  // followed by one that faults on any access.
  long page = sysconf(_SC_PAGESIZE);
  auto* pages = static_cast<char*>(
      mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(pages, MAP_FAILED);
  ASSERT_EQ(mprotect(pages + page, page, PROT_NONE), 0);
  char* family_at_end = pages + page - sizeof(sa_family_t);
  sa_family_t family = AF_INET6;
  std::memcpy(family_at_end, &family, sizeof family);

  Fd fd(::socket(AF_INET6, SOCK_STREAM, 0));
  errno = 0;
  EXPECT_EQ(::connect(fd.get(), reinterpret_cast<sockaddr*>(family_at_end), sizeof family), -1);
  EXPECT_EQ(errno, EINVAL);  // the kernel's answer to a short address
  EXPECT_EQ(scope_seen, 0u);
  munmap(pages, 2 * page);
}

TEST_F(AConnectHook, NeverExaminesLocalSockets) {
  ::sentrel::testing::TempDir dir;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::string path = (dir.path() / "s").string();
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  Fd server(::socket(AF_UNIX, SOCK_STREAM, 0));
  ASSERT_EQ(::bind(server.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(server.get(), 4), 0);
  EXPECT_EQ(connectFresh(SOCK_STREAM, address), (Outcome{0, 0}));
  EXPECT_EQ(replacement_calls, 0);
}

// Passes every call on through the connect symbol, as a replacement that
// logs or resolves would, and also connects a socket of its own.
std::atomic<int> reentrant_calls{0};
std::atomic<int> inner_result{1};
std::atomic<bool> inside_seen{false};
std::atomic<uint16_t> inner_port{0};
int reenteringConnect(int socket, const sockaddr* address, socklen_t length) {
  reentrant_calls++;
  inside_seen = insideReplacement();
  Fd own(::socket(AF_INET, SOCK_DGRAM, 0));
  auto inner = loopback4(inner_port);
  inner_result = ::connect(own.get(), reinterpret_cast<sockaddr*>(&inner), sizeof inner);
  return ::connect(socket, address, length);
}

TEST(AConnectHookReplacement, ReachesTheRealConnectWhenItCallsConnectItself) {
  LoopbackSocket listener(AF_INET, SOCK_STREAM);
  inner_port = 9;
  ScopedHook hook(reenteringConnect);
  EXPECT_EQ(connectFresh(SOCK_STREAM, loopback4(listener.port())), (Outcome{0, 0}));
  EXPECT_EQ(reentrant_calls, 1);
  EXPECT_EQ(inner_result, 0);
  EXPECT_TRUE(inside_seen);
  EXPECT_FALSE(insideReplacement());
}

int throwingConnect(int, const sockaddr*, socklen_t) {
  throw std::runtime_error("boom");
}

TEST(AConnectHookReplacement, ThatThrowsBlocksTheConnectionAndLeavesTheHookUsable) {
  ScopedHook hook(throwingConnect);
  EXPECT_EQ(connectFresh(SOCK_DGRAM, loopback4(9)), (Outcome{-1, ENETUNREACH}));
  EXPECT_FALSE(insideReplacement());
  EXPECT_EQ(connectFresh(SOCK_DGRAM, loopback4(9)), (Outcome{-1, ENETUNREACH}));
}

int cancellingConnect(int socket, const sockaddr* address, socklen_t length) {
  pthread_testcancel();
  return realConnect()(socket, address, length);
}

TEST(AConnectHookReplacement, LetsThreadCancellationUnwindThroughIt) {
  ScopedHook hook(cancellingConnect);
  pthread_t thread;
  auto body = [](void*) -> void* {
    pthread_cancel(pthread_self());  // deferred: acted on at the next cancellation point
    auto address = loopback4(9);
    Fd fd(::socket(AF_INET, SOCK_DGRAM, 0));
    ::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
    return nullptr;
  };
  ASSERT_EQ(pthread_create(&thread, nullptr, body, nullptr), 0);
  void* result = nullptr;
  ASSERT_EQ(pthread_join(thread, &result), 0);
  EXPECT_EQ(result, PTHREAD_CANCELED);
}

int firstHook(int socket, const sockaddr* address, socklen_t length) {
  return realConnect()(socket, address, length);
}
int secondHook(int socket, const sockaddr* address, socklen_t length) {
  return realConnect()(socket, address, length);
}

TEST(MSHookFunction, ChainsHooksAndRefusesANullReplacement) {
  ScopedHook first(firstHook);
  ConnectFunction previous = nullptr;
  ASSERT_TRUE(MSHookFunction(kConnect, secondHook, &previous).ok());
  EXPECT_EQ(previous, &firstHook);

  previous = realConnect();
  EXPECT_FALSE(MSHookFunction(kConnect, nullptr, &previous).ok());
  EXPECT_EQ(previous, realConnect());  // untouched
  EXPECT_EQ(installedConnect(), &secondHook);
}

}  // namespace
}  // namespace sentrel::hook
