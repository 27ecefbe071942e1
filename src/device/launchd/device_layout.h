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

// Device folders that only the device's user may enter (mode 0700): the run
// folder (the bus and launchd's control socket), the log folder and the
// preferences folder (the settings file holds every app's rules).
inline constexpr const char* kPrivateFolders[] = {"/var/run/sentrel", "/var/log",
                                                  "/var/mobile/Library/Preferences"};
// The device's log file, kept at mode 0600.
inline constexpr const char* kDeviceLogFile = "/var/log/system.log";

// Checks that `root` is an existing, writable folder, creates the device
// folders in it, closes the private folders to other users and creates the
// log file private. Errors name the problem ("does not exist", "is not a
// folder", "is not writable", "cannot restrict").
Status prepareDeviceRoot(const std::filesystem::path& root);

}  // namespace sentrel::device
