#include "tweak/UI/QVAlert/QVAlertViewPresentationController.h"

#include "platform/uikit/color.h"
#include "tweak/UI/QVAlert/UIView+Additions.h"

namespace sentrel::qvalert {

using namespace uikit;

QVAlertViewPresentationController::~QVAlertViewPresentationController() {
  removeDimmingView();
}

void QVAlertViewPresentationController::presentationTransitionWillBegin() {
  UIView* container = containerView();
  if (UIView* presented = presentedView()) {
    presented->layer().setCornerRadius(kCornerRadius);
    presented->layer().setMasksToBounds(true);
  }
  if (!container) return;
  removeDimmingView();
  dimmingView_ = std::make_shared<UIView>(container->bounds());
  dimmingView_->setBackgroundColor(UIColor::blackColor());
  dimmingView_->setAlpha(0);
  container->addSubview(dimmingView_);
  qv_pinEdgesToSuperviewEdges(*dimmingView_);
  dimmingView_->addGestureRecognizer(std::make_shared<UITapGestureRecognizer>(
      [this](UIGestureRecognizer& recognizer) { tapGestureRecognized(recognizer); }));

  UIViewController* presented = presentedViewController();
  UIViewControllerTransitionCoordinator* coordinator =
      presented ? presented->transitionCoordinator() : nullptr;
  UIViewRef dimming = dimmingView_;
  if (!coordinator ||
      !coordinator->animateAlongsideTransition(
          [dimming](UIViewControllerContextTransitioning&) { dimming->setAlpha(kDimmedAlpha); }))
    dimmingView_->setAlpha(kDimmedAlpha);
}

void QVAlertViewPresentationController::presentationTransitionDidEnd(bool completed) {
  if (!completed) removeDimmingView();
}

void QVAlertViewPresentationController::dismissalTransitionWillBegin() {
  UIViewController* presented = presentedViewController();
  UIViewController* presenting = presentingViewController();
  UIViewControllerTransitionCoordinator* coordinator =
      presented ? presented->transitionCoordinator() : nullptr;
  UIViewRef dimming = dimmingView_;
  UIViewRef presentingView = presenting ? presenting->viewIfLoaded() : nullptr;
  auto fade = [dimming, presentingView](UIViewControllerContextTransitioning&) {
    if (dimming) dimming->setAlpha(0);
    if (presentingView) presentingView->layer().setTransform(CATransform3DIdentity);
  };
  if (!coordinator || !coordinator->animateAlongsideTransition(fade)) {
    if (dimming) dimming->setAlpha(0);
    if (presentingView) presentingView->layer().setTransform(CATransform3DIdentity);
  }
}

void QVAlertViewPresentationController::dismissalTransitionDidEnd(bool completed) {
  if (completed) removeDimmingView();
}

void QVAlertViewPresentationController::containerViewWillLayoutSubviews() {
  UIView* container = containerView();
  if (!container) return;
  // A leaving alert keeps the frame its dismissal animates.
  UIViewController* vc = presentedViewController();
  UIView* presented = presentedView();
  if (vc && presented && presented->superview() == container && !vc->isBeingDismissed())
    presented->setFrame(frameOfPresentedViewInContainerView());
  if (dimmingView_) dimmingView_->setFrame(container->bounds());
}

void QVAlertViewPresentationController::tapGestureRecognized(UIGestureRecognizer&) {
  if (!backgroundTapDismissal_) return;
  if (UIViewController* presented = presentedViewController())
    presented->dismissViewControllerAnimated(true);
}

void QVAlertViewPresentationController::removeDimmingView() {
  if (!dimmingView_) return;
  // The recogniser's action refers to this controller.
  for (auto recognizers = dimmingView_->gestureRecognizers(); const auto& r : recognizers)
    dimmingView_->removeGestureRecognizer(r.get());
  dimmingView_->removeFromSuperview();
  dimmingView_.reset();
}

}  // namespace sentrel::qvalert
