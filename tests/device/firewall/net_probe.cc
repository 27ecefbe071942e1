// A foreign program for the firewall tests: it knows nothing of Sentrel and
// reports what the C library's connect() did.
//
//   net_probe tcp ADDRESS PORT      "connected" or "failed <errno>"
//   net_probe unix PATH             the same, for a local socket
//   net_probe forks ADDRESS PORT    connects once (the launcher brings the
//                                   tweak library in on a program's first
//                                   connect), then threads connect while
//                                   others fork; the children connect too;
//                                   prints "ok" when every connect in parent
//                                   and children gave a result and every
//                                   child exited 0, else "child failed (N)"
//                                   (N: -errno of fork or waitpid, or the
//                                   child's wait status)
//   net_probe forks-cold ADDRESS PORT  the same without the first connect:
//                                   the first connects load the library
//                                   while other threads fork
//   net_probe signals ADDRESS PORT  for a second, the main thread allocates
//                                   and connects while a SIGALRM handler
//                                   connects every 200 us; prints
//                                   "handler <tries> through <connected>"
//   net_probe closefds ADDRESS PORT connects, closes every descriptor from 3
//                                   up as daemons do, fills the low numbers
//                                   and 900-931 with pipes of its own,
//                                   connects again (port + 1), waits 2 s and
//                                   prints "foreign bytes <n>": what arrived
//                                   in its pipes from elsewhere
//   net_probe vfork ADDRESS PORT    two vfork() children connect and
//                                   _exit(); then the parent connects;
//                                   prints "children <errno> <errno> parent
//                                   <errno>"
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

namespace {

// 0 connected, else the errno.
int connectTcp(const char* address, int port) {
  sockaddr_storage storage{};
  socklen_t length = 0;
  int family = AF_INET;
  auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
  if (inet_pton(AF_INET, address, &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(static_cast<uint16_t>(port));
    length = sizeof *v4;
  } else if (inet_pton(AF_INET6, address, &v6->sin6_addr) == 1) {
    family = AF_INET6;
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(static_cast<uint16_t>(port));
    length = sizeof *v6;
  } else {
    return EINVAL;
  }
  int fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return errno;
  int result = connect(fd, reinterpret_cast<sockaddr*>(&storage), length) == 0 ? 0 : errno;
  close(fd);
  return result;
}

int connectUnix(const char* path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path, sizeof address.sun_path - 1);
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return errno;
  int result = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 ? 0 : errno;
  close(fd);
  return result;
}

void report(int result) {
  if (result == 0) {
    std::printf("connected\n");
  } else {
    std::printf("failed %d\n", result);
  }
}

int forks(const char* address, int port, bool warm) {
  if (warm) connectTcp(address, port);
  constexpr int kConnectors = 4;
  constexpr int kForkers = 3;
  constexpr int kRounds = 20;
  std::atomic<bool> failed{false};
  std::atomic<int> how{0};  // the first failure: -errno of fork or waitpid, else the wait status
  auto fail = [&](int what) {
    int none = 0;
    how.compare_exchange_strong(none, what);
    failed = true;
  };
  std::vector<std::thread> threads;
  for (int i = 0; i < kConnectors; ++i) {
    threads.emplace_back([&] {
      for (int round = 0; round < kRounds; ++round) connectTcp(address, port);
    });
  }
  for (int i = 0; i < kForkers; ++i) {
    threads.emplace_back([&] {
      for (int round = 0; round < kRounds / 2; ++round) {
        pid_t child = fork();
        if (child == 0) {
          // A child of a multithreaded parent: connect through the hook and
          // leave without running the parent's exit handlers.
          connectTcp(address, port);
          _exit(0);
        }
        if (child < 0) {
          fail(-errno);
          continue;
        }
        int status = 0;
        if (waitpid(child, &status, 0) != child) {
          fail(-errno);
        } else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
          fail(status);
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  if (failed) {
    std::printf("child failed (%d)\n", how.load());
  } else {
    std::printf("ok\n");
  }
  return failed ? 1 : 0;
}

// ---- signals ----

sockaddr_storage g_target{};
socklen_t g_target_length = 0;
std::atomic<int> g_handler_tries{0};  // lock-free: safe in a handler
std::atomic<int> g_handler_through{0};

bool parseTarget(const char* address, int port) {
  auto* v4 = reinterpret_cast<sockaddr_in*>(&g_target);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&g_target);
  if (inet_pton(AF_INET, address, &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(static_cast<uint16_t>(port));
    g_target_length = sizeof *v4;
    return true;
  }
  if (inet_pton(AF_INET6, address, &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(static_cast<uint16_t>(port));
    g_target_length = sizeof *v6;
    return true;
  }
  return false;
}

// Only async-signal-safe calls, as a handler must.
void connectFromHandler(int) {
  const int saved = errno;
  const int fd = socket(g_target.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd >= 0) {
    ++g_handler_tries;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&g_target), g_target_length) == 0) {
      ++g_handler_through;
    }
    close(fd);
  }
  errno = saved;
}

int signals(const char* address, int port) {
  if (!parseTarget(address, port)) return 2;
  struct sigaction action {};
  action.sa_handler = &connectFromHandler;
  action.sa_flags = SA_RESTART;
  sigaction(SIGALRM, &action, nullptr);
  itimerval every{{0, 200}, {0, 200}};
  setitimer(ITIMER_REAL, &every, nullptr);
  timespec start{}, now{};
  clock_gettime(CLOCK_MONOTONIC, &start);
  std::vector<void*> blocks(64, nullptr);
  for (unsigned i = 0;; ++i) {
    // Inside malloc and inside the hook as much as possible.
    for (int j = 0; j < 16; ++j) {
      void*& block = blocks[(i * 16 + j) % blocks.size()];
      std::free(block);
      block = std::malloc(16 + (i * 7 + j * 131) % 4000);
    }
    connectTcp(address, port);
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (now.tv_sec - start.tv_sec >= 1 && now.tv_nsec >= start.tv_nsec) break;
  }
  itimerval off{};
  setitimer(ITIMER_REAL, &off, nullptr);
  for (void* block : blocks) std::free(block);
  std::printf("handler %d through %d\n", g_handler_tries.load(), g_handler_through.load());
  return 0;
}

// ---- closefds ----

int closefds(const char* address, int port) {
  connectTcp(address, port);  // the library now has its descriptors
  timespec settle{0, 300'000'000};
  nanosleep(&settle, nullptr);
  for (int fd = 3; fd < 4096; ++fd) close(fd);
  std::vector<int> readers;
  std::vector<int> writers;
  auto keep = [&](int ends[2]) {
    fcntl(ends[0], F_SETFL, O_NONBLOCK);
    fcntl(ends[1], F_SETFL, O_NONBLOCK);
    readers.push_back(ends[0]);
    writers.push_back(ends[1]);
  };
  // The numbers the library had: low ones, and the high ones it moves to.
  for (int ends[2]; pipe(ends) == 0;) {
    keep(ends);
    if (ends[1] >= 40) break;
  }
  for (int target = 900; target < 932; target += 2) {
    int ends[2];
    if (pipe(ends) != 0) break;
    dup2(ends[0], target);
    dup2(ends[1], target + 1);
    close(ends[0]);
    close(ends[1]);
    int moved[2] = {target, target + 1};
    keep(moved);
  }
  const int result = connectTcp(address, port + 1);
  timespec wait{2, 0};
  nanosleep(&wait, nullptr);
  size_t foreign = 0;
  char buffer[4096];
  for (int fd : readers) {
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) foreign += static_cast<size_t>(n);
  }
  std::printf("foreign bytes %zu\n", foreign);
  return result == ENETUNREACH ? 0 : 1;
}

// ---- vfork ----

// The child of vfork() shares our memory and stack: it only calls connect()
// (through the hook) and _exit().
[[gnu::noinline]] int vforkedConnect() {
  const pid_t child = vfork();
  if (child == 0) {
    const int fd = socket(g_target.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int r = connect(fd, reinterpret_cast<const sockaddr*>(&g_target), g_target_length);
    _exit(r == 0 ? 0 : (errno & 0x7f));
  }
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

int vforks(const char* address, int port) {
  if (!parseTarget(address, port)) return 2;
  const int first = vforkedConnect();
  const int second = vforkedConnect();
  const int parent = connectTcp(address, port);
  std::printf("children %d %d parent %d\n", first, second, parent);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "tcp" && argc == 4) {
    report(connectTcp(argv[2], std::atoi(argv[3])));
    return 0;
  }
  if (mode == "unix" && argc == 3) {
    report(connectUnix(argv[2]));
    return 0;
  }
  if (mode == "forks" && argc == 4) return forks(argv[2], std::atoi(argv[3]), true);
  if (mode == "forks-cold" && argc == 4) return forks(argv[2], std::atoi(argv[3]), false);
  if (mode == "signals" && argc == 4) return signals(argv[2], std::atoi(argv[3]));
  if (mode == "closefds" && argc == 4) return closefds(argv[2], std::atoi(argv[3]));
  if (mode == "vfork" && argc == 4) return vforks(argv[2], std::atoi(argv[3]));
  std::fprintf(stderr,
               "usage: net_probe tcp|forks|signals|closefds|vfork ADDRESS PORT | unix PATH\n");
  return 2;
}
