// Host resolution: the device's stand-in for the platform's host-resolution
// service, reduced to what the system asks of it, the host names that belong
// to an IP address (a reverse lookup).
//
// A lookup runs on a global-queue worker (runloop::asyncGlobal), never on the
// caller's thread, and its completion comes back on a run loop:
//  - the loop the calling thread is running (runloop::RunLoop::current()),
//    so a lookup started from a task, timer or fd callback of a loop
//    completes on that same loop and thread;
//  - the process's main queue (runloop::MainQueue::get(), as it is at the
//    call) when the calling thread runs no loop.
//
// Backends:
//  - the C library's resolver (systemResolver()): getnameinfo() with
//    NI_NAMEREQD, for IPv4 and IPv6 alike. It reports at most one name.
//  - InMemoryResolver: a table that a test fills in.
// The backend that lookups use is the system one unless a test installs
// another through an env::Environment (which holds a ScopedResolverOverride).
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/mutex.h"
#include "platform/base/status.h"

namespace sentrel::resolve {

using Names = std::vector<std::string>;
using Completion = std::function<void(Names names)>;

// True when `text` is the numeric text of an IPv4 address (inet_pton with
// AF_INET: four decimal parts, "1.2.3.4") or, failing that, of an IPv6
// address (inet_pton with AF_INET6, "::1", "2001:db8::7"). Text holding a NUL
// byte is never an address. Thread-safe.
bool isIPAddress(std::string_view text);

// One resolution backend. Every backend is thread-safe: lookups call it from
// global-queue workers, several at once.
class Resolver {
 public:
  virtual ~Resolver() = default;

  // Blocking. The host names of `address` (as isIPAddress() reads it), in the
  // order the service gives them; an empty list when it has none. An error
  // when `address` is not an IP address or the service failed; the reason
  // names which.
  virtual Result<Names> namesForAddress(const std::string& address) = 0;
};

// The C library's resolver. Never destroyed; safe from any thread.
std::shared_ptr<Resolver> systemResolver();

// The backend new lookups use: the innermost override, else systemResolver().
std::shared_ptr<Resolver> currentResolver();

// Tests: lookups started while the guard lives use `resolver`. Guards nest
// and must be destroyed in reverse order of creation. Lookups already under
// way keep the backend they started with (they share its ownership).
class ScopedResolverOverride {
 public:
  explicit ScopedResolverOverride(std::shared_ptr<Resolver> resolver);
  ~ScopedResolverOverride();
  ScopedResolverOverride(const ScopedResolverOverride&) = delete;
  ScopedResolverOverride& operator=(const ScopedResolverOverride&) = delete;

 private:
  std::shared_ptr<Resolver> previous_;  // restored on destruction
};

// Names that a test puts in, keyed by the address text exactly as given
// (no canonical form: "::1" and "0::1" are different keys). An address that
// is not in the table has no names; a text that is not an IP address is an
// error, as with the real resolver. Thread-safe.
class InMemoryResolver final : public Resolver {
 public:
  void setNames(std::string address, Names names);
  Result<Names> namesForAddress(const std::string& address) override;
  size_t lookupCount() const;  // calls of namesForAddress() so far

 private:
  mutable Mutex mu_;
  std::map<std::string, Names, std::less<>> names_ GUARDED_BY(mu_);
  size_t lookups_ GUARDED_BY(mu_) = 0;
};

// Starts a reverse lookup of `address` with currentResolver() and returns at
// once. Thread-safe; may be called from any thread.
//
// `completion` is called exactly once, on the loop chosen as described at
// the top of this file, with the names found. The list is empty when there
// are none, when `address` is not an IP address and when the service failed
// (the reason is logged once, as a warning). Names that are themselves IP
// address texts are dropped (logged): an address's name must never stand
// for another address. An empty `completion` is allowed (the lookup still
// runs).
//
// REQUIRES: the chosen loop outlives the lookup, that is, until it has run
// the completion. A completion still queued on a loop that is destroyed is
// dropped uncalled. The main queue is never destroyed.
void reverseLookup(std::string address, Completion completion);

}  // namespace sentrel::resolve
