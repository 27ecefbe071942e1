// launchd's control channel: a SOCK_SEQPACKET Unix socket in the device's run
// folder on which the CLI (and the device's own tools) ask launchd to launch
// apps, report status and stop.
//
// Every message is one packet holding a binary property-list dictionary,
// optionally with file descriptors attached (SCM_RIGHTS): an "open" request
// that waits for the app passes its stdin, stdout and stderr so that the app
// talks to the caller's terminal.
//
// Requests ("command" key):
//   {command: "status"}            -> {ok, pid, root, bus, processes: [{name, pid, ppid}]}
//   {command: "open", bundle_id, args: [..], wait: bool} (+ 3 fds when wait)
//                                  -> {ok, pid} then, when wait, {exited: true, status: int}
//   {command: "stop"}              -> {ok}; launchd then stops every device process and exits
// Any failure: {ok: false, error: "one line"}.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "platform/base/status.h"
#include "platform/plist/value.h"

namespace sentrel::device {

inline constexpr size_t kMaxControlMessageBytes = 256 * 1024;

// "<root>/var/run/sentrel/launchd.sock"
std::filesystem::path controlSocketPath(const std::filesystem::path& root);

// One message; `fds` are sent along and stay owned by the caller.
Status sendControlMessage(int socket_fd, const plist::Value& message,
                          const std::vector<int>& fds = {});

// Blocks for one message. Received fds are returned in `fds` (caller owns
// them); at most 8 are accepted. End of stream is an error "closed".
Result<plist::Value> receiveControlMessage(int socket_fd, std::vector<int>* fds = nullptr);

// A connection from a client to a device's launchd.
class ControlClient {
 public:
  // Fails with "not running" when nobody listens on the device's socket.
  static Result<ControlClient> connect(const std::filesystem::path& root);
  ControlClient(ControlClient&& other) noexcept;
  ControlClient& operator=(ControlClient&& other) noexcept;
  ~ControlClient();

  // Sends `request` and waits for the first reply. A reply with ok = false
  // becomes an error carrying its "error" text.
  Result<plist::Value> call(const plist::Value& request, const std::vector<int>& fds = {});
  // Waits for a further reply (an app's exit).
  Result<plist::Value> next();

  int fd() const { return fd_; }

 private:
  explicit ControlClient(int fd) : fd_(fd) {}
  int fd_ = -1;
};

}  // namespace sentrel::device
