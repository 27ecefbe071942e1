// Alerts and action sheets. Presented over the full screen (the presenter
// stays). Tapping an action dismisses the alert and runs the action's
// handler once the dismissal has completed, as on the platform.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/uikit/view_controller.h"

namespace sentrel::uikit {

class UITextField;  // the text field lives with the other controls

enum class UIAlertControllerStyle { kActionSheet = 0, kAlert = 1 };
enum class UIAlertActionStyle { kDefault = 0, kCancel = 1, kDestructive = 2 };

class UIAlertAction {
 public:
  using Handler = std::function<void(UIAlertAction&)>;
  static std::shared_ptr<UIAlertAction> actionWithTitle(std::string title, UIAlertActionStyle style,
                                                        Handler handler = {});
  UIAlertAction(std::string title, UIAlertActionStyle style, Handler handler)
      : title_(std::move(title)), style_(style), handler_(std::move(handler)) {}

  const std::string& title() const { return title_; }
  UIAlertActionStyle style() const { return style_; }
  bool isEnabled() const { return enabled_; }
  void setEnabled(bool enabled) { enabled_ = enabled; }

 private:
  friend class UIAlertController;
  std::string title_;
  UIAlertActionStyle style_;
  Handler handler_;
  bool enabled_ = true;
};

class UIAlertController : public UIViewController {
 public:
  using TextFieldConfiguration = std::function<void(UITextField&)>;
  static std::shared_ptr<UIAlertController> alertControllerWithTitle(std::string title,
                                                                     std::string message,
                                                                     UIAlertControllerStyle style);
  UIAlertController(std::string title, std::string message, UIAlertControllerStyle style);

  const std::string& message() const { return message_; }
  void setMessage(std::string message) { message_ = std::move(message); }
  UIAlertControllerStyle preferredStyle() const { return style_; }

  // Refused (logged): a null action, or a second cancel action.
  void addAction(const std::shared_ptr<UIAlertAction>& action);
  const std::vector<std::shared_ptr<UIAlertAction>>& actions() const { return actions_; }
  UIAlertAction* preferredAction() const { return preferred_.get(); }
  void setPreferredAction(const std::shared_ptr<UIAlertAction>& action);

  // Alerts only (refused and logged on a sheet). The configurations are
  // kept for the text fields the alert's view builds.
  void addTextFieldWithConfigurationHandler(TextFieldConfiguration configuration);
  const std::vector<TextFieldConfiguration>& textFieldConfigurations() const {
    return textFieldConfigurations_;
  }
  // The text fields the alert's view shows, one per configuration, in
  // order; built (and configured) with the view.
  const std::vector<std::shared_ptr<UITextField>>& textFields();

  // A tap on one of this alert's actions: dismisses the alert and runs the
  // handler after the dismissal completes. Only the first tap counts; a tap
  // on a disabled or foreign action, or while the alert is not on screen,
  // is refused (false).
  bool tapAction(const UIAlertAction* action);

  void loadView() override;

 private:
  std::string message_;
  UIAlertControllerStyle style_;
  std::vector<std::shared_ptr<UIAlertAction>> actions_;
  std::shared_ptr<UIAlertAction> preferred_;
  std::vector<TextFieldConfiguration> textFieldConfigurations_;
  std::vector<std::shared_ptr<UITextField>> textFields_;
  bool tapped_ = false;
};

}  // namespace sentrel::uikit
