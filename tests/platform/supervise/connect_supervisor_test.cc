// The connect filter and its supervisor in one test process: a forked child
// puts the filter up, hands its listener over and connects in every way;
// the test supervises it with a decider of its own.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/supervise/connect_filter.h"
#include "platform/supervise/connect_supervisor.h"
#include "support/temp_dir.h"

namespace sentrel::supervise {
namespace {

constexpr uint64_t kToken = 0x0123456789abcdefULL;

// Allows 127.0.0.1 and nothing else; counts what it was asked.
class LoopbackOnly final : public ConnectDecider {
 public:
  Verdict decide(const ConnectAttempt& attempt) override {
    ++asked;
    if (attempt.address->sa_family != AF_INET) return Verdict::kDeny;
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(attempt.address);
    return ntohl(v4->sin_addr.s_addr) == INADDR_LOOPBACK ? Verdict::kAllow : Verdict::kDeny;
  }
  std::atomic<int> asked{0};
};

class Listening {
 public:
  explicit Listening(const char* address) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in in{};
    in.sin_family = AF_INET;
    inet_pton(AF_INET, address, &in.sin_addr);
    socklen_t length = sizeof in;
    bind(fd_, reinterpret_cast<sockaddr*>(&in), length);
    listen(fd_, 1024);
    getsockname(fd_, reinterpret_cast<sockaddr*>(&in), &length);
    port_ = ntohs(in.sin_port);
  }
  ~Listening() { close(fd_); }
  int port() const { return port_; }

 private:
  int fd_ = -1;
  int port_ = 0;
};

sockaddr_in inet(const char* address, int port) {
  sockaddr_in in{};
  in.sin_family = AF_INET;
  in.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, address, &in.sin_addr);
  return in;
}

// errno of one TCP connect made with `how`.
int connectWith(const sockaddr_in& to, const std::function<long(int, const sockaddr_in&)>& how) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int result = how(fd, to) == 0 ? 0 : errno;
  close(fd);
  return result;
}

long plainConnect(int fd, const sockaddr_in& to) {
  return syscall(SYS_connect, fd, &to, sizeof to);
}
long tokenConnect(int fd, const sockaddr_in& to) {
  return syscall(SYS_connect, fd, &to, sizeof to, kToken, 0, 0);
}

int receiveFd(int channel) {
  char byte;
  iovec part{&byte, 1};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
  msghdr message{};
  message.msg_iov = &part;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  if (recvmsg(channel, &message, MSG_CMSG_CLOEXEC) <= 0) return -1;
  int fd = -1;
  cmsghdr* header = CMSG_FIRSTHDR(&message);
  if (header != nullptr && header->cmsg_type == SCM_RIGHTS)
    std::memcpy(&fd, CMSG_DATA(header), sizeof fd);
  return fd;
}

void sendFd(int channel, int fd) {
  char byte = 'l';
  iovec part{&byte, 1};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  msghdr message{};
  message.msg_iov = &part;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  cmsghdr* header = CMSG_FIRSTHDR(&message);
  header->cmsg_level = SOL_SOCKET;
  header->cmsg_type = SCM_RIGHTS;
  header->cmsg_len = CMSG_LEN(sizeof(int));
  std::memcpy(CMSG_DATA(header), &fd, sizeof fd);
  sendmsg(channel, &message, 0);
}

// Runs `body` in a child under the filter, supervised by `decider`; the
// child's results (ints it writes with report()) come back in order.
class FilteredChild {
 public:
  static void report(int value) {
    ssize_t ignored = write(out_fd, &value, sizeof value);
    (void)ignored;
  }

  std::vector<int> run(ConnectDecider& decider, const std::function<void()>& body, size_t results) {
    int channel[2];
    int results_pipe[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, channel), 0);
    EXPECT_EQ(pipe2(results_pipe, O_CLOEXEC), 0);
    pid_t child = fork();
    if (child == 0) {
      const int listener = installConnectFilter(buildConnectFilter(kToken));
      if (listener < 0) _exit(3);
      sendFd(channel[1], listener);
      close(listener);
      out_fd = results_pipe[1];
      body();
      _exit(0);
    }
    close(channel[1]);
    close(results_pipe[1]);
    std::vector<int> values;
    {
      ConnectSupervisor supervisor(decider);
      const int listener = receiveFd(channel[0]);
      EXPECT_GE(listener, 0);
      EXPECT_TRUE(supervisor.supervise(listener, 7, "test child").ok());
      int value;
      while (values.size() < results &&
             read(results_pipe[0], &value, sizeof value) == sizeof value) {
        values.push_back(value);
      }
      int status = 0;
      waitpid(child, &status, 0);
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    close(channel[0]);
    close(results_pipe[0]);
    return values;
  }

  static inline int out_fd = -1;
};

TEST(AConnectFilter, HandsEveryConnectWithoutTheTokenToTheSupervisorWhichDecidesIt) {
  Listening allowed("127.0.0.1");
  Listening other("127.0.0.2");
  LoopbackOnly decider;
  FilteredChild child;
  std::vector<int> results = child.run(
      decider,
      [&] {
        FilteredChild::report(connectWith(inet("127.0.0.1", allowed.port()), plainConnect));
        FilteredChild::report(connectWith(inet("127.0.0.2", other.port()), plainConnect));
        // The token's connects never reach the decider.
        FilteredChild::report(connectWith(inet("127.0.0.2", other.port()), tokenConnect));
      },
      3);
  EXPECT_EQ(results, (std::vector<int>{0, ENETUNREACH, 0}));
  EXPECT_EQ(decider.asked.load(), 2);
}

TEST(AConnectFilter, LetsLocalSocketsGoOnUndecidedAndRefusesRingsAndListeners) {
  testing::TempDir dir;
  const std::string path = (dir.path() / "s").string();
  int server = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un local{};
  local.sun_family = AF_UNIX;
  std::snprintf(local.sun_path, sizeof local.sun_path, "%s", path.c_str());
  ASSERT_EQ(bind(server, reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
  ASSERT_EQ(listen(server, 4), 0);
  LoopbackOnly decider;
  FilteredChild child;
  std::vector<int> results = child.run(
      decider,
      [&] {
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        FilteredChild::report(syscall(SYS_connect, fd, &local, sizeof local) == 0 ? 0 : errno);
        close(fd);
        char params[120] = {};
        FilteredChild::report(syscall(SYS_io_uring_setup, 1, params) < 0 ? errno : 0);
        FilteredChild::report(
            syscall(SYS_seccomp, 1 /* SECCOMP_SET_MODE_FILTER */, 8 /* NEW_LISTENER */, nullptr) < 0
                ? errno
                : 0);
        // A socket that is not one.
        FilteredChild::report(
            syscall(SYS_connect, 0 /* stdin */, &local, sizeof local) == 0 ? 0 : errno);
      },
      4);
  EXPECT_EQ(results, (std::vector<int>{0, ENOSYS, EPERM, ENOTSOCK}));
  EXPECT_EQ(decider.asked.load(), 0);
  close(server);
}

TEST(AConnectFilter, DecidesTheConnectsOfManyThreadsAtOnce) {
  Listening allowed("127.0.0.1");
  LoopbackOnly decider;
  FilteredChild child;
  constexpr int kThreads = 8;
  constexpr int kEach = 50;
  std::vector<int> results = child.run(
      decider,
      [&] {
        std::atomic<int> failures{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
          threads.emplace_back([&] {
            for (int i = 0; i < kEach; ++i) {
              if (connectWith(inet("127.0.0.1", allowed.port()), plainConnect) != 0) ++failures;
            }
          });
        }
        for (std::thread& thread : threads) thread.join();
        FilteredChild::report(failures.load());
      },
      1);
  EXPECT_EQ(results, (std::vector<int>{0}));
  EXPECT_EQ(decider.asked.load(), kThreads * kEach);
}

TEST(AConnectToken, ReadsBackAsItWasWrittenAndRefusesAnythingElse) {
  char text[17];
  formatConnectToken(kToken, text);
  EXPECT_STREQ(text, "0123456789abcdef");
  EXPECT_EQ(parseConnectToken(text), kToken);
  for (const char* bad :
       {"", "0123456789abcde", "0123456789abcdef0", "0123456789ABCDEF", "0123456789abcdeg"}) {
    EXPECT_EQ(parseConnectToken(bad), 0u) << bad;
  }
  EXPECT_EQ(parseConnectToken(nullptr), 0u);
}

TEST(AConnectToken, IsTheLibrarysOnlyForTheBundleItWasGivenFor) {
  EXPECT_EQ(connectTokenForBundle("0123456789abcdef:/Applications/A.app", "/Applications/A.app"),
            kToken);
  EXPECT_EQ(connectTokenForBundle("0123456789abcdef:/Applications/A.app", "/Applications/B.app"),
            0u);
  EXPECT_EQ(connectTokenForBundle("0123456789abcdef:/Applications/A.app", nullptr), 0u);
  EXPECT_EQ(connectTokenForBundle("0123456789abcdef/Applications/A.app", "/Applications/A.app"),
            0u);
  EXPECT_EQ(connectTokenForBundle("0123", "0123"), 0u);
  EXPECT_EQ(connectTokenForBundle(nullptr, "/Applications/A.app"), 0u);
}

}  // namespace
}  // namespace sentrel::supervise
