// The sd-bus wrapper. Nothing else in the tree includes <systemd/sd-bus.h>.
#include "platform/notify/bus_connection_linux.h"

#include <poll.h>
#include <string.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <utility>

namespace sentrel::notify::internal {

struct BusConnection::SlotTarget {
  BusConnection* connection;
  bool catch_all;  // forwards only the names that have no rule of their own
};

namespace {

// dbus-daemon refuses match rules longer than 1024 bytes; leave room for the
// fixed part of the rule.
constexpr size_t kMaxArg0Length = 700;

// sd-bus returns failures as negative errno values.
std::string errorText(const char* what, int negative_errno) {
  return Status::errnoText(what, -negative_errno);
}

std::string baseRule() {
  return std::string("type='signal',path='") + kObjectPath + "',interface='" + kInterface +
         "',member='" + kPostMember + "'";
}

struct MessageUnref {
  void operator()(sd_bus_message* m) const { sd_bus_message_unref(m); }
};
using MessagePtr = std::unique_ptr<sd_bus_message, MessageUnref>;

int countPost(sd_bus_message* m, void* userdata, sd_bus_error* /*ret_error*/) {
  if (sd_bus_message_is_signal(m, kInterface, kPostMember) > 0) {
    static_cast<BusConnection*>(userdata)->countRouted();
  }
  return 0;
}

}  // namespace

BusCalls& busCalls() {
  static BusCalls table{&sd_bus_send, &sd_bus_flush, &sd_bus_process};
  return table;
}

std::optional<std::string> matchRuleForName(std::string_view name) {
  // Inside quotes dbus-daemon takes a backslash literally while sd-bus treats
  // it as an escape; a quote needs escaping outside quotes. Rather than rely
  // on both parsers agreeing there, such names use the catch-all rule.
  if (name.size() > kMaxArg0Length) return std::nullopt;
  if (name.find_first_of(std::string_view("'\\\0", 3)) != std::string_view::npos) {
    return std::nullopt;
  }
  return baseRule() + ",arg0='" + std::string(name) + "'";
}

Result<std::unique_ptr<BusConnection>> BusConnection::open(const std::string& address, Sink sink) {
  sd_bus* bus = nullptr;
  int r = sd_bus_new(&bus);
  if (r < 0) return Result<std::unique_ptr<BusConnection>>::Error(errorText("sd_bus_new", r));
  auto fail = [&](const char* what, int err) {
    sd_bus_unref(bus);
    return Result<std::unique_ptr<BusConnection>>::Error(errorText(what, err) + " (bus " + address +
                                                         ")");
  };
  if ((r = sd_bus_set_address(bus, address.c_str())) < 0) return fail("bad bus address", r);
  if ((r = sd_bus_set_bus_client(bus, 1)) < 0) return fail("sd_bus_set_bus_client", r);
  (void)sd_bus_set_description(bus, "sentrel-notify");
  if ((r = sd_bus_start(bus)) < 0) return fail("cannot connect to the device bus", r);
  // sd_bus_start only queues Hello; wait for the reply so that an
  // unreachable or refusing bus is reported here and not at the first post.
  if ((r = sd_bus_flush(bus)) < 0) return fail("cannot connect to the device bus", r);
  std::unique_ptr<BusConnection> connection(new BusConnection(bus, std::move(sink)));
  if ((r = sd_bus_add_filter(bus, &connection->counter_slot_, &countPost, connection.get())) < 0) {
    return Result<std::unique_ptr<BusConnection>>::Error(errorText("sd_bus_add_filter", r));
  }
  return connection;
}

BusConnection::BusConnection(sd_bus* bus, Sink sink)
    : bus_(bus),
      fd_(sd_bus_get_fd(bus)),
      owner_pid_(getpid()),
      sink_(std::move(sink)),
      exact_target_(new SlotTarget{this, false}),
      catch_all_target_(new SlotTarget{this, true}) {}

BusConnection::~BusConnection() {
  // In a forked child the slots' RemoveMatch calls are refused by sd-bus
  // (-ECHILD) before anything is written, and freeing the object only closes
  // this process's copy of the socket: the parent's connection is untouched.
  for (auto& [name, slot] : slots_) sd_bus_slot_unref(slot);
  sd_bus_slot_unref(catch_all_slot_);
  sd_bus_slot_unref(counter_slot_);
  if (ownedByThisProcess()) {
    sd_bus_flush_close_unref(bus_);
  } else {
    sd_bus_unref(bus_);
  }
}

bool BusConnection::ownedByThisProcess() const {
  return getpid() == owner_pid_;
}

bool BusConnection::isOpen() const {
  return ownedByThisProcess() && sd_bus_is_open(bus_) > 0;
}

short BusConnection::pollEvents() const {
  int e = sd_bus_get_events(bus_);
  return e < 0 ? POLLIN : static_cast<short>(e);
}

std::optional<uint64_t> BusConnection::deadlineUsec() const {
  uint64_t usec = 0;
  if (sd_bus_get_timeout(bus_, &usec) <= 0 || usec == UINT64_MAX) return std::nullopt;
  return usec;
}

Result<bool> BusConnection::processPending(int max_messages) {
  for (int i = 0; i < max_messages; ++i) {
    int r = busCalls().process(bus_, nullptr);
    if (r < 0) return Result<bool>::Error(errorText("device bus connection failed", r));
    if (r == 0) return false;
  }
  return true;
}

Status BusConnection::post(std::string_view name, std::span<const uint8_t> payload) {
  sd_bus_message* raw = nullptr;
  int r = sd_bus_message_new_signal(bus_, &raw, kObjectPath, kInterface, kPostMember);
  if (r < 0) return Status::Error(errorText("cannot create the signal", r));
  MessagePtr message(raw);
  std::string name_text(name);
  if ((r = sd_bus_message_append_basic(raw, 's', name_text.c_str())) < 0) {
    return Status::Error(errorText("cannot add the name", r));
  }
  if ((r = sd_bus_message_append_array(raw, 'y', payload.data(), payload.size())) < 0) {
    return Status::Error(errorText("cannot add the payload", r));
  }
  if ((r = busCalls().send(bus_, raw, nullptr)) < 0)
    return Status::Error(errorText("cannot send", r));
  return flush();
}

Status BusConnection::postNameOnlyForTesting(std::string_view name) {
  sd_bus_message* raw = nullptr;
  int r = sd_bus_message_new_signal(bus_, &raw, kObjectPath, kInterface, kPostMember);
  if (r < 0) return Status::Error(errorText("cannot create the signal", r));
  MessagePtr message(raw);
  std::string name_text(name);
  if ((r = sd_bus_message_append_basic(raw, 's', name_text.c_str())) < 0) {
    return Status::Error(errorText("cannot add the name", r));
  }
  if ((r = busCalls().send(bus_, raw, nullptr)) < 0)
    return Status::Error(errorText("cannot send", r));
  return flush();
}

Status BusConnection::flush() {
  int r = busCalls().flush(bus_);
  if (r < 0) return Status::Error(errorText("cannot flush the device bus connection", r));
  return Status::Ok();
}

namespace {

int onPostSignal(sd_bus_message* m, void* userdata, sd_bus_error* /*ret_error*/) {
  auto* target = static_cast<BusConnection::SlotTarget*>(userdata);
  ReceivedPost post;
  const char* name = nullptr;
  int r = sd_bus_message_read_basic(m, 's', &name);
  if (r <= 0) return 0;  // the match rule requires a string arg0; nothing to report against
  post.name = name;
  const void* bytes = nullptr;
  size_t size = 0;
  if (!sd_bus_message_has_signature(m, "say")) {
    const char* signature = sd_bus_message_get_signature(m, 1);
    post.malformed = std::string("arguments have signature \"") + (signature ? signature : "") +
                     "\", expected \"say\"";
  } else if ((r = sd_bus_message_read_array(m, 'y', &bytes, &size)) < 0) {
    post.malformed = errorText("unreadable payload", r);
  } else if (size > 0) {
    post.payload.assign(static_cast<const char*>(bytes), size);
  }
  target->connection->deliver(target->catch_all, std::move(post));
  return 0;
}

}  // namespace

void BusConnection::deliver(bool from_catch_all, ReceivedPost post) {
  if (from_catch_all) {
    // The catch-all rule also sees names that have an exact rule; those are
    // delivered through their own slot.
    auto it = slots_.find(post.name);
    if (it == slots_.end() || it->second != nullptr) return;
  }
  sink_(std::move(post));
}

Status BusConnection::watch(const std::string& name) {
  if (slots_.contains(name)) return Status::Ok();
  std::optional<std::string> rule = matchRuleForName(name);
  if (!rule) {
    if (catch_all_slot_ == nullptr) {
      int r = sd_bus_add_match(bus_, &catch_all_slot_, baseRule().c_str(), &onPostSignal,
                               catch_all_target_.get());
      if (r < 0) {
        catch_all_slot_ = nullptr;
        return Status::Error(errorText("cannot add the bus match rule", r));
      }
    }
    ++catch_all_users_;
    slots_.emplace(name, nullptr);
    return Status::Ok();
  }
  sd_bus_slot* slot = nullptr;
  int r = sd_bus_add_match(bus_, &slot, rule->c_str(), &onPostSignal, exact_target_.get());
  if (r < 0) return Status::Error(errorText("cannot add the bus match rule", r));
  slots_.emplace(name, slot);
  return Status::Ok();
}

void BusConnection::unwatch(const std::string& name) {
  auto it = slots_.find(name);
  if (it == slots_.end()) return;
  if (it->second != nullptr) {
    sd_bus_slot_unref(it->second);  // sends RemoveMatch
  } else if (--catch_all_users_ == 0) {
    catch_all_slot_ = sd_bus_slot_unref(catch_all_slot_);
  }
  slots_.erase(it);
  (void)flush();
}

}  // namespace sentrel::notify::internal
