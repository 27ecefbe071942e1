// Windows and the application's list of them. Main thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/uikit/view.h"

namespace sentrel::uikit {

struct UITouch;

using UIWindowLevel = double;
inline constexpr UIWindowLevel UIWindowLevelNormal = 0;
inline constexpr UIWindowLevel UIWindowLevelStatusBar = 1000;
inline constexpr UIWindowLevel UIWindowLevelAlert = 2000;

// A window is the root of a view tree and owns its layout engine. Windows
// start hidden, with the main screen's bounds as frame.
class UIWindow : public UIView {
 public:
  UIWindow();
  explicit UIWindow(const CGRect& frame);
  ~UIWindow() override;

  UIWindowLevel windowLevel() const { return windowLevel_; }
  void setWindowLevel(UIWindowLevel level);  // non-finite levels are ignored

  // Shows the window and makes it the key window.
  void makeKeyAndVisible();
  void makeKeyWindow();  // only a visible window can become key
  bool isKeyWindow() const;
  // Showing a window puts it in front of the visible windows of its level.
  void setHidden(bool hidden) override;

  // The root view controller, an opaque pointer until controllers exist.
  // The window does not own it.
  void* rootViewController() const { return rootViewController_; }
  void setRootViewController(void* controller) { rootViewController_ = controller; }

  // The view that receives typed text: null when none, or when it has left
  // this window or been destroyed since it became first responder.
  UIView* firstResponder() const;

  // A touch routed to this window, location in window coordinates. A touch
  // that begins is hit-tested and belongs to the nearest control at or above
  // the view hit for the rest of its sequence (even when it moves off it);
  // a touch that begins on no control, or on a hidden window, is dropped. Returns whether a control
  // took it.
  bool sendTouch(const UITouch& touch);

 private:
  friend class UIApplication;
  friend class UITextField;
  UIWindowLevel windowLevel_ = UIWindowLevelNormal;
  void* rootViewController_ = nullptr;
  std::uint64_t shownOrder_ = 0;  // when it was last made visible
  std::weak_ptr<UIView> firstResponder_;
  std::weak_ptr<UIView> touchTarget_;  // the control of the touch in progress
};

class UIApplication {
 public:
  static UIApplication& sharedApplication();

  // Visible windows, back to front: by level, then in the order they were
  // made visible. The application keeps visible windows alive.
  std::vector<std::shared_ptr<UIWindow>> windows() const;
  // Null when no window is key. When the key window is hidden, the frontmost
  // visible window of the highest level becomes key.
  UIWindow* keyWindow() const { return keyWindow_; }

 private:
  friend class UIWindow;
  void windowShown(UIWindow* window);
  void windowHidden(UIWindow* window);
  void sort();

  std::vector<std::shared_ptr<UIWindow>> windows_;
  UIWindow* keyWindow_ = nullptr;
  std::uint64_t nextOrder_ = 1;
};

}  // namespace sentrel::uikit
