// What the device's small programs and the device's launchd agree on.
//
// launchd publishes itself in the device's process table under the command
// name kLaunchdCommandName, and handles these signals:
//
//  - kRebootUserspaceSignal (SIGHUP), sent by `launchctl reboot userspace`:
//    stop every device process it started (the bus, backboardd, SpringBoard,
//    Preferences, apps) and start them again, as the phone's userspace
//    reboot does. launchd itself keeps running, with the same pid.
//  - kOpenRequestSignal (SIGUSR1), sent by `open` after it dropped a request
//    into the open spool (open_request.h): call drainOpenRequests() and
//    launch each app. Signals coalesce, so launchd drains everything that is
//    in the spool on every delivery, and once at start-up.
#pragma once

#include <signal.h>

namespace sentrel::tools {

inline constexpr const char* kLaunchdCommandName = "launchd";
inline constexpr int kRebootUserspaceSignal = SIGHUP;
inline constexpr int kOpenRequestSignal = SIGUSR1;

}  // namespace sentrel::tools
