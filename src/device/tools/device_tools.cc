#include "device/tools/device_tools.h"

#include <unistd.h>

#include <system_error>

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

}  // namespace sentrel::tools
