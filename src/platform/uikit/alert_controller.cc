#include "platform/uikit/alert_controller.h"

#include <algorithm>

#include "platform/log/system_log.h"
#include "platform/uikit/main_thread.h"
#include "platform/uikit/screen.h"

namespace sentrel::uikit {

std::shared_ptr<UIAlertAction> UIAlertAction::actionWithTitle(std::string title,
                                                              UIAlertActionStyle style,
                                                              Handler handler) {
  return std::make_shared<UIAlertAction>(std::move(title), style, std::move(handler));
}

std::shared_ptr<UIAlertController> UIAlertController::alertControllerWithTitle(
    std::string title, std::string message, UIAlertControllerStyle style) {
  return std::make_shared<UIAlertController>(std::move(title), std::move(message), style);
}

UIAlertController::UIAlertController(std::string title, std::string message,
                                     UIAlertControllerStyle style)
    : message_(std::move(message)), style_(style) {
  setTitle(std::move(title));
  setModalPresentationStyle(UIModalPresentationStyle::kOverFullScreen);
}

void UIAlertController::addAction(const std::shared_ptr<UIAlertAction>& action) {
  SENTREL_UIKIT_ASSERT_MAIN_THREAD();
  if (!action) {
    log::line("alert: a null action was not added", log::Level::kError);
    return;
  }
  if (action->style() == UIAlertActionStyle::kCancel &&
      std::any_of(actions_.begin(), actions_.end(),
                  [](const auto& a) { return a->style() == UIAlertActionStyle::kCancel; })) {
    log::line("alert: only one cancel action is allowed; \"" + action->title() + "\" not added",
              log::Level::kError);
    return;
  }
  actions_.push_back(action);
}

void UIAlertController::setPreferredAction(const std::shared_ptr<UIAlertAction>& action) {
  if (action && std::find(actions_.begin(), actions_.end(), action) == actions_.end()) {
    log::line("alert: the preferred action must be one of its actions", log::Level::kError);
    return;
  }
  preferred_ = action;
}

void UIAlertController::addTextFieldWithConfigurationHandler(TextFieldConfiguration configuration) {
  if (style_ != UIAlertControllerStyle::kAlert) {
    log::line("alert: text fields can only be added to alerts, not action sheets",
              log::Level::kError);
    return;
  }
  textFieldConfigurations_.push_back(std::move(configuration));
}

bool UIAlertController::tapAction(const UIAlertAction* action) {
  SENTREL_UIKIT_ASSERT_MAIN_THREAD();
  auto it = std::find_if(actions_.begin(), actions_.end(),
                         [action](const auto& a) { return a.get() == action; });
  if (it == actions_.end() || !(*it)->isEnabled()) {
    log::line("alert: tap on an action that is not one of its enabled actions", log::Level::kError);
    return false;
  }
  if (tapped_ || !presentingViewController() || isBeingPresented() || isBeingDismissed()) {
    log::line("alert: tap refused, the alert is not on screen", log::Level::kError);
    return false;
  }
  tapped_ = true;
  std::shared_ptr<UIAlertAction> tapped = *it;
  dismissViewControllerAnimated(true, [tapped] {
    if (tapped->handler_) tapped->handler_(*tapped);
  });
  return true;
}

void UIAlertController::loadView() {
  setView(std::make_shared<UIView>(UIScreen::mainScreen().bounds()));
}

}  // namespace sentrel::uikit
