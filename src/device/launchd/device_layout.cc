#include "device/launchd/device_layout.h"

#include <unistd.h>

#include <system_error>

#include "platform/paths/device_paths.h"

namespace sentrel::device {

Status prepareDeviceRoot(const std::filesystem::path& root) {
  std::error_code ec;
  auto status = std::filesystem::status(root, ec);
  if (ec || !std::filesystem::exists(status)) {
    return Status::Error("device root " + root.string() + " does not exist");
  }
  if (!std::filesystem::is_directory(status)) {
    return Status::Error("device root " + root.string() + " is not a folder");
  }
  if (access(root.c_str(), W_OK | X_OK) != 0) {
    return Status::Error("device root " + root.string() + " is not writable");
  }
  for (const char* folder : kDeviceFolders) {
    std::filesystem::path path = paths::resolveUnder(root, folder);
    std::filesystem::create_directories(path, ec);
    if (ec) return Status::Error("cannot create " + path.string() + ": " + ec.message());
  }
  std::filesystem::permissions(paths::resolveUnder(root, paths::kRunDir),
                               std::filesystem::perms::owner_all, ec);
  return Status::Ok();
}

}  // namespace sentrel::device
