// The alert's presentation and dismissal animations, by transition style.
// A transition that is not animated takes no time.
#pragma once

#include "platform/uikit/view_controller.h"
#include "tweak/UI/QVAlert/QVAlertViewControllerConfiguration.h"

namespace sentrel::qvalert {

class QVAlertViewPresentationAnimationController
    : public uikit::UIViewControllerAnimatedTransitioning {
 public:
  // Fade and none: 0.3 s and 0 s; the slides 0.6 s (single-precision values).
  static double durationForStyle(QVAlertViewTransitionStyle style);
  // Style 1's tilt.
  static constexpr double kTiltAngle = 1.02101757496598;
  static constexpr double kTiltZPosition = 100;
  static constexpr double kScale = 1.2;

  QVAlertViewTransitionStyle transitionStyle() const { return transitionStyle_; }
  void setTransitionStyle(QVAlertViewTransitionStyle style) { transitionStyle_ = style; }
  // Kept for its own sake; transitionDuration decides the length.
  double duration() const { return duration_; }
  void setDuration(double duration) { duration_ = duration; }

  double transitionDuration(uikit::UIViewControllerContextTransitioning* context) override;
  void animateTransition(uikit::UIViewControllerContextTransitioning& context) override;

 private:
  QVAlertViewTransitionStyle transitionStyle_ = QVAlertViewTransitionStyle::kSlideFromTop;
  double duration_ = 0.7;
};

class QVAlertViewDismissalAnimationController
    : public uikit::UIViewControllerAnimatedTransitioning {
 public:
  // The slides 0.6 s, everything else 0.3 s (single-precision values).
  static double durationForStyle(QVAlertViewTransitionStyle style);
  // The slides leave to 1.2 times the container's height.
  static constexpr double kExitShare = 1.2;

  QVAlertViewTransitionStyle transitionStyle() const { return transitionStyle_; }
  void setTransitionStyle(QVAlertViewTransitionStyle style) { transitionStyle_ = style; }
  double duration() const { return duration_; }
  void setDuration(double duration) { duration_ = duration; }

  double transitionDuration(uikit::UIViewControllerContextTransitioning* context) override;
  void animateTransition(uikit::UIViewControllerContextTransitioning& context) override;

 private:
  QVAlertViewTransitionStyle transitionStyle_ = QVAlertViewTransitionStyle::kSlideFromTop;
  double duration_ = 0.6;
};

}  // namespace sentrel::qvalert
