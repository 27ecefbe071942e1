#include "tweak/common.h"

#include <cinttypes>
#include <string>
#include <vector>

#include "platform/log/system_log.h"
#include "platform/paths/device_paths.h"
#include "platform/proc/process_table.h"
#include "platform/spawn/spawn.h"
#include "tweak/preftools.h"

namespace sentrel {

void runDeviceProgramAndWait(const char* device_path, std::vector<std::string> argv) {
  spawn::Options options;
  options.inherit_environment = false;
  // The tool acts on this process's device, whose root it is told: with
  // an empty environment it would look for the device at the default root.
  options.environment = {{paths::kDeviceRootEnv, paths::deviceRoot().string()}};
  Result<spawn::ExitStatus> ran = spawn::run(paths::resolve(device_path), argv, options);
  if (!ran.ok()) {
    log::line(std::string(device_path) + ": " + ran.reason(), log::Level::kWarning);
  } else if (ran->signaled || ran->code != 0) {
    log::line(std::string(device_path) + " failed (exit " + std::to_string(ran->code) + ")",
              log::Level::kWarning);
  }
}

namespace {

constexpr std::string_view kSkippedBundleIds[] = {
    kSpringBoardBundleIdentifier, "com.apple.CoreAuthUI", "com.apple.SafariViewService",
    "com.saurik.Cydia"};

}  // namespace

bool isSkippedBundleIdentifier(std::string_view bundleId) {
  for (std::string_view skipped : kSkippedBundleIds) {
    if (bundleId == skipped) return true;
  }
  return false;
}

bool SNTIsReservedBundleIdentifier(std::string_view bundleId) {
  return isSkippedBundleIdentifier(bundleId) || bundleId == kWebKitNetworkingBundleIdentifier;
}

pid_t snt_pid_of_process(const char* name) {
  if (name == nullptr) return 0;
  const pid_t pid = proc::deviceProcessTable().pidOfProcess(name);
  return pid > 0 ? pid : 0;  // an unreadable table counts as "not found"
}

pid_t ProcessIDForParentOfProcessID(pid_t pid) {
  const pid_t parent = proc::deviceProcessTable().parentOf(pid);
  return parent < 0 ? -1 : parent;
}

void SNT_kill_process(std::optional<std::string_view> name) {
  if (!name || name->find('\0') != std::string_view::npos) return;
  runDeviceProgramAndWait("/usr/bin/killall", {"killall", std::string(*name)});
}

void SNT_kill_pid(std::optional<int64_t> pid) {
  if (!pid || *pid == 0) return;
  if (*pid < 0) {
    log::linef("SNT_kill_pid: refusing pid %" PRId64, *pid);
    return;
  }
  runDeviceProgramAndWait("/bin/kill", {"kill", std::to_string(static_cast<unsigned long>(*pid))});
}

void alert(std::optional<std::string_view> title, std::optional<std::string_view> message) {
  const std::string_view title_text = title ? *title : std::string_view("(null)");
  const std::string_view message_text = message ? *message : std::string_view("(null)");
  log::line("ALERT: " + std::string(title_text) + " " + std::string(message_text));
  if (!title || !message) return;
  log::line("Init alert");
  // The alert view ("Close" as its only button) comes with the UI toolkit.
  log::line("Showing");
}

}  // namespace sentrel
