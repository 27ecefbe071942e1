// The alert: a custom-presented controller showing a card with an optional
// content view, a title, a message, optional text fields and action
// buttons over a dimmed background, with its own transitions and optional
// tap-outside and swipe-away dismissal. It is its own transitioning
// delegate. Main thread only; create with initWithOptions (or
// std::make_shared, for a subclass).
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/uikit/gesture_recognizer.h"
#include "platform/uikit/text_field.h"
#include "platform/uikit/view_controller.h"
#include "tweak/UI/QVAlert/QVAlertAction.h"
#include "tweak/UI/QVAlert/QVAlertView.h"
#include "tweak/UI/QVAlert/QVAlertViewControllerConfiguration.h"

namespace sentrel::qvalert {

class QVAlertViewController : public uikit::UIViewController,
                              public uikit::UIViewControllerTransitioningDelegate,
                              public uikit::UIGestureRecognizerDelegate {
 public:
  // A swipe released faster than this (points per second) dismisses.
  static constexpr double kSwipeDismissalVelocity = 500;
  static constexpr double kSnapBackDuration = 0.5;

  // A null configuration: a new default one.
  QVAlertViewController(QVAlertViewControllerConfigurationRef configuration, std::string title,
                        std::string message, std::vector<QVAlertActionRef> actions);
  ~QVAlertViewController() override;
  static std::shared_ptr<QVAlertViewController> initWithOptions(
      QVAlertViewControllerConfigurationRef configuration, std::string title, std::string message,
      std::vector<QVAlertActionRef> actions) {
    return std::make_shared<QVAlertViewController>(std::move(configuration), std::move(title),
                                                   std::move(message), std::move(actions));
  }

  const QVAlertViewControllerConfigurationRef& configuration() const { return configuration_; }
  const std::vector<QVAlertActionRef>& actions() const { return actions_; }
  const std::vector<std::shared_ptr<uikit::UITextField>>& textFields() const { return textFields_; }
  const std::shared_ptr<uikit::UIPanGestureRecognizer>& panGestureRecognizer() const {
    return pan_;
  }

  // Both also go into the view's title label and message text view.
  void setTitle(std::string title);
  const std::string& message() const { return message_; }
  void setMessage(std::string message);

  // A rounded-rectangle text field, handed to `handler` (when given) and
  // appended to textFields. Fields added after the view appeared show at
  // its next appearance.
  void addTextFieldWithConfigurationHandler(
      const std::function<void(uikit::UITextField&)>& handler = {});

  bool prefersStatusBarHidden() const { return !configuration_->showsStatusBar(); }

  // Forwarded to the view.
  double maximumWidth();
  void setMaximumWidth(double width);
  uikit::UIViewRef alertViewContentView();
  void setAlertViewContentView(uikit::UIViewRef contentView);

  // The view as what it is.
  QVAlertView& alertView();

  void loadView() override;
  void viewWillAppear(bool animated) override;

  // Builds one button per action and hands them to the view.
  void createActionButtons();
  void actionButtonPressed(uikit::UIControl& sender);
  void panGestureRecognized(uikit::UIGestureRecognizer& recognizer);

  // The transitioning delegate.
  std::shared_ptr<uikit::UIPresentationController> presentationControllerForPresentedViewController(
      const uikit::UIViewControllerRef& presented, const uikit::UIViewControllerRef& presenting,
      uikit::UIViewController* source) override;
  std::shared_ptr<uikit::UIViewControllerAnimatedTransitioning>
  animationControllerForPresentedController(uikit::UIViewController* presented,
                                            uikit::UIViewController* presenting,
                                            uikit::UIViewController* source) override;
  std::shared_ptr<uikit::UIViewControllerAnimatedTransitioning>
  animationControllerForDismissedController(uikit::UIViewController* dismissed) override;

  // The pan recogniser's delegate: touches on a button are not for it.
  bool gestureRecognizerShouldReceiveTouch(uikit::UIGestureRecognizer& recognizer,
                                           const uikit::UITouch& touch) override;

 private:
  uikit::UIView* dimmingView() const;
  void snapBack();

  QVAlertViewControllerConfigurationRef configuration_;
  std::string message_;
  std::vector<QVAlertActionRef> actions_;
  std::vector<std::shared_ptr<uikit::UITextField>> textFields_;
  std::shared_ptr<uikit::UIPanGestureRecognizer> pan_;
  // The weak transitioning-delegate reference hangs off this: it expires
  // with the controller.
  std::shared_ptr<char> delegateLifetime_ = std::make_shared<char>();
  bool swipeDismissing_ = false;
};

}  // namespace sentrel::qvalert
