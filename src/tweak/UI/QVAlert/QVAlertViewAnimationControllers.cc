#include "tweak/UI/QVAlert/QVAlertViewAnimationControllers.h"

namespace sentrel::qvalert {

using namespace uikit;
using Key = UIViewControllerContextTransitioning::Key;
using Style = QVAlertViewTransitionStyle;

namespace {

constexpr double kShort = static_cast<double>(0.3f);
constexpr double kLong = static_cast<double>(0.6f);

bool slides(Style style) {
  return style == Style::kSlideFromTop || style == Style::kSlideFromBottom;
}

// The duration a transition actually takes.
double lengthOf(UIViewControllerAnimatedTransitioning& animator,
                UIViewControllerContextTransitioning& context) {
  return context.isAnimated() ? animator.transitionDuration(&context) : 0;
}

}  // namespace

double QVAlertViewPresentationAnimationController::durationForStyle(Style style) {
  if (style == Style::kFadeInShrink) return kShort;
  if (slides(style)) return kLong;
  return 0;
}

double QVAlertViewPresentationAnimationController::transitionDuration(
    UIViewControllerContextTransitioning* context) {
  if (context && !context->isAnimated()) return 0;
  return durationForStyle(transitionStyle_);
}

void QVAlertViewPresentationAnimationController::animateTransition(
    UIViewControllerContextTransitioning& context) {
  UIViewControllerContextTransitioning* ctx = &context;
  UIView* container = context.containerView();
  UIViewRef view = context.viewForKey(Key::kTo);
  if (!container || !view) {
    context.completeTransition(!context.transitionWasCancelled());
    return;
  }
  const CGRect final = context.finalFrameForViewController(context.viewControllerForKey(Key::kTo));
  const double duration = lengthOf(*this, context);
  auto complete = [ctx](bool) { ctx->completeTransition(!ctx->transitionWasCancelled()); };

  if (slides(transitionStyle_)) {
    CGRect start = final;
    const double height = final.size.height;
    start.origin.y = transitionStyle_ == Style::kSlideFromTop ? -(height + final.origin.y)
                                                              : height + final.origin.y;
    view->setFrame(start);
    container->addSubview(view);
    if (transitionStyle_ == Style::kSlideFromTop) {
      CATransform3D tilt = CATransform3DIdentity;
      tilt.m34 = static_cast<double>(-1.0f / 600.0f);
      view->layer().setTransform(CATransform3DRotate(tilt, kTiltAngle, 1, 0, 0));
      view->layer().setZPosition(kTiltZPosition);
    }
    UIView::animateWithDurationUsingSpring(
        duration, 0, 0.76, 0.2, 0,
        [&] {
          view->layer().setTransform(CATransform3DIdentity);
          view->layer().setOpacity(1);
          view->setFrame(final);
        },
        complete);
    return;
  }
  view->setFrame(final);
  container->addSubview(view);
  view->layer().setTransform(CATransform3DMakeScale(kScale, kScale, kScale));
  view->layer().setOpacity(0);
  UIView::animateWithDuration(
      duration,
      [&] {
        view->layer().setTransform(CATransform3DIdentity);
        view->layer().setOpacity(1);
      },
      complete);
}

double QVAlertViewDismissalAnimationController::durationForStyle(Style style) {
  return slides(style) ? kLong : kShort;
}

double QVAlertViewDismissalAnimationController::transitionDuration(
    UIViewControllerContextTransitioning* context) {
  if (context && !context->isAnimated()) return 0;
  return durationForStyle(transitionStyle_);
}

void QVAlertViewDismissalAnimationController::animateTransition(
    UIViewControllerContextTransitioning& context) {
  UIViewControllerContextTransitioning* ctx = &context;
  UIView* container = context.containerView();
  UIViewRef view = context.viewForKey(Key::kFrom);
  const double duration = lengthOf(*this, context);
  auto complete = [ctx](bool) { ctx->completeTransition(!ctx->transitionWasCancelled()); };
  if (!container || !view) {
    context.completeTransition(!context.transitionWasCancelled());
    return;
  }
  if (slides(transitionStyle_)) {
    const double exitY = kExitShare * container->bounds().size.height;
    UIView::animateWithDurationUsingSpring(
        duration, 0, 0.8, 0.1, 0,
        [&] {
          CGRect frame = view->frame();
          frame.origin.y = exitY;
          view->setFrame(frame);
        },
        complete);
    return;
  }
  UIView::animateWithDuration(
      duration, [&] { view->layer().setOpacity(0); }, complete);
}

}  // namespace sentrel::qvalert
