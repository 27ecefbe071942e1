// Distributed notifications: the device's stand-in for the platform's
// distributed notification center.
//
// post() sends a name with a property-list dictionary (or nothing) to every
// process of the device that observes that name, the sender included. There
// is no sender object, no reply and no delivery guarantee: fire and forget.
// Observers' handlers run on the process's main queue (runloop::MainQueue),
// in the order the notifications were posted by one sender.
//
// Names may end in a bundle identifier (dots and all); they are matched
// exactly. A payload that does not decode to a dictionary is logged and
// dropped; the observer is not called.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/base/status.h"
#include "platform/plist/value.h"

namespace sentrel::runloop {
class RunLoop;
}

namespace sentrel::notify {

using ObserverId = uint64_t;
// `user_info` is a dictionary, or null when posted without one.
using Handler = std::function<void(const std::string& name, const plist::Value& user_info)>;

class NotificationCenter {
 public:
  virtual ~NotificationCenter() = default;

  // Thread-safe. `user_info` must be a dictionary or null; anything else is
  // logged and not sent.
  virtual void post(const std::string& name, const plist::Value& user_info) = 0;

  // Thread-safe. The handler runs on the main queue given at construction.
  virtual ObserverId addObserver(const std::string& name, Handler handler) = 0;
  // Like addObserver(), for a handler that never reads the payload: it is
  // called with a null user_info. A backend that receives payloads encoded
  // does not decode one that only such handlers observe (a settings document
  // can be megabytes). Observed in the same order as any other observer.
  virtual ObserverId addObserverIgnoringPayload(const std::string& name, Handler handler) {
    return addObserver(
        name, [handler = std::move(handler)](const std::string& delivered, const plist::Value&) {
          handler(delivered, plist::Value());
        });
  }
  virtual void removeObserver(ObserverId id) = 0;
};

// The process's distributed center: the device bus of the current device
// root (created on first use; when the bus cannot be reached the center logs
// once and drops posts until it can). The device root is read on first use.
// Handlers run on runloop::MainQueue::get(). Tests replace it through an
// env::Environment (platform/env/environment.h).
NotificationCenter& distributedCenter();
// Installs `center` as the process's center (nullptr restores the default);
// returns the previous override. The center must outlive its installation.
// Only env::ScopedEnvironment calls it.
NotificationCenter* setDistributedCenterForTesting(NotificationCenter* center);

// An in-process center for unit tests: post() delivers to this object's own
// observers through `main_queue`.
std::unique_ptr<NotificationCenter> makeInProcessCenter(runloop::RunLoop& main_queue);

// A center on the D-Bus bus at `bus_address` ("unix:path=..."), handlers run
// on `main_queue`. Fails when the bus cannot be reached.
Result<std::unique_ptr<NotificationCenter>> makeBusCenter(const std::string& bus_address,
                                                          runloop::RunLoop& main_queue);

// Like makeBusCenter(), but never fails: while the bus cannot be reached
// (not started yet, restarted by launchd) posts are dropped, which is logged
// once per outage, and the center tries again on a later post or, while it has
// observers, every second on `main_queue`; observers are kept and get their
// names' notifications again once the bus is back. distributedCenter() is one
// of these.
std::unique_ptr<NotificationCenter> makeReconnectingBusCenter(const std::string& bus_address,
                                                              runloop::RunLoop& main_queue);

// Bus centers: post() may be called on any thread and sends before it
// returns (a program may post and exit). A bus center must be destroyed on
// its main queue's thread, or while that loop is not running. After fork()
// the child's copy of a center works: it opens its own connection on first
// use and observes the same names; the parent's connection is not disturbed.

// Payload encoding used on the bus (exposed for the fuzz target).
Result<std::string> encodePayload(const plist::Value& user_info);
// A null result for an empty payload; an error for anything that is not the
// compact encoding of a dictionary. Both refuse text the settings file could
// not hold (not UTF-8, a zero character), so any payload can be saved.
Result<plist::Value> decodePayload(std::string_view bytes);

}  // namespace sentrel::notify
