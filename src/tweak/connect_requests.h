// What the connect hook leaves to the library's main queue: prompt requests
// and learning rules.
//
// The hook runs wherever a program calls connect(), in a signal handler too,
// so it may neither allocate nor take a lock that the interrupted thread may
// hold. It puts a request into a preallocated lock-free queue and writes one
// byte to a wake pipe that the main queue watches; the main queue posts the
// prompt request to SpringBoard and writes the learning rule, and the hook
// waits a moment for that (see postConnectRequest()).
//
// Descriptors. The pipe's ends are moved high (F_DUPFD_CLOEXEC) and their
// device and inode recorded. The hook checks the write end before writing
// (fstat), so a program that closed it and got the number back for a
// descriptor of its own never receives our byte. The main queue checks the
// read end before reading, makes a new pipe when either end changed (never
// closing a number that is no longer ours), and also looks at the queue once
// a second, so a request whose wake-up could not be written waits at most
// that long.
//
// fork(): the child starts with an empty queue and a pipe of its own.
// vfork(): a child that shares the parent's memory (its pid differs from the
// recorded one while no fork handler ran) must touch nothing of the parent:
// inVforkChild() tells the hook so, and it posts nothing.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <memory>

#include "platform/runloop/run_loop.h"

namespace sentrel {

struct ConnectRequest {
  enum class Kind : uint8_t { kPrompt, kLearn };
  Kind kind = Kind::kPrompt;
  bool has_host = false;             // false: a destination without a host text
  bool only_if_unset = false;        // kLearn: see SNTFirewall::learnRule()
  uint16_t port = 0;                 // kPrompt
  int64_t value = 0;                 // kLearn: the rule
  char host[INET6_ADDRSTRLEN] = {};  // NUL-terminated
};

// Queues `request`, wakes the main queue and waits until it has run the
// request: at most a second, and only while another thread runs
// the main queue (a futex wait). A program that connects and leaves at once
// has its prompt posted; a main queue held up by a lock that the interrupted
// thread holds costs the wait, never a deadlock. Async-signal-safe. False
// when the queue is full: the request is dropped, and counted.
bool postConnectRequest(const ConnectRequest& request) noexcept;

// Runs every queued request on the calling thread (the main queue): a prompt
// through SNTInterceptor::shared(), a learning rule through the process
// firewall. Logs how many were dropped since the last run, when some were.
void runConnectRequests();

// Records this process as the one the hook serves (at install).
void recordConnectHookProcess() noexcept;
// Whether the caller is a vfork() child (or another clone that shares our
// memory without fork's handlers): its pid is not the recorded one.
// Async-signal-safe. False when no process was recorded.
bool inVforkChild() noexcept;

// Runs the requests on `loop` while it lives: when the wake pipe says so,
// and once a second. Made and destroyed on any thread; the requests run on
// the loop's thread. The loop must outlive it.
class ConnectRequestWatch {
 public:
  explicit ConnectRequestWatch(runloop::RunLoop& loop);
  ~ConnectRequestWatch();
  ConnectRequestWatch(const ConnectRequestWatch&) = delete;
  ConnectRequestWatch& operator=(const ConnectRequestWatch&) = delete;

  struct State;

 private:
  std::shared_ptr<State> state_;  // shared with the loop's callbacks
};

}  // namespace sentrel
