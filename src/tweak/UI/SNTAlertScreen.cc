#include "tweak/UI/SNTAlertScreen.h"

#include <chrono>
#include <stdexcept>
#include <utility>
#include <vector>

#include "platform/log/system_log.h"
#include "platform/runloop/run_loop.h"
#include "platform/uikit/screen.h"
#include "platform/uikit/window.h"
#include "tweak/UI/SNTProAlert.h"

namespace sentrel {
namespace {

bool hasScenes() {
  return uikit::UIDevice::currentDevice().isSystemVersionAtLeast(13);
}

std::shared_ptr<SNTQVAlertViewController> presentedPrompt() {
  std::shared_ptr<SNTWindow> window = SNTAlertScreen::activeSNTWindow();
  if (window == nullptr || window->rootViewController() == nullptr) return nullptr;
  uikit::UIViewController* presented = window->rootViewController()->presentedViewController();
  auto* prompt = dynamic_cast<SNTQVAlertViewController*>(presented);
  if (prompt == nullptr) return nullptr;
  return std::static_pointer_cast<SNTQVAlertViewController>(prompt->shared_from_this());
}

}  // namespace

std::shared_ptr<SNTWindow> SNTAlertScreen::activeSNTWindow() {
  for (const std::shared_ptr<uikit::UIWindow>& window :
       uikit::UIApplication::sharedApplication().windows()) {
    if (window->windowLevel() != kSNTWindowLevel) continue;
    if (auto prompt = std::dynamic_pointer_cast<SNTWindow>(window)) return prompt;
  }
  return nullptr;
}

std::shared_ptr<SNTAlert> SNTAlertScreen::presentedAlert() {
  // Any prompt controller counts, the prompt records' own subclass included.
  std::shared_ptr<SNTQVAlertViewController> prompt = presentedPrompt();
  return prompt ? prompt->alert() : nullptr;
}

bool SNTAlertScreen::isOnScreen(const SNTAlert& alert) {
  std::shared_ptr<SNTQVAlertViewController> controller = alert.alertViewController();
  if (controller == nullptr || !controller->isViewLoaded()) return false;
  uikit::UIViewRef view = controller->viewIfLoaded();
  return view->window() != nullptr && view->superview() != nullptr &&
         view->superview()->window() != nullptr;
}

void SNTAlertScreen::removeAllSNTWindows() {
  for (const std::shared_ptr<uikit::UIWindow>& window :
       uikit::UIApplication::sharedApplication().windows()) {
    if (window->windowLevel() != kSNTWindowLevel) continue;
    window->setHidden(true);
    if (hasScenes()) window->setWindowScene(nullptr);
  }
}

void SNTAlertScreen::present(const std::shared_ptr<SNTAlert>& alert, const std::string& message,
                             bool animated) {
  auto pro = std::dynamic_pointer_cast<SNTProAlert>(alert);
  if (pro == nullptr) throw std::runtime_error("the record cannot build a prompt");
  std::shared_ptr<SNTQVAlertViewController> controller =
      pro->buildViewController(message, animated);
  if (controller == nullptr) throw std::runtime_error("no prompt was built");
  log::line("got alertViewController: " + alert->description());
  alert->setAlertViewController(controller);
  presentAlertInSpringBoard(alert, controller, animated);
}

void SNTAlertScreen::presentAlertInSpringBoard(
    const std::shared_ptr<SNTAlert>& alert,
    const std::shared_ptr<SNTQVAlertViewController>& controller, bool animated) {
  using namespace uikit;
  if (alert->cancelled()) {
    log::line("This is cancelled!");
    {
      MutexLock lock(SNTAlert::queueLock());
      std::erase(SNTAlert::alerts(), alert);
    }
    SNTAlert::showNextAlert();
    return;
  }
  if (alert->handleIfDefined()) {
    // A rule appeared since the record was queued and has answered it; a
    // prompt now would ask a question nobody waits for.
    alert->handleWithCallback(nullptr, true);
    return;
  }
  const CGRect bounds = UIScreen::mainScreen().bounds();
  if (bounds.size.width < kSNTMinimumScreenWidth) {
    log::line("The screen is too narrow for a prompt; asking again in a second");
    alert->reQueueIfNotHandled();
    runloop::afterMain(std::chrono::seconds(1), [] { SNTAlert::showNextAlert(); });
    return;
  }

  auto window = std::make_shared<SNTWindow>(bounds);
  window->setRootViewController(std::make_shared<UIViewController>());
  window->setWindowLevel(kSNTWindowLevel);
  if (hasScenes()) {
    std::vector<std::shared_ptr<UIWindowScene>> scenes =
        UIApplication::sharedApplication().connectedScenes();
    if (!scenes.empty()) window->setWindowScene(scenes.front());
  }
  controller->setRemoveWindowOnDismiss(true);
  controller->setWindow(window);
  window->makeKeyAndVisible();
  alert->setState(kSNTAlertStatePresented);
  std::weak_ptr<SNTAlert> weak = alert;
  window->rootViewController()->presentViewController(controller, animated, [weak] {
    if (std::shared_ptr<SNTAlert> record = weak.lock()) record->setPresentedTime(SNTAlert::now());
  });
}

void SNTAlertScreen::dismissPrompt(const SNTAlert& alert, bool deactivate) {
  std::shared_ptr<SNTQVAlertViewController> controller = alert.alertViewController();
  if (controller == nullptr) return;
  uikit::UIViewController* presenting = controller->presentingViewController();
  if (presenting == nullptr) {
    if (deactivate) controller->deactivate();
    return;
  }
  std::function<void()> completion;
  if (deactivate) completion = [controller] { controller->deactivate(); };
  presenting->dismissViewControllerAnimated(false, std::move(completion));
}

void installSNTAlertScreen() {
  setSNTPromptScreen(std::make_shared<SNTAlertScreen>());
}

}  // namespace sentrel
