#include "platform/uikit/window.h"

#include <algorithm>
#include <cmath>

#include "platform/log/system_log.h"
#include "platform/uikit/control.h"
#include "platform/uikit/main_thread.h"
#include "platform/uikit/screen.h"

namespace sentrel::uikit {

UIWindow::UIWindow() : UIWindow(UIScreen::mainScreen().bounds()) {}

UIWindow::UIWindow(const CGRect& frame) : UIView(frame) {
  UIView::setHidden(true);
}

// Visible windows are kept alive by the application, and only a visible
// window is key, so a dying window is named nowhere.
UIWindow::~UIWindow() = default;

void UIWindow::setWindowLevel(UIWindowLevel level) {
  if (!std::isfinite(level)) return;
  windowLevel_ = level;
  markDirty(kDirtyGeometry);
  if (!isHidden()) UIApplication::sharedApplication().sort();
}

void UIWindow::makeKeyAndVisible() {
  setHidden(false);
  makeKeyWindow();
}

void UIWindow::makeKeyWindow() {
  if (isHidden()) return;
  UIApplication::sharedApplication().keyWindow_ = this;
}

bool UIWindow::isKeyWindow() const {
  return UIApplication::sharedApplication().keyWindow_ == this;
}

void UIWindow::setHidden(bool hidden) {
  SENTREL_UIKIT_ASSERT_MAIN_THREAD();
  if (hidden == isHidden()) return;
  UIView::setHidden(hidden);
  if (superview()) return;  // a window inside a view tree is just a view
  UIApplication& app = UIApplication::sharedApplication();
  if (hidden) {
    app.windowHidden(this);
  } else {
    app.windowShown(this);
  }
  rootAppearanceChanged(!hidden);
}

UIApplication& UIApplication::sharedApplication() {
  SENTREL_UIKIT_ASSERT_MAIN_THREAD();
  static UIApplication app;
  return app;
}

std::vector<std::shared_ptr<UIWindow>> UIApplication::windows() const {
  return windows_;
}

void UIApplication::sort() {
  std::stable_sort(windows_.begin(), windows_.end(), [](const auto& a, const auto& b) {
    if (a->windowLevel_ != b->windowLevel_) return a->windowLevel_ < b->windowLevel_;
    return a->shownOrder_ < b->shownOrder_;
  });
}

void UIApplication::windowShown(UIWindow* window) {
  auto self = std::static_pointer_cast<UIWindow>(window->weak_from_this().lock());
  if (!self) {
    log::line("a window not made with std::make_shared cannot be shown", log::Level::kError);
    return;
  }
  window->shownOrder_ = nextOrder_++;
  windows_.push_back(std::move(self));
  sort();
}

void UIApplication::windowHidden(UIWindow* window) {
  // Keep the window alive until the list no longer names it.
  std::shared_ptr<UIWindow> keep;
  std::erase_if(windows_, [&](const std::shared_ptr<UIWindow>& w) {
    if (w.get() != window) return false;
    keep = w;
    return true;
  });
  if (keyWindow_ == window) keyWindow_ = windows_.empty() ? nullptr : windows_.back().get();
}

}  // namespace sentrel::uikit

namespace sentrel::uikit {

UIView* UIWindow::firstResponder() const {
  const std::shared_ptr<UIView> view = firstResponder_.lock();
  if (!view || view->window() != this) return nullptr;
  return view.get();
}

}  // namespace sentrel::uikit
