// The `sentrel` command line: run a device and manage its apps.
//
//   sentrel [--root DIR] device start|stop|status [--json]
//   sentrel [--root DIR] app install --id ID [--name NAME] [--system] [--tag TAG]... EXECUTABLE
//   sentrel [--root DIR] app list [--json]
//   sentrel [--root DIR] app remove ID
//   sentrel [--root DIR] app stop ID
//   sentrel [--root DIR] open BUNDLE_ID [ARGS...]
//   sentrel [--root DIR] rules ...   (see rules.h)
//   sentrel [--root DIR] log [--follow] [--process NAME]   (see log_command.h)
//
// Exit codes: 0 done; 1 failed (with one line on stderr saying why); 2 bad
// command line, or a --root that names no folder ("no device at DIR"; only
// `device start` reports a missing root as a failure of its own), nothing
// changed; 3 `device status` of a device that is not running; `open` exits
// with the app's own status.
#pragma once

#include <string>
#include <vector>

namespace sentrel::cli {

// `args` without the program name. Writes to stdout/stderr.
int runCli(const std::vector<std::string>& args);

}  // namespace sentrel::cli
