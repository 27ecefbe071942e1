// The bus backend of the notification center.
//
// Every use of the sd-bus connection is serialised by one mutex: post() runs
// on the caller's thread (so a program that posts and exits without ever
// running its loop still gets its notification out), while reading and
// dispatching runs on the main queue, woken by the connection's fd.
//
// The connection is replaced, never repaired: when the bus hangs up, or in a
// child after fork() (sd-bus refuses to use a parent's connection there), a
// new connection is opened and the match rules of every observed name are
// added again. A replaced connection is closed on the loop thread after its
// fd is unwatched.
//
// Every live core's locks are held across fork(): a child that posts (a
// forked host asking about a destination) must not find them locked by a
// thread that stayed in the parent.
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <optional>
#include <vector>

#include "platform/base/fork_registry.h"
#include "platform/base/mutex.h"
#include "platform/log/system_log.h"
#include "platform/notify/bus_connection_linux.h"
#include "platform/notify/notification_center.h"
#include "platform/notify/observer_table.h"
#include "platform/runloop/run_loop.h"

namespace sentrel::notify {
namespace {

using internal::BusConnection;
using internal::ReceivedPost;

// Pause between two attempts to reach a bus that could not be reached.
constexpr runloop::Duration kRetryInterval = std::chrono::seconds(1);

std::span<const uint8_t> bytesOf(const std::string& s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

class BusCore;

// The live cores, for the fork handlers; guarded by g_cores_mutex. Never
// destroyed: a fork or a core may come after the static destructors ran, and
// a core may be made before this file's statics are (at library load).
Mutex g_cores_mutex;
std::vector<BusCore*>& liveCores() {
  static auto* const cores = new std::vector<BusCore*>;
  return *cores;
}

void registerCore(BusCore* core);
void unregisterCore(BusCore* core);

class BusCore : public std::enable_shared_from_this<BusCore> {
 public:
  BusCore(std::string address, runloop::RunLoop& loop) : address_(std::move(address)), loop_(loop) {
    registerCore(this);
  }
  ~BusCore() { unregisterCore(this); }
  BusCore(const BusCore&) = delete;
  BusCore& operator=(const BusCore&) = delete;

  // The connection lock first: the table's is taken under it.
  // Taken in one fork handler, released in another.
  void lockForFork() NO_THREAD_SAFETY_ANALYSIS {
    mutex_.lock();
    observers_.lockForFork();
    last_decoded_mutex_.lock();
  }
  void unlockAfterFork() NO_THREAD_SAFETY_ANALYSIS {
    last_decoded_mutex_.unlock();
    observers_.unlockAfterFork();
    mutex_.unlock();
  }

  // Connects at once, ignoring the retry pause; the reason when it cannot.
  Status connectNow() {
    Status status;
    {
      MutexLock lock(mutex_);
      status = connectLocked(/*log_failure=*/false);
    }
    if (status) requestRefresh();
    return status;
  }

  void post(const std::string& name, const plist::Value& user_info) {
    if (name.find('\0') != std::string::npos) {
      log::line("Not posting a notification whose name holds a NUL byte", log::Level::kWarning);
      return;
    }
    Result<std::string> payload = encodedAgain(user_info);
    if (!payload) {
      log::line("Not posting notification " + name + ": " + payload.reason(), log::Level::kWarning);
      return;
    }
    bool lost = false;
    {
      MutexLock lock(mutex_);
      if (!ensureConnectedLocked()) return;  // unreachable: logged once, dropped
      Status sent = connection_->post(name, bytesOf(*payload));
      if (!sent) {
        if (connection_->isOpen()) {
          log::line("Not posting notification " + name + ": " + sent.reason(),
                    log::Level::kWarning);
        } else {
          log::line("Lost the device bus " + address_ + " (" + sent.reason() + "); notification " +
                        name + " was dropped",
                    log::Level::kWarning);
          retireLocked();
          reported_unreachable_ = true;  // the outage is reported
          lost = true;
        }
      }
    }
    if (lost) requestRefresh();
  }

  ObserverId addObserver(const std::string& name, Handler handler, bool wants_payload) {
    ObserverId id;
    {
      // The table and the match rules change together under the connection
      // lock, so a concurrent remove of the last observer of a name cannot
      // drop the rule after a new first observer added it.
      MutexLock lock(mutex_);
      internal::ObserverTable::Added added =
          observers_.add(name, std::move(handler), wants_payload);
      id = added.id;
      if (added.first_for_name && ensureConnectedLocked()) watchLocked(name);
    }
    // Adding the rule waited for a reply, and sd-bus may have read
    // notifications meanwhile that the fd will not announce again.
    requestRefresh();
    return id;
  }

  void removeObserver(ObserverId id) {
    MutexLock lock(mutex_);
    std::optional<std::string> last = observers_.remove(id);
    if (last && connection_ && connection_->ownedByThisProcess() && connection_->ownsSocket()) {
      connection_->unwatch(*last);
    }
  }

  // REQUIRES: on the loop thread, or the loop is not running.
  void shutdown() {
    std::unique_ptr<BusConnection> connection;
    std::vector<std::unique_ptr<BusConnection>> retired;
    {
      MutexLock lock(mutex_);
      connection = std::move(connection_);
      retired = std::move(retired_);
    }
    if (watch_) loop_.unwatchFd(*watch_);
    if (deadline_timer_) loop_.cancel(*deadline_timer_);
    if (retry_timer_) loop_.cancel(*retry_timer_);
    watch_.reset();
  }

 private:
  // The payload for `user_info`: the bytes it was decoded from when it is the
  // value this center delivered last (SpringBoard hands a save request's
  // document on to everyone), else a new encoding.
  Result<std::string> encodedAgain(const plist::Value& user_info) {
    {
      MutexLock lock(last_decoded_mutex_);
      if (!user_info.isNull() && user_info.sameObject(last_decoded_)) return last_payload_;
    }
    return encodePayload(user_info);
  }

  // REQUIRES: mutex_ held. True when a usable connection exists afterwards.
  bool ensureConnectedLocked() REQUIRES(mutex_) {
    bool forked = false;
    if (connection_ && connection_->ownedByThisProcess()) {
      if (connection_->ownsSocket()) return true;
      // The program closed our socket (and may have its number now): never
      // write to it or close it again; a new connection at once.
      log::line("The device bus's socket was closed under the library; connecting again",
                log::Level::kWarning);
      connection_->abandon();
      retireLocked();
      forked = true;
    } else if (connection_) {  // a parent's connection, inherited through fork()
      retireLocked();
      forked = true;
    }
    // A new process deserves its own attempt at once; otherwise do not
    // hammer a bus that is down.
    runloop::TimePoint now = loop_.clock().now();
    if (!forked && last_attempt_ && now - *last_attempt_ < kRetryInterval) return false;
    last_attempt_ = now;
    return connectLocked(/*log_failure=*/true).ok();
  }

  // REQUIRES: mutex_ held, no usable connection.
  Status connectLocked(bool log_failure) REQUIRES(mutex_) {
    Result<std::unique_ptr<BusConnection>> opened =
        BusConnection::open(address_, [this](ReceivedPost post) {
          mutex_.assertHeld();  // the sink runs inside processPending(), under mutex_
          inbox_.push_back(std::move(post));
        });
    if (!opened) {
      if (log_failure && !reported_unreachable_) {
        log::line("Cannot reach the device bus: " + opened.reason() +
                      "; notifications are dropped until it can be reached",
                  log::Level::kWarning);
        reported_unreachable_ = true;
      }
      return opened.status();
    }
    connection_ = std::move(opened).value();
    if (reported_unreachable_) {
      log::line("Reached the device bus " + address_, log::Level::kInfo);
      reported_unreachable_ = false;
    }
    for (const std::string& name : observers_.names()) watchLocked(name);
    requestRefresh();  // the loop must watch the new fd
    return Status::Ok();
  }

  // REQUIRES: mutex_ held, a usable connection.
  void watchLocked(const std::string& name) REQUIRES(mutex_) {
    Status watched = connection_->watch(name);
    if (!watched) {
      log::line("Cannot observe notification " + name + ": " + watched.reason(),
                log::Level::kError);
    }
  }

  // REQUIRES: mutex_ held. The loop may still watch the fd, so the
  // connection is only closed by refresh(), after it has unwatched it.
  void retireLocked() REQUIRES(mutex_) {
    retired_.push_back(std::move(connection_));
    connection_.reset();
  }

  // Schedules one refresh() on the loop; coalesced per process.
  void requestRefresh() {
    pid_t me = getpid();
    if (refresh_requested_by_.exchange(me) == me) return;
    std::weak_ptr<BusCore> weak = weak_from_this();
    loop_.post([weak] {
      if (auto core = weak.lock()) core->refresh();
    });
  }

  // Loop thread: reads what arrived, keeps the fd watch and timers in step
  // with the connection, then calls the observers without any lock held.
  void refresh() {
    refresh_requested_by_.store(0);
    std::vector<ReceivedPost> inbox;
    std::vector<std::unique_ptr<BusConnection>> retired;
    bool more = false;
    int fd = -1;
    short events = 0;
    std::optional<uint64_t> deadline;
    bool want_retry = false;
    {
      MutexLock lock(mutex_);
      if (connection_ || !observers_.empty()) ensureConnectedLocked();
      if (connection_) {
        Result<bool> processed = connection_->processPending();
        if (!processed) {
          log::line("Lost the device bus " + address_ + ": " + processed.reason(),
                    log::Level::kWarning);
          retireLocked();
          reported_unreachable_ = true;
        } else {
          more = *processed;
        }
      }
      if (connection_) {
        fd = connection_->fd();
        events = connection_->pollEvents();
        deadline = connection_->deadlineUsec();
      }
      want_retry = !connection_ && !observers_.empty();
      inbox.swap(inbox_);
      retired.swap(retired_);
    }

    if (watch_ && (fd != watched_fd_ || events != watched_events_)) {
      loop_.unwatchFd(*watch_);
      watch_.reset();
    }
    retired.clear();  // unwatched: their fds may close now
    if (fd >= 0 && !watch_) {
      std::weak_ptr<BusCore> weak = weak_from_this();
      watch_ = loop_.watchFd(fd, events, [weak](short) {
        if (auto core = weak.lock()) core->refresh();
      });
      watched_fd_ = fd;
      watched_events_ = events;
    }
    scheduleDeadline(deadline);
    if (want_retry && !retry_timer_) {
      std::weak_ptr<BusCore> weak = weak_from_this();
      retry_timer_ = loop_.postDelayed(kRetryInterval, [weak] {
        if (auto core = weak.lock()) {
          core->retry_timer_.reset();
          core->refresh();
        }
      });
    }

    for (ReceivedPost& post : inbox) dispatch(post);
    if (more) requestRefresh();
  }

  void scheduleDeadline(std::optional<uint64_t> deadline_usec) {
    if (deadline_timer_) loop_.cancel(*deadline_timer_);
    deadline_timer_.reset();
    if (!deadline_usec) return;
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    uint64_t now_usec = static_cast<uint64_t>(ts.tv_sec) * 1'000'000 + ts.tv_nsec / 1000;
    auto delay =
        std::chrono::microseconds(*deadline_usec > now_usec ? *deadline_usec - now_usec : 0);
    std::weak_ptr<BusCore> weak = weak_from_this();
    deadline_timer_ = loop_.postDelayed(delay, [weak] {
      if (auto core = weak.lock()) {
        core->deadline_timer_.reset();
        core->refresh();
      }
    });
  }

  void dispatch(const ReceivedPost& post) {
    if (!post.malformed.empty()) {
      log::line("Dropped notification " + post.name + ": " + post.malformed, log::Level::kWarning);
      return;
    }
    const std::vector<ObserverId> ids = observers_.observersOf(post.name);
    if (!observers_.anyWantsPayload(ids)) {
      observers_.deliver(ids, post.name, plist::Value());
      return;
    }
    // The same bytes as the last payload decoded here (a process hears its
    // own posts, and a document it passed on): the value they were decoded
    // into. Values never change, so it is what decoding would give.
    plist::Value same;
    {
      MutexLock lock(last_decoded_mutex_);
      if (post.payload == last_payload_) same = last_decoded_;
    }
    if (!same.isNull()) {
      observers_.deliver(ids, post.name, same);
      return;
    }
    Result<plist::Value> user_info = decodePayload(post.payload);
    if (!user_info) {
      log::line("Dropped notification " + post.name + ": its payload is not a dictionary (" +
                    user_info.reason() + ")",
                log::Level::kWarning);
      return;
    }
    // The value this one replaces is freed once the observers had the new
    // one: a large document takes a while to free, and they are waiting.
    plist::Value replaced;
    {
      MutexLock lock(last_decoded_mutex_);
      replaced = std::move(last_decoded_);
      last_decoded_ = *user_info;
      last_payload_ = post.payload;
    }
    observers_.deliver(ids, post.name, *user_info);
  }

  const std::string address_;
  runloop::RunLoop& loop_;
  internal::ObserverTable observers_;

  Mutex mutex_;  // serialises every use of the connections
  std::unique_ptr<BusConnection> connection_ GUARDED_BY(mutex_);  // null while unreachable
  std::vector<std::unique_ptr<BusConnection>> retired_ GUARDED_BY(mutex_);  // closed by refresh()
  std::vector<ReceivedPost> inbox_ GUARDED_BY(mutex_);                 // filled while processing
  std::optional<runloop::TimePoint> last_attempt_ GUARDED_BY(mutex_);  // last connect attempt
  bool reported_unreachable_ GUARDED_BY(mutex_) = false;
  std::atomic<pid_t> refresh_requested_by_{0};  // process with a refresh() pending, or 0
  Mutex last_decoded_mutex_;                    // a leaf lock
  plist::Value last_decoded_ GUARDED_BY(last_decoded_mutex_);
  std::string last_payload_ GUARDED_BY(last_decoded_mutex_);  // the bytes of last_decoded_

  // Loop thread only.
  std::optional<runloop::WatchId> watch_;
  int watched_fd_ = -1;
  short watched_events_ = 0;
  std::optional<runloop::TimerId> deadline_timer_;
  std::optional<runloop::TimerId> retry_timer_;
};

void prepareFork() NO_THREAD_SAFETY_ANALYSIS {
  g_cores_mutex.lock();
  for (BusCore* core : liveCores()) core->lockForFork();
}

// The forking thread took every lock in prepareFork(), so it releases them in
// the parent and, as the only thread there, in the child.
void afterFork() NO_THREAD_SAFETY_ANALYSIS {
  for (auto it = liveCores().rbegin(); it != liveCores().rend(); ++it) (*it)->unlockAfterFork();
  g_cores_mutex.unlock();
}

void registerCore(BusCore* core) {
  static std::once_flag once;
  std::call_once(once, [] {
    liveCores();  // made before any handler can need it
    base::registerForkHandlers(base::ForkStage::kNotificationCenters,
                               {&prepareFork, &afterFork, &afterFork});
  });
  MutexLock lock(g_cores_mutex);
  liveCores().push_back(core);
}

void unregisterCore(BusCore* core) {
  MutexLock lock(g_cores_mutex);
  std::erase(liveCores(), core);
}

class BusCenter final : public NotificationCenter {
 public:
  explicit BusCenter(std::shared_ptr<BusCore> core) : core_(std::move(core)) {}
  ~BusCenter() override { core_->shutdown(); }

  void post(const std::string& name, const plist::Value& user_info) override {
    core_->post(name, user_info);
  }
  ObserverId addObserver(const std::string& name, Handler handler) override {
    return core_->addObserver(name, std::move(handler), /*wants_payload=*/true);
  }
  ObserverId addObserverIgnoringPayload(const std::string& name, Handler handler) override {
    return core_->addObserver(name, std::move(handler), /*wants_payload=*/false);
  }
  void removeObserver(ObserverId id) override { core_->removeObserver(id); }

 private:
  std::shared_ptr<BusCore> core_;
};

}  // namespace

Result<std::unique_ptr<NotificationCenter>> makeBusCenter(const std::string& bus_address,
                                                          runloop::RunLoop& main_queue) {
  auto core = std::make_shared<BusCore>(bus_address, main_queue);
  if (Status connected = core->connectNow(); !connected) return connected;
  return std::unique_ptr<NotificationCenter>(std::make_unique<BusCenter>(std::move(core)));
}

std::unique_ptr<NotificationCenter> makeReconnectingBusCenter(const std::string& bus_address,
                                                              runloop::RunLoop& main_queue) {
  return std::make_unique<BusCenter>(std::make_shared<BusCore>(bus_address, main_queue));
}

}  // namespace sentrel::notify
