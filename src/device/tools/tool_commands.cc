#include "device/tools/tool_commands.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <set>

#include "device/tools/device_tools.h"
#include "device/tools/launchctl_protocol.h"
#include "device/tools/open_request.h"
#include "platform/paths/device_paths.h"
#include "platform/proc/shared_process_table.h"

namespace sentrel::tools {
namespace {

struct SignalName {
  const char* name;
  int number;
};
constexpr SignalName kSignalNames[] = {
    {"HUP", SIGHUP},       {"INT", SIGINT},   {"QUIT", SIGQUIT},   {"ILL", SIGILL},
    {"TRAP", SIGTRAP},     {"ABRT", SIGABRT}, {"BUS", SIGBUS},     {"FPE", SIGFPE},
    {"KILL", SIGKILL},     {"USR1", SIGUSR1}, {"SEGV", SIGSEGV},   {"USR2", SIGUSR2},
    {"PIPE", SIGPIPE},     {"ALRM", SIGALRM}, {"TERM", SIGTERM},   {"CHLD", SIGCHLD},
    {"CONT", SIGCONT},     {"STOP", SIGSTOP}, {"TSTP", SIGTSTP},   {"TTIN", SIGTTIN},
    {"TTOU", SIGTTOU},     {"URG", SIGURG},   {"XCPU", SIGXCPU},   {"XFSZ", SIGXFSZ},
    {"VTALRM", SIGVTALRM}, {"PROF", SIGPROF}, {"WINCH", SIGWINCH}, {"IO", SIGIO},
    {"SYS", SIGSYS},
};

template <class Int>
std::optional<Int> parseDecimal(std::string_view text) {
  Int value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

struct SignalArgs {
  int signal = SIGTERM;
  std::vector<std::string> operands;
};

// [-SIG | -s SIG]... [--] operand...; nullopt after printing the error.
std::optional<SignalArgs> parseSignalArgs(std::string_view tool,
                                          const std::vector<std::string>& args, std::ostream& err) {
  SignalArgs parsed;
  size_t i = 0;
  for (; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--") {
      ++i;
      break;
    }
    if (arg.size() < 2 || arg[0] != '-') break;
    std::string_view name;
    if (arg == "-s") {
      if (i + 1 == args.size()) {
        err << tool << ": option -s needs a signal\n";
        return std::nullopt;
      }
      name = args[++i];
    } else {
      name = std::string_view(arg).substr(1);
    }
    const std::optional<int> signal = parseSignal(name);
    if (!signal) {
      err << tool << ": unknown signal: " << name << "\n";
      return std::nullopt;
    }
    parsed.signal = *signal;
  }
  parsed.operands.assign(args.begin() + static_cast<std::ptrdiff_t>(i), args.end());
  if (parsed.operands.empty()) {
    err << "usage: " << tool << " [-SIGNAL | -s SIGNAL] " << (tool == "kill" ? "pid..." : "name...")
        << "\n";
    return std::nullopt;
  }
  return parsed;
}

}  // namespace

std::optional<int> parseSignal(std::string_view text) {
  if (std::optional<int> number = parseDecimal<int>(text)) {
    if (*number >= 0 && *number <= SIGRTMAX) return number;
    return std::nullopt;
  }
  std::string upper(text);
  std::transform(upper.begin(), upper.end(), upper.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  std::string_view name = upper;
  if (name.starts_with("SIG")) name.remove_prefix(3);
  for (const SignalName& entry : kSignalNames) {
    if (name == entry.name) return entry.number;
  }
  return std::nullopt;
}

int killallCommand(const std::vector<std::string>& args, const ToolContext& context) {
  std::ostream& err = *context.err;
  std::optional<SignalArgs> parsed = parseSignalArgs("killall", args, err);
  if (!parsed) return 2;
  for (const std::string& name : parsed->operands) {
    if (name.empty()) {
      err << "killall: empty process name\n";
      return 2;
    }
  }
  Result<std::vector<proc::ProcessRecord>> records = context.table->snapshot();
  if (!records) {
    err << "killall: cannot read the device's process table: " << records.reason() << "\n";
    return 1;
  }
  int status = 0;
  for (const std::string& name : parsed->operands) {
    bool signalled = false;
    for (const proc::ProcessRecord& record : *records) {
      if (record.command_name != name || record.pid == getpid()) continue;
      // A process that ended meanwhile (ESRCH) simply was not signalled.
      if (context.send_signal(record.pid, parsed->signal) == 0) signalled = true;
    }
    if (!signalled) {
      err << "killall: " << name << ": no process found\n";
      status = 1;
    }
  }
  return status;
}

int killCommand(const std::vector<std::string>& args, const ToolContext& context) {
  std::ostream& err = *context.err;
  std::optional<SignalArgs> parsed = parseSignalArgs("kill", args, err);
  if (!parsed) return 2;
  // Every operand is checked before anything is signalled. Only single
  // processes: no 0 or negative pids (process groups, everything).
  std::vector<pid_t> pids;
  for (const std::string& operand : parsed->operands) {
    const std::optional<pid_t> pid = parseDecimal<pid_t>(operand);
    if (!pid || *pid <= 0) {
      err << "kill: not a process id: " << operand << "\n";
      return 2;
    }
    pids.push_back(*pid);
  }
  Result<std::vector<proc::ProcessRecord>> records = context.table->snapshot();
  if (!records) {
    err << "kill: cannot read the device's process table: " << records.reason() << "\n";
    return 1;
  }
  std::set<pid_t> device_pids;
  for (const proc::ProcessRecord& record : *records) device_pids.insert(record.pid);
  int status = 0;
  for (pid_t pid : pids) {
    if (device_pids.count(pid) == 0) {
      err << "kill: (" << pid << ") - not a process of this device\n";
      status = 1;
      continue;
    }
    if (const int error = context.send_signal(pid, parsed->signal); error != 0) {
      err << "kill: (" << pid << ") - " << std::strerror(error) << "\n";
      status = 1;
    }
  }
  return status;
}

int launchctlCommand(const std::vector<std::string>& args, const ToolContext& context) {
  std::ostream& err = *context.err;
  if (args != std::vector<std::string>{"reboot", "userspace"}) {
    err << "usage: launchctl reboot userspace\n";
    return 2;
  }
  const pid_t launchd = context.table->pidOfProcess(kLaunchdCommandName);
  if (launchd < 0) {
    err << "launchctl: cannot read the device's process table\n";
    return 1;
  }
  if (launchd == 0) {
    err << "launchctl: launchd is not running on this device\n";
    return 1;
  }
  if (const int error = context.send_signal(launchd, kRebootUserspaceSignal); error != 0) {
    err << "launchctl: cannot signal launchd (" << launchd << "): " << std::strerror(error) << "\n";
    return 1;
  }
  return 0;
}

Result<std::string> appIdentifierForName(const apps::AppCatalogue& catalogue,
                                         std::string_view name) {
  const std::vector<apps::AppRecord> records = catalogue.allApplications();
  if (catalogue.applicationWithIdentifier(name)) return std::string(name);
  const auto unique = [&](auto matches) -> std::optional<Result<std::string>> {
    std::set<std::string> ids;
    for (const apps::AppRecord& app : records) {
      if (matches(app)) ids.insert(app.identifier);
    }
    if (ids.empty()) return std::nullopt;
    if (ids.size() == 1) return Result<std::string>(*ids.begin());
    std::string list;
    for (const std::string& id : ids) list += (list.empty() ? "" : ", ") + id;
    return Result<std::string>::Error("\"" + std::string(name) + "\" names several apps: " + list);
  };
  if (auto by_display =
          unique([&](const apps::AppRecord& app) { return app.display_name == name; })) {
    return *by_display;
  }
  if (auto by_executable = unique([&](const apps::AppRecord& app) {
        return !app.executable_path.empty() && app.executable_path.filename() == name;
      })) {
    return *by_executable;
  }
  return Result<std::string>::Error("no app named \"" + std::string(name) + "\" is installed");
}

int openCommand(const std::vector<std::string>& args, const ToolContext& context) {
  std::ostream& err = *context.err;
  if (args.empty()) {
    err << "usage: open <bundle id> [argument...]\n";
    return 2;
  }
  std::string bundle_id = args[0];
  if (!context.root.empty()) {
    Result<std::string> found =
        appIdentifierForName(*apps::newDeviceCatalogue(context.root), args[0]);
    if (!found) {
      OpenRequest as_given{args[0], std::vector<std::string>(args.begin() + 1, args.end())};
      if (Status valid = validateOpenRequest(as_given); !valid) {
        err << "open: " << valid.reason() << "\n";
        return 2;
      }
      // A name that is no installed app's is asked for as a bundle id, as
      // it always was: launchd reports an app it does not know. Only a name
      // several apps answer to is refused here.
      if (found.reason().rfind("no app named", 0) != 0) {
        err << "open: " << found.reason() << "\n";
        return 1;
      }
    } else {
      bundle_id = *found;
    }
  }
  OpenRequest request{bundle_id, std::vector<std::string>(args.begin() + 1, args.end())};
  if (Status valid = validateOpenRequest(request); !valid) {
    err << "open: " << valid.reason() << "\n";
    return 2;
  }
  if (Status sent = requestOpen(context.root, request.bundle_id, request.args); !sent) {
    err << "open: " << sent.reason() << "\n";
    return 1;
  }
  return 0;
}

std::optional<std::filesystem::path> deviceRootOfTool(const std::filesystem::path& executable) {
  const std::string text = executable.lexically_normal().string();
  for (const DeviceTool& tool : kDeviceTools) {
    const std::string_view device_path = tool.device_path;
    if (text.size() <= device_path.size() + 1) continue;
    if (text.compare(text.size() - device_path.size(), device_path.size(), device_path) != 0)
      continue;
    std::filesystem::path root(text.substr(0, text.size() - device_path.size()));
    if (!root.is_absolute()) continue;
    return root;
  }
  return std::nullopt;
}

int runTool(int argc, char** argv,
            int (*command)(const std::vector<std::string>&, const ToolContext&)) {
  std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  ToolContext context;
  const char* env = getenv(paths::kDeviceRootEnv);
  context.root = paths::deviceRoot();
  if (env == nullptr || env[0] != '/') {
    std::error_code error;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (auto root = error ? std::nullopt : deviceRootOfTool(self)) {
      context.root = *root;
      paths::setDeviceRoot(*root);
    }
  }
  proc::SharedProcessTable table(context.root);
  context.table = &table;
  context.send_signal = [](pid_t pid, int signal) { return ::kill(pid, signal) == 0 ? 0 : errno; };
  context.err = &std::cerr;
  return command(args, context);
}

}  // namespace sentrel::tools
