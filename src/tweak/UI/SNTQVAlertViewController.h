// The controller of one prompt: one alert of the alert toolkit tied to one
// prompt record and to the window that carries it. When its view leaves the
// screen it hands control back to the prompt queue, once: an unanswered
// record goes back into the queue, the window is torn down when the
// presentation step asked for that, and the next prompt is asked for.
// Main thread only.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "tweak/UI/QVAlert/QVAlertViewController.h"
#include "tweak/UI/SNTWindow.h"

namespace sentrel {

class SNTAlert;

class SNTQVAlertViewController : public qvalert::QVAlertViewController {
 public:
  // As the toolkit's controller; the window stays when it leaves.
  SNTQVAlertViewController(qvalert::QVAlertViewControllerConfigurationRef configuration,
                           std::string title, std::string message,
                           std::vector<qvalert::QVAlertActionRef> actions);
  static std::shared_ptr<SNTQVAlertViewController> initWithOptions(
      qvalert::QVAlertViewControllerConfigurationRef configuration, std::string title,
      std::string message, std::vector<qvalert::QVAlertActionRef> actions) {
    return std::make_shared<SNTQVAlertViewController>(std::move(configuration), std::move(title),
                                                      std::move(message), std::move(actions));
  }

  const std::shared_ptr<SNTAlert>& alert() const { return alert_; }
  void setAlert(std::shared_ptr<SNTAlert> alert) { alert_ = std::move(alert); }
  const std::shared_ptr<uikit::UIWindow>& window() const { return window_; }
  void setWindow(std::shared_ptr<uikit::UIWindow> window) { window_ = std::move(window); }
  bool removeWindowOnDismiss() const { return removeWindowOnDismiss_; }
  void setRemoveWindowOnDismiss(bool remove) { removeWindowOnDismiss_ = remove; }
  bool deactivated() const { return deactivated_; }

  void viewDidDisappear(bool animated) override;

  // Hands control back to the prompt queue; later calls do nothing.
  void deactivate();

 private:
  std::shared_ptr<SNTAlert> alert_;
  std::shared_ptr<uikit::UIWindow> window_;
  bool removeWindowOnDismiss_ = false;
  bool deactivated_ = false;
};

}  // namespace sentrel
