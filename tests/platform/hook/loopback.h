// Loopback endpoints for the connect hook's tests: listeners on 127.0.0.1 or
// ::1 with ports the kernel picks, and addresses to reach them. Nothing here
// touches the network beyond the loopback interface.
#pragma once

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <thread>
#include <utility>

namespace sentrel::hook::testing {

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&& other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

inline sockaddr_in loopback4(uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

inline sockaddr_in6 loopback6(uint16_t port) {
  sockaddr_in6 a{};
  a.sin6_family = AF_INET6;
  a.sin6_port = htons(port);
  a.sin6_addr = in6addr_loopback;
  return a;
}

// The port of an IPv4 or IPv6 address in host order; 0 for other families.
inline uint16_t portOf(const sockaddr* address) {
  if (address->sa_family == AF_INET) {
    return ntohs(reinterpret_cast<const sockaddr_in*>(address)->sin_port);
  }
  if (address->sa_family == AF_INET6) {
    return ntohs(reinterpret_cast<const sockaddr_in6*>(address)->sin6_port);
  }
  return 0;
}

// A socket bound to a loopback port the kernel chose; TCP sockets listen.
class LoopbackSocket {
 public:
  LoopbackSocket(int family, int type) : fd_(::socket(family, type | SOCK_CLOEXEC, 0)) {
    if (fd_.get() < 0) throw std::runtime_error("socket failed");
    int one = 1;
    ::setsockopt(fd_.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_storage address{};
    socklen_t length;
    if (family == AF_INET6) {
      auto a = loopback6(0);
      std::memcpy(&address, &a, length = sizeof a);
    } else {
      auto a = loopback4(0);
      std::memcpy(&address, &a, length = sizeof a);
    }
    if (::bind(fd_.get(), reinterpret_cast<sockaddr*>(&address), length) != 0) {
      throw std::runtime_error("bind failed");
    }
    if (type == SOCK_STREAM && ::listen(fd_.get(), 1024) != 0) {
      throw std::runtime_error("listen failed");
    }
    if (::getsockname(fd_.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      throw std::runtime_error("getsockname failed");
    }
    port_ = portOf(reinterpret_cast<sockaddr*>(&address));
  }
  int fd() const { return fd_.get(); }
  uint16_t port() const { return port_; }

 private:
  Fd fd_;
  uint16_t port_ = 0;
};

// The result of one connect(): its return value and errno.
struct Outcome {
  int result;
  int error;
  bool operator==(const Outcome&) const = default;
};

// A fresh socket of `type` connected to `address` with ::connect.
template <class Address>
Outcome connectFresh(int type, const Address& address) {
  Fd fd(::socket(reinterpret_cast<const sockaddr*>(&address)->sa_family, type | SOCK_CLOEXEC, 0));
  errno = 0;
  int result = ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
  return {result, result == 0 ? 0 : errno};
}

// Accepts and closes every connection until destroyed.
class Acceptor {
 public:
  Acceptor()
      : thread_([this] {
          for (;;) {
            int client = ::accept4(listener_.fd(), nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0) {
              if (errno == EINTR || errno == ECONNABORTED) continue;
              return;
            }
            ::close(client);
          }
        }) {}
  ~Acceptor() {
    ::shutdown(listener_.fd(), SHUT_RDWR);
    thread_.join();
  }
  uint16_t port() const { return listener_.port(); }

 private:
  LoopbackSocket listener_{AF_INET, SOCK_STREAM};
  std::thread thread_;
};

// The body of a connect benchmark: each iteration connects a fresh TCP socket
// to a local acceptor through `connect` and resets it on close (no
// TIME_WAIT pile-up). `State` is a benchmark::State.
template <class State, class Connect>
void tcpConnects(State& state, Connect connect) {
  Acceptor acceptor;
  auto address = loopback4(acceptor.port());
  linger reset{1, 0};
  for (auto _ : state) {
    Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    ::setsockopt(fd.get(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    if (connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      state.SkipWithError("connect failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}

}  // namespace sentrel::hook::testing
