#include "platform/uikit/animation.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <vector>

#include "platform/runloop/run_loop.h"
#include "platform/uikit/main_thread.h"
#include "platform/uikit/view.h"

namespace sentrel::uikit {
namespace {

// The open blocks, innermost last. A null entry is a block that records
// nothing (no duration, or performWithoutAnimation).
std::vector<std::optional<UIViewAnimationTiming>>& blockStack() {
  static std::vector<std::optional<UIViewAnimationTiming>> stack;
  return stack;
}

double sanitize(double seconds) {
  return std::isfinite(seconds) && seconds > 0 ? seconds : 0;
}

UIViewAnimationCurve curveOf(UIViewAnimationOptions options) {
  return static_cast<UIViewAnimationCurve>((options >> 16) & 3u);
}

void runBlock(UIViewAnimationTiming timing, UIViewAnimationOptions options,
              const std::function<void()>& animations, std::function<void(bool)> completion) {
  SENTREL_UIKIT_ASSERT_MAIN_THREAD();
  timing.duration = sanitize(timing.duration);
  timing.delay = sanitize(timing.delay);
  auto& stack = blockStack();
  // An inner block takes the outer one's duration and curve, as on the
  // platform, unless it asks to keep its own.
  if (!stack.empty() && stack.back()) {
    const UIViewAnimationTiming& outer = *stack.back();
    if (!(options & UIViewAnimationOptionOverrideInheritedDuration))
      timing.duration = outer.duration;
    if (!(options & UIViewAnimationOptionOverrideInheritedCurve)) {
      timing.curve = outer.curve;
      timing.spring = outer.spring;
      timing.dampingRatio = outer.dampingRatio;
      timing.initialVelocity = outer.initialVelocity;
    }
  }
  if (timing.duration > 0) {
    stack.emplace_back(timing);
  } else {
    stack.emplace_back(std::nullopt);
  }
  struct Pop {
    ~Pop() { blockStack().pop_back(); }
  } pop;
  if (animations) animations();
  if (completion) {
    const double total = timing.delay + timing.duration;
    runloop::afterMain(
        std::chrono::duration_cast<runloop::Duration>(std::chrono::duration<double>(total)),
        [completion = std::move(completion)] { completion(true); });
  }
}

}  // namespace

namespace animation_internal {
const UIViewAnimationTiming* currentTiming() {
  const auto& stack = blockStack();
  if (stack.empty() || !stack.back()) return nullptr;
  return &*stack.back();
}
}  // namespace animation_internal

void UIView::animateWithDuration(double duration, double delay, UIViewAnimationOptions options,
                                 const std::function<void()>& animations,
                                 std::function<void(bool)> completion) {
  UIViewAnimationTiming timing;
  timing.duration = duration;
  timing.delay = delay;
  timing.curve = curveOf(options);
  timing.allowUserInteraction = (options & UIViewAnimationOptionAllowUserInteraction) != 0;
  runBlock(timing, options, animations, std::move(completion));
}

void UIView::animateWithDuration(double duration, const std::function<void()>& animations,
                                 std::function<void(bool)> completion) {
  animateWithDuration(duration, 0, 0, animations, std::move(completion));
}

void UIView::animateWithDurationUsingSpring(double duration, double delay, double dampingRatio,
                                            double initialVelocity, UIViewAnimationOptions options,
                                            const std::function<void()>& animations,
                                            std::function<void(bool)> completion) {
  UIViewAnimationTiming timing;
  timing.duration = duration;
  timing.delay = delay;
  timing.curve = curveOf(options);
  timing.spring = true;
  // A ratio outside (0, 1] would never settle or is meaningless: clamp it.
  timing.dampingRatio = std::isfinite(dampingRatio) ? std::clamp(dampingRatio, 0.01, 1.0) : 1.0;
  timing.initialVelocity = std::isfinite(initialVelocity) ? initialVelocity : 0;
  timing.allowUserInteraction = (options & UIViewAnimationOptionAllowUserInteraction) != 0;
  runBlock(timing, options, animations, std::move(completion));
}

void UIView::performWithoutAnimation(const std::function<void()>& actions) {
  SENTREL_UIKIT_ASSERT_MAIN_THREAD();
  blockStack().emplace_back(std::nullopt);
  struct Pop {
    ~Pop() { blockStack().pop_back(); }
  } pop;
  if (actions) actions();
}

std::vector<UIViewPropertyAnimation> UIView::takePendingAnimations() {
  std::vector<UIViewPropertyAnimation> out;
  out.swap(animations_);
  return out;
}

std::vector<std::pair<UIView*, std::vector<UIViewPropertyAnimation>>>
UIView::collectPendingAnimations() {
  std::vector<UIView*> all;
  collect(all);
  std::vector<std::pair<UIView*, std::vector<UIViewPropertyAnimation>>> out;
  for (UIView* v : all) {
    if (!v->animations_.empty()) out.emplace_back(v, v->takePendingAnimations());
  }
  return out;
}

void UIView::noteAnimatable(UIViewAnimatedProperty property, UIViewAnimationValue from,
                            UIViewAnimationValue to) {
  const UIViewAnimationTiming* timing = animation_internal::currentTiming();
  if (!timing || from == to) return;  // an unchanged value has nothing to animate
  // Nobody takes the records of a process without a screen: keep the
  // newest only, which is all a display link would draw anyway.
  constexpr size_t kMaxRecords = 64;
  if (animations_.size() >= kMaxRecords)
    animations_.erase(animations_.begin(), animations_.end() - (kMaxRecords - 1));
  animations_.push_back(UIViewPropertyAnimation{property, std::move(from), std::move(to), *timing,
                                                runloop::MainQueue::get().clock().now()});
  markDirty(kDirtyAnimations);
}

}  // namespace sentrel::uikit
