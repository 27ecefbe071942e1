// Asynchronous reverse lookups over a pluggable backend, and the in-memory
// backend.
//
// The pending request is the lambda handed to the global queue: it owns the
// address, the completion and a share of the backend, so nothing the caller
// holds (a lookup object, an override guard) has to outlive it. The only thing
// it borrows is the loop the completion goes back to.
#include <exception>
#include <string>
#include <utility>

#include "platform/base/mutex.h"
#include "platform/log/system_log.h"
#include "platform/resolve/resolver.h"
#include "platform/runloop/run_loop.h"

namespace sentrel::resolve {
namespace {

constinit Mutex overrideMu;
std::shared_ptr<Resolver>* overrideResolver GUARDED_BY(overrideMu) = nullptr;  // never freed

// Address texts and names come from the network; keep them to one short,
// printable piece of a log line.
std::string printable(std::string_view text) {
  constexpr size_t kMax = 80;
  std::string out;
  for (char c : text.substr(0, kMax)) {
    out.push_back(static_cast<unsigned char>(c) < 0x20 || c == 0x7f ? '?' : c);
  }
  if (text.size() > kMax) out += "...";
  return out;
}

Names lookUp(Resolver& resolver, const std::string& address) {
  Result<Names> result = Result<Names>::Error("no answer");
  try {
    result = resolver.namesForAddress(address);
  } catch (const std::exception& e) {
    result = Result<Names>::Error(std::string("the resolver threw: ") + e.what());
  } catch (...) {
    result = Result<Names>::Error("the resolver threw");
  }
  if (!result.ok()) {
    log::line("reverse lookup of \"" + printable(address) + "\" failed: " + result.reason(),
              log::Level::kWarning);
    return {};
  }
  Names names;
  for (std::string& name : *result) {
    // A name that reads as an address would let whoever controls the
    // reverse zone make the address pass for another one.
    if (name.empty() || isIPAddress(name)) {
      log::line("reverse lookup of \"" + printable(address) + "\": ignoring the name \"" +
                    printable(name) + "\"",
                log::Level::kWarning);
      continue;
    }
    names.push_back(std::move(name));
  }
  return names;
}

}  // namespace

std::shared_ptr<Resolver> currentResolver() {
  {
    MutexLock lock(overrideMu);
    if (overrideResolver && *overrideResolver) return *overrideResolver;
  }
  return systemResolver();
}

ScopedResolverOverride::ScopedResolverOverride(std::shared_ptr<Resolver> resolver) {
  MutexLock lock(overrideMu);
  if (!overrideResolver) overrideResolver = new std::shared_ptr<Resolver>;
  previous_ = std::exchange(*overrideResolver, std::move(resolver));
}

ScopedResolverOverride::~ScopedResolverOverride() {
  std::shared_ptr<Resolver> replaced;  // released outside the lock
  MutexLock lock(overrideMu);
  replaced = std::exchange(*overrideResolver, std::move(previous_));
}

void InMemoryResolver::setNames(std::string address, Names names) {
  MutexLock lock(mu_);
  names_[std::move(address)] = std::move(names);
}

Result<Names> InMemoryResolver::namesForAddress(const std::string& address) {
  MutexLock lock(mu_);
  ++lookups_;
  if (!isIPAddress(address)) return Result<Names>::Error("not an IP address");
  auto it = names_.find(address);
  if (it == names_.end()) return Names{};
  return it->second;
}

size_t InMemoryResolver::lookupCount() const {
  MutexLock lock(mu_);
  return lookups_;
}

void reverseLookup(std::string address, Completion completion) {
  runloop::RunLoop* loop = runloop::RunLoop::current();
  if (loop == nullptr) loop = &runloop::MainQueue::get();
  runloop::asyncGlobal([loop, resolver = currentResolver(), address = std::move(address),
                        completion = std::move(completion)]() mutable {
    Names names = lookUp(*resolver, address);
    // Let go of the backend here, on the worker, not on the caller's loop.
    resolver.reset();
    loop->post([completion = std::move(completion), names = std::move(names)]() mutable {
      if (completion) completion(std::move(names));
    });
  });
}

}  // namespace sentrel::resolve
