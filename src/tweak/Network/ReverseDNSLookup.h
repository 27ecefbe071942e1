// ReverseDNSLookup: finds the host name that belongs to an IP address, so
// that a prompt for a socket connection can name the host and store its rule
// under that name as well as under the address.
//
// Thread-safety: isValidIP() and the address accessors may be called from
// any thread (the address is guarded by a mutex). resolveWithCompletionHandler()
// may be called from any thread; it is meant for one that runs a run loop
// (SpringBoard's main thread), and its handler comes back on that loop (see
// below).
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include "platform/base/mutex.h"

namespace sentrel {

class ReverseDNSLookup {
 public:
  using CompletionHandler = std::function<void(std::optional<std::string> host)>;

  // True when `address` parses as an IPv4 address text (inet_pton AF_INET)
  // or, failing that, as an IPv6 one (AF_INET6). nullopt, an empty text and
  // a text holding a NUL byte give false.
  static bool isValidIP(std::optional<std::string_view> address);

  // Nothing is resolved yet.
  explicit ReverseDNSLookup(std::optional<std::string> address);

  std::optional<std::string> address() const;
  void setAddress(std::optional<std::string> address);

  // Starts the reverse lookup of address() as it is now and returns at once;
  // logs "started: 1". IPv4 and IPv6 addresses are both resolved.
  //
  // `handler` is called exactly once, on the run loop the calling thread is
  // running (the main queue when it runs none), with the one host name of the
  // address; with nullopt when the address has no name or more than one,
  // when the lookup failed, and when address() is nullopt or not an IP
  // address text.
  //
  // The pending request owns the handler and a copy of the address: this
  // object keeps neither and may be destroyed before the handler is called.
  // REQUIRES: that run loop lives until the handler has run.
  void resolveWithCompletionHandler(CompletionHandler handler);

 private:
  mutable Mutex mutex_;
  std::optional<std::string> address_ GUARDED_BY(mutex_);
};

}  // namespace sentrel
