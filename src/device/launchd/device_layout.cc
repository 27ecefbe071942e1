#include "device/launchd/device_layout.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

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
  // Only the device's user may reach the bus and launchd's control socket
  // (both in the run folder) and read the device's log. A root made before
  // these modes were set is tightened here too.
  for (const char* folder : kPrivateFolders) {
    const std::filesystem::path path = paths::resolveUnder(root, folder);
    std::filesystem::permissions(path, std::filesystem::perms::owner_all, ec);
    if (ec) return Status::Error("cannot restrict " + path.string() + ": " + ec.message());
  }
  // The log file is made here, private, so the first line written does not
  // create it with the writer's default mode.
  const std::filesystem::path log = paths::resolveUnder(root, kDeviceLogFile);
  const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY, 0600);
  if (fd < 0 || fchmod(fd, 0600) != 0) {
    const int err = errno;
    if (fd >= 0) close(fd);
    return Status::FromErrno("cannot restrict " + log.string(), err);
  }
  close(fd);
  return Status::Ok();
}

}  // namespace sentrel::device
