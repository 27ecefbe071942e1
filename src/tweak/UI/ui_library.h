// The tweak's drawn half, libSentrelUI.so, and how the tweak library reaches
// it. The UI library links the device's UI toolkit (libsentrel_uikit.so),
// which only UI processes load: the tweak library itself never links it, so
// that a program firewalled as an app pays nothing for the screen. The UI
// library is loaded, from beside the tweak library, on the first prompt work
// of SpringBoard; it shares the process's main queue and object runtime.
#pragma once

#include "platform/base/status.h"

namespace sentrel {

// The UI library's entry points: extern "C", no arguments, no result, main
// queue only.
inline constexpr const char* kUIEntryTestAlertInNewWindow = "sentrel_ui_SNTTestAlertInNewWindow_v1";

// The file name of the UI library, looked for beside the tweak library.
inline constexpr const char* kUILibraryFileName = "libSentrelUI.so";

// Calls `entry` of the UI library, loading the library on first use. An
// error when the library or the entry cannot be found (said once in the log
// by the caller); the library stays loaded for the rest of the process.
[[nodiscard]] Status callUILibrary(const char* entry);

}  // namespace sentrel
