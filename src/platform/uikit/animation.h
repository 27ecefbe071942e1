// View animations as on the platform. Inside an animation block a property
// setter sets the model's final value at once and records the change on the
// view (property, from, to, timing); the window collects the records for the
// display link, and the page runs the curve. The block's completion runs on
// the process's main run loop once delay + duration have passed, on the main
// loop's clock, so a test that owns the loop's clock owns the timing.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <variant>

#include "platform/uikit/color.h"
#include "platform/uikit/geometry.h"

namespace sentrel::uikit {

using UIViewAnimationOptions = std::uint32_t;
inline constexpr UIViewAnimationOptions UIViewAnimationOptionAllowUserInteraction = 1u << 1;
inline constexpr UIViewAnimationOptions UIViewAnimationOptionBeginFromCurrentState = 1u << 2;
inline constexpr UIViewAnimationOptions UIViewAnimationOptionOverrideInheritedDuration = 1u << 5;
inline constexpr UIViewAnimationOptions UIViewAnimationOptionOverrideInheritedCurve = 1u << 6;
inline constexpr UIViewAnimationOptions UIViewAnimationOptionCurveEaseInOut = 0u << 16;
inline constexpr UIViewAnimationOptions UIViewAnimationOptionCurveEaseIn = 1u << 16;
inline constexpr UIViewAnimationOptions UIViewAnimationOptionCurveEaseOut = 2u << 16;
inline constexpr UIViewAnimationOptions UIViewAnimationOptionCurveLinear = 3u << 16;

enum class UIViewAnimationCurve { kEaseInOut = 0, kEaseIn = 1, kEaseOut = 2, kLinear = 3 };

enum class UIViewAnimatedProperty {
  kFrame,
  kBounds,
  kCenter,
  kAlpha,
  kBackgroundColor,
  kTransform
};

using UIViewAnimationValue =
    std::variant<CGRect, CGPoint, double, std::optional<UIColor>, CATransform3D>;

// The timing of one animation block (nested blocks may inherit it).
struct UIViewAnimationTiming {
  double duration = 0;  // seconds
  double delay = 0;     // seconds
  UIViewAnimationCurve curve = UIViewAnimationCurve::kEaseInOut;
  bool spring = false;
  double dampingRatio = 1;     // spring only, in (0, 1]
  double initialVelocity = 0;  // spring only, in units of the whole change per second
  bool allowUserInteraction = false;
};

// One property change made inside an animation block.
struct UIViewPropertyAnimation {
  UIViewAnimatedProperty property = UIViewAnimatedProperty::kFrame;
  UIViewAnimationValue from{};
  UIViewAnimationValue to{};
  UIViewAnimationTiming timing{};
  // When the change was made, on the main run loop's clock: the animation
  // runs from then (after the delay), as its completion does.
  std::chrono::steady_clock::time_point began{};
};

namespace animation_internal {
// The timing of the innermost open animation block that animates, or null.
const UIViewAnimationTiming* currentTiming();
}  // namespace animation_internal

}  // namespace sentrel::uikit
