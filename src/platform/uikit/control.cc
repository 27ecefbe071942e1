#include "platform/uikit/control.h"

#include <algorithm>

#include "platform/uikit/main_thread.h"

namespace sentrel::uikit {

CGPoint UITouch::locationInView(UIView* view) const {
  if (!view) return locationInWindow;
  return view->rootView()->convertPoint(locationInWindow, view);
}

void UIControl::setEnabled(bool enabled) {
  SENTREL_UIKIT_ASSERT_MAIN_THREAD();
  if (enabled == enabled_) return;
  enabled_ = enabled;
  if (!enabled && touching_) {
    touching_ = false;
    if (tracking_) {
      tracking_ = false;
      cancelTrackingWithTouch();
    }
  }
  if (!enabled) highlighted_ = false;
  markDirty(kDirtyAppearance);
  stateDidChange();
}

void UIControl::setSelected(bool selected) {
  SENTREL_UIKIT_ASSERT_MAIN_THREAD();
  if (selected == selected_) return;
  selected_ = selected;
  markDirty(kDirtyAppearance);
  stateDidChange();
}

void UIControl::setHighlighted(bool highlighted) {
  SENTREL_UIKIT_ASSERT_MAIN_THREAD();
  if (highlighted == highlighted_) return;
  highlighted_ = highlighted;
  markDirty(kDirtyAppearance);
  stateDidChange();
}

UIControlState UIControl::state() const {
  std::uint32_t s = UIControlStateNormal;
  if (highlighted_) s |= UIControlStateHighlighted;
  if (!enabled_) s |= UIControlStateDisabled;
  if (selected_) s |= UIControlStateSelected;
  return static_cast<UIControlState>(s);
}

UIControl::ActionKey UIControl::addTarget(const void* target, Action action,
                                          UIControlEvents events) {
  SENTREL_UIKIT_ASSERT_MAIN_THREAD();
  if (!action || events == 0) return 0;
  const ActionKey key = nextKey_++;
  targets_.push_back({key, target, events, std::make_shared<Action>(std::move(action))});
  return key;
}

void UIControl::removeTarget(const void* target, UIControlEvents events) {
  SENTREL_UIKIT_ASSERT_MAIN_THREAD();
  for (Target& t : targets_)
    if (!target || t.target == target) t.events &= ~static_cast<std::uint32_t>(events);
  std::erase_if(targets_, [](const Target& t) { return t.events == 0; });
}

void UIControl::removeAction(ActionKey key) {
  SENTREL_UIKIT_ASSERT_MAIN_THREAD();
  std::erase_if(targets_, [key](const Target& t) { return t.key == key; });
}

UIControlEvents UIControl::allControlEvents() const {
  std::uint32_t all = 0;
  for (const Target& t : targets_) all |= t.events;
  return static_cast<UIControlEvents>(all);
}

void UIControl::sendActionsForControlEvents(UIControlEvents events) {
  SENTREL_UIKIT_ASSERT_MAIN_THREAD();
  // An action may drop the last outside reference to this control.
  const std::shared_ptr<UIView> keepAlive = weak_from_this().lock();
  for (std::uint32_t bit = 1; bit != 0; bit <<= 1) {
    if (!(events & bit)) continue;
    std::vector<std::pair<ActionKey, std::shared_ptr<Action>>> due;
    for (const Target& t : targets_)
      if (t.events & bit) due.emplace_back(t.key, t.action);
    for (const auto& [key, action] : due) {
      // Skip actions an earlier action removed.
      const ActionKey k = key;
      const bool live = std::any_of(targets_.begin(), targets_.end(), [k, bit](const Target& t) {
        return t.key == k && (t.events & bit);
      });
      if (live) (*action)(*this, static_cast<UIControlEvents>(bit));
    }
  }
}

bool UIControl::pointInsideForTouch(const UITouch& touch) {
  return pointInside(touch.locationInView(this));
}

void UIControl::handleTouch(const UITouch& touch) {
  SENTREL_UIKIT_ASSERT_MAIN_THREAD();
  const std::shared_ptr<UIView> keepAlive = weak_from_this().lock();
  switch (touch.phase) {
    case UITouchPhase::kBegan: {
      if (!enabled_ || !isUserInteractionEnabled() || touching_) return;
      touching_ = true;
      touchInside_ = pointInsideForTouch(touch);
      sendActionsForControlEvents(touch.tapCount > 1
                                      ? UIControlEventTouchDown | UIControlEventTouchDownRepeat
                                      : UIControlEventTouchDown);
      if (touching_) tracking_ = beginTrackingWithTouch(touch);
      return;
    }
    case UITouchPhase::kMoved:
    case UITouchPhase::kStationary: {
      if (!touching_) return;
      const bool wasInside = touchInside_;
      touchInside_ = pointInsideForTouch(touch);
      if (tracking_) tracking_ = continueTrackingWithTouch(touch);
      std::uint32_t events =
          touchInside_ ? UIControlEventTouchDragInside : UIControlEventTouchDragOutside;
      if (touchInside_ && !wasInside) events |= UIControlEventTouchDragEnter;
      if (!touchInside_ && wasInside) events |= UIControlEventTouchDragExit;
      sendActionsForControlEvents(static_cast<UIControlEvents>(events));
      return;
    }
    case UITouchPhase::kEnded: {
      if (!touching_) return;
      touchInside_ = pointInsideForTouch(touch);
      touching_ = false;
      if (tracking_) {
        tracking_ = false;
        endTrackingWithTouch(touch);
      }
      sendActionsForControlEvents(touchInside_ ? UIControlEventTouchUpInside
                                               : UIControlEventTouchUpOutside);
      return;
    }
    case UITouchPhase::kCancelled: {
      if (!touching_) return;
      touching_ = false;
      if (tracking_) {
        tracking_ = false;
        cancelTrackingWithTouch();
      }
      sendActionsForControlEvents(UIControlEventTouchCancel);
      return;
    }
  }
}

bool UIControl::beginTrackingWithTouch(const UITouch&) {
  setHighlighted(touchInside_);
  return true;
}

bool UIControl::continueTrackingWithTouch(const UITouch&) {
  setHighlighted(touchInside_);
  return true;
}

void UIControl::endTrackingWithTouch(const UITouch&) {
  setHighlighted(false);
}

void UIControl::cancelTrackingWithTouch() {
  setHighlighted(false);
}

}  // namespace sentrel::uikit
