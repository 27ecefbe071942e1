// The application workspace: which applications are installed, with their
// identifier, type and tags. The firewall asks it whether an app is a system
// app and whether it is hidden.
//
// The process-wide workspace reads the device's installed-app catalogue
// (platform/apps/installed_apps.h) of the current device root afresh on
// every call. Tests install an InMemoryApplicationWorkspace through an
// env::Environment.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>
#include "platform/base/mutex.h"

namespace sentrel {

// One installed application as the workspace describes it.
struct LSApplicationProxy {
  std::string applicationIdentifier;  // the bundle id
  std::string applicationType;        // "System" or "User"
  std::vector<std::string> appTags;   // e.g. "hidden"
};

// Thread-safe; every backend may be asked from any thread.
class ApplicationWorkspace {
 public:
  virtual ~ApplicationWorkspace() = default;

  // Every installed application, hidden ones included, in the workspace's
  // order. Empty when the workspace cannot be read.
  virtual std::vector<LSApplicationProxy> allApplications() const = 0;

  // The process's workspace: the device's catalogue unless a test installed
  // another.
  static ApplicationWorkspace& defaultWorkspace();
  // Installs `workspace` as defaultWorkspace() (nullptr restores the device
  // catalogue) and returns the previous override. `workspace` must outlive
  // its installation. Only env::ScopedEnvironment calls it.
  static ApplicationWorkspace* setDefaultWorkspaceForTesting(ApplicationWorkspace* workspace);
};

// Applications a test puts in, in insertion order.
class InMemoryApplicationWorkspace final : public ApplicationWorkspace {
 public:
  void add(std::string identifier, std::string type, std::vector<std::string> tags = {});
  std::vector<LSApplicationProxy> allApplications() const override;

 private:
  mutable Mutex mutex_;
  std::vector<LSApplicationProxy> applications_ GUARDED_BY(mutex_);
};

}  // namespace sentrel
