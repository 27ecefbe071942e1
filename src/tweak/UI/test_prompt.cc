// The test prompt: a plain window at level 25 above the home screen, with an
// alert that has one "OK" action, which hides the window again. Part of
// libSentrelUI.so (see ui_library.h).
#include <memory>
#include <vector>

#include "platform/runloop/run_loop.h"
#include "platform/uikit/alert_controller.h"
#include "platform/uikit/screen.h"
#include "platform/uikit/window.h"
#include "tweak/UI/test_prompt.h"

namespace sentrel {

std::shared_ptr<uikit::UIWindow> showTestPrompt() {
  using namespace uikit;
  SENTREL_ASSERT_ON_MAIN_QUEUE();
  const bool hasScenes = UIDevice::currentDevice().isSystemVersionAtLeast(13);
  auto window = std::make_shared<UIWindow>(UIScreen::mainScreen().bounds());
  window->setRootViewController(std::make_shared<UIViewController>());
  window->setWindowLevel(25);
  if (hasScenes) {
    std::vector<std::shared_ptr<UIWindowScene>> scenes =
        UIApplication::sharedApplication().connectedScenes();
    if (!scenes.empty()) window->setWindowScene(scenes.front());
  }
  auto alert = UIAlertController::alertControllerWithTitle("", "", UIAlertControllerStyle::kAlert);
  alert->addAction(UIAlertAction::actionWithTitle("OK", UIAlertActionStyle::kDefault,
                                                  [window, hasScenes](UIAlertAction&) {
                                                    window->setHidden(true);
                                                    if (hasScenes) window->setWindowScene(nullptr);
                                                  }));
  window->makeKeyAndVisible();
  window->rootViewController()->presentViewController(alert, true, nullptr);
  return window;
}

}  // namespace sentrel
