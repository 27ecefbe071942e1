#include <atomic>

#include "platform/notify/device_bus.h"
#include "platform/notify/notification_center.h"
#include "platform/paths/device_paths.h"
#include "platform/runloop/run_loop.h"

namespace sentrel::notify {
namespace {

std::atomic<NotificationCenter*> g_override{nullptr};

}  // namespace

NotificationCenter& distributedCenter() {
  if (NotificationCenter* center = g_override.load(std::memory_order_acquire)) return *center;
  // Lives as long as the process: observers registered at load time must
  // outlast every static destructor that might still post.
  static NotificationCenter* const center =
      makeReconnectingBusCenter(busAddressForRoot(paths::deviceRoot()), runloop::MainQueue::get())
          .release();
  return *center;
}

NotificationCenter* setDistributedCenterForTesting(NotificationCenter* center) {
  return g_override.exchange(center, std::memory_order_acq_rel);
}

}  // namespace sentrel::notify
