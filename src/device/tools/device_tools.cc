#include "device/tools/device_tools.h"

#include <unistd.h>

#include <system_error>

#include "platform/apps/installed_apps.h"
#include "platform/paths/device_paths.h"

namespace sentrel::tools {

std::filesystem::path builtDeviceToolsDir() {
  return SENTREL_DEVICE_TOOLS_BUILD_DIR;
}

Status installDeviceTools(const std::filesystem::path& root,
                          const std::filesystem::path& tools_build_dir) {
  namespace fs = std::filesystem;
  for (const DeviceTool& tool : kDeviceTools) {
    const fs::path source = tools_build_dir / tool.build_name;
    const fs::path target = paths::resolveUnder(root, tool.device_path);
    const fs::path temp = target.parent_path() / ("." + std::string(tool.build_name) + ".install-" +
                                                  std::to_string(getpid()));
    std::error_code ec;
    if (!fs::is_regular_file(source, ec)) {
      return Status::Error("device tool " + std::string(tool.build_name) + " not found at " +
                           source.string());
    }
    fs::create_directories(target.parent_path(), ec);
    if (!ec) fs::copy_file(source, temp, fs::copy_options::overwrite_existing, ec);
    if (!ec) {
      fs::permissions(temp,
                      fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                          fs::perms::others_read | fs::perms::others_exec,
                      ec);
    }
    if (!ec) fs::rename(temp, target, ec);
    if (ec) {
      const std::string reason = "cannot install " + std::string(tool.build_name) + " at " +
                                 target.string() + ": " + ec.message();
      fs::remove(temp, ec);
      return Status::Error(reason);
    }
  }
  return Status::Ok();
}

Status installSettingsApp(const std::filesystem::path& root) {
  namespace fs = std::filesystem;
  const fs::path build = SENTREL_BUILD_DIR;
  const fs::path app = build / "bin" / "Preferences";
  const fs::path bundles = build / "PreferenceBundles";
  const fs::path entries = build / "PreferenceLoader" / "Preferences";
  std::error_code ec;
  if (!fs::is_regular_file(app, ec))
    return Status::Error("the Settings app is not built at " + app.string());
  if (!apps::newDeviceCatalogue(root)->applicationWithIdentifier("com.apple.Preferences")) {
    apps::InstallOptions options;
    options.identifier = "com.apple.Preferences";
    options.display_name = "Settings";
    options.executable = app;
    options.type = apps::AppType::kSystem;
    options.bundle_name = "Preferences";
    Result<apps::AppRecord> installed = apps::installApp(root, options);
    if (!installed) return Status::Error("cannot install the Settings app: " + installed.reason());
  }
  for (const auto& [from, to] :
       {std::pair{bundles, fs::path("/Library/PreferenceBundles")},
        std::pair{entries, fs::path("/Library/PreferenceLoader/Preferences")}}) {
    const fs::path target = paths::resolveUnder(root, to.string());
    fs::create_directories(target, ec);
    if (!ec)
      fs::copy(from, target, fs::copy_options::recursive | fs::copy_options::overwrite_existing,
               ec);
    if (ec) return Status::Error("cannot copy " + from.string() + ": " + ec.message());
  }
  return Status::Ok();
}

}  // namespace sentrel::tools
