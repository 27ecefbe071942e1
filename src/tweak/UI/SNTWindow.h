// The window a prompt is shown in: a platform window with nothing added.
// The prompt queue finds prompt windows by this class and their level.
#pragma once

#include "platform/uikit/window.h"

namespace sentrel {

class SNTWindow : public uikit::UIWindow {
 public:
  using uikit::UIWindow::UIWindow;
};

// Prompt windows sit one level above the test prompt's window (25).
inline constexpr uikit::UIWindowLevel kSNTWindowLevel = 26.0;

}  // namespace sentrel
