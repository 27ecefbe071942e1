#include "platform/display/display_server.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <utility>
#include <variant>

#include "platform/log/system_log.h"
#include "platform/paths/device_paths.h"

namespace sentrel::display {
namespace {

constexpr size_t kReadChunk = 64 * 1024;
constexpr int kReadsPerWakeup = 16;  // then other connections get their turn

void logLine(const std::string& text) {
  log::line("backboardd: " + text);
}

}  // namespace

std::filesystem::path displaySocketPath(const std::filesystem::path& root) {
  return paths::resolveUnder(root, paths::kRunDir) / "display.socket";
}

struct DisplayServer::Connection {
  uint64_t id = 0;
  int fd = -1;
  runloop::WatchId watch = 0;
  short events = 0;
  bool said_hello = false;
  bool home = false;  // the home-screen process
  std::string name = "unknown";
  int64_t pid = 0;  // the kernel's word (SO_PEERCRED), else the Hello's
  FrameReader reader;
  std::string out;
  std::map<int64_t, int64_t> windows;  // local id -> global id

  std::string who() const { return name + " (pid " + std::to_string(pid) + ")"; }
};

DisplayServer::DisplayServer(runloop::RunLoop& loop, WindowsHandler on_windows, Options options)
    : loop_(loop), on_windows_(std::move(on_windows)), options_(options) {}

DisplayServer::~DisplayServer() {
  for (auto& [id, connection] : connections_) {
    loop_.unwatchFd(connection->watch);
    close(connection->fd);
  }
  if (listen_fd_ >= 0) {
    loop_.unwatchFd(listen_watch_);
    close(listen_fd_);
    unlink(socket_path_.c_str());
  }
}

Status DisplayServer::listen(const std::filesystem::path& socket_path) {
  if (listen_fd_ >= 0) return Status::Error("already listening");
  const std::string path = socket_path.string();
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) {
    return Status::Error("path too long for a socket: " + path);
  }
  memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  std::error_code error;
  const std::filesystem::path folder = socket_path.parent_path();
  std::filesystem::create_directories(folder, error);
  if (error) return Status::Error("cannot create " + folder.string() + ": " + error.message());
  if (chmod(folder.c_str(), 0700) != 0) return Status::FromErrno("chmod " + folder.string());

  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return Status::FromErrno("socket");
  unlink(path.c_str());  // left by a backboardd that died
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      chmod(path.c_str(), 0600) != 0 || ::listen(fd, 16) != 0) {
    Status failed = Status::FromErrno("cannot listen on " + path);
    close(fd);
    return failed;
  }
  listen_fd_ = fd;
  socket_path_ = socket_path;
  listen_watch_ = loop_.watchFd(listen_fd_, POLLIN, [this](short) { acceptAll(); });
  return Status::Ok();
}

void DisplayServer::acceptAll() {
  for (;;) {
    int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) return;
    adoptConnection(fd);
  }
}

void DisplayServer::adoptConnection(int fd) {
  if (connections_.size() >= options_.max_connections) {
    logLine("refusing a connection: " + std::to_string(connections_.size()) +
            " processes are connected already");
    close(fd);
    return;
  }
  int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  auto connection = std::make_unique<Connection>();
  connection->id = next_connection_++;
  connection->fd = fd;
  // Logs name the peer by the pid the kernel gives, which a process cannot
  // make up as it can the one in its Hello.
  ucred cred{};
  socklen_t length = sizeof cred;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &length) == 0) connection->pid = cred.pid;
  const uint64_t id = connection->id;
  connection->events = POLLIN;
  connection->watch = loop_.watchFd(fd, POLLIN, [this, id](short revents) {
    if (revents & POLLOUT) onWritable(id);
    if (revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) onReadable(id);
  });
  connections_.emplace(id, std::move(connection));
}

void DisplayServer::onReadable(uint64_t id) {
  for (int i = 0; i < kReadsPerWakeup; ++i) {
    auto it = connections_.find(id);
    if (it == connections_.end()) return;
    Connection& connection = *it->second;
    char buffer[kReadChunk];
    ssize_t n = read(connection.fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return;
      disconnect(id, std::string("read failed: ") + strerror(errno));
      return;
    }
    if (n == 0) {
      logLine(connection.who() + " disconnected");
      drop(id);
      return;
    }
    connection.reader.append(std::string_view(buffer, static_cast<size_t>(n)));
    while (std::optional<std::string> payload = connection.reader.next()) {
      if (!handle(connection, *payload)) return;
    }
    if (!connection.reader.error()) {
      disconnect(id, connection.reader.error().reason());
      return;
    }
  }
}

bool DisplayServer::handle(Connection& connection, std::string_view payload) {
  Result<ClientMessage> message = decodeClientMessage(
      std::span(reinterpret_cast<const uint8_t*>(payload.data()), payload.size()));
  if (!message) {
    disconnect(connection.id, "malformed message: " + message.reason());
    return false;
  }
  if (auto* hello = std::get_if<Hello>(&*message)) {
    if (connection.said_hello) {
      disconnect(connection.id, "a second hello");
      return false;
    }
    connection.said_hello = true;
    connection.name = hello->process_name.empty() ? "unnamed" : hello->process_name;
    // A process that passes itself off as the home screen only puts its own
    // windows behind the others.
    connection.home = connection.name == options_.home_screen_process;
    if (connection.pid == 0) {
      connection.pid = hello->pid;
    } else if (hello->pid != connection.pid) {
      logLine(connection.who() + " says it is pid " + std::to_string(hello->pid));
    }
    return true;
  }
  if (!connection.said_hello) {
    disconnect(connection.id, "the first message is not a hello");
    return false;
  }
  if (auto* commit = std::get_if<Commit>(&*message)) {
    if (Status applied = applyCommit(connection, std::move(*commit)); !applied) {
      disconnect(connection.id, applied.reason());
      return false;
    }
    compose();
    return true;
  }
  const auto& remove = std::get<RemoveWindow>(*message);
  auto it = connection.windows.find(remove.window_id);
  // Removing a window that is gone already is harmless.
  if (it == connection.windows.end()) return true;
  placed_.erase(it->second);
  connection.windows.erase(it);
  compose();
  return true;
}

Status DisplayServer::applyCommit(Connection& connection, Commit commit) {
  size_t added = 0;
  for (const WindowTree& window : commit.windows) {
    if (!connection.windows.contains(window.window_id)) ++added;
  }
  if (connection.windows.size() + added > options_.max_windows_per_process) {
    return Status::Error("more than " + std::to_string(options_.max_windows_per_process) +
                         " windows");
  }
  // Animation starts move from the process's clock to this loop's: the same
  // age before now as before the commit's time.
  const double now = secondsOf(loop_.clock().now());
  for (WindowTree& window : commit.windows) {
    for (Node& node : window.nodes)
      for (Animation& a : node.animations) a.start = now - (commit.time - a.start);
  }
  for (WindowTree& window : commit.windows) {
    const int64_t local = window.window_id;
    auto [it, is_new] = connection.windows.try_emplace(local, 0);
    if (is_new) it->second = next_window_++;
    const int64_t global = it->second;
    window.window_id = global;
    Placed& place = placed_[global];
    // A window comes to the front of its level when it first appears or
    // stops being hidden; redrawing it leaves it where it is.
    const bool surfaces = is_new || (place.tree.hidden && !window.hidden);
    place.connection = connection.id;
    place.local_id = local;
    place.home = connection.home;
    if (surfaces) place.order = next_order_++;
    place.tree = std::move(window);
  }
  return Status::Ok();
}

void DisplayServer::compose() {
  std::vector<const Placed*> order;
  order.reserve(placed_.size());
  for (const auto& [global, place] : placed_) order.push_back(&place);
  std::sort(order.begin(), order.end(), [](const Placed* a, const Placed* b) {
    if (a->home != b->home) return a->home;
    return a->order < b->order;
  });
  composed_.clear();
  for (const Placed* place : order) composed_.push_back(place->tree);
  if (on_windows_) on_windows_(composed_);
}

void DisplayServer::deliverTouch(const Touch& touch) {
  auto it = placed_.find(touch.window_id);
  if (it == placed_.end()) return;
  auto connection = connections_.find(it->second.connection);
  if (connection == connections_.end()) return;
  if (touch.phase == TouchPhase::kBegan) focused_ = connection->first;
  Touch local = touch;
  local.window_id = it->second.local_id;
  send(*connection->second, local);
}

void DisplayServer::deliverKeyText(const KeyText& text) {
  auto connection = connections_.find(focused_);
  if (connection == connections_.end()) return;
  send(*connection->second, text);
}

void DisplayServer::send(Connection& connection, const ServerMessage& message) {
  Result<std::string> payload = encodeServerMessage(message);
  if (!payload) {
    logLine("cannot encode a message for " + connection.who() + ": " + payload.reason());
    return;
  }
  Result<std::string> frame = frameMessage(*payload);
  if (!frame) {
    logLine("cannot frame a message for " + connection.who() + ": " + frame.reason());
    return;
  }
  if (connection.out.size() + frame->size() > options_.max_outgoing_bytes) {
    disconnect(connection.id, "it does not read its messages (" +
                                  std::to_string(connection.out.size()) + " bytes waiting)");
    return;
  }
  connection.out += *frame;
  if (flush(connection)) updateWatch(connection);
}

bool DisplayServer::flush(Connection& connection) {
  while (!connection.out.empty()) {
    ssize_t n = ::send(connection.fd, connection.out.data(), connection.out.size(),
                       MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
      disconnect(connection.id, std::string("write failed: ") + strerror(errno));
      return false;
    }
    connection.out.erase(0, static_cast<size_t>(n));
  }
  return true;
}

void DisplayServer::onWritable(uint64_t id) {
  auto it = connections_.find(id);
  if (it == connections_.end()) return;
  if (flush(*it->second)) updateWatch(*it->second);
}

void DisplayServer::updateWatch(Connection& connection) {
  const short wanted = connection.out.empty() ? POLLIN : POLLIN | POLLOUT;
  if (wanted == connection.events) return;
  loop_.unwatchFd(connection.watch);
  connection.events = wanted;
  const uint64_t id = connection.id;
  connection.watch = loop_.watchFd(connection.fd, wanted, [this, id](short revents) {
    if (revents & POLLOUT) onWritable(id);
    if (revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) onReadable(id);
  });
}

void DisplayServer::disconnect(uint64_t id, const std::string& reason) {
  auto it = connections_.find(id);
  if (it == connections_.end()) return;
  logLine("disconnecting " + it->second->who() + ": " + reason);
  drop(id);
}

void DisplayServer::drop(uint64_t id) {
  auto it = connections_.find(id);
  if (it == connections_.end()) return;
  std::unique_ptr<Connection> connection = std::move(it->second);
  connections_.erase(it);
  loop_.unwatchFd(connection->watch);
  close(connection->fd);
  if (focused_ == id) focused_ = 0;
  const bool had_windows = !connection->windows.empty();
  for (const auto& [local, global] : connection->windows) placed_.erase(global);
  if (had_windows) compose();
}

}  // namespace sentrel::display
