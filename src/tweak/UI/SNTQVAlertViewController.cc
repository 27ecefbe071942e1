#include "tweak/UI/SNTQVAlertViewController.h"

#include <execinfo.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/log/system_log.h"
#include "platform/uikit/screen.h"
#include "tweak/UI/SNTAlert.h"

namespace sentrel {
namespace {

std::string describeWindow(const uikit::UIWindow* window) {
  if (window == nullptr) return "(null)";
  char text[96];
  std::snprintf(text, sizeof text, "<%s: %p; level = %g; hidden = %s>",
                dynamic_cast<const SNTWindow*>(window) ? "SNTWindow" : "UIWindow",
                static_cast<const void*>(window), window->windowLevel(),
                window->isHidden() ? "YES" : "NO");
  return text;
}

// The current call stack as text, one frame per line.
std::string callStackText() {
  void* frames[32];
  const int count = backtrace(frames, 32);
  char** names = backtrace_symbols(frames, count);
  if (names == nullptr) return "(no call stack)";
  std::string text = "(";
  for (int i = 0; i < count; ++i) text += std::string(i ? ",\n " : "") + names[i];
  std::free(names);
  return text + ")";
}

}  // namespace

SNTQVAlertViewController::SNTQVAlertViewController(
    qvalert::QVAlertViewControllerConfigurationRef configuration, std::string title,
    std::string message, std::vector<qvalert::QVAlertActionRef> actions)
    : QVAlertViewController(std::move(configuration), std::move(title), std::move(message),
                            std::move(actions)) {}

void SNTQVAlertViewController::viewDidDisappear(bool animated) {
  log::line("SNTQVAlertViewController dismissed from window: " + describeWindow(window_.get()) +
            "! Should unqueue self?...");
  log::line("SNTQVAlertViewController::dismiss: " + callStackText());
  QVAlertViewController::viewDidDisappear(animated);
  deactivate();
}

void SNTQVAlertViewController::deactivate() {
  if (deactivated_) return;
  if (alert_) alert_->reQueueIfNotHandled();
  if (window_ && removeWindowOnDismiss_) {
    window_->setHidden(true);
    if (uikit::UIDevice::currentDevice().isSystemVersionAtLeast(13))
      window_->setWindowScene(nullptr);
    if (uikit::UIWindow* key = uikit::UIApplication::sharedApplication().keyWindow())
      key->makeKeyAndVisible();
    window_.reset();
  }
  SNTAlert::showNextAlert();
  deactivated_ = true;
}

}  // namespace sentrel
