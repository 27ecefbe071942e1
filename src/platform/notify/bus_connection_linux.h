// A client connection to a device bus: the one place that talks to sd-bus.
//
// A notification travels as the D-Bus signal
//   path kObjectPath, interface kInterface, member kPostMember, arguments (s name, ay payload)
// and a connection receives only the signals whose name it watches (a bus
// match rule on arg0), so a process is woken only for the names it observes.
//
// Thread-safety: none. The owner serialises every call (sd-bus objects are
// not thread-safe). The signal sink runs inside processPending().
//
// fork(): sd-bus refuses to use a connection in a child (-ECHILD). In a child,
// ownedByThisProcess() is false; the only thing to do with such a connection
// is to destroy it, which closes the child's copy of the socket and leaves
// the parent's connection untouched.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/base/status.h"

struct sd_bus;
struct sd_bus_message;
struct sd_bus_slot;

namespace sentrel::notify::internal {

inline constexpr const char* kObjectPath = "/ca/kelmora/sentrel/Notifications";
inline constexpr const char* kInterface = "ca.kelmora.sentrel.Notifications";
inline constexpr const char* kPostMember = "Post";

// One Post signal as it arrived.
struct ReceivedPost {
  std::string name;
  std::string payload;    // raw bytes of the "ay" argument
  std::string malformed;  // non-empty (the reason) when the arguments were not (s, ay)
};

class BusConnection {
 public:
  using Sink = std::function<void(ReceivedPost post)>;

  // Connects to `address` ("unix:path=...") as a bus client and says Hello.
  // `sink` gets every watched Post signal during processPending().
  static Result<std::unique_ptr<BusConnection>> open(const std::string& address, Sink sink);

  ~BusConnection();
  BusConnection(const BusConnection&) = delete;
  BusConnection& operator=(const BusConnection&) = delete;

  // False in a child process after fork(): then no other call may be made.
  bool ownedByThisProcess() const;
  // False once the bus hung up or a send failed for good.
  bool isOpen() const;

  // For the owner's poll loop.
  int fd() const { return fd_; }
  short pollEvents() const;  // POLLIN, plus POLLOUT while output is queued
  // Absolute CLOCK_MONOTONIC deadline in microseconds for the next
  // processPending(), or nullopt when only fd activity matters.
  std::optional<uint64_t> deadlineUsec() const;

  // Reads and dispatches up to `max_messages` messages. Returns true when
  // more may be waiting, false when idle; an error when the connection broke.
  Result<bool> processPending(int max_messages = 256);

  // Sends a Post signal and waits until it is written to the socket.
  Status post(std::string_view name, std::span<const uint8_t> payload);

  // Starts / stops delivery of `name` to the sink. watch() waits for the bus
  // to confirm the match rule, so a signal posted by anyone after it returns
  // is delivered. Watching a name twice is a no-op.
  Status watch(const std::string& name);
  void unwatch(const std::string& name);

  // Tests: a Post signal whose arguments are only (s name), as a faulty or
  // hostile peer could send.
  Status postNameOnlyForTesting(std::string_view name);
  // Tests: how many Post signals the bus routed to this connection, watched
  // or not (shows that unwatched names do not wake a process).
  uint64_t postsRoutedHereForTesting() const { return posts_routed_; }

  struct SlotTarget;  // what a match rule's callback delivers to
  // Called by the bus callbacks only.
  void deliver(bool from_catch_all, ReceivedPost post);
  void countRouted() { ++posts_routed_; }

 private:
  BusConnection(sd_bus* bus, Sink sink);
  Status flush();

  sd_bus* bus_;  // owned
  int fd_;       // the socket, cached: sd-bus refuses to report it in a child
  pid_t owner_pid_;
  Sink sink_;
  std::map<std::string, sd_bus_slot*> slots_;  // watched name -> its match slot
  sd_bus_slot* catch_all_slot_ = nullptr;      // for names no arg0 rule can express
  size_t catch_all_users_ = 0;                 // watched names using it
  std::unique_ptr<SlotTarget> exact_target_;
  std::unique_ptr<SlotTarget> catch_all_target_;
  sd_bus_slot* counter_slot_ = nullptr;  // filter counting every Post that arrives
  uint64_t posts_routed_ = 0;
};

// The sd-bus calls that can fail on a live connection, through a table that
// tests may patch to make one fail (a send refused, a flush that breaks).
// Production code never touches it. Not synchronised: patch it only while no
// connection is in use, and restore it afterwards.
struct BusCalls {
  int (*send)(sd_bus*, sd_bus_message*, uint64_t*);
  int (*flush)(sd_bus*);
  int (*process)(sd_bus*, sd_bus_message**);
};
BusCalls& busCalls();

// The match rule that selects Post signals named `name`; nullopt when the
// name cannot be written as an arg0 rule that dbus-daemon and sd-bus read
// alike (a quote or backslash in it, or too long).
std::optional<std::string> matchRuleForName(std::string_view name);

}  // namespace sentrel::notify::internal
