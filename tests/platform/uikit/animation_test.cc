#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <string>
#include <variant>
#include <vector>

#include "platform/runloop/run_loop.h"
#include "platform/uikit/view.h"

namespace sentrel::uikit {
namespace {

using namespace std::chrono_literals;

// The main queue runs on a fake clock: completions fire only as it advances.
class AnimationTest : public ::testing::Test {
 protected:
  runloop::FakeClock clock_;
  runloop::RunLoop loop_{clock_};
  runloop::MainQueue::ScopedOverride main_{loop_};

  void advance(std::chrono::milliseconds by) {
    clock_.advance(by);
    loop_.runUntilIdle();
  }
};

TEST_F(AnimationTest, SettersInsideABlockSetTheModelAtOnceAndRecordTheChange) {
  auto view = std::make_shared<UIView>(CGRectMake(0, 0, 100, 50));
  view->takePendingAnimations();
  view->clearDirtyFlags();
  UIView::animateWithDuration(0.25, 0.1, UIViewAnimationOptionCurveLinear, [&] {
    view->setAlpha(0.2);
    view->setFrame(CGRectMake(10, 20, 100, 50));
  });
  EXPECT_DOUBLE_EQ(view->alpha(), 0.2);
  EXPECT_EQ(view->frame(), CGRectMake(10, 20, 100, 50));
  EXPECT_TRUE(view->dirtyFlags() & kDirtyAnimations);
  auto records = view->takePendingAnimations();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].property, UIViewAnimatedProperty::kAlpha);
  EXPECT_DOUBLE_EQ(std::get<double>(records[0].from), 1.0);
  EXPECT_DOUBLE_EQ(std::get<double>(records[0].to), 0.2);
  EXPECT_EQ(records[0].timing.curve, UIViewAnimationCurve::kLinear);
  EXPECT_DOUBLE_EQ(records[0].timing.duration, 0.25);
  EXPECT_DOUBLE_EQ(records[0].timing.delay, 0.1);
  EXPECT_FALSE(records[0].timing.spring);
  EXPECT_EQ(records[1].property, UIViewAnimatedProperty::kFrame);
  EXPECT_EQ(std::get<CGRect>(records[1].from), CGRectMake(0, 0, 100, 50));
  EXPECT_TRUE(view->pendingAnimations().empty());

  // Outside a block nothing is recorded; inside performWithoutAnimation neither.
  view->setAlpha(0.5);
  UIView::animateWithDuration(0.3, [&] {
    UIView::performWithoutAnimation([&] { view->setCenter(CGPoint{1, 2}); });
  });
  EXPECT_TRUE(view->pendingAnimations().empty());
  EXPECT_EQ(view->center(), (CGPoint{1, 2}));
  // Setting the value it already has records nothing.
  UIView::animateWithDuration(0.3, [&] { view->setCenter(CGPoint{1, 2}); });
  EXPECT_TRUE(view->pendingAnimations().empty());
}

TEST_F(AnimationTest, SpringParametersAreRecordedAndKeptSane) {
  auto view = std::make_shared<UIView>();
  UIView::animateWithDurationUsingSpring(0.5, 0, 0.7, 2.5, 0, [&] {
    CATransform3D t;
    t.m41 = 30;
    view->layer().setTransform(t);
  });
  UIView::animateWithDurationUsingSpring(0.5, 0, -3, NAN, 0, [&] { view->setAlpha(0); });
  auto records = view->takePendingAnimations();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].property, UIViewAnimatedProperty::kTransform);
  EXPECT_TRUE(records[0].timing.spring);
  EXPECT_DOUBLE_EQ(records[0].timing.dampingRatio, 0.7);
  EXPECT_DOUBLE_EQ(records[0].timing.initialVelocity, 2.5);
  EXPECT_GT(records[1].timing.dampingRatio, 0);
  EXPECT_DOUBLE_EQ(records[1].timing.initialVelocity, 0);
}

TEST_F(AnimationTest, CompletionsRunOnTheMainLoopAfterDelayPlusDurationInDeadlineOrder) {
  std::vector<std::string> done;
  UIView::animateWithDuration(0.5, 0.2, 0, {}, [&](bool finished) {
    EXPECT_TRUE(finished);
    done.push_back("slow");
  });
  UIView::animateWithDuration(
      0.3, [] {}, [&](bool) { done.push_back("fast"); });
  UIView::animateWithDuration(
      0.3, [] {}, [&](bool) { done.push_back("fast2"); });
  loop_.runUntilIdle();
  EXPECT_TRUE(done.empty());
  advance(299ms);
  EXPECT_TRUE(done.empty());
  advance(1ms);
  EXPECT_EQ(done, (std::vector<std::string>{"fast", "fast2"}));
  advance(399ms);
  EXPECT_EQ(done.size(), 2u);
  advance(1ms);
  EXPECT_EQ(done, (std::vector<std::string>{"fast", "fast2", "slow"}));
}

TEST_F(AnimationTest, ZeroDurationRecordsNothingButStillCompletesLater) {
  auto view = std::make_shared<UIView>();
  bool done = false;
  UIView::animateWithDuration(
      0, [&] { view->setAlpha(0.4); }, [&](bool) { done = true; });
  EXPECT_DOUBLE_EQ(view->alpha(), 0.4);
  EXPECT_TRUE(view->pendingAnimations().empty());
  EXPECT_FALSE(done);  // never inside the call
  loop_.runUntilIdle();
  EXPECT_TRUE(done);
  // Negative and non-finite timings count as zero.
  bool done2 = false;
  UIView::animateWithDuration(-1, NAN, 0, {}, [&](bool) { done2 = true; });
  loop_.runUntilIdle();
  EXPECT_TRUE(done2);
}

TEST_F(AnimationTest, NestedBlocksInheritTheOuterTimingUnlessOverridden) {
  auto a = std::make_shared<UIView>();
  auto b = std::make_shared<UIView>();
  auto c = std::make_shared<UIView>();
  std::vector<std::string> done;
  UIView::animateWithDuration(
      1.0, 0, UIViewAnimationOptionCurveEaseIn,
      [&] {
        a->setAlpha(0.5);
        UIView::animateWithDuration(
            0.2, [&] { b->setAlpha(0.5); }, [&](bool) { done.push_back("inherits"); });
        UIView::animateWithDuration(
            0.2, 0,
            UIViewAnimationOptionOverrideInheritedDuration |
                UIViewAnimationOptionOverrideInheritedCurve | UIViewAnimationOptionCurveLinear,
            [&] { c->setAlpha(0.5); }, [&](bool) { done.push_back("own"); });
        a->setAlpha(0.25);  // back in the outer block
      },
      [&](bool) { done.push_back("outer"); });
  auto ra = a->takePendingAnimations();
  auto rb = b->takePendingAnimations();
  auto rc = c->takePendingAnimations();
  ASSERT_EQ(ra.size(), 2u);
  EXPECT_DOUBLE_EQ(ra[1].timing.duration, 1.0);
  ASSERT_EQ(rb.size(), 1u);
  EXPECT_DOUBLE_EQ(rb[0].timing.duration, 1.0);
  EXPECT_EQ(rb[0].timing.curve, UIViewAnimationCurve::kEaseIn);
  ASSERT_EQ(rc.size(), 1u);
  EXPECT_DOUBLE_EQ(rc[0].timing.duration, 0.2);
  EXPECT_EQ(rc[0].timing.curve, UIViewAnimationCurve::kLinear);
  advance(200ms);
  EXPECT_EQ(done, (std::vector<std::string>{"own"}));
  advance(800ms);
  EXPECT_EQ(done, (std::vector<std::string>{"own", "inherits", "outer"}));
}

TEST_F(AnimationTest, RecordsTheirTimeAndKeepOnlyTheNewestWhenNobodyTakesThem) {
  auto view = std::make_shared<UIView>(CGRectMake(0, 0, 100, 50));
  view->takePendingAnimations();
  advance(250ms);
  const auto at = clock_.now();
  // A process without a screen animates all day: its records must not pile up.
  for (int i = 0; i < 1000; ++i)
    UIView::animateWithDuration(0.2, [&] { view->setAlpha(i % 2 ? 1.0 : 0.5); });
  const auto& records = view->pendingAnimations();
  ASSERT_FALSE(records.empty());
  EXPECT_LE(records.size(), 64u);
  EXPECT_EQ(records.front().began, at);
  EXPECT_DOUBLE_EQ(std::get<double>(records.back().to), 1.0);  // the last change is kept
}

}  // namespace
}  // namespace sentrel::uikit
