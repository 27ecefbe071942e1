#include "platform/apps/application_workspace.h"

#include <atomic>

#include "platform/apps/installed_apps.h"
#include "platform/base/mutex.h"
#include "platform/paths/device_paths.h"

namespace sentrel {
namespace {

// Reads the catalogue of whatever device this process belongs to at the
// time of the call, so a test or tool that switches roots is followed.
class DeviceCatalogueWorkspace final : public ApplicationWorkspace {
 public:
  std::vector<LSApplicationProxy> allApplications() const override {
    std::vector<LSApplicationProxy> result;
    std::unique_ptr<apps::AppCatalogue> catalogue = apps::newDeviceCatalogue(paths::deviceRoot());
    if (!catalogue) return result;
    for (const apps::AppRecord& record : catalogue->allApplications()) {
      result.push_back({record.identifier, record.applicationType(), record.tags});
    }
    return result;
  }
};

std::atomic<ApplicationWorkspace*> g_override{nullptr};

}  // namespace

ApplicationWorkspace& ApplicationWorkspace::defaultWorkspace() {
  if (ApplicationWorkspace* workspace = g_override.load()) return *workspace;
  static DeviceCatalogueWorkspace* device = new DeviceCatalogueWorkspace;  // lives with the process
  return *device;
}

ApplicationWorkspace* ApplicationWorkspace::setDefaultWorkspaceForTesting(
    ApplicationWorkspace* workspace) {
  return g_override.exchange(workspace);
}

void InMemoryApplicationWorkspace::add(std::string identifier, std::string type,
                                       std::vector<std::string> tags) {
  MutexLock lock(mutex_);
  applications_.push_back({std::move(identifier), std::move(type), std::move(tags)});
}

std::vector<LSApplicationProxy> InMemoryApplicationWorkspace::allApplications() const {
  MutexLock lock(mutex_);
  return applications_;
}

}  // namespace sentrel
