// A window on a fake clock's main run loop with a root controller that
// presents alerts, for the alert toolkit's tests.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "platform/runloop/run_loop.h"
#include "platform/uikit/screen.h"
#include "platform/uikit/window.h"
#include "tweak/UI/QVAlert/QVAlertViewController.h"
#include "tweak/UI/QVAlert/QVAlertViewPresentationController.h"

namespace sentrel::qvalert {

using namespace uikit;
using namespace std::chrono_literals;

class AlertTest : public ::testing::Test {
 protected:
  void SetUp() override { useScreen(375, 667); }
  void TearDown() override {
    for (const auto& w : UIApplication::sharedApplication().windows()) w->setHidden(true);
    UIScreen::mainScreen().setProfile(DeviceProfile{});
  }

  // A key window of this size, with a root controller.
  void useScreen(double width, double height) {
    if (window_) window_->setHidden(true);
    UIScreen::mainScreen().setProfile(DeviceProfile{width, height, 2});
    window_ = std::make_shared<UIWindow>(CGRectMake(0, 0, width, height));
    root_ = std::make_shared<UIViewController>();
    window_->setRootViewController(root_);
    window_->makeKeyAndVisible();
  }

  std::shared_ptr<QVAlertViewController> makeAlert(
      std::vector<QVAlertActionRef> actions,
      QVAlertViewControllerConfigurationRef configuration = nullptr) {
    return QVAlertViewController::initWithOptions(
        std::move(configuration), "Allow?", "An app wants to reach a host.", std::move(actions));
  }
  QVAlertActionRef action(std::string title,
                          QVAlertActionStyle style = QVAlertActionStyle::kDefault) {
    return QVAlertAction::initWithTitle(
        title, style, [this, title](QVAlertAction&) { handled_.push_back(title); });
  }

  // Presents and lets the presentation finish.
  void present(const std::shared_ptr<QVAlertViewController>& alert) {
    root_->presentViewController(alert, true);
    advance(1s);
    ASSERT_TRUE(alert->isAppeared());
  }
  void advance(std::chrono::milliseconds by) {
    clock_.advance(by);
    loop_.runUntilIdle();
  }

  void touch(UITouchPhase phase, CGPoint p, double t, std::uint64_t id = 1) {
    window_->sendTouch(UITouch{id, p, phase, t});
  }
  void tapAt(CGPoint p) {
    touch(UITouchPhase::kBegan, p, now_);
    touch(UITouchPhase::kEnded, p, now_ + 0.05);
    now_ += 1;
  }
  // The centre of `view` in the window.
  static CGPoint centreOf(const UIView& view) {
    const CGRect b = view.bounds();
    return view.convertPoint({CGRectGetMidX(b), CGRectGetMidY(b)}, nullptr);
  }
  // A vertical drag from `from` at `speed` points per second (negative:
  // up), sampled every 10 ms for 100 ms, then lifted.
  void swipe(CGPoint from, double speed) {
    touch(UITouchPhase::kBegan, from, now_);
    CGPoint p = from;
    for (int i = 1; i <= 10; ++i) {
      p = {from.x, from.y + speed * 0.01 * i};
      touch(UITouchPhase::kMoved, p, now_ + 0.01 * i);
    }
    touch(UITouchPhase::kEnded, p, now_ + 0.104);
    now_ += 1;
  }

  // Shared: a test may look at it after the presentation let it go.
  static UIViewRef dimmingViewOf(QVAlertViewController& alert) {
    auto* pc = dynamic_cast<QVAlertViewPresentationController*>(alert.presentationController());
    return pc ? pc->backgroundDimmingView() : nullptr;
  }

  runloop::FakeClock clock_;
  runloop::RunLoop loop_{clock_};
  runloop::MainQueue::ScopedOverride main_{loop_};
  std::shared_ptr<UIWindow> window_;
  std::shared_ptr<UIViewController> root_;
  std::vector<std::string> handled_;
  double now_ = 10;
};

}  // namespace sentrel::qvalert
