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

// main() of a tool: builds the real context and runs `command`.
int runTool(int argc, char** argv,
            int (*command)(const std::vector<std::string>&, const ToolContext&));

}  // namespace sentrel::tools
