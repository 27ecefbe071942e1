#include "device/cli/cli.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "device/cli/log_command.h"
#include "device/cli/outcome.h"
#include "device/cli/rules.h"
#include "device/launchd/control.h"
#include "device/launchd/device_layout.h"
#include "device/tools/device_tools.h"
#include "device/tools/tool_commands.h"
#include "device/tools/springboard_ready.h"
#include "platform/apps/installed_apps.h"
#include "platform/display/screen_client.h"
#include "platform/display/screen_profile.h"
#include "platform/notify/device_bus.h"
#include "platform/notify/notification_center.h"
#include "platform/paths/device_paths.h"
#include "platform/plist/value.h"
#include "platform/proc/shared_process_table.h"
#include "platform/runloop/run_loop.h"
#include "platform/spawn/spawn.h"
#include "tweak/common.h"

namespace sentrel::cli {
namespace {

namespace fs = std::filesystem;
using plist::Value;

constexpr const char* kUsageText =
    "usage: sentrel [--root DIR] device start [--screen WxH@S]|stop|status [--json]\n"
    "       sentrel [--root DIR] screen [--wait TEXT] [--png FILE] | --tap TEXT\n"
    "         (--wait and --tap: once TEXT is drawn and at rest; --timeout SECONDS, default 30)\n"
    "       sentrel [--root DIR] app install --id ID [--name NAME] [--system] [--tag TAG]... "
    "EXECUTABLE\n"
    "       sentrel [--root DIR] app list [--json]\n"
    "       sentrel [--root DIR] app remove ID\n"
    "       sentrel [--root DIR] app stop ID\n"
    "       sentrel [--root DIR] open BUNDLE_ID [ARGS...]\n"
    "       sentrel [--root DIR] notify NAME\n";

struct Context {
  fs::path root;
  bool default_root = true;
};

// The folder of this executable: launchd and the device's programs live
// beside it in a build.
fs::path programsDir() {
  std::error_code ec;
  fs::path self = fs::read_symlink("/proc/self/exe", ec);
  return ec ? fs::path() : self.parent_path();
}

// The default root is created on first use; a root given with --root must
// already exist.
int prepareRoot(const Context& ctx) {
  if (ctx.default_root) {
    std::error_code ec;
    fs::create_directories(ctx.root, ec);
    if (ec) return fail("cannot create device root " + ctx.root.string() + ": " + ec.message());
  }
  Status prepared = device::prepareDeviceRoot(ctx.root);
  if (!prepared) return fail(prepared.reason());
  return kOk;
}

std::optional<device::ControlClient> connectIfRunning(const Context& ctx, std::string* problem) {
  Result<device::ControlClient> client = device::ControlClient::connect(ctx.root);
  if (client) return std::move(client).value();
  if (client.reason() != "not running") *problem = client.reason();
  return std::nullopt;
}

// The screen page's URL as backboardd wrote it, or empty when there is none
// (backboardd not running, or starting again).
std::string screenUrl(const Context& ctx) {
  std::ifstream in(display::screenUrlPath(ctx.root));
  std::string url;
  if (!in || !std::getline(in, url)) return "";
  if (url.rfind("http://127.0.0.1:", 0) != 0 || url.size() > 256) return "";
  return url;
}

void printStatus(const Context& ctx, const Value& status) {
  printf("Device at %s: running (launchd pid %lld)\n", ctx.root.string().c_str(),
         static_cast<long long>(status.get("pid").asInteger().value_or(0)));
  if (const std::string* bus = status.get("bus").asString()) printf("Bus: %s\n", bus->c_str());
  const std::string url = screenUrl(ctx);
  printf("Screen: %s\n", url.empty() ? "not served (backboardd is not running)" : url.c_str());
  printf("%8s %8s  %s\n", "PID", "PPID", "NAME");
  if (const plist::Array* processes = status.get("processes").asArray()) {
    for (const Value& p : *processes) {
      const std::string* name = p.get("name").asString();
      printf("%8lld %8lld  %s\n", static_cast<long long>(p.get("pid").asInteger().value_or(0)),
             static_cast<long long>(p.get("ppid").asInteger().value_or(0)),
             name ? name->c_str() : "?");
    }
  }
}

// `device status --json`: {"root", "running", and when running "pid",
// "bus", "screen" (null when not served) and "processes" [{pid, ppid, name}]}.
void printStatusJson(const Context& ctx, const Value* status) {
  nlohmann::json out = {{"root", ctx.root.string()}, {"running", status != nullptr}};
  if (status) {
    out["pid"] = status->get("pid").asInteger().value_or(0);
    const std::string* bus = status->get("bus").asString();
    out["bus"] = bus ? nlohmann::json(*bus) : nlohmann::json(nullptr);
    const std::string url = screenUrl(ctx);
    out["screen"] = url.empty() ? nlohmann::json(nullptr) : nlohmann::json(url);
    nlohmann::json processes = nlohmann::json::array();
    if (const plist::Array* list = status->get("processes").asArray()) {
      for (const Value& p : *list) {
        const std::string* name = p.get("name").asString();
        processes.push_back({{"pid", p.get("pid").asInteger().value_or(0)},
                             {"ppid", p.get("ppid").asInteger().value_or(0)},
                             {"name", name ? *name : "?"}});
      }
    }
    out["processes"] = std::move(processes);
  }
  printf("%s\n", out.dump(2, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
}

int deviceStatus(const Context& ctx, bool json = false) {
  std::string problem;
  std::optional<device::ControlClient> client = connectIfRunning(ctx, &problem);
  if (!client) {
    if (!problem.empty()) return fail(problem);
    if (json) {
      printStatusJson(ctx, nullptr);
    } else {
      printf("Device at %s: not running\n", ctx.root.string().c_str());
    }
    return kNotRunning;
  }
  Result<Value> status = client->call(Value::dictOf({{"command", Value::string("status")}}));
  if (!status) return fail("status: " + status.reason());
  if (json) {
    printStatusJson(ctx, &*status);
  } else {
    printStatus(ctx, *status);
  }
  return kOk;
}

// How long `device start` waits for SpringBoard to register its services.
constexpr auto kSpringBoardLaunchTimeout = std::chrono::seconds(30);

// Reads launchd's first line ("ready" or "error: ...") for at most `seconds`.
std::string readReadyLine(int fd, int seconds) {
  std::string line;
  for (int waited_ms = 0; waited_ms < seconds * 1000;) {
    pollfd p{fd, POLLIN, 0};
    int n = poll(&p, 1, 100);
    if (n == 0) {
      waited_ms += 100;
      continue;
    }
    if (n < 0) continue;
    char c;
    ssize_t got = read(fd, &c, 1);
    if (got <= 0 || c == '\n') break;
    line += c;
  }
  return line;
}

int deviceStart(const Context& ctx, const std::string& screen) {
  if (int rc = prepareRoot(ctx); rc != kOk) return rc;
  std::string problem;
  if (std::optional<device::ControlClient> client = connectIfRunning(ctx, &problem)) {
    Result<Value> status = client->call(Value::dictOf({{"command", Value::string("status")}}));
    long long pid = status ? status->get("pid").asInteger().value_or(0) : 0;
    return fail("a device is already running at " + ctx.root.string() + " (launchd pid " +
                std::to_string(pid) + ")");
  }
  if (!problem.empty()) return fail(problem);

  Status tools = tools::installDeviceTools(ctx.root, tools::builtDeviceToolsDir());
  if (!tools) return fail("cannot install the device's programs: " + tools.reason());
  Status settings = tools::installSettingsApp(ctx.root);
  if (!settings) return fail("cannot install the Settings app: " + settings.reason());

  // Where the log stood before this start: SpringBoard's line below must be
  // this run's.
  const fs::path system_log = paths::resolveUnder(ctx.root, "/var/log/system.log");
  std::error_code size_ec;
  const uintmax_t log_start =
      fs::exists(system_log, size_ec) ? fs::file_size(system_log, size_ec) : 0;

  // A marker left by a device that ended is not this start's SpringBoard.
  tools::clearSpringBoardReady(ctx.root);
  fs::path launchd = programsDir() / "launchd";
  int ready[2];
  if (pipe2(ready, O_CLOEXEC) != 0) return fail("pipe failed");
  spawn::Options options;
  options.new_session = true;  // the device outlives this command and its terminal
  options.stdin_ = spawn::Stdio::devNull();
  options.stdout_ = spawn::Stdio::fromFd(ready[1]);
  options.stderr_ = spawn::Stdio::devNull();
  Result<pid_t> pid = spawn::spawnProcess(
      launchd, {"launchd", "--root", ctx.root.string(), "--screen", screen, "--ready-fd", "1"},
      options);
  close(ready[1]);
  if (!pid) {
    close(ready[0]);
    return fail("cannot start " + launchd.string() + ": " + pid.reason());
  }
  std::string line = readReadyLine(ready[0], 30);
  close(ready[0]);
  if (line != "ready") {
    // A launchd that did not come up must not linger and keep the device's
    // lock: one still running after the wait is stopped before we report.
    Result<std::optional<spawn::ExitStatus>> ended = spawn::tryWait(*pid);
    if (ended.ok() && !ended->has_value()) {
      kill(*pid, SIGTERM);
      (void)spawn::waitForExit(*pid);  // the start's failure below is what the user needs
    }
    if (line.rfind("error: ", 0) == 0) return fail(line.substr(7));
    return fail("launchd did not start; see " +
                paths::resolveUnder(ctx.root, "/var/log/system.log").string());
  }
  // A command that follows this one (a rule change, an app's prompt) goes
  // to SpringBoard's services: the start is done once they are registered.
  const auto started = std::chrono::steady_clock::now();
  while (tools::readySpringBoard(ctx.root) == 0) {
    if (std::chrono::steady_clock::now() - started > kSpringBoardLaunchTimeout) {
      return fail("the device runs, but SpringBoard did not finish launching within " +
                  std::to_string(kSpringBoardLaunchTimeout.count()) + " s; see " +
                  paths::resolveUnder(ctx.root, "/var/log/system.log").string() +
                  " (stop it with: sentrel device stop)");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  // backboardd writes the page's URL soon after launchd is ready; status
  // shows it when it comes in time (the device runs without a screen too).
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (screenUrl(ctx).empty() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  // SpringBoard takes settings changes once it finished launching: a
  // `rules` change sent before would never be saved. Wait for its line in
  // the device's log, for a while (a device whose SpringBoard is slow still
  // starts; its status says what runs).
  const auto springboard_deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  auto springBoardLaunched = [&] {
    std::ifstream in(system_log);
    in.seekg(static_cast<std::streamoff>(log_start));
    std::string line;
    while (std::getline(in, line)) {
      if (line.find("SpringBoard finished launching") != std::string::npos) return true;
    }
    return false;
  };
  while (!springBoardLaunched() && std::chrono::steady_clock::now() < springboard_deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return deviceStatus(ctx);
}

// `device start [--screen WxH@S]`
int deviceStartCommand(const Context& ctx, const std::vector<std::string>& args) {
  display::ScreenProfile profile;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--screen" && i + 1 < args.size()) {
      Result<display::ScreenProfile> parsed = display::parseScreenProfile(args[++i]);
      if (!parsed) return usage(parsed.reason());
      profile = *parsed;
    } else {
      return usage("device start takes only --screen WxH@S");
    }
  }
  return deviceStart(ctx, display::formatScreenProfile(profile));
}

// Runs headless chromium on the page and waits for it at most this long.
constexpr auto kScreenshotTimeout = std::chrono::seconds(60);

int screenshot(const std::string& url, const display::ScreenProfile& profile,
               const fs::path& file) {
  char folder_template[] = "/tmp/sentrel-screenshot-XXXXXX";
  if (!mkdtemp(folder_template)) return fail("cannot create a folder for the browser");
  const fs::path profile_dir = folder_template;
  const fs::path target = fs::absolute(file);
  std::error_code ec;
  fs::remove(target, ec);  // so a file there afterwards is this run's
  spawn::Options options;
  options.search_path = true;
  options.new_process_group = true;
  options.stdin_ = options.stdout_ = options.stderr_ = spawn::Stdio::devNull();
  Result<pid_t> pid = spawn::spawnProcess(
      "chromium",
      {"chromium", "--headless=new", "--no-sandbox", "--disable-gpu", "--hide-scrollbars",
       "--user-data-dir=" + profile_dir.string(),
       // The window in points, drawn at the device's scale: a 390x844@3
       // screen gives a 1170x2532 picture, as sharp as the phone's.
       "--window-size=" + std::to_string(profile.width) + "," + std::to_string(profile.height),
       "--force-device-scale-factor=" + std::to_string(profile.scale),
       "--screenshot=" + target.string(), url},
      options);
  if (!pid) {
    fs::remove_all(profile_dir, ec);
    return fail("cannot run chromium (install Debian's chromium package): " + pid.reason());
  }
  std::optional<spawn::ExitStatus> ended;
  const auto deadline = std::chrono::steady_clock::now() + kScreenshotTimeout;
  while (!ended) {
    Result<std::optional<spawn::ExitStatus>> state = spawn::tryWait(*pid);
    if (!state) break;
    ended = *state;
    if (ended) break;
    if (std::chrono::steady_clock::now() > deadline) {
      kill(-*pid, SIGKILL);
      (void)spawn::waitForExit(*pid);
      fs::remove_all(profile_dir, ec);
      return fail("chromium took longer than " + std::to_string(kScreenshotTimeout.count()) +
                  " s; no screenshot taken");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  fs::remove_all(profile_dir, ec);
  if (!ended || !ended->success() || !fs::exists(target, ec) || fs::file_size(target, ec) == 0) {
    return fail("chromium did not save a screenshot to " + target.string());
  }
  printf("Saved the screen to %s\n", target.string().c_str());
  return kOk;
}

// Waits until the drawn text `text` is on the screen and at rest, and taps
// it as a finger would when `tap` is set.
//
// A tap is made once: a control that stays where it is (a switch) would
// flip back on a second one. It succeeds when the screen changed.
int findText(const std::string& url, const std::string& text, bool tap, double timeout_seconds) {
  Result<std::unique_ptr<display::ScreenClient>> client = display::ScreenClient::connect(url);
  if (!client) return fail(client.reason());
  const auto timeout = std::chrono::milliseconds(static_cast<int64_t>(timeout_seconds * 1000));
  if (tap) {
    Result<display::ScreenClient::Tap> tapped = (*client)->tapTextOnce(text, timeout);
    if (!tapped) return fail("tap: " + tapped.reason());
    if (!tapped->changed) {
      return fail("tapped \"" + text + "\" at (" + std::to_string(std::lround(tapped->at.x)) +
                  ", " + std::to_string(std::lround(tapped->at.y)) +
                  ") but the screen did not change");
    }
    printf("Tapped \"%s\" at (%.0f, %.0f)\n", text.c_str(), tapped->at.x, tapped->at.y);
    return kOk;
  }
  Result<display::Point> at = (*client)->waitForText(text, timeout);
  if (!at) return fail("wait: " + at.reason());
  printf("Found \"%s\" at (%.0f, %.0f)\n", text.c_str(), at->x, at->y);
  return kOk;
}

// `screen [--wait TEXT] [--png FILE] | --tap TEXT` (with --timeout SECONDS)
int screenCommand(const Context& ctx, const std::vector<std::string>& args) {
  std::optional<fs::path> png;
  std::optional<std::string> tap;
  std::optional<std::string> wait;
  double timeout = 30;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--png" && i + 1 < args.size()) {
      png = args[++i];
    } else if (args[i] == "--tap" && i + 1 < args.size()) {
      tap = args[++i];
    } else if (args[i] == "--wait" && i + 1 < args.size()) {
      wait = args[++i];
    } else if (args[i] == "--timeout" && i + 1 < args.size()) {
      char* end = nullptr;
      timeout = std::strtod(args[++i].c_str(), &end);
      if (end == args[i].c_str() || *end != '\0' || !(timeout > 0) || timeout > 3600)
        return usage("--timeout takes a number of seconds up to 3600");
    } else {
      return usage("screen takes [--wait TEXT] [--png FILE], or --tap TEXT; and --timeout SECONDS");
    }
  }
  if (tap && (png || wait)) return usage("screen --tap TEXT takes no --png or --wait");
  if (std::error_code ec; png && fs::is_directory(*png, ec)) {
    return usage(png->string() + " is a folder: --png takes the file to save the picture to");
  }
  std::string problem;
  if (!connectIfRunning(ctx, &problem)) {
    if (!problem.empty()) return fail(problem);
    return fail("the device at " + ctx.root.string() +
                " is not running (start it with: sentrel device start)");
  }
  const std::string url = screenUrl(ctx);
  if (url.empty()) return fail("the screen is not served: backboardd is not running");
  if (tap) return findText(url, *tap, /*tap=*/true, timeout);
  if (wait) {
    if (int found = findText(url, *wait, /*tap=*/false, timeout); found != kOk || !png)
      return found;
  }
  if (!png) {
    printf("%s\n", url.c_str());
    return kOk;
  }
  return screenshot(url, display::readScreenProfile(ctx.root), *png);
}

int deviceStop(const Context& ctx) {
  std::string problem;
  std::optional<device::ControlClient> client = connectIfRunning(ctx, &problem);
  if (!client) {
    if (!problem.empty()) return fail(problem);
    printf("Device at %s: not running\n", ctx.root.string().c_str());
    return kOk;
  }
  Result<Value> reply = client->call(Value::dictOf({{"command", Value::string("stop")}}));
  if (!reply) return fail("stop: " + reply.reason());
  // launchd closes the connection when it exits, after every device process ended.
  for (;;) {
    Result<Value> more = client->next();
    if (!more) break;
  }
  printf("Device at %s: stopped\n", ctx.root.string().c_str());
  return kOk;
}

int appInstall(const Context& ctx, const std::vector<std::string>& args) {
  apps::InstallOptions options;
  std::string executable;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](const char* flag) -> std::optional<std::string> {
      if (i + 1 >= args.size()) return std::nullopt;
      (void)flag;
      return args[++i];
    };
    if (a == "--id" || a == "--name" || a == "--tag") {
      std::optional<std::string> v = value(a.c_str());
      if (!v) return usage(a + " needs a value");
      if (a == "--id") options.identifier = *v;
      if (a == "--name") options.display_name = *v;
      if (a == "--tag") options.tags.push_back(*v);
    } else if (a == "--system") {
      options.type = apps::AppType::kSystem;
    } else if (a == "--user") {
      options.type = apps::AppType::kUser;
    } else if (!a.empty() && a[0] == '-') {
      return usage("unknown option " + a);
    } else if (executable.empty()) {
      executable = a;
    } else {
      return usage("more than one executable given");
    }
  }
  if (options.identifier.empty()) return usage("app install needs --id");
  if (Status valid = apps::validateIdentifier(options.identifier); !valid) {
    return usage(valid.reason());
  }
  if (SNTIsReservedBundleIdentifier(options.identifier)) {
    return usage(options.identifier +
                 " is reserved for a process the system treats specially; an app under it "
                 "would not be filtered");
  }
  if (executable.empty()) return usage("app install needs the executable to wrap");
  options.executable = executable;
  if (int rc = prepareRoot(ctx); rc != kOk) return rc;
  Result<apps::AppRecord> app = apps::installApp(ctx.root, options);
  if (!app) return fail(app.reason());
  printf("Installed %s (%s, %s) at %s\n", app->identifier.c_str(), app->display_name.c_str(),
         app->applicationType(), app->bundle_path.string().c_str());
  return kOk;
}

int appList(const Context& ctx, bool json) {
  auto catalogue = apps::newDeviceCatalogue(ctx.root);
  std::vector<apps::AppRecord> all = catalogue->allApplications();
  if (json) {
    nlohmann::json out = nlohmann::json::array();
    for (const apps::AppRecord& app : all) {
      out.push_back({{"id", app.identifier},
                     {"name", app.display_name},
                     {"type", app.applicationType()},
                     {"tags", app.tags},
                     {"hidden", !app.isVisible()},
                     {"bundle", app.bundle_path.string()}});
    }
    printf("%s\n", out.dump(2, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
    return kOk;
  }
  if (all.empty()) {
    printf("No apps installed at %s\n", ctx.root.string().c_str());
    return kOk;
  }
  printf("%-36s %-24s %-7s %s\n", "BUNDLE ID", "NAME", "TYPE", "TAGS");
  for (const apps::AppRecord& app : all) {
    std::string tags;
    for (const std::string& t : app.tags) tags += (tags.empty() ? "" : ",") + t;
    printf("%-36s %-24s %-7s %s\n", app.identifier.c_str(), app.display_name.c_str(),
           app.applicationType(), tags.c_str());
  }
  return kOk;
}

int appRemove(const Context& ctx, const std::vector<std::string>& args) {
  if (args.size() != 1) return usage("app remove takes one bundle id");
  if (Status valid = apps::validateIdentifier(args[0]); !valid) return usage(valid.reason());
  Status removed = apps::removeApp(ctx.root, args[0]);
  if (!removed) return fail(removed.reason());
  printf("Removed %s\n", args[0].c_str());
  return kOk;
}

// `app stop ID`: ends the app's processes on the device (SIGTERM, as the
// Settings app's restart does through the device's killall), and waits a
// little for them to be gone.
int appStop(const Context& ctx, const std::vector<std::string>& args) {
  if (args.size() != 1) return usage("app stop takes one bundle id");
  if (Status valid = apps::validateIdentifier(args[0]); !valid) return usage(valid.reason());
  std::optional<apps::AppRecord> app =
      apps::newDeviceCatalogue(ctx.root)->applicationWithIdentifier(args[0]);
  if (!app) return fail("unknown app " + args[0] + ": it is not installed");
  if (app->executable_path.empty()) return fail(args[0] + " has no executable to stop");
  std::string problem;
  if (!connectIfRunning(ctx, &problem)) {
    if (!problem.empty()) return fail(problem);
    return fail("no device is running at " + ctx.root.string());
  }
  const std::string name = app->executable_path.filename().string();
  proc::SharedProcessTable table(ctx.root);
  auto running = [&] {
    Result<std::vector<proc::ProcessRecord>> records = table.snapshot();
    if (!records) return false;
    for (const proc::ProcessRecord& record : *records) {
      if (record.command_name == proc::shortCommandName(name) || record.command_name == name) {
        return true;
      }
    }
    return false;
  };
  if (!running()) {
    printf("%s is not running; nothing changed\n", args[0].c_str());
    return kOk;
  }
  std::ostringstream err;
  tools::ToolContext tool;
  tool.root = ctx.root;
  tool.table = &table;
  tool.send_signal = [](pid_t pid, int signal) { return ::kill(pid, signal) == 0 ? 0 : errno; };
  tool.err = &err;
  if (tools::killallCommand({name}, tool) != 0 && running()) {
    return fail("cannot stop " + args[0] + ": " + err.str());
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (running()) {
    if (std::chrono::steady_clock::now() > deadline) {
      return fail(args[0] + " was asked to end but still runs after 5 s");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  printf("Stopped %s\n", args[0].c_str());
  return kOk;
}

int openApp(const Context& ctx, const std::vector<std::string>& args) {
  if (args.empty()) return usage("open needs a bundle id");
  if (Status valid = apps::validateIdentifier(args[0]); !valid) return usage(valid.reason());
  std::string problem;
  std::optional<device::ControlClient> client = connectIfRunning(ctx, &problem);
  if (!client) {
    if (!problem.empty()) return fail(problem);
    return fail("no device is running at " + ctx.root.string() +
                " (start it with: sentrel device start)");
  }
  plist::MutableArray app_args;
  for (size_t i = 1; i < args.size(); ++i) app_args.append(Value::string(args[i]));
  Value request = Value::dictOf({{"command", Value::string("open")},
                                 {"bundle_id", Value::string(args[0])},
                                 {"args", std::move(app_args).build()},
                                 {"wait", Value::boolean(true)}});
  fflush(stdout);
  Result<Value> launched = client->call(request, {0, 1, 2});
  if (!launched) return fail(launched.reason());
  Result<Value> exited = client->next();
  if (!exited) return fail("lost the device while the app ran: " + exited.reason());
  return static_cast<int>(exited->get("status").asInteger().value_or(kFailed));
}

}  // namespace

// `notify NAME`: posts the distributed notification NAME, with no
// information, to every process of the running device (as the phone's
// notification tool does; "_snt_springboard_alert_removed" shows the test
// prompt).
int notifyCommand(const Context& ctx, const std::vector<std::string>& args) {
  if (args.size() != 1 || args[0].empty()) return usage("notify takes one notification name");
  if (args[0].find('\0') != std::string::npos) return usage("a notification name has no NUL byte");
  runloop::RunLoop loop;
  auto center = notify::makeBusCenter(notify::busAddressForRoot(ctx.root), loop);
  if (!center) {
    return fail("the device at " + ctx.root.string() +
                " is not running (start it with: sentrel device start): " + center.reason());
  }
  (*center)->post(args[0], Value::dictOf({}));
  loop.runUntilIdle();
  printf("posted %s\n", args[0].c_str());
  return kOk;
}

int runCli(const std::vector<std::string>& all_args) {
  Context ctx;
  size_t i = 0;
  while (i < all_args.size() && all_args[i].rfind("--", 0) == 0) {
    const std::string& a = all_args[i];
    if (a == "--root") {
      if (i + 1 >= all_args.size()) return usage("--root needs a folder");
      ctx.root = all_args[i + 1];
      ctx.default_root = false;
      i += 2;
    } else if (a.rfind("--root=", 0) == 0) {
      ctx.root = a.substr(7);
      ctx.default_root = false;
      ++i;
    } else if (a == "--help") {
      fputs(kUsageText, stdout);
      fputs(kRulesUsageText, stdout);
      fputs(kLogUsageText, stdout);
      return kOk;
    } else {
      return usage("unknown option " + a);
    }
  }
  if (!ctx.default_root && ctx.root.empty()) return usage("--root needs a folder");
  ctx.root =
      ctx.default_root ? paths::defaultDeviceRoot() : fs::absolute(ctx.root).lexically_normal();
  paths::setDeviceRoot(ctx.root);

  std::vector<std::string> args(all_args.begin() + static_cast<std::ptrdiff_t>(i), all_args.end());
  if (args.empty()) return usage("no command given");
  const std::string& command = args[0];
  std::vector<std::string> rest(args.begin() + 1, args.end());
  if (command == "help") {
    fputs(kUsageText, stdout);
    fputs(kRulesUsageText, stdout);
    fputs(kLogUsageText, stdout);
    return kOk;
  }
  // A root given by hand that is not there is a typing mistake, not an
  // empty device: every command but the one that makes a device says so.
  const bool starts_device = command == "device" && !rest.empty() && rest[0] == "start";
  if (std::error_code ec; !ctx.default_root && !starts_device && !fs::is_directory(ctx.root, ec)) {
    fprintf(stderr, "sentrel: no device at %s\n", ctx.root.string().c_str());
    return kUsage;
  }
  if (command == "device") {
    if (rest.empty()) return usage("device takes one of start, stop, status");
    if (rest[0] == "start") return deviceStartCommand(ctx, {rest.begin() + 1, rest.end()});
    if (rest[0] == "status" && rest.size() == 2 && rest[1] == "--json") {
      return deviceStatus(ctx, /*json=*/true);
    }
    if (rest.size() != 1) return usage("device " + rest[0] + " takes no arguments");
    if (rest[0] == "stop") return deviceStop(ctx);
    if (rest[0] == "status") return deviceStatus(ctx);
    return usage("unknown device command " + rest[0]);
  }
  if (command == "app") {
    if (rest.empty()) return usage("app takes one of install, list, remove, stop");
    std::vector<std::string> app_args(rest.begin() + 1, rest.end());
    if (rest[0] == "install") return appInstall(ctx, app_args);
    if (rest[0] == "list") {
      const bool json = app_args.size() == 1 && app_args[0] == "--json";
      if (!app_args.empty() && !json) return usage("app list takes only --json");
      return appList(ctx, json);
    }
    if (rest[0] == "remove") return appRemove(ctx, app_args);
    if (rest[0] == "stop") return appStop(ctx, app_args);
    return usage("unknown app command " + rest[0]);
  }
  if (command == "open") return openApp(ctx, rest);
  if (command == "screen") return screenCommand(ctx, rest);
  if (command == "rules") return runRules(ctx.root, rest);
  if (command == "log") return runLog(ctx.root, rest);
  if (command == "notify") return notifyCommand(ctx, rest);
  return usage("unknown command " + command);
}

}  // namespace sentrel::cli
