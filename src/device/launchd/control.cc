#include "device/launchd/control.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/paths/device_paths.h"
#include "platform/plist/plist_codec.h"

namespace sentrel::device {
namespace {

constexpr size_t kMaxFds = 8;

}  // namespace

std::filesystem::path controlSocketPath(const std::filesystem::path& root) {
  return paths::resolveUnder(root, paths::kRunDir) / "launchd.sock";
}

Status sendControlMessage(int socket_fd, const plist::Value& message, const std::vector<int>& fds) {
  Result<std::string> bytes = plist::encodeBinary(message);
  if (!bytes) return bytes.status();
  if (bytes->size() > kMaxControlMessageBytes) return Status::Error("message too large");
  if (fds.size() > kMaxFds) return Status::Error("too many descriptors");

  iovec iov{const_cast<char*>(bytes->data()), bytes->size()};
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kMaxFds)] = {};
  if (!fds.empty()) {
    msg.msg_control = control;
    msg.msg_controllen = CMSG_SPACE(sizeof(int) * fds.size());
    cmsghdr* c = CMSG_FIRSTHDR(&msg);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(int) * fds.size());
    memcpy(CMSG_DATA(c), fds.data(), sizeof(int) * fds.size());
  }
  for (;;) {
    ssize_t n = sendmsg(socket_fd, &msg, MSG_NOSIGNAL);
    if (n >= 0) return Status::Ok();
    if (errno != EINTR) return Status::FromErrno("send");
  }
}

Result<plist::Value> receiveControlMessage(int socket_fd, std::vector<int>* fds) {
  std::string buffer(kMaxControlMessageBytes, '\0');
  iovec iov{buffer.data(), buffer.size()};
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kMaxFds)] = {};
  msg.msg_control = control;
  msg.msg_controllen = sizeof control;
  ssize_t n;
  do {
    n = recvmsg(socket_fd, &msg, MSG_CMSG_CLOEXEC);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return Result<plist::Value>::FromErrno("receive");

  // Take ownership of every descriptor that came, even when the message is bad.
  std::vector<int> received;
  for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
    size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
    for (size_t i = 0; i < count; ++i) {
      int fd;
      memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof(int));
      received.push_back(fd);
    }
  }
  auto closeAll = [&] {
    for (int fd : received) close(fd);
  };
  if (n == 0) {
    closeAll();
    return Result<plist::Value>::Error("closed");
  }
  if (msg.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) {
    closeAll();
    return Result<plist::Value>::Error("message truncated");
  }
  Result<plist::Value> value = plist::decodeDictionary(std::span<const uint8_t>(
      reinterpret_cast<const uint8_t*>(buffer.data()), static_cast<size_t>(n)));
  if (!value) {
    closeAll();
    return Result<plist::Value>::Error("bad message: " + value.reason());
  }
  if (fds != nullptr) {
    *fds = std::move(received);
  } else {
    closeAll();
  }
  return value;
}

Result<ControlClient> ControlClient::connect(const std::filesystem::path& root) {
  std::string path = controlSocketPath(root).string();
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) {
    return Result<ControlClient>::Error("device root path too long for a socket: " + path);
  }
  memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0) return Result<ControlClient>::FromErrno("socket");
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    int err = errno;
    close(fd);
    if (err == ENOENT || err == ECONNREFUSED) return Result<ControlClient>::Error("not running");
    errno = err;
    return Result<ControlClient>::FromErrno("connect");
  }
  return ControlClient(fd);
}

ControlClient::ControlClient(ControlClient&& other) noexcept : fd_(other.fd_) {
  other.fd_ = -1;
}

ControlClient& ControlClient::operator=(ControlClient&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) close(fd_);
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

ControlClient::~ControlClient() {
  if (fd_ >= 0) close(fd_);
}

Result<plist::Value> ControlClient::call(const plist::Value& request, const std::vector<int>& fds) {
  Status sent = sendControlMessage(fd_, request, fds);
  if (!sent) return sent;
  return next();
}

Result<plist::Value> ControlClient::next() {
  Result<plist::Value> reply = receiveControlMessage(fd_);
  if (!reply) return reply;
  if (reply->get("ok").asBool() == false) {
    const std::string* error = reply->get("error").asString();
    return Result<plist::Value>::Error(error ? *error : "request failed");
  }
  return reply;
}

}  // namespace sentrel::device
