#include "tweak/Network/ReverseDNSLookup.h"

#include <utility>

#include "platform/base/mutex.h"
#include "platform/log/system_log.h"
#include "platform/resolve/resolver.h"

namespace sentrel {

bool ReverseDNSLookup::isValidIP(std::optional<std::string_view> address) {
  if (!address || address->empty()) return false;
  return resolve::isIPAddress(*address);
}

ReverseDNSLookup::ReverseDNSLookup(std::optional<std::string> address)
    : address_(std::move(address)) {}

std::optional<std::string> ReverseDNSLookup::address() const {
  MutexLock lock(mutex_);
  return address_;
}

void ReverseDNSLookup::setAddress(std::optional<std::string> address) {
  MutexLock lock(mutex_);
  address_ = std::move(address);
}

void ReverseDNSLookup::resolveWithCompletionHandler(CompletionHandler handler) {
  // A missing address goes the same way as any other text that is not an
  // address: the lookup reports no name, so the caller still hears back once.
  std::string text = address().value_or(std::string());
  // Nothing of `this` goes into the request: the object may be gone by the
  // time it completes.
  resolve::reverseLookup(std::move(text), [handler = std::move(handler)](resolve::Names names) {
    std::optional<std::string> host;
    // One name is the answer; none, or several that cannot be told apart,
    // is no answer.
    if (names.size() == 1) host = std::move(names.front());
    if (handler) handler(std::move(host));
  });
  log::line("started: 1");
}

}  // namespace sentrel
