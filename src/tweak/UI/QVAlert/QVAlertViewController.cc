#include "tweak/UI/QVAlert/QVAlertViewController.h"

#include <cmath>

#include "platform/log/system_log.h"
#include "platform/uikit/button.h"
#include "platform/uikit/screen.h"
#include "platform/uikit/window.h"
#include "tweak/UI/QVAlert/QVAlertViewAnimationControllers.h"
#include "tweak/UI/QVAlert/QVAlertViewPresentationController.h"

namespace sentrel::qvalert {

using namespace uikit;

QVAlertViewController::QVAlertViewController(QVAlertViewControllerConfigurationRef configuration,
                                             std::string title, std::string message,
                                             std::vector<QVAlertActionRef> actions)
    : configuration_(configuration ? QVAlertViewControllerConfiguration::copy(configuration)
                                   : QVAlertViewControllerConfiguration::create()),
      actions_(std::move(actions)) {
  std::erase(actions_, nullptr);
  setModalPresentationStyle(UIModalPresentationStyle::kCustom);
  setTransitioningDelegate(std::shared_ptr<UIViewControllerTransitioningDelegate>(
      delegateLifetime_, static_cast<UIViewControllerTransitioningDelegate*>(this)));
  pan_ = std::make_shared<UIPanGestureRecognizer>(
      [this](UIGestureRecognizer& recognizer) { panGestureRecognized(recognizer); });
  pan_->setDelegate(this);
  pan_->setEnabled(configuration_->swipeDismissalGestureEnabled());
  setTitle(std::move(title));
  setMessage(std::move(message));
}

QVAlertViewController::~QVAlertViewController() {
  pan_->setDelegate(nullptr);
  if (UIView* view = pan_->view()) view->removeGestureRecognizer(pan_.get());
}

QVAlertView& QVAlertViewController::alertView() {
  return static_cast<QVAlertView&>(*view());
}

void QVAlertViewController::loadView() {
  auto alert = QVAlertView::create(configuration_);
  setView(alert);
  alert->titleLabel().setText(title());
  alert->messageTextView().setText(message_);
  alert->addGestureRecognizer(pan_);
}

void QVAlertViewController::setTitle(std::string title) {
  UIViewController::setTitle(std::move(title));
  if (isViewLoaded()) alertView().titleLabel().setText(this->title());
}

void QVAlertViewController::setMessage(std::string message) {
  message_ = std::move(message);
  if (isViewLoaded()) alertView().messageTextView().setText(message_);
}

void QVAlertViewController::addTextFieldWithConfigurationHandler(
    const std::function<void(UITextField&)>& handler) {
  auto field = std::make_shared<UITextField>();
  field->setBorderStyle(UITextBorderStyle::kRoundedRect);
  if (handler) handler(*field);
  textFields_.push_back(std::move(field));
}

double QVAlertViewController::maximumWidth() {
  return alertView().maximumWidth();
}
void QVAlertViewController::setMaximumWidth(double width) {
  alertView().setMaximumWidth(width);
}
UIViewRef QVAlertViewController::alertViewContentView() {
  return alertView().contentView();
}
void QVAlertViewController::setAlertViewContentView(UIViewRef contentView) {
  alertView().setContentView(std::move(contentView));
}

void QVAlertViewController::viewWillAppear(bool animated) {
  UIViewController::viewWillAppear(animated);
  createActionButtons();
  alertView().setTextFields(textFields_);
}

void QVAlertViewController::createActionButtons() {
  const QVAlertViewControllerConfiguration& c = *configuration_;
  std::weak_ptr<UIViewController> weak = weak_from_this();
  std::vector<std::shared_ptr<QVAlertViewButton>> buttons;
  for (std::size_t i = 0; i < actions_.size(); ++i) {
    QVAlertAction& action = *actions_[i];
    auto button = std::make_shared<QVAlertViewButton>();
    button->setTag(static_cast<long>(i));
    button->addTarget(
        this,
        [weak](UIControl& sender, UIControlEvents) {
          if (auto self = weak.lock())
            static_cast<QVAlertViewController&>(*self).actionButtonPressed(sender);
        },
        UIControlEventTouchUpInside);
    button->setEnabled(action.enabled());
    button->setTitle(action.title(), UIControlStateNormal);

    QVAlertActionConfigurationRef look = action.configuration();
    if (!look) {
      switch (action.style()) {
        case QVAlertActionStyle::kCancel:
          look = c.cancelButtonConfiguration();
          break;
        case QVAlertActionStyle::kDestructive:
          look = c.destructiveButtonConfiguration();
          break;
        default:
          look = c.buttonConfiguration();
          break;
      }
    }
    if (look->invert()) {
      button->setTitleColor(UIColor::whiteColor(), UIControlStateNormal);
      button->setTitleColor(UIColor::whiteColor(), UIControlStateHighlighted);
      button->setBackgroundColor(look->titleColor());
    } else {
      button->setTitleColor(look->titleColor(), UIControlStateNormal);
      button->setTitleColor(look->titleColor(), UIControlStateHighlighted);
    }
    button->setTitleColor(look->disabledTitleColor(), UIControlStateDisabled);
    button->setTitleFont(look->titleFont());
    action.setActionButton(button);
    buttons.push_back(std::move(button));
  }
  alertView().setActionButtons(std::move(buttons));
}

void QVAlertViewController::actionButtonPressed(UIControl& sender) {
  // A second press while the alert leaves would answer twice.
  if (isBeingDismissed()) return;
  const long index = sender.tag();
  if (index < 0 || static_cast<std::size_t>(index) >= actions_.size()) return;
  // The handler may drop the last outside reference to this controller or
  // change the list of actions.
  auto self = weak_from_this().lock();
  QVAlertActionRef action = actions_[static_cast<std::size_t>(index)];
  if (!action->enabled()) return;
  if (action->handler()) action->handler()(*action);
  dismissViewControllerAnimated(configuration_->transitionStyle() !=
                                QVAlertViewTransitionStyle::kNone);
}

std::shared_ptr<UIPresentationController>
QVAlertViewController::presentationControllerForPresentedViewController(
    const UIViewControllerRef& presented, const UIViewControllerRef& presenting,
    UIViewController*) {
  auto pc = std::make_shared<QVAlertViewPresentationController>(presented, presenting);
  pc->setBackgroundTapDismissalGestureEnabled(
      configuration_->backgroundTapDismissalGestureEnabled());
  return pc;
}

std::shared_ptr<UIViewControllerAnimatedTransitioning>
QVAlertViewController::animationControllerForPresentedController(UIViewController*,
                                                                 UIViewController*,
                                                                 UIViewController*) {
  auto animator = std::make_shared<QVAlertViewPresentationAnimationController>();
  animator->setTransitionStyle(configuration_->transitionStyle());
  return animator;
}

std::shared_ptr<UIViewControllerAnimatedTransitioning>
QVAlertViewController::animationControllerForDismissedController(UIViewController*) {
  auto animator = std::make_shared<QVAlertViewDismissalAnimationController>();
  animator->setTransitionStyle(configuration_->transitionStyle());
  return animator;
}

bool QVAlertViewController::gestureRecognizerShouldReceiveTouch(UIGestureRecognizer&,
                                                                const UITouch& touch) {
  UIWindow* window = isViewLoaded() ? view()->window() : nullptr;
  if (!window) return true;
  // A touch on a button's label is a touch on the button.
  for (UIView* v = window->hitTest(touch.locationInWindow); v; v = v->superview()) {
    if (dynamic_cast<UIButton*>(v)) return false;
    if (v == view().get()) break;
  }
  return true;
}

UIView* QVAlertViewController::dimmingView() const {
  auto* pc = dynamic_cast<QVAlertViewPresentationController*>(presentationController());
  return pc ? pc->backgroundDimmingView().get() : nullptr;
}

void QVAlertViewController::panGestureRecognized(UIGestureRecognizer& recognizer) {
  auto* pan = dynamic_cast<UIPanGestureRecognizer*>(&recognizer);
  if (!pan || !isViewLoaded() || swipeDismissing_) return;
  QVAlertView& alert = alertView();
  NSLayoutConstraint centering = alert.backgroundViewVerticalCenteringConstraint();
  if (!centering) return;
  switch (pan->state()) {
    case UIGestureRecognizerState::kBegan:
    case UIGestureRecognizerState::kChanged: {
      const double ty = pan->translationInView(&alert).y;
      (void)centering.setConstant(ty);
      UIWindow* key = UIApplication::sharedApplication().keyWindow();
      double height = key ? key->bounds().size.height : UIScreen::mainScreen().bounds().size.height;
      if (!(height > 0)) height = 1;
      if (UIView* dimming = dimmingView())
        dimming->setAlpha(QVAlertViewPresentationController::kDimmedAlpha - std::fabs(ty) / height);
      break;
    }
    case UIGestureRecognizerState::kEnded: {
      const double v = pan->velocityInView(&alert).y;
      if (std::fabs(v) <= kSwipeDismissalVelocity) {
        snapBack();
        break;
      }
      swipeDismissing_ = true;
      const double height = alert.bounds().size.height;
      (void)centering.setConstant(v > 0 ? height : -height);
      std::weak_ptr<UIViewController> weak = weak_from_this();
      UIView* dimming = dimmingView();
      UIViewRef keepDimming = dimming ? dimming->shared_from_this() : nullptr;
      UIView::animateWithDurationUsingSpring(
          kSwipeDismissalVelocity / std::fabs(v), 0, 0.8, 0.2, 0,
          [&] {
            alert.layoutIfNeeded();
            if (keepDimming) keepDimming->setAlpha(0);
          },
          [weak](bool) {
            auto self = weak.lock();
            if (!self) return;
            self->dismissViewControllerAnimated(true, [weak] {
              auto me = std::static_pointer_cast<QVAlertViewController>(weak.lock());
              if (!me) return;
              me->swipeDismissing_ = false;
              if (auto c = me->alertView().backgroundViewVerticalCenteringConstraint())
                (void)c.setConstant(0);
            });
          });
      break;
    }
    case UIGestureRecognizerState::kCancelled:
      // A gesture taken away mid-swipe leaves the card where it belongs.
      snapBack();
      break;
    default:
      break;
  }
}

void QVAlertViewController::snapBack() {
  QVAlertView& alert = alertView();
  NSLayoutConstraint centering = alert.backgroundViewVerticalCenteringConstraint();
  UIView* dimming = dimmingView();
  UIView::animateWithDurationUsingSpring(kSnapBackDuration, 0, 0.8, 0.4, 0, [&] {
    (void)centering.setConstant(0);
    alert.layoutIfNeeded();
    if (dimming) dimming->setAlpha(QVAlertViewPresentationController::kDimmedAlpha);
  });
}

}  // namespace sentrel::qvalert
