// The device's small programs: killall, kill, launchctl and open.
//
// Each is an executable of its own, built into builtDeviceToolsDir() under
// the name it has on the device. installDeviceTools() copies them into a
// device root at the paths the system calls them by. Copies, not symlinks:
// the device keeps working while the build tree is rebuilt or removed, and
// a running tool is never rewritten in place (each copy gets its final name
// by rename). Install again after a rebuild.
//
// The tools only ever signal processes of the device named by
// $SENTREL_DEVICE_ROOT (paths::deviceRoot()): the ones its launchd lists in
// its shared process table. Exit codes: 0 done, 1 failed (nothing matched,
// a foreign pid, no launchd), 2 bad command line (nothing changed).
#pragma once

#include <filesystem>
#include <string_view>

#include "platform/base/status.h"

namespace sentrel::tools {

struct DeviceTool {
  std::string_view build_name;   // file name in the build tree
  std::string_view device_path;  // where the device has it
};

inline constexpr DeviceTool kDeviceTools[] = {
    {"killall", "/usr/bin/killall"},
    {"kill", "/bin/kill"},
    {"launchctl", "/sbin/launchctl"},
    {"open", "/usr/bin/open"},
};

// Where this build tree puts the tools.
std::filesystem::path builtDeviceToolsDir();

// Copies every tool from `tools_build_dir` into the device at `root`,
// replacing older copies. Fails, naming the tool, when one is missing or
// cannot be copied; tools copied before the failure stay.
Status installDeviceTools(const std::filesystem::path& root,
                          const std::filesystem::path& tools_build_dir);

// The Settings app (com.apple.Preferences, shown as "Settings", command
// name "Preferences") and the settings bundles this build tree made, put
// into the device at `root`: the app is installed as a system app unless
// one with that identifier is there, the bundles and their Settings entries
// are copied again (an older copy is replaced). Fails naming what is
// missing or cannot be copied.
Status installSettingsApp(const std::filesystem::path& root);

}  // namespace sentrel::tools
