// The command-line logic of the device tools, apart from their process
// wiring so that tests can drive it with an in-memory table.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "platform/apps/installed_apps.h"
#include "platform/base/status.h"
#include "platform/proc/process_table.h"

namespace sentrel::tools {

// What a tool works on. The real one: the device of $SENTREL_DEVICE_ROOT,
// its shared table, kill(2) and stderr.
struct ToolContext {
  std::filesystem::path root;
  const proc::ProcessTable* table = nullptr;
  // Sends `signal` to `pid`: 0, or the errno of the failure.
  std::function<int(pid_t pid, int signal)> send_signal;
  std::ostream* err = nullptr;
};

// "HUP", "SIGHUP", "hup" or "1" → SIGHUP; nullopt for anything else.
std::optional<int> parseSignal(std::string_view text);

// argv without argv[0]. Return the process exit code.
int killallCommand(const std::vector<std::string>& args, const ToolContext& context);
int killCommand(const std::vector<std::string>& args, const ToolContext& context);
int launchctlCommand(const std::vector<std::string>& args, const ToolContext& context);
int openCommand(const std::vector<std::string>& args, const ToolContext& context);

// The bundle id of the installed app `name` names: an app's bundle id, else
// its display name, else its executable's file name (its process name).
// Fails, saying why, when no app or more than one app matches.
Result<std::string> appIdentifierForName(const apps::AppCatalogue& catalogue,
                                         std::string_view name);

// The device root a tool installed at `executable` belongs to: the folder
// above the tool's device path ("<root>/usr/bin/killall" -> "<root>").
// Nullopt when `executable` is not one of the tools' device paths under some
// root. Tools started with no environment find their device this way.
std::optional<std::filesystem::path> deviceRootOfTool(const std::filesystem::path& executable);

// main() of a tool: builds the real context and runs `command`. The device is
// $SENTREL_DEVICE_ROOT when set, else the one the tool is installed in.
int runTool(int argc, char** argv,
            int (*command)(const std::vector<std::string>&, const ToolContext&));

}  // namespace sentrel::tools
