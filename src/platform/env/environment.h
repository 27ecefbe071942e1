// The process-wide services of the device layer, as one object.
//
// System code reaches each service through its own accessor
// (paths::deviceRoot(), proc::deviceProcessTable(), notify::distributedCenter(),
// ApplicationWorkspace::defaultWorkspace(), urlOpener(), MainQueue::get(),
// resolve::currentResolver(), bundle::mainBundle(), runloop::systemClock()).
// A test replaces any of them by installing an Environment: every field it
// sets wins for as long as the guard lives, every field it leaves empty keeps
// the process's own service (the way a LevelDB EnvWrapper forwards what it
// does not override). One guard, one place that says what a test changed,
// and everything restored, in reverse order, when it goes away.
//
//   env::Environment environment;
//   environment.device_root = root_.path();
//   environment.notification_center = center_.get();
//   env::ScopedEnvironment installed(std::move(environment));
//
// Guards nest (the inner one's fields win) and must be destroyed in reverse
// order of creation. Install and remove them while no other thread of the
// test uses the services. Pointers must outlive the guard.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>

#include "platform/bundle/main_bundle.h"

namespace sentrel {
class ApplicationWorkspace;
class URLOpener;
namespace notify {
class NotificationCenter;
}
namespace proc {
class ProcessTable;
}
namespace resolve {
class Resolver;
}
namespace runloop {
class Clock;
class RunLoop;
}  // namespace runloop
}  // namespace sentrel

namespace sentrel::env {

struct Environment {
  std::optional<std::filesystem::path> device_root{};
  proc::ProcessTable* process_table = nullptr;
  notify::NotificationCenter* notification_center = nullptr;
  ApplicationWorkspace* app_workspace = nullptr;
  URLOpener* url_opener = nullptr;
  runloop::RunLoop* main_queue = nullptr;
  std::shared_ptr<resolve::Resolver> resolver{};
  std::optional<bundle::MainBundle> main_bundle{};
  runloop::Clock* clock = nullptr;
};

class ScopedEnvironment {
 public:
  explicit ScopedEnvironment(Environment environment);
  ~ScopedEnvironment();
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

 private:
  struct Saved;
  std::unique_ptr<Saved> saved_;
};

}  // namespace sentrel::env
