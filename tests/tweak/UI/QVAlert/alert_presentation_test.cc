// Presenting and dismissing the alert: its transitions, its buttons and its
// dismissal gestures, on the fake clock.
#include <gtest/gtest.h>

#include <cmath>
#include <variant>

#include "tweak/UI/QVAlert/alert_fixture.h"

namespace sentrel::qvalert {
namespace {

using Style = QVAlertViewTransitionStyle;

std::shared_ptr<QVAlertViewControllerConfiguration> configWithStyle(Style style) {
  auto c = QVAlertViewControllerConfiguration::create();
  c->setTransitionStyle(style);
  return c;
}

TEST_F(AlertTest, SlideFromTopTiltsInOverADimmedBackgroundAndAnActionDismisses) {
  auto alert = makeAlert({action("Allow"), action("Deny")});
  root_->presentViewController(alert, true);
  UIView* view = alert->view().get();
  UIViewRef dimming = dimmingViewOf(*alert);
  ASSERT_NE(dimming, nullptr);
  EXPECT_EQ(dimming->superview(), view->superview());  // both in the container
  EXPECT_DOUBLE_EQ(view->layer().cornerRadius(), 6);
  EXPECT_TRUE(view->layer().masksToBounds());
  // The model is final at once; the slide, the tilt and the fade are recorded.
  EXPECT_EQ(view->frame(), CGRectMake(0, 0, 375, 667));
  EXPECT_DOUBLE_EQ(view->layer().zPosition(), 100);
  bool sawFrame = false, sawTilt = false;
  for (const auto& record : view->pendingAnimations()) {
    EXPECT_TRUE(record.timing.spring);
    EXPECT_DOUBLE_EQ(record.timing.duration, static_cast<double>(0.6f));
    EXPECT_DOUBLE_EQ(record.timing.dampingRatio, 0.76);
    if (record.property == UIViewAnimatedProperty::kFrame) {
      sawFrame = true;
      EXPECT_EQ(std::get<CGRect>(record.from), CGRectMake(0, -667, 375, 667));
    }
    if (record.property == UIViewAnimatedProperty::kTransform) {
      sawTilt = true;
      const auto& from = std::get<CATransform3D>(record.from);
      EXPECT_FALSE(CATransform3DIsIdentity(from));
      EXPECT_TRUE(CATransform3DIsIdentity(std::get<CATransform3D>(record.to)));
    }
  }
  EXPECT_TRUE(sawFrame);
  EXPECT_TRUE(sawTilt);
  EXPECT_DOUBLE_EQ(dimming->alpha(), 0.7);
  // 0.6 in single precision is a little over 600 ms.
  advance(600ms);
  EXPECT_FALSE(alert->isAppeared());
  advance(1ms);
  EXPECT_TRUE(alert->isAppeared());

  // Pressing a button runs its handler, then the alert slides away.
  tapAt(centreOf(*alert->actions()[1]->actionButton()));
  EXPECT_EQ(handled_, (std::vector<std::string>{"Deny"}));
  EXPECT_TRUE(alert->isBeingDismissed());
  // Pressed again while it leaves: nothing more runs.
  alert->actions()[0]->actionButton()->sendActionsForControlEvents(UIControlEventTouchUpInside);
  EXPECT_EQ(handled_, (std::vector<std::string>{"Deny"}));
  EXPECT_DOUBLE_EQ(view->frame().origin.y, 1.2 * 667);
  EXPECT_DOUBLE_EQ(dimming->alpha(), 0);
  advance(601ms);
  EXPECT_EQ(root_->presentedViewController(), nullptr);
  EXPECT_EQ(dimming->superview(), nullptr);
  EXPECT_EQ(view->superview(), nullptr);
}

TEST_F(AlertTest, FadeStyleScalesInAndFadesOut) {
  auto alert = makeAlert({action("OK")}, configWithStyle(Style::kFadeInShrink));
  root_->presentViewController(alert, true);
  UIView* view = alert->view().get();
  ASSERT_FALSE(view->pendingAnimations().empty());
  for (const auto& record : view->pendingAnimations()) {
    EXPECT_FALSE(record.timing.spring);
    EXPECT_DOUBLE_EQ(record.timing.duration, static_cast<double>(0.3f));
    if (record.property == UIViewAnimatedProperty::kTransform) {
      EXPECT_EQ(std::get<CATransform3D>(record.from), CATransform3DMakeScale(1.2, 1.2, 1.2));
    }
    if (record.property == UIViewAnimatedProperty::kAlpha) {
      EXPECT_DOUBLE_EQ(std::get<double>(record.from), 0);
    }
  }
  advance(301ms);
  EXPECT_TRUE(alert->isAppeared());
  tapAt(centreOf(*alert->actions()[0]->actionButton()));
  EXPECT_DOUBLE_EQ(view->alpha(), 0);
  advance(300ms);
  EXPECT_NE(root_->presentedViewController(), nullptr);
  advance(1ms);
  EXPECT_EQ(root_->presentedViewController(), nullptr);
}

TEST_F(AlertTest, StyleThreeComesAndGoesWithoutAnimation) {
  auto alert = makeAlert({action("OK")}, configWithStyle(Style::kNone));
  root_->presentViewController(alert, true);
  loop_.runUntilIdle();  // no time passes
  EXPECT_TRUE(alert->isAppeared());
  tapAt(centreOf(*alert->actions()[0]->actionButton()));
  EXPECT_EQ(handled_, (std::vector<std::string>{"OK"}));
  loop_.runUntilIdle();
  EXPECT_EQ(root_->presentedViewController(), nullptr);
  EXPECT_FALSE(alert->isAppeared());
}

TEST_F(AlertTest, ADisabledActionShowsItsDisabledColourAndSendsNothing) {
  auto config = QVAlertViewControllerConfiguration::create();
  config->buttonConfiguration()->setDisabledTitleColor(UIColor::redColor());
  auto off = action("Off");
  off->setEnabled(false);
  auto alert = makeAlert({off}, config);
  present(alert);
  auto button = off->actionButton();
  EXPECT_FALSE(button->isEnabled());
  EXPECT_EQ(button->currentTitleColor(), UIColor::redColor());
  tapAt(centreOf(*button));
  // Sent by code, the press is still refused.
  button->sendActionsForControlEvents(UIControlEventTouchUpInside);
  advance(1s);
  EXPECT_TRUE(handled_.empty());
  EXPECT_TRUE(alert->isAppeared());
  // Enabled again, it works.
  off->setEnabled(true);
  tapAt(centreOf(*button));
  EXPECT_EQ(handled_, (std::vector<std::string>{"Off"}));
  advance(1s);
  EXPECT_EQ(root_->presentedViewController(), nullptr);
}

TEST_F(AlertTest, WithDefaultSettingsATapOutsideAndASwipeDoNothing) {
  auto alert = makeAlert({action("OK")});
  present(alert);
  tapAt({5, 5});
  swipe(centreOf(alert->alertView().titleLabel()), 900);
  advance(2s);
  EXPECT_TRUE(alert->isAppeared());
  EXPECT_DOUBLE_EQ(alert->alertView().backgroundViewVerticalCenteringConstraint().constant(), 0);
  EXPECT_DOUBLE_EQ(dimmingViewOf(*alert)->alpha(), 0.7);
}

TEST_F(AlertTest, ATapOutsideDismissesWhenEnabledButNotATapOnTheCard) {
  auto config = QVAlertViewControllerConfiguration::create();
  config->setBackgroundTapDismissalGestureEnabled(true);
  auto alert = makeAlert({action("OK")}, config);
  present(alert);
  tapAt(centreOf(alert->alertView().titleLabel()));
  advance(1s);
  EXPECT_TRUE(alert->isAppeared());
  tapAt({5, 5});
  advance(1s);
  EXPECT_EQ(root_->presentedViewController(), nullptr);
  EXPECT_TRUE(handled_.empty());  // no action ran
}

class SwipeTest : public AlertTest {
 protected:
  std::shared_ptr<QVAlertViewController> presentSwipeable() {
    auto config = QVAlertViewControllerConfiguration::create();
    config->setSwipeDismissalGestureEnabled(true);
    auto alert = makeAlert({action("OK")}, config);
    present(alert);
    return alert;
  }
};

TEST_F(SwipeTest, TheCardFollowsTheFingerAndASlowReleaseSnapsBack) {
  auto alert = presentSwipeable();
  ASSERT_TRUE(alert->panGestureRecognizer()->isEnabled());
  QVAlertView& view = alert->alertView();
  UIViewRef dimming = dimmingViewOf(*alert);
  const CGPoint start = centreOf(view.titleLabel());
  touch(UITouchPhase::kBegan, start, now_);
  touch(UITouchPhase::kMoved, {start.x, start.y + 30}, now_ + 0.05);
  touch(UITouchPhase::kMoved, {start.x, start.y + 66.7}, now_ + 0.1);
  EXPECT_DOUBLE_EQ(view.backgroundViewVerticalCenteringConstraint().constant(), 66.7);
  EXPECT_NEAR(dimming->alpha(), 0.7 - 66.7 / 667, 1e-9);
  touch(UITouchPhase::kCancelled, {start.x, start.y + 66.7}, now_ + 0.2);
  now_ += 1;
  EXPECT_DOUBLE_EQ(view.backgroundViewVerticalCenteringConstraint().constant(), 0);

  for (double speed : {400.0, -400.0}) {
    swipe(start, speed);
    EXPECT_DOUBLE_EQ(view.backgroundViewVerticalCenteringConstraint().constant(), 0) << speed;
    EXPECT_DOUBLE_EQ(dimming->alpha(), 0.7);
    advance(2s);
    EXPECT_TRUE(alert->isAppeared()) << speed;
  }
}

TEST_F(SwipeTest, AFastReleaseFliesOffInItsDirectionAndDismisses) {
  for (double speed : {600.0, -600.0}) {
    SCOPED_TRACE(speed);
    auto alert = presentSwipeable();
    QVAlertView& view = alert->alertView();
    UIViewRef dimming = dimmingViewOf(*alert);
    swipe(centreOf(view.titleLabel()), speed);
    EXPECT_DOUBLE_EQ(view.backgroundViewVerticalCenteringConstraint().constant(),
                     std::copysign(667, speed));
    EXPECT_DOUBLE_EQ(dimming->alpha(), 0);
    const auto& card = view.alertBackgroundView();
    EXPECT_EQ(speed > 0, card->frame().origin.y > 667);
    EXPECT_EQ(speed < 0, CGRectGetMaxY(card->frame()) < 0);
    // The fly-off takes 500 / |v| s, then the alert dismisses itself.
    advance(800ms);
    EXPECT_FALSE(alert->isBeingDismissed());
    advance(200ms);
    EXPECT_TRUE(alert->isBeingDismissed());
    advance(1s);
    EXPECT_EQ(root_->presentedViewController(), nullptr);
    EXPECT_DOUBLE_EQ(view.backgroundViewVerticalCenteringConstraint().constant(), 0);
  }
}

TEST_F(SwipeTest, ADragStartingOnAButtonIsTheButtons) {
  auto alert = presentSwipeable();
  auto button = alert->actions()[0]->actionButton();
  const CGPoint p = centreOf(*button);
  EXPECT_FALSE(
      alert->gestureRecognizerShouldReceiveTouch(*alert->panGestureRecognizer(), UITouch{1, p}));
  EXPECT_TRUE(alert->gestureRecognizerShouldReceiveTouch(
      *alert->panGestureRecognizer(), UITouch{1, centreOf(alert->alertView().titleLabel())}));
  swipe(p, 900);
  advance(2s);
  EXPECT_DOUBLE_EQ(alert->alertView().backgroundViewVerticalCenteringConstraint().constant(), 0);
  EXPECT_TRUE(alert->isAppeared());
}

}  // namespace
}  // namespace sentrel::qvalert
