// Puts the alert over a black dimming view that fades in to 0.7 with the
// presentation and out with the dismissal. A tap on the dimming view
// dismisses the alert when enabled.
#pragma once

#include <memory>

#include "platform/uikit/gesture_recognizer.h"
#include "platform/uikit/view_controller.h"

namespace sentrel::qvalert {

class QVAlertViewPresentationController : public uikit::UIPresentationController {
 public:
  static constexpr double kDimmedAlpha = 0.7;
  static constexpr double kCornerRadius = 6;

  using uikit::UIPresentationController::UIPresentationController;
  ~QVAlertViewPresentationController() override;

  bool backgroundTapDismissalGestureEnabled() const { return backgroundTapDismissal_; }
  void setBackgroundTapDismissalGestureEnabled(bool enabled) { backgroundTapDismissal_ = enabled; }
  // Null until the presentation begins and after the dismissal ends.
  const uikit::UIViewRef& backgroundDimmingView() const { return dimmingView_; }

  void presentationTransitionWillBegin() override;
  void presentationTransitionDidEnd(bool completed) override;
  void dismissalTransitionWillBegin() override;
  void dismissalTransitionDidEnd(bool completed) override;
  void containerViewWillLayoutSubviews() override;

  void tapGestureRecognized(uikit::UIGestureRecognizer& recognizer);

 private:
  void removeDimmingView();

  bool backgroundTapDismissal_ = false;
  uikit::UIViewRef dimmingView_;
};

}  // namespace sentrel::qvalert
