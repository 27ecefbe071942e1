// Where the device lives on this machine.
//
// A device is a folder, the device root, standing for the phone's filesystem.
// The system code keeps the phone's absolute paths ("/var/mobile/Library/...");
// resolve() maps them under the root of the device this process belongs to.
//
// The device root of a process is, in order: the one set with
// setDeviceRoot(), else $SENTREL_DEVICE_ROOT (the device's launcher sets it for
// every process it starts), else defaultDeviceRoot().
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace sentrel::paths {

inline constexpr const char* kDeviceRootEnv = "SENTREL_DEVICE_ROOT";

// The per-user default: $XDG_DATA_HOME/sentrel/device, else
// ~/.local/share/sentrel/device (HOME, else the password database).
std::filesystem::path defaultDeviceRoot();

// The device root of this process. Thread-safe.
std::filesystem::path deviceRoot();

// Overrides the device root for the whole process (the CLI's --root; tests
// install an env::Environment instead). Also exports $SENTREL_DEVICE_ROOT so
// that programs started from here agree. An empty path returns to the
// environment / default.
void setDeviceRoot(const std::filesystem::path& root);
// The override setDeviceRoot() made, if any.
std::optional<std::filesystem::path> deviceRootOverride();

// Maps a device path ("/usr/bin/killall") under the device root. A relative
// path is taken as relative to the root as well; ".." components cannot
// climb above the root.
std::filesystem::path resolve(std::string_view device_path);
std::filesystem::path resolveUnder(const std::filesystem::path& root, std::string_view device_path);

// Well-known places inside a device, as device paths.
inline constexpr const char* kRunDir = "/var/run/sentrel";  // sockets, shared memory, pid files
inline constexpr const char* kLogDir = "/var/log";          // the device's system log file
inline constexpr const char* kSystemAppsDir = "/Applications";
inline constexpr const char* kUserAppsDir = "/var/containers/Bundle/Application";

}  // namespace sentrel::paths
