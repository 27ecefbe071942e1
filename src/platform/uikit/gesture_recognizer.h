// Gesture recognisers: tap and pan over the touches a window dispatches.
// Main thread only.
//
// UIWindow::sendTouch hit-tests a touch's first event and delivers every
// event of that finger to the enabled recognisers of the hit view and its
// ancestors (nearest first) that their delegates let receive it, and to the
// hit view's touch methods. The first recogniser to begin or recognise wins:
// the others still undecided fail, and the view gets touchesCancelled. When
// the finger lifts, every recogniser goes back to possible.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

#include "platform/uikit/geometry.h"
#include "platform/uikit/touch.h"

namespace sentrel::uikit {

class UIView;
class UIWindow;
class UIGestureRecognizer;

enum class UIGestureRecognizerState {
  kPossible,
  kBegan,
  kChanged,
  kEnded,
  kCancelled,
  kFailed,
  kRecognized = kEnded,  // discrete recognisers end in one step
};

class UIGestureRecognizerDelegate {
 public:
  virtual ~UIGestureRecognizerDelegate() = default;
  // False keeps this touch from the recogniser altogether.
  virtual bool gestureRecognizerShouldReceiveTouch(UIGestureRecognizer& recognizer,
                                                   const UITouch& touch) {
    (void)recognizer;
    (void)touch;
    return true;
  }
  // False makes the recogniser fail instead of beginning.
  virtual bool gestureRecognizerShouldBegin(UIGestureRecognizer& recognizer) {
    (void)recognizer;
    return true;
  }
};

class UIGestureRecognizer {
 public:
  using Action = std::function<void(UIGestureRecognizer&)>;
  using TargetId = std::uint64_t;

  UIGestureRecognizer() = default;
  explicit UIGestureRecognizer(Action action) { addTarget(std::move(action)); }
  virtual ~UIGestureRecognizer() = default;
  UIGestureRecognizer(const UIGestureRecognizer&) = delete;
  UIGestureRecognizer& operator=(const UIGestureRecognizer&) = delete;

  // Target-action: every action runs, in the order added, on each state
  // change to began, changed, ended/recognised or cancelled.
  TargetId addTarget(Action action);
  void removeTarget(TargetId id);

  UIGestureRecognizerState state() const { return state_; }
  bool isEnabled() const { return enabled_; }
  // Disabling a recogniser in the middle of a gesture cancels it.
  void setEnabled(bool enabled);
  // Not owned: the delegate must outlive the recogniser or be cleared.
  UIGestureRecognizerDelegate* delegate() const { return delegate_; }
  void setDelegate(UIGestureRecognizerDelegate* delegate) { delegate_ = delegate; }
  bool cancelsTouchesInView() const { return cancelsTouchesInView_; }
  void setCancelsTouchesInView(bool cancels) { cancelsTouchesInView_ = cancels; }

  UIView* view() const { return view_; }
  // The last touch location, in `view`'s coordinates (null: the window's).
  CGPoint locationInView(const UIView* view) const;

  // Called by the window.
  void handleTouch(const UITouch& touch);
  // Back to possible once the touch sequence is over.
  void resetAfterSequence();
  // Another recogniser won: an undecided one fails.
  void failIfPossible();

 protected:
  virtual void touchesBegan(const UITouch& touch) = 0;
  virtual void touchesMoved(const UITouch& touch) = 0;
  virtual void touchesEnded(const UITouch& touch) = 0;
  virtual void touchesCancelled(const UITouch& touch);
  virtual void reset() {}
  // Moves the state machine; an impossible transition is logged and
  // ignored. Beginning asks the delegate first.
  void setState(UIGestureRecognizerState state);
  CGPoint lastLocationInWindow() const { return lastLocation_; }
  UIWindow* window() const;

 private:
  friend class UIView;
  UIGestureRecognizerState state_ = UIGestureRecognizerState::kPossible;
  bool enabled_ = true;
  bool cancelsTouchesInView_ = true;
  UIGestureRecognizerDelegate* delegate_ = nullptr;
  UIView* view_ = nullptr;
  CGPoint lastLocation_{};
  std::vector<std::pair<TargetId, Action>> targets_;
  TargetId nextTarget_ = 1;
};

// A single tap: down and up again without moving more than
// allowableMovement points.
class UITapGestureRecognizer : public UIGestureRecognizer {
 public:
  using UIGestureRecognizer::UIGestureRecognizer;
  double allowableMovement() const { return allowableMovement_; }
  void setAllowableMovement(double points) { allowableMovement_ = points; }

 protected:
  void touchesBegan(const UITouch& touch) override;
  void touchesMoved(const UITouch& touch) override;
  void touchesEnded(const UITouch& touch) override;

 private:
  double allowableMovement_ = 10;
  CGPoint start_{};
};

// A drag: begins once the finger has moved 10 points, then changes with
// each move and ends when it lifts. Translation is measured from where the
// finger went down (or from the last setTranslation); velocity from the
// touch samples of the last 100 ms.
class UIPanGestureRecognizer : public UIGestureRecognizer {
 public:
  using UIGestureRecognizer::UIGestureRecognizer;
  static constexpr double kHysteresis = 10;
  static constexpr double kVelocityWindow = 0.1;  // seconds

  // Views are not scaled or rotated here, so translation and velocity are
  // the same in every view's coordinates; the view arguments are kept for
  // the platform's shape.
  CGPoint translationInView(const UIView* view) const;
  void setTranslation(CGPoint translation, const UIView* view);
  // Points per second.
  CGPoint velocityInView(const UIView* view) const;

 protected:
  void touchesBegan(const UITouch& touch) override;
  void touchesMoved(const UITouch& touch) override;
  void touchesEnded(const UITouch& touch) override;
  void reset() override;

 private:
  struct Sample {
    CGPoint location;
    double time;
  };
  void addSample(const UITouch& touch);
  CGPoint origin_{};
  std::deque<Sample> samples_;
};

}  // namespace sentrel::uikit
