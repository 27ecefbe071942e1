// backboardd's side of the link to UI processes (display_protocol.h).
//
// DisplayServer listens on a Unix stream socket under the device root
// (<root>/var/run/sentrel/display.socket, mode 0600 in a 0700 folder) and
// accepts UI processes on a run loop. Each connection must start with a
// Hello; after it, Commit replaces the named windows of that process and
// RemoveWindow removes one. A malformed, oversized or out-of-order message
// is logged ("backboardd: disconnecting <name> (pid N): <reason>", N as the
// kernel knows the peer) and only that process is disconnected. A process that disconnects loses
// all its windows.
//
// Window ids are chosen by each process; the server gives every window a
// global id (unique across processes, never reused while it runs) and hands
// the composed windows, with global ids, to `on_windows` whenever they
// change. In that order, the windows of the home-screen process (the one
// whose Hello names options.home_screen_process) come before every other
// process's: at an equal level the home screen stays behind an open app,
// whichever of the two connected or committed first (a device starting, or
// backboardd restarted, reconnects them in any order). Touches for a global window id go back to
// the owning process with its own id; key text goes to the process that owns the window last
// touched.
//
// Writing never blocks: each connection has an outgoing buffer of at most
// max_outgoing_bytes; a process that lets it fill up is logged and
// disconnected.
//
// Threads: everything, the callback included, runs on the loop's thread.
// Construct, call and destroy the server there.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/status.h"
#include "platform/display/display_protocol.h"
#include "platform/runloop/run_loop.h"

namespace sentrel::display {

// <root>/var/run/sentrel/display.socket
std::filesystem::path displaySocketPath(const std::filesystem::path& root);

struct DisplayServerOptions {
  size_t max_outgoing_bytes = 1024 * 1024;
  size_t max_connections = 64;
  size_t max_windows_per_process = 256;
  // The process whose windows are behind the others of their level.
  std::string home_screen_process = "SpringBoard";
};

class DisplayServer {
 public:
  using Options = DisplayServerOptions;
  // Gets every window of every process, global ids: the home screen's
  // first, then in the order they were committed or last became visible
  // (orderForScreen() then sorts by level).
  using WindowsHandler = std::function<void(std::vector<WindowTree>)>;

  // A server with no socket: connections come through adoptConnection().
  DisplayServer(runloop::RunLoop& loop, WindowsHandler on_windows, Options options = {});
  ~DisplayServer();
  DisplayServer(const DisplayServer&) = delete;
  DisplayServer& operator=(const DisplayServer&) = delete;

  // Listens on `socket_path` (its folder is created 0700; a stale socket
  // there is replaced). Fails when the socket cannot be bound.
  Status listen(const std::filesystem::path& socket_path);

  // Serves a connected stream socket (made non-blocking, owned from now on).
  void adoptConnection(int fd);

  // From the screen. A touch for an unknown window is dropped.
  void deliverTouch(const Touch& touch);
  void deliverKeyText(const KeyText& text);

  // The windows as last handed to `on_windows`.
  const std::vector<WindowTree>& windows() const { return composed_; }
  size_t connectionCount() const { return connections_.size(); }

 private:
  struct Connection;
  struct Placed {
    uint64_t connection = 0;
    int64_t local_id = 0;
    uint64_t order = 0;  // commit/visibility order
    bool home = false;   // a window of the home-screen process
    WindowTree tree;     // with the global id
  };

  void acceptAll();
  void onReadable(uint64_t id);
  void onWritable(uint64_t id);
  // False when the connection was dropped.
  bool handle(Connection& connection, std::string_view payload);
  Status applyCommit(Connection& connection, Commit commit);
  void send(Connection& connection, const ServerMessage& message);
  bool flush(Connection& connection);
  void updateWatch(Connection& connection);
  void disconnect(uint64_t id, const std::string& reason);
  void drop(uint64_t id);
  void compose();

  runloop::RunLoop& loop_;
  WindowsHandler on_windows_;
  Options options_;
  int listen_fd_ = -1;
  runloop::WatchId listen_watch_ = 0;
  std::filesystem::path socket_path_;
  uint64_t next_connection_ = 1;
  std::map<uint64_t, std::unique_ptr<Connection>> connections_;
  int64_t next_window_ = 1;
  uint64_t next_order_ = 1;
  std::map<int64_t, Placed> placed_;  // by global id
  uint64_t focused_ = 0;              // connection that owns the last touched window
  std::vector<WindowTree> composed_;
};

}  // namespace sentrel::display
