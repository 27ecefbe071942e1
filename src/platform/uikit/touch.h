// Touches as the window receives them from the render server: one finger's
// position in the window, its phase and when it happened. Main thread only.
#pragma once

#include <cstdint>

#include "platform/uikit/geometry.h"

namespace sentrel::uikit {

enum class UITouchPhase { kBegan, kMoved, kStationary, kEnded, kCancelled };

struct UITouch {
  std::uint64_t identifier = 0;  // the same for every event of one finger
  CGPoint locationInWindow{};
  UITouchPhase phase = UITouchPhase::kBegan;
  double timestamp = 0;  // seconds, monotonic
  int tapCount = 1;

  // The location in `view`'s coordinates (view must be in the window).
  CGPoint locationInView(class UIView* view) const;
};

}  // namespace sentrel::uikit
