// A program for the supervisor's tests, built twice: dynamically linked and
// static (where nothing can be injected). Every way it connects reaches the
// kernel without the C library's connect() symbol, or with it in a static
// program, so only the device's supervisor can decide it.
//
//   supervised_probe MODE ADDRESS PORT     one connection, then "connected"
//                                          (after sending "hello") or
//                                          "failed <errno>"
//     libc      socket() and connect() as the C library has them
//     raw       syscall(SYS_connect)
//     uring     io_uring first ("uring <errno>" when refused), then connect()
//     fastopen  sendto(MSG_FASTOPEN) carrying "hello", no connect()
//     fastmsg   the same with sendmsg()
//     short6    connect() to an IPv6 address given in 24 bytes
//     nonblock  a non-blocking connect() (EINPROGRESS counts as connected
//               once poll() says the socket is writable)
//   supervised_probe clean MODE ADDRESS PORT
//                                          the same from a child started
//                                          with an empty environment
//   supervised_probe as BUNDLE MODE ADDRESS PORT
//                                          the same from a child whose
//                                          SENTREL_BUNDLE_PATH names BUNDLE
//   supervised_probe race ALLOWED BLOCKED PORT COUNT
//                                          COUNT connects to one sockaddr
//                                          while a second thread flips it
//                                          between the two addresses;
//                                          "connected <n>"
//   supervised_probe walls PID             "seccomp <errno> getfd <errno>
//                                          sctp <errno>" for a new listener,
//                                          a descriptor of PID, an SCTP socket
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace {

bool parse(const char* address, int port, sockaddr_storage& out, socklen_t& length) {
  out = {};
  auto* v4 = reinterpret_cast<sockaddr_in*>(&out);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&out);
  if (inet_pton(AF_INET, address, &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(static_cast<uint16_t>(port));
    length = sizeof *v4;
    return true;
  }
  if (inet_pton(AF_INET6, address, &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(static_cast<uint16_t>(port));
    length = sizeof *v6;
    return true;
  }
  return false;
}

int sendHello(int fd) {
  return send(fd, "hello", 5, MSG_NOSIGNAL) == 5 ? 0 : errno;
}

int once(const std::string& mode, const char* address, int port) {
  sockaddr_storage target;
  socklen_t length = 0;
  if (!parse(address, port, target, length)) return EINVAL;
  const auto* to = reinterpret_cast<const sockaddr*>(&target);
  if (mode == "uring") {
    char params[120] = {};
    const long ring = syscall(__NR_io_uring_setup, 1, params);
    std::printf("uring %d ", ring < 0 ? errno : 0);
    if (ring >= 0) close(static_cast<int>(ring));
  }
  const int type = SOCK_STREAM | SOCK_CLOEXEC | (mode == "nonblock" ? SOCK_NONBLOCK : 0);
  int fd = socket(target.ss_family, type, 0);
  if (fd < 0) return errno;
  int result = 0;
  if (mode == "libc" || mode == "uring") {
    result = connect(fd, to, length) == 0 ? 0 : errno;
  } else if (mode == "raw") {
    result = syscall(SYS_connect, fd, to, length) == 0 ? 0 : errno;
  } else if (mode == "short6") {
    result = connect(fd, to, 24) == 0 ? 0 : errno;
  } else if (mode == "nonblock") {
    result = connect(fd, to, length) == 0 ? 0 : errno;
    if (result == EINPROGRESS) {
      pollfd wait{fd, POLLOUT, 0};
      poll(&wait, 1, 10000);
      socklen_t size = sizeof result;
      getsockopt(fd, SOL_SOCKET, SO_ERROR, &result, &size);
    }
  } else if (mode == "fastopen" || mode == "fastmsg") {
    ssize_t sent;
    if (mode == "fastopen") {
      sent = sendto(fd, "hello", 5, MSG_FASTOPEN | MSG_NOSIGNAL, to, length);
    } else {
      iovec part{const_cast<char*>("hello"), 5};
      msghdr message{};
      message.msg_name = &target;
      message.msg_namelen = length;
      message.msg_iov = &part;
      message.msg_iovlen = 1;
      sent = sendmsg(fd, &message, MSG_FASTOPEN | MSG_NOSIGNAL);
    }
    result = sent == 5 ? 0 : errno;
    close(fd);
    return result;
  } else {
    close(fd);
    return EINVAL;
  }
  if (result == 0) result = sendHello(fd);
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

int clean(char** argv) {
  pid_t child = fork();
  if (child == 0) {
    char* args[] = {argv[0], argv[2], argv[3], argv[4], nullptr};
    char* none[] = {nullptr};
    execve("/proc/self/exe", args, none);
    _exit(127);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

int as(char** argv) {
  pid_t child = fork();
  if (child == 0) {
    setenv("SENTREL_BUNDLE_PATH", argv[2], 1);
    char* args[] = {argv[0], argv[3], argv[4], argv[5], nullptr};
    execv("/proc/self/exe", args);
    _exit(127);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

int race(const char* allowed, const char* blocked, int port, int count) {
  sockaddr_storage good, bad;
  socklen_t length = 0;
  if (!parse(allowed, port, good, length) || !parse(blocked, port, bad, length)) return 2;
  alignas(16) static sockaddr_storage shared;
  std::memcpy(&shared, &good, sizeof shared);
  std::atomic<bool> done{false};
  std::thread flipper([&] {
    auto* bytes = reinterpret_cast<volatile unsigned char*>(&shared);
    bool flip = false;
    while (!done.load(std::memory_order_relaxed)) {
      const auto* from = reinterpret_cast<const unsigned char*>(flip ? &bad : &good);
      for (size_t i = 0; i < length; ++i) bytes[i] = from[i];
      flip = !flip;
    }
  });
  int connected = 0;
  for (int i = 0; i < count; ++i) {
    int fd = socket(good.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) break;
    if (syscall(SYS_connect, fd, &shared, length) == 0) ++connected;
    close(fd);
  }
  done = true;
  flipper.join();
  std::printf("connected %d\n", connected);
  return 0;
}

int walls(pid_t pid) {
  sock_filter allow = BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW);
  sock_fprog program{1, &allow};
  const long listener =
      syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, SECCOMP_FILTER_FLAG_NEW_LISTENER, &program);
  const int seccomp_error = listener < 0 ? errno : 0;
  int getfd_error = 0;
  const long pidfd = syscall(SYS_pidfd_open, pid, 0);
  if (pidfd < 0) {
    getfd_error = -errno;
  } else {
    getfd_error = syscall(SYS_pidfd_getfd, pidfd, 0, 0) < 0 ? errno : 0;
  }
  const int sctp = socket(AF_INET, SOCK_STREAM, IPPROTO_SCTP);
  const int sctp_error = sctp < 0 ? errno : 0;
  const int seqpacket = socket(AF_INET6, SOCK_SEQPACKET, 0);
  const int seqpacket_error = seqpacket < 0 ? errno : 0;
  std::printf("seccomp %d getfd %d sctp %d seqpacket %d\n", seccomp_error, getfd_error, sctp_error,
              seqpacket_error);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  if (argc == 4) {
    report(once(argv[1], argv[2], std::atoi(argv[3])));
    return 0;
  }
  if (argc == 5 && std::string(argv[1]) == "clean") return clean(argv);
  if (argc == 6 && std::string(argv[1]) == "as") return as(argv);
  if (argc == 6 && std::string(argv[1]) == "race") {
    return race(argv[2], argv[3], std::atoi(argv[4]), std::atoi(argv[5]));
  }
  if (argc == 3 && std::string(argv[1]) == "walls") return walls(std::atoi(argv[2]));
  std::fprintf(stderr, "usage: see supervised_probe.cc\n");
  return 2;
}
