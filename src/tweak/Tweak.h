// Start-up of the tweak library in a process, and the hooks it installs.
//
// Order, in every process that loads the library: the class-load steps
// (SNTFirewall::load, then SNTMessagingCenter::load), then, once the
// program's classes are registered, the module initialiser. The initialiser
// classifies the process and installs one group of hooks or none:
//  - AllApps, in a filtered app whose firewall is on: the request hooks on
//    "__NSCFURLSessionTask", "WKWebView" and "SFSafariViewController" and,
//    when "snt_hook_syscalls" and the app's "filter_streams" allow, the
//    connect hook;
//  - SpringBoard: the four service methods added to the class "SpringBoard",
//    the launch hook that registers their observers, and the test-prompt
//    observer.
// Which hooks exist is decided once; later settings change their answers.
// A class missing in the process is skipped and the other hooks still go in.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/plist/value.h"

namespace sentrel {

enum class SNTHookGroup { kNone, kAllApps, kSpringBoard };

// Which group a process gets, from its identity; nullopt when it has no
// bundle identifier (nothing is logged or installed then).
std::optional<SNTHookGroup> SNTClassifyProcess(std::optional<std::string_view> bundleId,
                                               std::string_view processName,
                                               std::string_view bundlePath);

// The class-load steps.
void SNTClassLoad();

// The module initialiser, run once per process (later calls do nothing).
void SNTModuleInitializer();

// SpringBoard's part of start-up: its service methods, their observers and
// the test prompt's. Run by the tweak's UI library in SpringBoard (see
// UI/ui_library.h), or by the module initialiser when that library is
// missing.
void SNTInstallSpringBoard();

// The notification argument of SpringBoard's service methods.
struct SNTNotification {
  std::string name;
  plist::Value userInfo;
};

// Shows the test prompt ("_snt_springboard_alert_removed") through the
// tweak's UI library; logs when that cannot be loaded.
void SNTTestAlertInNewWindow();

}  // namespace sentrel
