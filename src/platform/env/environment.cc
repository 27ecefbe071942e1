#include "platform/env/environment.h"

#include <utility>

#include "platform/apps/application_workspace.h"
#include "platform/foundation/url.h"
#include "platform/notify/notification_center.h"
#include "platform/paths/device_paths.h"
#include "platform/proc/process_table.h"
#include "platform/resolve/resolver.h"
#include "platform/runloop/run_loop.h"

namespace sentrel::env {

// What each installed field replaced, restored in reverse order.
struct ScopedEnvironment::Saved {
  std::optional<std::filesystem::path> device_root;  // the override before ours, if we set one
  bool set_root = false;
  bool set_table = false;
  proc::ProcessTable* table = nullptr;
  bool set_center = false;
  notify::NotificationCenter* center = nullptr;
  bool set_workspace = false;
  ApplicationWorkspace* workspace = nullptr;
  bool set_opener = false;
  URLOpener* opener = nullptr;
  std::optional<runloop::MainQueue::ScopedOverride> main_queue;
  std::optional<resolve::ScopedResolverOverride> resolver;
  std::optional<bundle::ScopedMainBundleOverride> main_bundle;
  bool set_clock = false;
  runloop::Clock* clock = nullptr;
};

ScopedEnvironment::ScopedEnvironment(Environment e) : saved_(std::make_unique<Saved>()) {
  Saved& s = *saved_;
  if (e.device_root) {
    s.set_root = true;
    s.device_root = paths::deviceRootOverride();
    paths::setDeviceRoot(*e.device_root);
  }
  if (e.process_table) {
    s.set_table = true;
    s.table = proc::setDeviceProcessTable(e.process_table);
  }
  if (e.notification_center) {
    s.set_center = true;
    s.center = notify::setDistributedCenterForTesting(e.notification_center);
  }
  if (e.app_workspace) {
    s.set_workspace = true;
    s.workspace = ApplicationWorkspace::setDefaultWorkspaceForTesting(e.app_workspace);
  }
  if (e.url_opener) {
    s.set_opener = true;
    s.opener = setURLOpenerForTesting(e.url_opener);
  }
  if (e.main_queue) s.main_queue.emplace(*e.main_queue);
  if (e.resolver) s.resolver.emplace(std::move(e.resolver));
  if (e.main_bundle) s.main_bundle.emplace(std::move(*e.main_bundle));
  if (e.clock) {
    s.set_clock = true;
    s.clock = runloop::setSystemClockForTesting(e.clock);
  }
}

ScopedEnvironment::~ScopedEnvironment() {
  Saved& s = *saved_;
  if (s.set_clock) runloop::setSystemClockForTesting(s.clock);
  s.main_bundle.reset();
  s.resolver.reset();
  s.main_queue.reset();
  if (s.set_opener) setURLOpenerForTesting(s.opener);
  if (s.set_workspace) ApplicationWorkspace::setDefaultWorkspaceForTesting(s.workspace);
  if (s.set_center) notify::setDistributedCenterForTesting(s.center);
  if (s.set_table) proc::setDeviceProcessTable(s.table);
  if (s.set_root) paths::setDeviceRoot(s.device_root.value_or(std::filesystem::path()));
}

}  // namespace sentrel::env
