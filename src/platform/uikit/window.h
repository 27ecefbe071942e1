// Windows and the application's list of them. Main thread only.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "platform/uikit/gesture_recognizer.h"
#include "platform/uikit/touch.h"
#include "platform/uikit/view.h"
#include "platform/uikit/view_controller.h"

namespace sentrel::uikit {

struct UITouch;

using UIWindowLevel = double;
inline constexpr UIWindowLevel UIWindowLevelNormal = 0;
inline constexpr UIWindowLevel UIWindowLevelStatusBar = 1000;
inline constexpr UIWindowLevel UIWindowLevelAlert = 2000;

// A scene of the application. The device has one screen and the
// application one scene (UIApplication::connectedScenes()); a window belongs
// to it or to none, which changes nothing of how the window is drawn.
class UIWindowScene {};

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

  const std::shared_ptr<UIWindowScene>& windowScene() const { return windowScene_; }
  void setWindowScene(std::shared_ptr<UIWindowScene> scene) { windowScene_ = std::move(scene); }

  // The root view controller, shared with the window. Setting one installs
  // its view, sized to the window, in place of the old root's; appearance
  // callbacks are sent when the window is visible (or becomes so).
  const std::shared_ptr<UIViewController>& rootViewController() const {
    return rootViewController_;
  }
  void setRootViewController(std::shared_ptr<UIViewController> controller);

  // Delivers one touch event (see gesture_recognizer.h): to the gesture
  // recognisers of the view it began on and its ancestors, and to that
  // view's touch methods (a control keeps the whole sequence, even when the
  // finger moves off it). Returns whether the touch belongs to a view of
  // this window; a hidden window takes none.
  bool sendTouch(const UITouch& touch);

  // The view that receives typed text: null when none, or when it has left
  // this window or been destroyed since it became first responder.
  UIView* firstResponder() const;

 private:
  friend class UIApplication;
  friend class UITextField;
  void rootAppearanceChanged(bool visible);
  UIWindowLevel windowLevel_ = UIWindowLevelNormal;
  struct TouchTracking {
    std::weak_ptr<UIView> view;
    std::vector<std::shared_ptr<UIGestureRecognizer>> recognizers;
    bool viewBegan = false;
    bool viewCancelled = false;
  };
  std::shared_ptr<UIViewController> rootViewController_;
  std::shared_ptr<UIWindowScene> windowScene_;
  std::map<std::uint64_t, TouchTracking> touches_;
  std::uint64_t shownOrder_ = 0;  // when it was last made visible
  std::weak_ptr<UIView> firstResponder_;
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
  // The application's one scene.
  std::vector<std::shared_ptr<UIWindowScene>> connectedScenes() const { return {scene_}; }

 private:
  friend class UIWindow;
  void windowShown(UIWindow* window);
  void windowHidden(UIWindow* window);
  void sort();

  std::vector<std::shared_ptr<UIWindow>> windows_;
  std::shared_ptr<UIWindowScene> scene_ = std::make_shared<UIWindowScene>();
  UIWindow* keyWindow_ = nullptr;
  std::uint64_t nextOrder_ = 1;
};

}  // namespace sentrel::uikit
