// The device's launchd: the first process of a device.
//
// It publishes the device's process table, starts the device's message bus
// (and, as they arrive, the device's other long-running processes), starts
// them again when they die, launches apps on request, and stops everything
// when asked. Everything runs on one run loop on the main thread: signals
// arrive through a signalfd, requests through the control socket
// (control.h).
//
// Signals: SIGTERM/SIGINT stop the device; SIGHUP ("launchctl reboot
// userspace") restarts every device process; SIGUSR1 drains the open spool;
// SIGCHLD reaps.
#pragma once

#include <filesystem>

#include "platform/display/screen_profile.h"

namespace sentrel::device {

struct LaunchdOptions {
  std::filesystem::path root;
  // Where the device's programs and the tweak library were built (the folder
  // of the launchd executable).
  std::filesystem::path programs_dir;
  // When >= 0, "ready\n" (or "error: <reason>\n") is written here once
  // launchd serves requests, then the descriptor is closed.
  int ready_fd = -1;
  // The screen backboardd serves; also written to
  // <root>/var/run/sentrel/screen.profile for UI processes.
  display::ScreenProfile screen{};
};

// Runs a device until it is stopped; returns the process exit code.
int runLaunchd(const LaunchdOptions& options);

}  // namespace sentrel::device
