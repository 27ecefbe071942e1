#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <vector>

#include "platform/uikit/gesture_recognizer.h"
#include "platform/uikit/window.h"

namespace sentrel::uikit {
namespace {

using State = UIGestureRecognizerState;

class TouchLog : public UIView {
 public:
  using UIView::UIView;
  std::vector<UITouchPhase> phases;
  void touchesBegan(const UITouch&) override { phases.push_back(UITouchPhase::kBegan); }
  void touchesMoved(const UITouch&) override { phases.push_back(UITouchPhase::kMoved); }
  void touchesEnded(const UITouch&) override { phases.push_back(UITouchPhase::kEnded); }
  void touchesCancelled(const UITouch&) override { phases.push_back(UITouchPhase::kCancelled); }
};

class GestureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    window_ = std::make_shared<UIWindow>(CGRectMake(0, 0, 400, 800));
    card_ = std::make_shared<TouchLog>(CGRectMake(50, 100, 300, 400));
    window_->addSubview(card_);
    window_->makeKeyAndVisible();  // a hidden window takes no touches
  }
  void TearDown() override { window_->setHidden(true); }
  void touch(UITouchPhase phase, double x, double y, double t, std::uint64_t id = 1) {
    window_->sendTouch(UITouch{id, CGPoint{x, y}, phase, t});
  }
  // A drag along x from (100, 200) at `speed` points per second, sampled
  // every 10 ms for `steps` steps, then a lift at the last point.
  void drag(double speed, int steps) {
    touch(UITouchPhase::kBegan, 100, 200, 1.0);
    for (int i = 1; i <= steps; ++i)
      touch(UITouchPhase::kMoved, 100 + speed * 0.01 * i, 200, 1.0 + 0.01 * i);
    touch(UITouchPhase::kEnded, 100 + speed * 0.01 * steps, 200, 1.0 + 0.01 * steps + 0.004);
  }

  std::shared_ptr<UIWindow> window_;
  std::shared_ptr<TouchLog> card_;
};

TEST_F(GestureTest, TapRecognisesWithinSmallMovementAndFailsBeyondIt) {
  int taps = 0;
  std::vector<State> states;
  auto tap = std::make_shared<UITapGestureRecognizer>([&](UIGestureRecognizer& r) {
    ++taps;
    states.push_back(r.state());
    EXPECT_EQ(r.locationInView(card_.get()), (CGPoint{53, 104}));
  });
  card_->addGestureRecognizer(tap);
  EXPECT_EQ(tap->view(), card_.get());
  touch(UITouchPhase::kBegan, 100, 200, 1);
  touch(UITouchPhase::kMoved, 102, 203, 1.05);
  touch(UITouchPhase::kEnded, 103, 204, 1.1);
  EXPECT_EQ(taps, 1);
  EXPECT_EQ(states, (std::vector<State>{State::kRecognized}));
  EXPECT_EQ(tap->state(), State::kPossible);  // reset for the next sequence
  // The view saw the touch begin, then lose it to the recogniser.
  EXPECT_EQ(card_->phases, (std::vector<UITouchPhase>{UITouchPhase::kBegan, UITouchPhase::kMoved,
                                                      UITouchPhase::kCancelled}));

  card_->phases.clear();
  touch(UITouchPhase::kBegan, 100, 200, 2);
  touch(UITouchPhase::kMoved, 130, 200, 2.05);
  touch(UITouchPhase::kEnded, 100, 200, 2.1);  // came back, but too late
  EXPECT_EQ(taps, 1);
  EXPECT_EQ(card_->phases.back(), UITouchPhase::kEnded);  // no recogniser took it

  // Outside the view: nothing.
  touch(UITouchPhase::kBegan, 10, 10, 3);
  touch(UITouchPhase::kEnded, 10, 10, 3.1);
  EXPECT_EQ(taps, 1);
}

TEST_F(GestureTest, PanBeginsAfterTenPointsThenChangesAndEndsWithTranslation) {
  std::vector<State> states;
  std::vector<CGPoint> translations;
  auto pan = std::make_shared<UIPanGestureRecognizer>([&](UIGestureRecognizer& r) {
    states.push_back(r.state());
    translations.push_back(static_cast<UIPanGestureRecognizer&>(r).translationInView(nullptr));
  });
  window_->addGestureRecognizer(pan);  // on an ancestor of the hit view
  touch(UITouchPhase::kBegan, 100, 200, 1);
  touch(UITouchPhase::kMoved, 106, 200, 1.01);
  EXPECT_TRUE(states.empty());
  touch(UITouchPhase::kMoved, 108, 206, 1.02);  // 10 points away
  touch(UITouchPhase::kMoved, 120, 210, 1.03);
  pan->setTranslation(CGPoint{0, 0}, nullptr);
  touch(UITouchPhase::kMoved, 125, 210, 1.04);
  touch(UITouchPhase::kEnded, 125, 212, 1.05);
  EXPECT_EQ(states,
            (std::vector<State>{State::kBegan, State::kChanged, State::kChanged, State::kEnded}));
  EXPECT_EQ(translations[0], (CGPoint{8, 6}));
  EXPECT_EQ(translations[1], (CGPoint{20, 10}));
  EXPECT_EQ(translations[2], (CGPoint{5, 0}));
  EXPECT_EQ(translations[3], (CGPoint{5, 2}));
  EXPECT_EQ(card_->phases.back(), UITouchPhase::kCancelled);

  // A short move never begins: the pan fails silently.
  states.clear();
  touch(UITouchPhase::kBegan, 100, 200, 2);
  touch(UITouchPhase::kMoved, 104, 200, 2.01);
  touch(UITouchPhase::kEnded, 104, 200, 2.02);
  EXPECT_TRUE(states.empty());
}

TEST_F(GestureTest, PanVelocityComesFromRecentSamplesAndTellsASnapBackFromAFlyOff) {
  double endVelocity = 0;
  auto pan = std::make_shared<UIPanGestureRecognizer>([&](UIGestureRecognizer& r) {
    if (r.state() == State::kEnded)
      endVelocity = static_cast<UIPanGestureRecognizer&>(r).velocityInView(card_.get()).x;
  });
  card_->addGestureRecognizer(pan);
  drag(400, 20);
  EXPECT_NEAR(endVelocity, 400, 25);
  drag(600, 20);
  EXPECT_NEAR(endVelocity, 600, 35);
  // A fast start then a slow finish: only the recent samples count.
  touch(UITouchPhase::kBegan, 100, 200, 5.0);
  for (int i = 1; i <= 10; ++i) touch(UITouchPhase::kMoved, 100 + 20 * i, 200, 5.0 + 0.01 * i);
  for (int i = 1; i <= 20; ++i) touch(UITouchPhase::kMoved, 300 + 1 * i, 200, 5.1 + 0.01 * i);
  touch(UITouchPhase::kEnded, 320, 200, 5.3);
  EXPECT_NEAR(endVelocity, 100, 10);
  // Holding still before lifting leaves no speed.
  touch(UITouchPhase::kBegan, 100, 200, 7.0);
  touch(UITouchPhase::kMoved, 150, 200, 7.01);
  touch(UITouchPhase::kEnded, 150, 200, 7.5);
  EXPECT_DOUBLE_EQ(endVelocity, 0);
}

struct Refuser : UIGestureRecognizerDelegate {
  bool refuse = true;
  int asked = 0;
  bool gestureRecognizerShouldReceiveTouch(UIGestureRecognizer&, const UITouch&) override {
    ++asked;
    return !refuse;
  }
};

TEST_F(GestureTest, ADelegateCanRefuseATouchAndADisabledRecogniserGetsNone) {
  int taps = 0;
  auto tap = std::make_shared<UITapGestureRecognizer>([&](UIGestureRecognizer&) { ++taps; });
  Refuser delegate;
  tap->setDelegate(&delegate);
  card_->addGestureRecognizer(tap);
  touch(UITouchPhase::kBegan, 100, 200, 1);
  touch(UITouchPhase::kEnded, 100, 200, 1.1);
  EXPECT_EQ(taps, 0);
  EXPECT_EQ(delegate.asked, 1);  // asked once, when the touch began
  EXPECT_EQ(card_->phases.back(), UITouchPhase::kEnded);
  delegate.refuse = false;
  touch(UITouchPhase::kBegan, 100, 200, 2);
  touch(UITouchPhase::kEnded, 100, 200, 2.1);
  EXPECT_EQ(taps, 1);
  tap->setEnabled(false);
  touch(UITouchPhase::kBegan, 100, 200, 3);
  touch(UITouchPhase::kEnded, 100, 200, 3.1);
  EXPECT_EQ(taps, 1);
}

TEST_F(GestureTest, TheFirstRecogniserToBeginWinsAndCancellationEndsAPan) {
  std::vector<State> panStates;
  int taps = 0;
  auto pan = std::make_shared<UIPanGestureRecognizer>(
      [&](UIGestureRecognizer& r) { panStates.push_back(r.state()); });
  auto tap = std::make_shared<UITapGestureRecognizer>([&](UIGestureRecognizer&) { ++taps; });
  tap->setAllowableMovement(50);
  card_->addGestureRecognizer(pan);
  card_->addGestureRecognizer(tap);
  touch(UITouchPhase::kBegan, 100, 200, 1);
  touch(UITouchPhase::kMoved, 120, 200, 1.01);  // the pan begins; the tap fails
  touch(UITouchPhase::kEnded, 120, 200, 1.02);
  EXPECT_EQ(taps, 0);
  EXPECT_EQ(panStates, (std::vector<State>{State::kBegan, State::kEnded}));

  panStates.clear();
  touch(UITouchPhase::kBegan, 100, 200, 2);
  touch(UITouchPhase::kMoved, 120, 200, 2.01);
  touch(UITouchPhase::kCancelled, 120, 200, 2.02);
  EXPECT_EQ(panStates, (std::vector<State>{State::kBegan, State::kCancelled}));
  EXPECT_EQ(pan->state(), State::kPossible);

  // Moving a recogniser to another view detaches it from the first.
  auto other = std::make_shared<UIView>();
  other->addGestureRecognizer(pan);
  EXPECT_TRUE(card_->gestureRecognizers().size() == 1);
  EXPECT_EQ(pan->view(), other.get());
  other.reset();  // a dying view lets go of its recognisers
  EXPECT_EQ(pan->view(), nullptr);
}

TEST_F(GestureTest, MalformedTouchStreamsAreDroppedOrRestartedSafely) {
  std::vector<State> states;
  auto pan = std::make_shared<UIPanGestureRecognizer>([&](UIGestureRecognizer& r) {
    states.push_back(r.state());
    auto& p = static_cast<UIPanGestureRecognizer&>(r);
    EXPECT_TRUE(std::isfinite(p.translationInView(nullptr).x));
    EXPECT_TRUE(std::isfinite(p.velocityInView(nullptr).x));
  });
  card_->addGestureRecognizer(pan);
  // Events for a finger that never went down are ignored.
  touch(UITouchPhase::kMoved, 150, 200, 1);
  touch(UITouchPhase::kEnded, 150, 200, 1.1);
  EXPECT_TRUE(states.empty());
  EXPECT_TRUE(card_->phases.empty());
  // Values that are not numbers are dropped.
  touch(UITouchPhase::kBegan, 100, 200, 2);
  touch(UITouchPhase::kMoved, NAN, 200, 2.01);
  touch(UITouchPhase::kMoved, 100, INFINITY, 2.02);
  touch(UITouchPhase::kMoved, 130, 200, NAN);
  EXPECT_TRUE(states.empty());
  touch(UITouchPhase::kMoved, 130, 200, 2.03);
  EXPECT_EQ(states, (std::vector<State>{State::kBegan}));
  // The same finger going down again cancels the first sequence.
  touch(UITouchPhase::kBegan, 100, 200, 3);
  EXPECT_EQ(states, (std::vector<State>{State::kBegan, State::kCancelled}));
  // Time running backwards gives no speed rather than a wild one.
  touch(UITouchPhase::kMoved, 140, 200, 2.5);
  touch(UITouchPhase::kEnded, 140, 200, 2.4);
  EXPECT_EQ(states.back(), State::kEnded);
}

}  // namespace
}  // namespace sentrel::uikit
