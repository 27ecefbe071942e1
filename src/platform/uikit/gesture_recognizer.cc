#include "platform/uikit/gesture_recognizer.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "platform/log/system_log.h"
#include "platform/uikit/main_thread.h"
#include "platform/uikit/view.h"
#include "platform/uikit/window.h"

namespace sentrel::uikit {
namespace {

using State = UIGestureRecognizerState;

double distance(CGPoint a, CGPoint b) {
  return std::hypot(a.x - b.x, a.y - b.y);
}

bool isFinal(State s) {
  return s == State::kEnded || s == State::kCancelled || s == State::kFailed;
}

bool allowed(State from, State to) {
  switch (from) {
    case State::kPossible:
      return to == State::kBegan || to == State::kEnded || to == State::kFailed;
    case State::kBegan:
    case State::kChanged:
      return to == State::kChanged || to == State::kEnded || to == State::kCancelled;
    default:
      return false;  // final until the sequence resets
  }
}

}  // namespace

// ---- UIGestureRecognizer ----

UIGestureRecognizer::TargetId UIGestureRecognizer::addTarget(Action action) {
  if (!action) return 0;
  const TargetId id = nextTarget_++;
  targets_.emplace_back(id, std::move(action));
  return id;
}

void UIGestureRecognizer::removeTarget(TargetId id) {
  std::erase_if(targets_, [id](const auto& t) { return t.first == id; });
}

void UIGestureRecognizer::setEnabled(bool enabled) {
  if (enabled == enabled_) return;
  enabled_ = enabled;
  if (!enabled) {
    if (state_ == State::kBegan || state_ == State::kChanged) setState(State::kCancelled);
    resetAfterSequence();
  }
}

UIWindow* UIGestureRecognizer::window() const {
  return view_ ? view_->window() : nullptr;
}

CGPoint UIGestureRecognizer::locationInView(const UIView* view) const {
  const UIWindow* w = window();
  if (!view || !w) return lastLocation_;
  return w->convertPoint(lastLocation_, view);
}

void UIGestureRecognizer::setState(State state) {
  if (!allowed(state_, state)) {
    log::line("gesture recogniser: no transition from state " +
                  std::to_string(static_cast<int>(state_)) + " to " +
                  std::to_string(static_cast<int>(state)),
              log::Level::kError);
    return;
  }
  if (state_ == State::kPossible && (state == State::kBegan || state == State::kEnded) &&
      delegate_ && !delegate_->gestureRecognizerShouldBegin(*this)) {
    state_ = State::kFailed;
    return;
  }
  state_ = state;
  if (state == State::kFailed) return;
  // Copy: an action may add or remove targets.
  auto targets = targets_;
  for (auto& [id, action] : targets) action(*this);
}

void UIGestureRecognizer::handleTouch(const UITouch& touch) {
  if (!enabled_ || isFinal(state_)) return;
  lastLocation_ = touch.locationInWindow;
  switch (touch.phase) {
    case UITouchPhase::kBegan:
      touchesBegan(touch);
      break;
    case UITouchPhase::kMoved:
    case UITouchPhase::kStationary:
      touchesMoved(touch);
      break;
    case UITouchPhase::kEnded:
      touchesEnded(touch);
      break;
    case UITouchPhase::kCancelled:
      touchesCancelled(touch);
      break;
  }
}

void UIGestureRecognizer::touchesCancelled(const UITouch&) {
  if (state_ == State::kBegan || state_ == State::kChanged) {
    setState(State::kCancelled);
  } else if (state_ == State::kPossible) {
    setState(State::kFailed);
  }
}

void UIGestureRecognizer::resetAfterSequence() {
  state_ = State::kPossible;
  reset();
}

void UIGestureRecognizer::failIfPossible() {
  if (state_ == State::kPossible) state_ = State::kFailed;
}

// ---- UITapGestureRecognizer ----

void UITapGestureRecognizer::touchesBegan(const UITouch& touch) {
  start_ = touch.locationInWindow;
}

void UITapGestureRecognizer::touchesMoved(const UITouch& touch) {
  if (distance(touch.locationInWindow, start_) > allowableMovement_) setState(State::kFailed);
}

void UITapGestureRecognizer::touchesEnded(const UITouch& touch) {
  if (distance(touch.locationInWindow, start_) > allowableMovement_) {
    setState(State::kFailed);
  } else {
    setState(State::kRecognized);
  }
}

// ---- UIPanGestureRecognizer ----

void UIPanGestureRecognizer::addSample(const UITouch& touch) {
  samples_.push_back(Sample{touch.locationInWindow, touch.timestamp});
  while (samples_.size() > 1 && touch.timestamp - samples_.front().time > kVelocityWindow) {
    samples_.pop_front();
  }
}

void UIPanGestureRecognizer::touchesBegan(const UITouch& touch) {
  origin_ = touch.locationInWindow;
  samples_.clear();
  addSample(touch);
}

void UIPanGestureRecognizer::touchesMoved(const UITouch& touch) {
  addSample(touch);
  if (state() == State::kPossible) {
    if (distance(touch.locationInWindow, origin_) >= kHysteresis) setState(State::kBegan);
  } else {
    setState(State::kChanged);
  }
}

void UIPanGestureRecognizer::touchesEnded(const UITouch& touch) {
  addSample(touch);
  if (state() == State::kPossible) {
    setState(State::kFailed);
  } else {
    setState(State::kEnded);
  }
}

void UIPanGestureRecognizer::reset() {
  samples_.clear();
  origin_ = {};
}

CGPoint UIPanGestureRecognizer::translationInView(const UIView*) const {
  const CGPoint at = lastLocationInWindow();
  return CGPoint{at.x - origin_.x, at.y - origin_.y};
}

void UIPanGestureRecognizer::setTranslation(CGPoint translation, const UIView*) {
  if (!std::isfinite(translation.x) || !std::isfinite(translation.y)) return;
  const CGPoint at = lastLocationInWindow();
  origin_ = CGPoint{at.x - translation.x, at.y - translation.y};
}

CGPoint UIPanGestureRecognizer::velocityInView(const UIView*) const {
  if (samples_.size() < 2) return {};
  const Sample& first = samples_.front();
  const Sample& last = samples_.back();
  const double dt = last.time - first.time;
  if (!(dt > 0)) return {};
  return CGPoint{(last.location.x - first.location.x) / dt,
                 (last.location.y - first.location.y) / dt};
}

// ---- UIView's side ----

void UIView::addGestureRecognizer(const std::shared_ptr<UIGestureRecognizer>& recognizer) {
  SENTREL_UIKIT_ASSERT_MAIN_THREAD();
  if (!recognizer) return;
  if (recognizer->view_ == this) return;
  if (recognizer->view_) recognizer->view_->removeGestureRecognizer(recognizer.get());
  recognizer->view_ = this;
  gestureRecognizers_.push_back(recognizer);
}

void UIView::removeGestureRecognizer(const UIGestureRecognizer* recognizer) {
  SENTREL_UIKIT_ASSERT_MAIN_THREAD();
  auto it = std::find_if(gestureRecognizers_.begin(), gestureRecognizers_.end(),
                         [recognizer](const auto& r) { return r.get() == recognizer; });
  if (it == gestureRecognizers_.end()) return;
  (*it)->view_ = nullptr;
  gestureRecognizers_.erase(it);
}

void UIView::touchesBegan(const UITouch& touch) {
  if (superview_) superview_->touchesBegan(touch);
}
void UIView::touchesMoved(const UITouch& touch) {
  if (superview_) superview_->touchesMoved(touch);
}
void UIView::touchesEnded(const UITouch& touch) {
  if (superview_) superview_->touchesEnded(touch);
}
void UIView::touchesCancelled(const UITouch& touch) {
  if (superview_) superview_->touchesCancelled(touch);
}

// ---- UIWindow's dispatch ----

bool UIWindow::sendTouch(const UITouch& touch) {
  SENTREL_UIKIT_ASSERT_MAIN_THREAD();
  if (!std::isfinite(touch.locationInWindow.x) || !std::isfinite(touch.locationInWindow.y) ||
      !std::isfinite(touch.timestamp)) {
    log::line("touch " + std::to_string(touch.identifier) +
                  " with a location or time that is not a number was dropped",
              log::Level::kError);
    return false;
  }
  if (touch.phase == UITouchPhase::kBegan) {
    if (touches_.count(touch.identifier)) {
      log::line("touch " + std::to_string(touch.identifier) + " began twice; restarting it",
                log::Level::kError);
      UITouch cancel = touch;
      cancel.phase = UITouchPhase::kCancelled;
      sendTouch(cancel);
    }
    UIView* hit = hitTest(touch.locationInWindow);
    if (!hit) return false;
    TouchTracking tracking;
    tracking.view = hit->weak_from_this();
    for (UIView* v = hit; v; v = v->superview()) {
      for (const auto& r : v->gestureRecognizers()) {
        if (!r->isEnabled()) continue;
        if (r->delegate() && !r->delegate()->gestureRecognizerShouldReceiveTouch(*r, touch))
          continue;
        tracking.recognizers.push_back(r);
      }
    }
    touches_[touch.identifier] = std::move(tracking);
  }
  auto it = touches_.find(touch.identifier);
  if (it == touches_.end()) return false;  // began outside any view, or unknown
  // Copy: callbacks may change the window's tracking.
  TouchTracking tracking = it->second;
  const bool last = touch.phase == UITouchPhase::kEnded || touch.phase == UITouchPhase::kCancelled;

  for (const auto& r : tracking.recognizers) {
    if (r->view() == nullptr) continue;  // removed meanwhile
    r->handleTouch(touch);
  }
  // The first recogniser that began or recognised wins the touch.
  bool recognised = tracking.viewCancelled;
  for (const auto& r : tracking.recognizers) {
    const auto s = r->state();
    if (s == UIGestureRecognizerState::kBegan || s == UIGestureRecognizerState::kChanged ||
        s == UIGestureRecognizerState::kEnded) {
      if (!recognised) {
        for (const auto& other : tracking.recognizers) {
          if (other != r) other->failIfPossible();
        }
      }
      recognised = true;
      if (!r->cancelsTouchesInView()) recognised = tracking.viewCancelled;
      break;
    }
  }

  UIViewRef view = tracking.view.lock();
  if (view) {
    if (recognised && !tracking.viewCancelled) {
      tracking.viewCancelled = true;
      UITouch cancel = touch;
      cancel.phase = UITouchPhase::kCancelled;
      if (tracking.viewBegan) view->touchesCancelled(cancel);
    } else if (!tracking.viewCancelled) {
      switch (touch.phase) {
        case UITouchPhase::kBegan:
          tracking.viewBegan = true;
          view->touchesBegan(touch);
          break;
        case UITouchPhase::kMoved:
        case UITouchPhase::kStationary:
          view->touchesMoved(touch);
          break;
        case UITouchPhase::kEnded:
          view->touchesEnded(touch);
          break;
        case UITouchPhase::kCancelled:
          view->touchesCancelled(touch);
          break;
      }
    }
  }

  if (last) {
    touches_.erase(touch.identifier);
    for (const auto& r : tracking.recognizers) r->resetAfterSequence();
  } else {
    auto again = touches_.find(touch.identifier);
    if (again != touches_.end()) again->second = std::move(tracking);
  }
  return true;
}

}  // namespace sentrel::uikit
