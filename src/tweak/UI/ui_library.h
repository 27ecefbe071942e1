// The tweak's SpringBoard half, libSentrelUI.so, and how the tweak library
// reaches it. The UI library links the device's UI toolkit
// (libsentrel_uikit.so), which only UI processes load: the tweak library
// itself never links it, so that a program firewalled as an app pays
// nothing for the screen. In SpringBoard the tweak library loads it from
// beside itself at start-up and hands it SpringBoard's part of the start-up:
// the services, the prompt queue and the prompts then live in the UI
// library's copy of the tweak's code, next to the views they draw. It shares
// the process's main queue and object runtime (both are one per process);
// settings reach it as they reach every process.
#pragma once

#include "platform/base/status.h"

namespace sentrel {

// The UI library's entry points: extern "C", no arguments, no result, main
// queue only.
inline constexpr const char* kUIEntryInstallSpringBoard = "sentrel_ui_installSpringBoard_v1";
inline constexpr const char* kUIEntryTestAlertInNewWindow = "sentrel_ui_SNTTestAlertInNewWindow_v1";

// The file name of the UI library, looked for beside the tweak library.
inline constexpr const char* kUILibraryFileName = "libSentrelUI.so";

// Calls `entry` of the UI library, loading the library on first use. An
// error when the library or the entry cannot be found (said once in the log
// by the caller); the library stays loaded for the rest of the process.
[[nodiscard]] Status callUILibrary(const char* entry);

}  // namespace sentrel
