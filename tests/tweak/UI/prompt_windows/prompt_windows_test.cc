// The prompt's controller handing control back to the queue when its view
// leaves the screen, and the test prompt's window.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>

#include "platform/runloop/run_loop.h"
#include "platform/uikit/alert_controller.h"
#include "platform/uikit/screen.h"
#include "platform/uikit/window.h"
#include "tweak/UI/SNTAlert.h"
#include "tweak/UI/SNTQVAlertViewController.h"
#include "tweak/UI/test_prompt.h"

namespace sentrel {
namespace {

using namespace uikit;
using namespace std::chrono_literals;

class PromptWindows : public ::testing::Test {
 protected:
  void SetUp() override {
    UIScreen::mainScreen().setProfile(DeviceProfile{375, 667, 2});
    home_ = std::make_shared<UIWindow>(CGRectMake(0, 0, 375, 667));
    home_->setRootViewController(std::make_shared<UIViewController>());
    home_->makeKeyAndVisible();
  }
  void TearDown() override {
    for (const auto& w : UIApplication::sharedApplication().windows()) w->setHidden(true);
    UIScreen::mainScreen().setProfile(DeviceProfile{});
  }
  void advance(std::chrono::milliseconds by) {
    clock_.advance(by);
    loop_.runUntilIdle();
  }

  // A prompt for `record` presented in its own window, as the presentation
  // step does it.
  std::shared_ptr<SNTQVAlertViewController> presentPrompt(const std::shared_ptr<SNTAlert>& record,
                                                          bool removeWindow = true) {
    auto window = std::make_shared<SNTWindow>(UIScreen::mainScreen().bounds());
    window->setRootViewController(std::make_shared<UIViewController>());
    window->setWindowLevel(kSNTWindowLevel);
    auto controller =
        SNTQVAlertViewController::initWithOptions(nullptr, "Sentrel", "Allow Notes to access?", {});
    controller->setAlert(record);
    controller->setRemoveWindowOnDismiss(removeWindow);
    controller->setWindow(window);
    window->makeKeyAndVisible();
    window->rootViewController()->presentViewController(controller, true);
    advance(1s);
    record->setState(kSNTAlertStatePresented);
    return controller;
  }
  void dismiss(SNTQVAlertViewController& controller) {
    controller.presentingViewController()->dismissViewControllerAnimated(true);
    advance(1s);
  }

  runloop::FakeClock clock_;
  runloop::RunLoop loop_{clock_};
  runloop::MainQueue::ScopedOverride main_{loop_};
  std::shared_ptr<UIWindow> home_;
};

TEST_F(PromptWindows, APromptLeavingUnansweredGoesBackToTheQueueAndItsWindowIsTornDown) {
  auto record = std::make_shared<SNTAlert>();
  auto controller = presentPrompt(record);
  std::shared_ptr<UIWindow> window = controller->window();
  ASSERT_TRUE(window->isKeyWindow());

  dismiss(*controller);
  EXPECT_TRUE(controller->deactivated());
  EXPECT_EQ(record->state(), kSNTAlertStateQueued);  // asked again later
  EXPECT_TRUE(window->isHidden());
  EXPECT_EQ(window->windowScene(), nullptr);
  EXPECT_EQ(controller->window(), nullptr);
  EXPECT_TRUE(home_->isKeyWindow());
}

TEST_F(PromptWindows, AnAnsweredPromptStaysAnsweredAndDeactivationHappensOnce) {
  auto record = std::make_shared<SNTAlert>();
  auto controller = presentPrompt(record);
  record->setState(kSNTAlertStateHandled);
  dismiss(*controller);
  EXPECT_EQ(record->state(), kSNTAlertStateHandled);

  // A watchdog closing it again, after the record was shown anew elsewhere:
  // nothing happens a second time.
  record->setState(kSNTAlertStatePresenting);
  controller->deactivate();
  EXPECT_EQ(record->state(), kSNTAlertStatePresenting);
}

TEST_F(PromptWindows, WithoutWindowTeardownTheWindowStaysButTheRecordIsStillRequeued) {
  auto record = std::make_shared<SNTAlert>();
  auto controller = presentPrompt(record, /*removeWindow=*/false);
  std::shared_ptr<UIWindow> window = controller->window();
  dismiss(*controller);
  EXPECT_EQ(record->state(), kSNTAlertStateQueued);
  EXPECT_FALSE(window->isHidden());
  EXPECT_EQ(controller->window(), window);

  // No window and no record at all: deactivation is still safe.
  auto bare = SNTQVAlertViewController::initWithOptions(nullptr, "", "", {});
  bare->deactivate();
  EXPECT_TRUE(bare->deactivated());
}

TEST_F(PromptWindows, TheTestPromptOpensAboveTheHomeScreenAndOkHidesIt) {
  std::shared_ptr<UIWindow> window = showTestPrompt();
  advance(1s);
  EXPECT_EQ(window->windowLevel(), 25);
  EXPECT_FALSE(window->isHidden());
  EXPECT_TRUE(window->isKeyWindow());
  EXPECT_EQ(UIApplication::sharedApplication().windows().back(), window);
  EXPECT_NE(window->windowScene(), nullptr);

  auto* alert =
      dynamic_cast<UIAlertController*>(window->rootViewController()->presentedViewController());
  ASSERT_NE(alert, nullptr);
  EXPECT_EQ(alert->title(), "");
  EXPECT_EQ(alert->message(), "");
  ASSERT_EQ(alert->actions().size(), 1u);
  EXPECT_EQ(alert->actions()[0]->title(), "OK");
  EXPECT_EQ(alert->actions()[0]->style(), UIAlertActionStyle::kDefault);

  ASSERT_TRUE(alert->tapAction(alert->actions()[0].get()));
  advance(1s);
  EXPECT_TRUE(window->isHidden());
  EXPECT_EQ(window->windowScene(), nullptr);
  EXPECT_TRUE(home_->isKeyWindow());
}

}  // namespace
}  // namespace sentrel
