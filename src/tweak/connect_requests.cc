#include "tweak/connect_requests.h"

#include <fcntl.h>
#include <linux/futex.h>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <time.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <string>

#include "platform/base/fork_registry.h"
#include "platform/base/mutex.h"
#include "platform/base/owned_pipe.h"
#include "platform/log/system_log.h"
#include "tweak/CHooks.h"
#include "tweak/SNTFirewall.h"
#include "tweak/intercept.h"

namespace sentrel {
namespace {

constexpr size_t kQueueCapacity = 256;  // a power of two
constexpr size_t kMask = kQueueCapacity - 1;
constexpr auto kCheckInterval = std::chrono::seconds(1);

// A bounded multi-producer multi-consumer queue (Dmitry Vyukov's): each cell
// carries a turn that says whether it is free for the position a producer
// holds or filled for the position a consumer holds. A position is claimed
// with one compare-and-swap; nobody waits for anybody. A cell's turn is
// stored as (sequence - index), so all zeros is the empty queue.
struct Cell {
  std::atomic<size_t> turn{0};
  ConnectRequest request;
};

struct Queue {
  Cell cells[kQueueCapacity];
  std::atomic<size_t> enqueue_at{0};
  std::atomic<size_t> dequeue_at{0};
  std::atomic<uint64_t> dropped{0};

  size_t sequenceOf(size_t index) const {
    return cells[index].turn.load(std::memory_order_acquire) + index;
  }

  // The position taken, or -1 when full.
  int64_t push(const ConnectRequest& request) noexcept {
    size_t position = enqueue_at.load(std::memory_order_relaxed);
    for (;;) {
      const size_t index = position & kMask;
      const auto diff = static_cast<intptr_t>(sequenceOf(index) - position);
      if (diff == 0) {
        if (enqueue_at.compare_exchange_weak(position, position + 1, std::memory_order_relaxed)) {
          cells[index].request = request;
          cells[index].turn.store(position + 1 - index, std::memory_order_release);
          return static_cast<int64_t>(position);
        }
      } else if (diff < 0) {
        dropped.fetch_add(1, std::memory_order_relaxed);
        return -1;
      } else {
        position = enqueue_at.load(std::memory_order_relaxed);
      }
    }
  }

  bool pop(ConnectRequest* out, size_t* taken) noexcept {
    size_t position = dequeue_at.load(std::memory_order_relaxed);
    for (;;) {
      const size_t index = position & kMask;
      const auto diff = static_cast<intptr_t>(sequenceOf(index) - (position + 1));
      if (diff == 0) {
        if (dequeue_at.compare_exchange_weak(position, position + 1, std::memory_order_relaxed)) {
          *out = cells[index].request;
          *taken = position;
          cells[index].turn.store(position + kQueueCapacity - index, std::memory_order_release);
          return true;
        }
      } else if (diff < 0) {
        return false;
      } else {
        position = dequeue_at.load(std::memory_order_relaxed);
      }
    }
  }

  // The child of a fork(): a producer of the parent may have claimed a cell
  // and never filled it here.
  void resetInChild() noexcept {
    for (Cell& cell : cells) cell.turn.store(0, std::memory_order_relaxed);
    enqueue_at.store(0);
    dequeue_at.store(0);
    dropped.store(0);
  }
};

constinit Queue g_queue;
// Progress of the main queue: every position below g_done_upto is done;
// g_done_seq moves with it and is what waiting hooks sleep on (a futex).
constinit std::atomic<size_t> g_done_upto{0};
constinit std::atomic<uint32_t> g_done_seq{0};
// The loop that runs the requests, while a ConnectRequestWatch lives.
constinit std::atomic<runloop::RunLoop*> g_consumer{nullptr};
constexpr int64_t kWaitForMainQueueNs = 1'000'000'000;

int64_t monotonicNs() noexcept {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec;
}

void markDone(size_t position) noexcept {
  size_t done = g_done_upto.load();
  while (done < position + 1 && !g_done_upto.compare_exchange_weak(done, position + 1)) {
  }
  g_done_seq.fetch_add(1);
  syscall(SYS_futex, &g_done_seq, FUTEX_WAKE_PRIVATE, INT32_MAX, nullptr, nullptr, 0);
}

// Waits (a futex, async-signal-safe) until the request at `position` is
// done, for at most kWaitForMainQueueNs, and only while another thread runs
// the main queue: the prompt is on its way when connect() returns, as a
// program that leaves at once expects. A main queue that cannot get on (it
// waits for a lock the interrupted thread holds) costs the wait, never a
// deadlock.
void waitUntilDone(size_t position) noexcept {
  runloop::RunLoop* consumer = g_consumer.load(std::memory_order_acquire);
  if (consumer == nullptr || !consumer->isRunningOnAnotherThread()) return;
  const int saved_errno = errno;
  const int64_t deadline = monotonicNs() + kWaitForMainQueueNs;
  for (;;) {
    const uint32_t seen = g_done_seq.load();
    if (g_done_upto.load() > position) break;
    const int64_t left = deadline - monotonicNs();
    if (left <= 0) break;
    timespec timeout{static_cast<time_t>(left / 1'000'000'000),
                     static_cast<long>(left % 1'000'000'000)};
    syscall(SYS_futex, &g_done_seq, FUTEX_WAIT_PRIVATE, seen, &timeout, nullptr, 0);
  }
  errno = saved_errno;
}

// The wake pipe. Its ends and their identity change together under
// g_pipe_mutex (never on the hook's path); the hook reads them lock-free and
// at worst sees a mix, which only means it does not write.
constinit std::atomic<int> g_read_fd{-1};
constinit std::atomic<int> g_write_fd{-1};
constinit std::atomic<uint64_t> g_pipe_device{0};
constinit std::atomic<uint64_t> g_pipe_inode{0};
constinit std::atomic<pid_t> g_hook_pid{0};
// Serialises making a new pipe; a leaf lock, held across fork().
constinit Mutex g_pipe_mutex;
[[maybe_unused]] const bool g_pipe_mutex_guarded = (base::holdAcrossFork(g_pipe_mutex), true);

base::OwnedPipe currentPipe() noexcept {
  base::OwnedPipe pipe;
  pipe.read_fd = g_read_fd.load(std::memory_order_acquire);
  pipe.write_fd = g_write_fd.load(std::memory_order_acquire);
  pipe.device = g_pipe_device.load(std::memory_order_acquire);
  pipe.inode = g_pipe_inode.load(std::memory_order_acquire);
  return pipe;
}

// A new pipe. The ends of the old one are closed only with `close_old` (a
// fork()ed child's copies) and only when they are still ours.
void makePipe(bool close_old) noexcept {
  const base::OwnedPipe fresh = base::makeOwnedPipe();
  if (fresh.read_fd < 0) return;
  base::OwnedPipe old = currentPipe();
  g_read_fd.store(-1, std::memory_order_release);
  g_write_fd.store(-1, std::memory_order_release);
  if (close_old) base::closeOwnedPipe(old);
  g_pipe_device.store(fresh.device, std::memory_order_release);
  g_pipe_inode.store(fresh.inode, std::memory_order_release);
  g_read_fd.store(fresh.read_fd, std::memory_order_release);
  g_write_fd.store(fresh.write_fd, std::memory_order_release);
}

// A new pipe unless both ends are still ours.
void ensurePipe() {
  MutexLock lock(g_pipe_mutex);
  const base::OwnedPipe pipe = currentPipe();
  if (base::isOwnedEnd(pipe, pipe.read_fd) && base::isOwnedEnd(pipe, pipe.write_fd)) return;
  makePipe(/*close_old=*/false);
}

void renewInChild() {
  g_queue.resetInChild();
  g_done_upto.store(0);
  if (g_hook_pid.load() != 0) g_hook_pid.store(getpid());
  // The inherited ends are shared with the parent: the child takes its own.
  if (g_read_fd.load() >= 0) makePipe(/*close_old=*/true);
}
[[maybe_unused]] const bool g_fork_handler =
    (base::registerForkHandlers(base::ForkStage::kConnectHook, {.child = &renewInChild}), true);

}  // namespace

bool postConnectRequest(const ConnectRequest& request) noexcept {
  const int64_t position = g_queue.push(request);
  if (position < 0) return false;
  base::wakeOwnedPipe(currentPipe());  // not ours any more: the check timer runs it
  waitUntilDone(static_cast<size_t>(position));
  return true;
}

void runConnectRequests() {
  ConnectRequest request;
  size_t position = 0;
  while (g_queue.pop(&request, &position)) {
    struct Done {
      size_t position;
      ~Done() { markDone(position); }
    } done{position};
    const std::optional<std::string> host =
        request.has_host ? std::optional<std::string>(request.host) : std::nullopt;
    try {
      if (request.kind == ConnectRequest::Kind::kPrompt) {
        SNTInterceptor::shared().showUnResumableFirewallAlert(
            host, static_cast<int64_t>(request.port), kUnresumableWarning, [](bool) {});
      } else if (host) {
        if (std::shared_ptr<SNTFirewall> firewall = SNTFirewall::current_raw()) {
          firewall->learnRule(*host, host, request.value, request.only_if_unset);
        }
      }
    } catch (const std::exception& e) {
      log::line("connect hook: a request failed: " + std::string(e.what()), log::Level::kError);
    } catch (...) {
      log::line("connect hook: a request failed", log::Level::kError);
    }
  }
  if (const uint64_t dropped = g_queue.dropped.exchange(0)) {
    log::line("connect hook: " + std::to_string(dropped) +
                  " prompt requests or learning rules dropped, the queue was full",
              log::Level::kWarning);
  }
}

void recordConnectHookProcess() noexcept {
  g_hook_pid.store(getpid());
}

bool inVforkChild() noexcept {
  const pid_t recorded = g_hook_pid.load(std::memory_order_relaxed);
  return recorded != 0 && getpid() != recorded;
}

// ---- ConnectRequestWatch ------------------------------------------------------

// Lives on the loop's thread: only the loop's tasks and callbacks touch it
// (no lock that a fork() could copy taken), except `stopped`.
struct ConnectRequestWatch::State : std::enable_shared_from_this<State> {
  explicit State(runloop::RunLoop& l) : loop(l) {}

  // Watches the current read end, when it is not the one watched already.
  void watchCurrent() {
    ensurePipe();
    const int fd = g_read_fd.load();
    if (fd == watched_fd && watch != 0) return;
    if (watch != 0) loop.unwatchFd(watch);  // never closed here: it may not be ours any more
    watched_fd = fd;
    watch = 0;
    if (fd < 0) return;
    std::weak_ptr<State> weak = weak_from_this();
    watch = loop.watchFd(fd, POLLIN, [weak](short revents) {
      if (std::shared_ptr<State> self = weak.lock()) self->onWake(revents);
    });
  }

  void onWake(short revents) {
    if (stopped.load()) return;
    if ((revents & POLLNVAL) != 0) watch = 0;  // the loop dropped it
    const base::OwnedPipe pipe = currentPipe();
    if (watch == 0 || watched_fd != pipe.read_fd || !base::drainOwnedPipe(pipe)) watchCurrent();
    runConnectRequests();
  }

  void check() {
    if (stopped.load()) return;
    watchCurrent();
    arm();
    runConnectRequests();
  }

  void arm() {
    std::weak_ptr<State> weak = weak_from_this();
    timer = loop.postDelayed(kCheckInterval, [weak] {
      if (std::shared_ptr<State> self = weak.lock()) self->check();
    });
  }

  void stop() {
    if (watch != 0) loop.unwatchFd(watch);
    watch = 0;
    loop.cancel(timer);
  }

  runloop::RunLoop& loop;
  std::atomic<bool> stopped{false};
  runloop::WatchId watch = 0;  // 0: none
  int watched_fd = -1;
  runloop::TimerId timer = 0;
};

ConnectRequestWatch::ConnectRequestWatch(runloop::RunLoop& loop)
    : state_(std::make_shared<State>(loop)) {
  g_consumer.store(&loop, std::memory_order_release);
  // Also runs the requests queued before anyone watched.
  loop.post([state = state_] { state->check(); });
}

ConnectRequestWatch::~ConnectRequestWatch() {
  runloop::RunLoop* mine = &state_->loop;
  g_consumer.compare_exchange_strong(mine, nullptr);
  state_->stopped.store(true);
  state_->loop.post([state = state_] { state->stop(); });
}

}  // namespace sentrel
