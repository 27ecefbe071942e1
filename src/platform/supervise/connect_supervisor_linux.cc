#include <fcntl.h>
#include <linux/seccomp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "platform/log/system_log.h"
#include "platform/supervise/connect_supervisor.h"

// Newer than the C library's headers of Debian 12.
#ifndef PIDFD_THREAD
#define PIDFD_THREAD O_EXCL
#endif
#ifndef SECCOMP_IOCTL_NOTIF_SET_FLAGS
#define SECCOMP_IOCTL_NOTIF_SET_FLAGS SECCOMP_IOW(4, __u64)
#endif
#ifndef SECCOMP_USER_NOTIF_FD_SYNC_WAKE_UP
#define SECCOMP_USER_NOTIF_FD_SYNC_WAKE_UP (1UL << 0)
#endif

namespace sentrel::supervise {
namespace {

// Room for the kernel's notification and response, whatever it reports.
constexpr size_t kMaxStructSize = 256;

int pidfdOpen(pid_t pid, unsigned flags) {
  return static_cast<int>(syscall(SYS_pidfd_open, pid, flags));
}
int pidfdGetfd(int pidfd, int fd) {
  return static_cast<int>(syscall(SYS_pidfd_getfd, pidfd, fd, 0));
}

// The thread group of `tid`, from /proc; 0 when it cannot be read.
pid_t threadGroupOf(pid_t tid) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/status", tid);
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  char text[2048];
  const ssize_t n = read(fd, text, sizeof text - 1);
  close(fd);
  if (n <= 0) return 0;
  text[n] = '\0';
  const char* line = std::strstr(text, "\nTgid:");
  return line != nullptr ? static_cast<pid_t>(std::atoi(line + 6)) : 0;
}

// Reads `length` bytes at `remote` of task `pid`; false unless all of them.
bool readMemory(pid_t pid, uint64_t remote, void* local, size_t length) {
  if (length == 0) return true;
  iovec here{local, length};
  iovec there{reinterpret_cast<void*>(remote), length};
  return process_vm_readv(pid, &here, 1, &there, 1, 0) == static_cast<ssize_t>(length);
}
bool writeMemory(pid_t pid, uint64_t remote, const void* local, size_t length) {
  iovec here{const_cast<void*>(local), length};
  iovec there{reinterpret_cast<void*>(remote), length};
  return process_vm_writev(pid, &here, 1, &there, 1, 0) == static_cast<ssize_t>(length);
}

int socketOption(int fd, int option) {
  int value = -1;
  socklen_t length = sizeof value;
  if (getsockopt(fd, SOL_SOCKET, option, &value, &length) != 0) return -errno;
  return value;
}

bool isLoopback(const sockaddr_storage& address) {
  if (address.ss_family == AF_INET) {
    const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
    return (ntohl(v4.sin_addr.s_addr) >> 24) == 127;
  }
  if (address.ss_family == AF_INET6) {
    const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
    if (IN6_IS_ADDR_LOOPBACK(&v6.sin6_addr)) return true;
    return IN6_IS_ADDR_V4MAPPED(&v6.sin6_addr) && v6.sin6_addr.s6_addr[12] == 127;
  }
  return false;
}

// The smallest address the kernel reads for a family (a sockaddr_in6 without
// its scope id is 24 bytes).
socklen_t minimumLength(sa_family_t family) {
  return family == AF_INET ? sizeof(sockaddr_in) : family == AF_INET6 ? 24 : sizeof(sa_family_t);
}

// A call on its way to being answered: what the program asked for, read
// once, and the program's own socket.
struct PendingCall {
  uint64_t id = 0;
  pid_t pid = 0;
  int nr = 0;
  int socket = -1;  // ours: the program's socket, taken with pidfd_getfd
  int flags = 0;
  sockaddr_storage address{};
  socklen_t length = 0;
  bool has_address = false;
  std::vector<char> data;       // a Fast Open send's bytes
  uint64_t mmsg_length_at = 0;  // sendmmsg: where the first message's length goes
};

}  // namespace

// Everything the threads share. Listener threads and workers hold it by
// shared_ptr, so it outlives whoever finishes last.
struct ConnectSupervisor::State : std::enable_shared_from_this<State> {
  explicit State(ConnectDecider& d) : decider(d) {
    stop_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    seccomp_notif_sizes sizes{};
    if (syscall(SYS_seccomp, SECCOMP_GET_NOTIF_SIZES, 0, &sizes) == 0) {
      notif_size = std::clamp<size_t>(sizes.seccomp_notif, sizeof(seccomp_notif), kMaxStructSize);
      resp_size =
          std::clamp<size_t>(sizes.seccomp_notif_resp, sizeof(seccomp_notif_resp), kMaxStructSize);
    }
  }
  ~State() {
    if (stop_fd >= 0) close(stop_fd);
  }

  // ---- one launch ----

  struct Launch {
    int listener = -1;
    uint64_t id = 0;
    std::string label;
    size_t blocking = 0;      // worker calls in flight, guarded by `mutex`
    std::set<int> in_flight;  // their sockets, guarded by `mutex`
    std::condition_variable below_cap;
    std::map<pid_t, int> pidfds;  // the listener thread's own cache
  };

  void runListener(const std::shared_ptr<Launch>& launch) {
    alignas(seccomp_notif) char request_buffer[kMaxStructSize];
    for (;;) {
      pollfd fds[2] = {{launch->listener, POLLIN, 0}, {stop_fd, POLLIN, 0}};
      if (poll(fds, 2, -1) < 0) {
        if (errno == EINTR) continue;
        break;
      }
      if (fds[1].revents != 0) break;
      if ((fds[0].revents & POLLIN) == 0) {
        if ((fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) break;  // the launch is over
        continue;
      }
      auto* request = reinterpret_cast<seccomp_notif*>(request_buffer);
      std::memset(request, 0, notif_size);
      if (ioctl(launch->listener, SECCOMP_IOCTL_NOTIF_RECV, request) != 0) {
        if (errno == EINTR || errno == ENOENT) continue;  // the caller went away
        log::line(
            "supervisor: cannot receive a call of " + launch->label + ": " + std::strerror(errno),
            log::Level::kError);
        break;
      }
      handle(launch, *request);
    }
    for (auto& [pid, fd] : launch->pidfds) close(fd);
    launch->pidfds.clear();
    // Calls the workers still make answer through the listener: it closes
    // once the last of them is done (at a stop they are cut short).
    std::unique_lock lock(mutex);
    if (stopping) abortInFlight(*launch);
    launch->below_cap.wait(lock, [&] { return launch->blocking == 0; });
    close(launch->listener);
    launches.remove(launch);
    --live_listeners;
    threads_done.notify_all();
  }

  // Cuts short the connects the workers make for `launch`.
  void abortInFlight(Launch& launch) {
    for (int fd : launch.in_flight) shutdown(fd, SHUT_RDWR);
  }

  // A pidfd for the calling task `tid`, and whether it pins that very task
  // (a process's own, or since Linux 6.9 a thread's): only those are kept
  // for the task's next calls. On older kernels a thread's calls take a
  // pidfd of its process each time, found through /proc.
  int pidfdFor(Launch& launch, pid_t tid, bool fresh, bool* pins_caller) {
    *pins_caller = true;
    auto it = launch.pidfds.find(tid);
    if (it != launch.pidfds.end()) {
      if (!fresh) return it->second;
      close(it->second);
      launch.pidfds.erase(it);
    }
    int fd = pidfdOpen(tid, 0);
    if (fd < 0 && (errno == EINVAL || errno == ENOENT)) {  // a thread, not a process
      fd = pidfdOpen(tid, PIDFD_THREAD);
      if (fd < 0 && errno == EINVAL) {
        *pins_caller = false;
        if (pid_t group = threadGroupOf(tid); group > 0) fd = pidfdOpen(group, 0);
      }
    }
    if (fd < 0 || !*pins_caller) return fd;
    if (launch.pidfds.size() >= 64) {
      for (auto& [pid, cached] : launch.pidfds) close(cached);
      launch.pidfds.clear();
    }
    launch.pidfds[tid] = fd;
    return fd;
  }

  bool stillPending(int listener, uint64_t id) {
    return ioctl(listener, SECCOMP_IOCTL_NOTIF_ID_VALID, &id) == 0;
  }

  void respond(int listener, uint64_t id, int64_t value, int error, bool go_on) {
    alignas(seccomp_notif_resp) char buffer[kMaxStructSize] = {};
    auto* response = reinterpret_cast<seccomp_notif_resp*>(buffer);
    response->id = id;
    if (go_on) {
      response->flags = SECCOMP_USER_NOTIF_FLAG_CONTINUE;
    } else if (error != 0) {
      response->error = -error;
    } else {
      response->val = value;
    }
    // ENOENT: the caller is gone (killed, or a signal interrupted the call).
    ioctl(listener, SECCOMP_IOCTL_NOTIF_SEND, response);
  }
  void fail(int listener, uint64_t id, int error) { respond(listener, id, 0, error, false); }

  void handle(const std::shared_ptr<Launch>& launch, const seccomp_notif& request) {
    const int listener = launch->listener;
    const uint64_t id = request.id;
    const int nr = request.data.nr;
    const int program_fd = static_cast<int>(request.data.args[0]);

    // A pidfd cached for this thread id was opened for a task that had the
    // id while it was alive; task ids are unique among live tasks, so while
    // it lives it is the caller (pidfd_getfd() fails on a dead one, and the
    // pidfd is opened again). A fresh pidfd may have been opened after the
    // caller died and its id was reused: only then is the call checked to be
    // still pending before the socket is taken.
    const pid_t caller = static_cast<pid_t>(request.pid);
    const bool cached = launch->pidfds.count(caller) != 0;
    bool pins_caller = true;
    int pidfd = pidfdFor(*launch, caller, false, &pins_caller);
    // Closes a pidfd that is not kept, on every way out.
    struct Uncached {
      int fd;
      ~Uncached() {
        if (fd >= 0) close(fd);
      }
    } uncached{pins_caller ? -1 : pidfd};
    if (!cached && !stillPending(listener, id)) return;
    if (pidfd < 0) {
      log::line("supervisor: cannot reach process " + std::to_string(request.pid) + " of " +
                    launch->label + ": " + std::strerror(errno) + "; its connection is refused",
                log::Level::kError);
      fail(listener, id, ENETUNREACH);
      return;
    }
    int socket = pidfdGetfd(pidfd, program_fd);
    if (socket < 0 && errno == ESRCH && cached) {  // an earlier task with this id
      pidfd = pidfdFor(*launch, caller, true, &pins_caller);
      if (!pins_caller) uncached.fd = pidfd;
      if (!stillPending(listener, id)) return;
      socket = pidfd >= 0 ? pidfdGetfd(pidfd, program_fd) : -1;
    }
    if (socket < 0) {
      const int error = errno;
      if (error == EBADF) {
        fail(listener, id, EBADF);
        return;
      }
      log::line("supervisor: cannot take a socket of process " + std::to_string(request.pid) +
                    " of " + launch->label + ": " + std::strerror(error) +
                    "; its connection is refused",
                log::Level::kError);
      fail(listener, id, ENETUNREACH);
      return;
    }
    PendingCall call;
    call.id = id;
    call.pid = static_cast<pid_t>(request.pid);
    call.nr = nr;
    call.socket = socket;
    const int domain = socketOption(socket, SO_DOMAIN);
    if (domain < 0) {
      close(socket);
      fail(listener, id, -domain);  // ENOTSOCK
      return;
    }
    const bool inet = domain == AF_INET || domain == AF_INET6;
    if (!inet) {
      close(socket);
      respond(listener, id, 0, 0, true);
      return;
    }
    // A send's Fast Open only connects a TCP socket; anything else is a
    // datagram sent on an unconnected socket, which is not gated. A connect
    // needs the type only to know whether it may wait.
    const int type = nr != SYS_connect ? socketOption(socket, SO_TYPE) : 0;
    if (nr != SYS_connect && type != SOCK_STREAM) {
      close(socket);
      respond(listener, id, 0, 0, true);
      return;
    }
    // No second ID_VALID check is needed after the read: the pidfd pinned
    // the caller before the first one, and pidfd_getfd() has since shown it
    // alive. Should it die now and its thread id be reused, whatever is
    // decided on what was read acts only on its own (dead) socket, and the
    // answer finds no call to go to.
    const int error = readCall(request, call);
    if (error != 0) {
      close(socket);
      fail(listener, id, error);
      return;
    }

    bool decide = call.has_address &&
                  (call.address.ss_family == AF_INET || call.address.ss_family == AF_INET6);
    if (decide && call.length < minimumLength(call.address.ss_family)) {
      // The kernel refuses it unread; so do we.
      close(socket);
      fail(listener, id, EINVAL);
      return;
    }
    if (decide) {
      ConnectAttempt attempt;
      attempt.launch = launch->id;
      attempt.pid = call.pid;
      attempt.address = reinterpret_cast<const sockaddr*>(&call.address);
      attempt.length = call.length;
      attempt.fast_open = nr != SYS_connect;
      Verdict verdict = Verdict::kDeny;
      try {
        verdict = decider.decide(attempt);
      } catch (...) {
        log::line("supervisor: the decision failed; the connection is refused", log::Level::kError);
      }
      if (verdict != Verdict::kAllow) {
        close(socket);
        fail(listener, id, ENETUNREACH);
        return;
      }
    }
    // Allowed, or nothing to decide (AF_UNSPEC disconnects a datagram
    // socket; another family the kernel refuses): made here, on our copy.
    const bool waits = !(call.has_address && isLoopback(call.address)) &&
                       (call.flags & MSG_DONTWAIT) == 0 &&
                       (type != 0 ? type : socketOption(socket, SO_TYPE)) == SOCK_STREAM &&
                       (fcntl(socket, F_GETFL) & O_NONBLOCK) == 0;
    if (!waits) {
      perform(listener, call);
      return;
    }
    {
      std::unique_lock lock(mutex);
      launch->below_cap.wait(lock, [&] { return launch->blocking < kMaxBlockingPerLaunch; });
      ++launch->blocking;
      launch->in_flight.insert(call.socket);
    }
    runOnWorker([self = shared_from_this(), launch, call = std::move(call)]() mutable {
      self->perform(launch->listener, call, launch.get());
      std::lock_guard lock(self->mutex);
      --launch->blocking;
      launch->below_cap.notify_all();
    });
  }

  // Reads what the call names from the program's memory into `call`: 0, or
  // an errno to fail the call with.
  int readCall(const seccomp_notif& request, PendingCall& call) {
    const auto* args = request.data.args;
    auto readAddress = [&](uint64_t at, uint64_t length) -> int {
      if (at == 0) return 0;  // no address: the kernel decides what that means
      if (length > sizeof(sockaddr_storage)) return EINVAL;
      if (!readMemory(call.pid, at, &call.address, length)) return EFAULT;
      call.length = static_cast<socklen_t>(length);
      call.has_address = length >= sizeof(sa_family_t);
      return 0;
    };
    auto readData = [&](const iovec* parts, size_t count) -> int {
      size_t total = 0;
      for (size_t i = 0; i < count && total < kMaxFastOpenBytes; ++i) {
        const size_t take = std::min(parts[i].iov_len, kMaxFastOpenBytes - total);
        call.data.resize(total + take);
        if (!readMemory(call.pid, reinterpret_cast<uint64_t>(parts[i].iov_base),
                        call.data.data() + total, take)) {
          return EFAULT;
        }
        total += take;
      }
      return 0;
    };
    auto readMessage = [&](uint64_t at) -> int {
      msghdr message{};
      if (!readMemory(call.pid, at, &message, sizeof message)) return EFAULT;
      if (int e = readAddress(reinterpret_cast<uint64_t>(message.msg_name), message.msg_namelen))
        return e;
      if (message.msg_iovlen > IOV_MAX) return EMSGSIZE;
      std::vector<iovec> parts(message.msg_iovlen);
      if (!readMemory(call.pid, reinterpret_cast<uint64_t>(message.msg_iov), parts.data(),
                      parts.size() * sizeof(iovec))) {
        return EFAULT;
      }
      return readData(parts.data(), parts.size());
    };
    switch (call.nr) {
      case SYS_connect:
        if (static_cast<int>(args[2]) < 0) return EINVAL;
        return readAddress(args[1], static_cast<uint32_t>(args[2]));
      case SYS_sendto: {
        call.flags = static_cast<int>(args[3]);
        if (int e = readAddress(args[4], static_cast<uint32_t>(args[5]))) return e;
        iovec part{reinterpret_cast<void*>(args[1]), static_cast<size_t>(args[2])};
        return readData(&part, 1);
      }
      case SYS_sendmsg:
        call.flags = static_cast<int>(args[2]);
        return readMessage(args[1]);
      case SYS_sendmmsg:
        call.flags = static_cast<int>(args[3]);
        if (static_cast<unsigned>(args[2]) == 0) return 0;
        call.mmsg_length_at = args[1] + offsetof(mmsghdr, msg_len);
        return readMessage(args[1]);
      default:
        return ENOSYS;
    }
  }

  // Makes the call on the program's socket, answers it, and lets the socket go.
  // `worker_launch`: the launch whose in-flight set holds the socket.
  void perform(int listener, PendingCall& call, Launch* worker_launch = nullptr) {
    const sockaddr* address =
        call.has_address ? reinterpret_cast<const sockaddr*>(&call.address) : nullptr;
    ssize_t result = 0;
    if (call.nr == SYS_connect) {
      result = ::connect(call.socket, address, call.length);
    } else if (call.nr == SYS_sendmmsg && call.mmsg_length_at == 0) {
      result = 0;  // no message to send
    } else {
      iovec part{call.data.data(), call.data.size()};
      msghdr message{};
      message.msg_name = const_cast<sockaddr*>(address);
      message.msg_namelen = address != nullptr ? call.length : 0;
      message.msg_iov = &part;
      message.msg_iovlen = 1;
      result = ::sendmsg(call.socket, &message, call.flags | MSG_NOSIGNAL);
    }
    const int error = result < 0 ? errno : 0;
    if (worker_launch != nullptr) {
      std::lock_guard lock(mutex);
      worker_launch->in_flight.erase(call.socket);
    }
    close(call.socket);
    call.socket = -1;
    if (error == 0 && call.nr == SYS_sendmmsg && call.mmsg_length_at != 0) {
      const unsigned sent = static_cast<unsigned>(result);
      result = writeMemory(call.pid, call.mmsg_length_at, &sent, sizeof sent) ? 1 : -1;
      if (result < 0) {
        fail(listener, call.id, EFAULT);
        return;
      }
    }
    // The program asked for SIGPIPE on a broken connection; it gets EPIPE.
    respond(listener, call.id, result, error, false);
  }

  // ---- workers ----

  void runOnWorker(std::function<void()> task) {
    std::unique_lock lock(mutex);
    tasks.push_back(std::move(task));
    if (idle_workers > 0) {
      work.notify_one();
      return;
    }
    ++workers;
    std::thread([self = shared_from_this()] { self->workerLoop(); }).detach();
  }

  void workerLoop() {
    std::unique_lock lock(mutex);
    for (;;) {
      if (tasks.empty()) {
        ++idle_workers;
        const bool woken = work.wait_for(lock, std::chrono::seconds(30),
                                         [&] { return !tasks.empty() || stopping; });
        --idle_workers;
        if (!woken || (tasks.empty() && stopping)) break;
        if (tasks.empty()) continue;
      }
      std::function<void()> task = std::move(tasks.front());
      tasks.pop_front();
      lock.unlock();
      task();
      lock.lock();
    }
    --workers;
    threads_done.notify_all();
  }

  ConnectDecider& decider;
  int stop_fd = -1;
  size_t notif_size = sizeof(seccomp_notif);
  size_t resp_size = sizeof(seccomp_notif_resp);

  std::mutex mutex;
  std::list<std::shared_ptr<Launch>> launches;  // guarded by mutex
  size_t live_listeners = 0;                    // guarded by mutex
  std::condition_variable threads_done;
  std::deque<std::function<void()>> tasks;  // guarded by mutex
  std::condition_variable work;
  size_t workers = 0;       // guarded by mutex
  size_t idle_workers = 0;  // guarded by mutex
  bool stopping = false;    // guarded by mutex
};

ConnectSupervisor::ConnectSupervisor(ConnectDecider& decider)
    : state_(std::make_shared<State>(decider)) {}

ConnectSupervisor::~ConnectSupervisor() {
  std::unique_lock lock(state_->mutex);
  state_->stopping = true;
  for (const auto& launch : state_->launches) state_->abortInFlight(*launch);
  uint64_t one = 1;
  ssize_t ignored = write(state_->stop_fd, &one, sizeof one);
  (void)ignored;
  state_->work.notify_all();
  state_->threads_done.wait(lock,
                            [&] { return state_->live_listeners == 0 && state_->workers == 0; });
}

Status ConnectSupervisor::supervise(int listener, uint64_t launch_id, std::string label) {
  if (listener < 0) return Status::Error("no listener to supervise");
  // The program's thread hands its CPU straight to ours on a call, and ours
  // back on the answer (Linux 6.6 and later; older kernels wake as usual).
  ioctl(listener, SECCOMP_IOCTL_NOTIF_SET_FLAGS, SECCOMP_USER_NOTIF_FD_SYNC_WAKE_UP, 0);
  auto launch = std::make_shared<State::Launch>();
  launch->listener = listener;
  launch->id = launch_id;
  launch->label = std::move(label);
  std::lock_guard lock(state_->mutex);
  state_->launches.push_back(launch);
  try {
    std::thread([state = state_, launch] { state->runListener(launch); }).detach();
  } catch (const std::system_error& e) {
    state_->launches.remove(launch);
    close(listener);
    return Status::Error(std::string("cannot start a supervisor thread: ") + e.what());
  }
  ++state_->live_listeners;
  return Status::Ok();
}

size_t ConnectSupervisor::listenerCount() const {
  std::lock_guard lock(state_->mutex);
  return state_->launches.size();
}

}  // namespace sentrel::supervise
