// The supervisor of the apps' connection attempts: it holds the listener of
// every launch's connect filter (connect_filter.h) and answers each call the
// filter hands it, on the program's behalf.
//
// For each call (connect(), or a send with MSG_FASTOPEN):
//  1. the calling task is pinned (pidfd_open), the call checked to be still
//     pending (SECCOMP_IOCTL_NOTIF_ID_VALID), and the program's socket taken
//     (pidfd_getfd): the order seccomp_unotify(2) gives;
//  2. a socket that is not an Internet one (a local socket, netlink) is let
//     go on as the program asked (SECCOMP_USER_NOTIF_FLAG_CONTINUE): its
//     family is fixed when it is made, so whatever the address reads by the
//     time the kernel looks again, it cannot reach the network. Such
//     connects are not made here: a local peer would see the supervisor's
//     credentials instead of the app's;
//  3. the address is read once from the program's memory into a copy; the
//     decider is asked about that copy, and that copy is what is connected
//     to, on the program's own socket, here: a second thread that rewrites
//     the address meanwhile changes nothing;
//  4. the result (0, the bytes sent, or the error) is the call's result. A
//     denied call fails with ENETUNREACH.
// Connects on blocking sockets to other hosts than the machine's own run on
// worker threads (at most kMaxBlockingPerLaunch at once for one launch), so
// a slow host holds up only the call that waits for it; everything else is
// answered on the launch's own thread.
//
// A Fast Open send copies at most kMaxFastOpenBytes of the program's data
// and sends those (a short send, which a stream socket may always make);
// control messages are not passed on.
//
// Threads: one per listener, started by supervise() and ended when every
// process of the launch is gone (the listener reports a hang-up) or the
// supervisor is destroyed. The decider is called on those threads, at the
// same time for different launches. The supervisor never logs a decision;
// it logs its own failures (a process whose memory it cannot read).
#pragma once

#include <sys/socket.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/base/status.h"

namespace sentrel::supervise {

inline constexpr size_t kMaxBlockingPerLaunch = 16;
inline constexpr size_t kMaxFastOpenBytes = 64 * 1024;

// One connection attempt of a supervised program, as read once.
struct ConnectAttempt {
  uint64_t launch = 0;                // as given to supervise()
  pid_t pid = 0;                      // the calling thread
  const sockaddr* address = nullptr;  // the copy; AF_INET or AF_INET6, whole
  socklen_t length = 0;
  bool fast_open = false;  // a send with MSG_FASTOPEN rather than connect()
};

enum class Verdict { kAllow, kDeny };

// Decides attempts. Called on the supervisor's threads, concurrently; must
// not wait for anyone (a prompt is asked for, not waited for).
class ConnectDecider {
 public:
  virtual ~ConnectDecider() = default;
  virtual Verdict decide(const ConnectAttempt& attempt) = 0;
};

class ConnectSupervisor {
 public:
  // `decider` must outlive the supervisor.
  explicit ConnectSupervisor(ConnectDecider& decider);
  // Stops every listener's thread; calls still pending fail with
  // ENETUNREACH when their listener closes (the kernel answers them).
  ~ConnectSupervisor();
  ConnectSupervisor(const ConnectSupervisor&) = delete;
  ConnectSupervisor& operator=(const ConnectSupervisor&) = delete;

  // Takes `listener` (owned from now on) for the launch `launch`; `label`
  // names it in log lines. Any thread.
  Status supervise(int listener, uint64_t launch, std::string label);

  // Listeners still supervised (their launch has processes). Any thread.
  size_t listenerCount() const;

  struct State;

 private:
  std::shared_ptr<State> state_;
};

}  // namespace sentrel::supervise
