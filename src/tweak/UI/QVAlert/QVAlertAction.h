// One action of an alert: a title, a style, a handler and, optionally, its
// own look. Main thread only. Create with QVAlertAction::initWithTitle.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "tweak/UI/QVAlert/QVAlertViewButton.h"
#include "tweak/UI/QVAlert/QVAlertViewControllerConfiguration.h"

namespace sentrel::qvalert {

enum class QVAlertActionStyle : std::int64_t { kDefault = 0, kCancel = 1, kDestructive = 2 };

class QVAlertAction {
 public:
  using Handler = std::function<void(QVAlertAction&)>;

  // A null configuration: the alert's configuration for the style applies.
  QVAlertAction(std::string title, QVAlertActionStyle style, Handler handler,
                QVAlertActionConfigurationRef configuration = nullptr);
  static std::shared_ptr<QVAlertAction> initWithTitle(
      std::string title, QVAlertActionStyle style, Handler handler,
      QVAlertActionConfigurationRef configuration = nullptr) {
    return std::make_shared<QVAlertAction>(std::move(title), style, std::move(handler),
                                           std::move(configuration));
  }

  // Both setters update the button when there is one.
  bool enabled() const { return enabled_; }
  void setEnabled(bool enabled);
  const std::string& title() const { return title_; }
  void setTitle(std::string title);
  QVAlertActionStyle style() const { return style_; }
  void setStyle(QVAlertActionStyle style) { style_ = style; }
  const Handler& handler() const { return handler_; }
  void setHandler(Handler handler) { handler_ = std::move(handler); }
  const QVAlertActionConfigurationRef& configuration() const { return configuration_; }
  void setConfiguration(QVAlertActionConfigurationRef c) { configuration_ = std::move(c); }
  // The button the alert made for this action (owned by the alert's view).
  std::shared_ptr<QVAlertViewButton> actionButton() const { return actionButton_.lock(); }
  void setActionButton(const std::shared_ptr<QVAlertViewButton>& button) { actionButton_ = button; }

 private:
  bool enabled_ = true;
  std::string title_;
  QVAlertActionStyle style_;
  Handler handler_;
  QVAlertActionConfigurationRef configuration_;
  std::weak_ptr<QVAlertViewButton> actionButton_;
};
using QVAlertActionRef = std::shared_ptr<QVAlertAction>;

}  // namespace sentrel::qvalert
