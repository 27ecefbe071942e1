// Whether the device's SpringBoard has registered its services: the settings
// saves, the prompt requests and the Settings app's launches all reach it as
// notifications on the device bus, which are dropped while nobody observes
// them. A SpringBoard that has finished launching (its services are
// registered in its applicationDidFinishLaunching:) writes its pid to
// kSpringBoardReadyFile; the marker holds while that pid is the device's
// running "SpringBoard". launchd restarts a SpringBoard that dies, and the
// new one writes its own pid once it is ready.
#pragma once

#include <sys/types.h>

#include <filesystem>

#include "platform/base/status.h"

namespace sentrel::tools {

inline constexpr const char* kSpringBoardReadyFile = "/var/run/sentrel/SpringBoard.ready";

// Writes the calling process's pid as the ready SpringBoard of the device at
// `root` (atomically; mode 0600).
Status markSpringBoardReady(const std::filesystem::path& root);

// Removes the marker (a device that is not running has no ready SpringBoard).
void clearSpringBoardReady(const std::filesystem::path& root);

// The pid of the device's SpringBoard when it has registered its services
// and still runs (the marker's pid is the "SpringBoard" of the device's
// process table); 0 otherwise. Thread-safe.
pid_t readySpringBoard(const std::filesystem::path& root);

}  // namespace sentrel::tools
