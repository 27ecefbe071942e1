// The folders every device has, and preparing a device root for use.
#pragma once

#include <filesystem>

#include "platform/base/status.h"

namespace sentrel::device {

// Device paths of the folders a device root holds.
inline constexpr const char* kDeviceFolders[] = {
    "/Applications",
    "/var/containers/Bundle/Application",
    "/var/mobile/Library/Preferences",
    "/var/run/sentrel",
    "/var/log",
    "/usr/bin",
    "/bin",
    "/sbin",
    "/Library/Application Support",
};

// Checks that `root` is an existing, writable folder and creates the device
// folders in it. Errors name the problem ("does not exist", "is not a
// folder", "is not writable").
Status prepareDeviceRoot(const std::filesystem::path& root);

}  // namespace sentrel::device
