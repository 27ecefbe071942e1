#include "support.h"
#include "platform/base/mutex.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <map>
#include <stdexcept>

namespace sentrel::testing {
namespace {

int loopbackSocket(uint16_t* port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    throw std::runtime_error("cannot bind a loopback port");
  }
  *port = ntohs(address.sin_port);
  return fd;
}

void wake(int fd) {
  uint64_t one = 1;
  (void)!write(fd, &one, sizeof(one));
}

}  // namespace

LoopbackServer::LoopbackServer(const std::string& body, int status)
    : response_("HTTP/1.1 " + std::to_string(status) +
                " Fixed\r\nContent-Type: text/plain\r\nContent-Length: " +
                std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body) {
  listen_fd_ = loopbackSocket(&port_);
  if (listen(listen_fd_, 64) != 0) throw std::runtime_error("listen() failed");
  wake_fd_ = eventfd(0, EFD_CLOEXEC);
  thread_ = std::thread([this] { serve(); });
}

LoopbackServer::~LoopbackServer() {
  {
    MutexLock lock(mu_);
    stopping_ = true;
  }
  wake(wake_fd_);
  thread_.join();
  close(listen_fd_);
  close(wake_fd_);
}

std::string LoopbackServer::url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void LoopbackServer::hold() {
  MutexLock lock(mu_);
  held_ = true;
}

void LoopbackServer::release() {
  {
    MutexLock lock(mu_);
    held_ = false;
  }
  wake(wake_fd_);
}

size_t LoopbackServer::requests() const {
  MutexLock lock(mu_);
  return lines_.size();
}

std::vector<std::string> LoopbackServer::requestLines() const {
  MutexLock lock(mu_);
  return lines_;
}

bool LoopbackServer::waitForRequests(size_t count) const {
  MutexLock lock(mu_);
  return lock.waitFor(changed_, kGenerousTimeout, [&] {
    mu_.assertHeld();
    return lines_.size() >= count;
  });
}

void LoopbackServer::serve() {
  auto answer = [this](int fd) {
    (void)!send(fd, response_.data(), response_.size(), MSG_NOSIGNAL);  // small: one send
    close(fd);
  };
  std::map<int, std::string> reading;  // connection -> what came so far
  std::vector<int> held;
  for (;;) {
    std::vector<pollfd> fds{{listen_fd_, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
    for (const auto& [fd, text] : reading) fds.push_back({fd, POLLIN, 0});
    if (poll(fds.data(), fds.size(), -1) < 0) continue;
    if (fds[1].revents != 0) {
      uint64_t count = 0;
      (void)!read(wake_fd_, &count, sizeof(count));
      MutexLock lock(mu_);
      if (stopping_) break;
      if (!held_) {
        for (int fd : held) answer(fd);
        held.clear();
      }
    }
    if (fds[0].revents & POLLIN) {
      int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) reading.emplace(fd, "");
    }
    for (size_t i = 2; i < fds.size(); ++i) {
      if (fds[i].revents == 0) continue;
      const int fd = fds[i].fd;
      char buffer[4096];
      ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
      std::string& text = reading[fd];
      if (n > 0) text.append(buffer, static_cast<size_t>(n));
      if (n > 0 && text.find("\r\n\r\n") == std::string::npos) continue;
      bool hold_it = false;
      if (n > 0) {
        MutexLock lock(mu_);
        lines_.push_back(text.substr(0, text.find("\r\n")));
        hold_it = held_;
      }
      changed_.notify_all();
      reading.erase(fd);
      if (n <= 0) {
        close(fd);
      } else if (hold_it) {
        held.push_back(fd);
      } else {
        answer(fd);
      }
    }
  }
  for (const auto& [fd, text] : reading) close(fd);
  for (int fd : held) close(fd);
}

RefusingPort::RefusingPort() {
  fd_ = loopbackSocket(&port_);
}

RefusingPort::~RefusingPort() {
  close(fd_);
}

}  // namespace sentrel::testing
