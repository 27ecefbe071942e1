// Small process utilities: find a process of this device by command name or
// its parent, end processes by name or id, tell the processes the system
// treats specially, and show a plain notice.
//
// They sit on the device's process table (proc::deviceProcessTable()) and on
// the device's own "killall" and "kill" programs, which only ever signal
// processes of this device. Nothing is cached; every call may run on any
// thread. The kill functions block the caller until the program has ended.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sentrel {

// The pid of the process whose command name (the kernel's short name, at most
// 15 bytes) is exactly `name`; when several match, the latest in the table.
// 0 when none matches, when `name` is null, or when the table cannot be read.
pid_t snt_pid_of_process(const char* name);

// The parent pid of `pid`; -1 when the process is unknown or the table
// cannot be read.
pid_t ProcessIDForParentOfProcessID(pid_t pid);

// Runs the device program at `device_path` ("/sbin/launchctl") with the
// argument vector `argv` (its name first) and no environment but the
// device's root, and waits for it. The outcome is only logged.
void runDeviceProgramAndWait(const char* device_path, std::vector<std::string> argv);

// Runs the device's "/usr/bin/killall <name>" and waits for it. Does nothing
// for an absent name or one that is not a C string (holds a NUL byte). The
// program's outcome is not reported.
void SNT_kill_process(std::optional<std::string_view> name);

// Runs the device's "/bin/kill <pid>" and waits for it. Does nothing for an
// absent pid or 0; a negative pid (which kill would take as a process group
// or "every process") is refused with a log line.
void SNT_kill_pid(std::optional<int64_t> pid);

// Whether the module initialiser leaves the process of `bundleId`
// unfiltered whatever its bundle: SpringBoard, the authentication and in-app
// browser services, the package manager.
bool isSkippedBundleIdentifier(std::string_view bundleId);

// Whether `bundleId` names a process the system treats specially: a skipped
// one (above) or one the rule engine lets through (WebKit's networking
// process). An app of the device under such an identifier would go
// unfiltered (or pass for SpringBoard), so the device refuses to install one.
bool SNTIsReservedBundleIdentifier(std::string_view bundleId);

// Logs "ALERT: <title> <message>" (an absent part reads "(null)"); with both
// present also logs "Init alert" and "Showing". The notice view itself comes
// with the UI.
void alert(std::optional<std::string_view> title, std::optional<std::string_view> message);

}  // namespace sentrel
