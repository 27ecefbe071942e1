// `sentrel rules`: the firewall's switches, policies and host rules from the
// command line.
//
//   sentrel [--root DIR] rules list [--app ID] [--json]
//   sentrel [--root DIR] rules test --app ID HOST[:PORT]
//   sentrel [--root DIR] rules allow|block|undefine|remove HOST (--app ID | --global)
//   sentrel [--root DIR] rules set KEY VALUE [--app ID]
//   sentrel [--root DIR] rules clear (--app ID | --global)
//   sentrel [--root DIR] rules forget --app ID
//   sentrel [--root DIR] rules export [--app ID]
//   sentrel [--root DIR] rules import FILE
//   (every change also takes --timeout SECONDS, default 5)
//
// Changes go through the settings objects the Settings app uses (SNTSettings
// for the global part, the app's pooled SNTFirewall for an app entry), so
// this process never writes the settings file: it asks SpringBoard to, on the
// device's bus, and then waits until SpringBoard has written a document that
// shows the change. Every change is announced to the device's processes,
// "undefine" included. Changes of one device are made one at a time
// (ChangeLock, held from the read to the confirmation), so two commands at
// once never undo each other.
//
// A typed host goes through normalizeHostInput() (host_input.h): a URL or a
// port is reduced to the host and names are lower-cased, which stderr says;
// a text that cannot be a host is refused. undefine and remove also take a
// key exactly as it is stored.
//
// A damaged settings file (settingsFileDamage()) makes list, test and export
// fail; a change warns that it starts from no settings and names the copy
// SpringBoard kept aside.
//
// Exit codes as for the rest of the CLI: 0 done (one line on stdout saying
// what changed, or that nothing needed to); 1 failed (one line on stderr:
// the device is not running, the app is unknown, the settings file is
// damaged, SpringBoard did not confirm in time, ...); 2 bad command line
// (nothing was sent).
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace sentrel::cli {

// The usage lines of `sentrel rules`, for the CLI's help text.
extern const char* const kRulesUsageText;

// Runs `sentrel rules ARGS...` (`args` without "rules") for the device at
// `root`, writing to stdout and stderr.
// REQUIRES: paths::deviceRoot() is `root` (the CLI sets it first), so that
// the settings file and notify::distributedCenter() are the device's.
// Blocks for at most the confirmation timeout. Main thread of the CLI.
int runRules(const std::filesystem::path& root, const std::vector<std::string>& args);

}  // namespace sentrel::cli
