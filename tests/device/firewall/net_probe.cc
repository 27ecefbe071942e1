// A foreign program for the firewall tests: it knows nothing of Sentrel and
// reports what the C library's connect() did.
//
//   net_probe tcp ADDRESS PORT      "connected" or "failed <errno>"
//   net_probe unix PATH             the same, for a local socket
//   net_probe forks ADDRESS PORT    threads connect while others fork; the
//                                   children connect too; prints "ok" when
//                                   every connect in parent and children
//                                   gave a result and every child exited 0
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

int forks(const char* address, int port) {
  constexpr int kConnectors = 4;
  constexpr int kForkers = 3;
  constexpr int kRounds = 20;
  std::atomic<bool> failed{false};
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
          failed = true;
          continue;
        }
        int status = 0;
        if (waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
          failed = true;
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  std::printf(failed ? "child failed\n" : "ok\n");
  return failed ? 1 : 0;
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
  if (mode == "forks" && argc == 4) return forks(argv[2], std::atoi(argv[3]));
  std::fprintf(stderr, "usage: net_probe tcp ADDRESS PORT | unix PATH | forks ADDRESS PORT\n");
  return 2;
}
