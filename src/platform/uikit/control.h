// Controls: state (enabled, selected, highlighted), target-action by control
// event, and touch tracking from the touches the window routes to a control.
//
// Actions are std::function callbacks registered under a target (any
// pointer, usually the object that registered them) so that an owner can
// remove all of its actions at once, as the platform's removeTarget does.
// An action may add or remove actions, or drop the last reference to the
// control, while actions run.
//
// Main thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "platform/uikit/touch.h"
#include "platform/uikit/view.h"

namespace sentrel::uikit {

// The platform's bit values.
enum UIControlEvents : std::uint32_t {
  UIControlEventTouchDown = 1u << 0,
  UIControlEventTouchDownRepeat = 1u << 1,
  UIControlEventTouchDragInside = 1u << 2,
  UIControlEventTouchDragOutside = 1u << 3,
  UIControlEventTouchDragEnter = 1u << 4,
  UIControlEventTouchDragExit = 1u << 5,
  UIControlEventTouchUpInside = 1u << 6,
  UIControlEventTouchUpOutside = 1u << 7,
  UIControlEventTouchCancel = 1u << 8,
  UIControlEventValueChanged = 1u << 12,
  UIControlEventPrimaryActionTriggered = 1u << 13,
  UIControlEventEditingDidBegin = 1u << 16,
  UIControlEventEditingChanged = 1u << 17,
  UIControlEventEditingDidEnd = 1u << 18,
  UIControlEventEditingDidEndOnExit = 1u << 19,
  UIControlEventAllTouchEvents = 0x00000FFFu,
  UIControlEventAllEditingEvents = 0x000F0000u,
  UIControlEventAllEvents = 0xFFFFFFFFu,
};

inline constexpr UIControlEvents operator|(UIControlEvents a, UIControlEvents b) {
  return static_cast<UIControlEvents>(static_cast<std::uint32_t>(a) | b);
}

enum UIControlState : std::uint32_t {
  UIControlStateNormal = 0,
  UIControlStateHighlighted = 1u << 0,
  UIControlStateDisabled = 1u << 1,
  UIControlStateSelected = 1u << 2,
};

inline constexpr UIControlState operator|(UIControlState a, UIControlState b) {
  return static_cast<UIControlState>(static_cast<std::uint32_t>(a) | b);
}

class UIControl : public UIView {
 public:
  using Action = std::function<void(UIControl& sender, UIControlEvents event)>;
  using ActionKey = std::uint64_t;

  UIControl() = default;
  explicit UIControl(const CGRect& frame) : UIView(frame) {}

  bool isEnabled() const { return enabled_; }
  void setEnabled(bool enabled);  // disabling ends a touch in progress, sending nothing
  bool isSelected() const { return selected_; }
  void setSelected(bool selected);
  bool isHighlighted() const { return highlighted_; }
  void setHighlighted(bool highlighted);
  UIControlState state() const;

  // Calls `action` once for each of `events` the control sends. Returns a
  // key for removeAction. An empty action or no events is ignored (key 0).
  ActionKey addTarget(const void* target, Action action, UIControlEvents events);
  // Removes `target`'s actions for `events` (an action registered for more
  // events stays for the others). A null target removes every target's.
  void removeTarget(const void* target, UIControlEvents events);
  void removeAction(ActionKey key);
  // Events any action is registered for.
  UIControlEvents allControlEvents() const;

  // Calls the actions of each event in `events`, lowest bit first, each in
  // the order added. Sent whether or not the control is enabled, as on the
  // platform; touches of a disabled control send nothing.
  void sendActionsForControlEvents(UIControlEvents events);

  // Touch delivery: a touch sequence that begins on this control (by phase).
  // Sends touch down, drag inside/outside/enter/exit, then touch up inside
  // or outside by where the touch ends (inside the bounds), or touch cancel.
  void handleTouch(const UITouch& touch);

  // The window's touch delivery (see gesture_recognizer.h) reaches a
  // control through these: it keeps a touch that began on it, or on one of
  // its plain subviews, instead of passing it up.
  void touchesBegan(const UITouch& touch) override { handleTouch(touch); }
  void touchesMoved(const UITouch& touch) override { handleTouch(touch); }
  void touchesEnded(const UITouch& touch) override { handleTouch(touch); }
  void touchesCancelled(const UITouch& touch) override { handleTouch(touch); }

  bool isTracking() const { return tracking_; }
  bool isTouchInside() const { return touchInside_; }

  // Overridable tracking, as on the platform. The defaults highlight the
  // control while the touch is inside.
  virtual bool beginTrackingWithTouch(const UITouch& touch);
  virtual bool continueTrackingWithTouch(const UITouch& touch);
  virtual void endTrackingWithTouch(const UITouch& touch);
  virtual void cancelTrackingWithTouch();

 protected:
  // Enabled, selected or highlighted changed.
  virtual void stateDidChange() {}

 private:
  struct Target {
    ActionKey key{};
    const void* target{};
    std::uint32_t events{};
    std::shared_ptr<Action> action;
  };
  bool pointInsideForTouch(const UITouch& touch);

  bool enabled_ = true;
  bool selected_ = false;
  bool highlighted_ = false;
  bool touching_ = false;  // a touch sequence is in progress
  bool tracking_ = false;  // tracking methods are being called
  bool touchInside_ = false;
  std::vector<Target> targets_;
  ActionKey nextKey_ = 1;
};

}  // namespace sentrel::uikit
