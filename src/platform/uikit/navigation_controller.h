// Navigation: a stack of view controllers under a navigation bar, as the
// Settings app moves between its pages.
//
// The bar, below the status bar, shows the top controller's title, a back
// button titled with the controller underneath (its title, or "Back" when
// that is empty or long) that pops, and the top controller's bar button
// items. Pushing and popping run the appearance callbacks of both
// controllers in the platform's order: the one covered or removed gets
// viewWillDisappear/viewDidDisappear, the one shown viewWillAppear/
// viewDidAppear, including a controller uncovered again by a pop. An
// animated push or pop slides the pages sideways and completes on the main
// run loop; a push or pop asked for while one is running is refused and
// logged.
//
// Main thread only. Create with std::make_shared.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/uikit/button.h"
#include "platform/uikit/label.h"
#include "platform/uikit/view_controller.h"

namespace sentrel::uikit {

enum class UIBarButtonSystemItem {
  kDone = 0,
  kCancel = 1,
  kEdit = 2,
  kSave = 3,
  kAdd = 4,
};
enum class UIBarButtonItemStyle { kPlain = 0, kBordered = 1, kDone = 2 };

class UIBarButtonItem {
 public:
  using Action = std::function<void(UIBarButtonItem&)>;

  // The system items' titles: "Done", "Cancel", "Edit", "Save", "+".
  static std::shared_ptr<UIBarButtonItem> initWithBarButtonSystemItem(UIBarButtonSystemItem item,
                                                                      Action action);
  static std::shared_ptr<UIBarButtonItem> initWithTitle(std::string title,
                                                        UIBarButtonItemStyle style, Action action);

  const std::string& title() const { return title_; }
  std::optional<UIBarButtonSystemItem> systemItem() const { return systemItem_; }
  bool isEnabled() const { return enabled_; }
  void setEnabled(bool enabled) { enabled_ = enabled; }
  // What a tap on its button does (nothing while disabled).
  void performAction();

 private:
  std::string title_;
  std::optional<UIBarButtonSystemItem> systemItem_;
  UIBarButtonItemStyle style_ = UIBarButtonItemStyle::kPlain;
  Action action_;
  bool enabled_ = true;
};

class UINavigationItem {
 public:
  const std::string& title() const { return title_; }
  void setTitle(std::string title) { title_ = std::move(title); }
  const std::shared_ptr<UIBarButtonItem>& rightBarButtonItem() const { return right_; }
  void setRightBarButtonItem(std::shared_ptr<UIBarButtonItem> item);
  const std::shared_ptr<UIBarButtonItem>& leftBarButtonItem() const { return left_; }
  void setLeftBarButtonItem(std::shared_ptr<UIBarButtonItem> item);

 private:
  friend class UINavigationController;
  std::string title_;
  std::shared_ptr<UIBarButtonItem> right_;
  std::shared_ptr<UIBarButtonItem> left_;
  std::function<void()> changed_;  // tells the bar showing it
};

class UINavigationController : public UIViewController {
 public:
  static constexpr double kStatusBarHeight = 44;
  static constexpr double kBarHeight = 44;
  static constexpr double kTransitionDuration = 0.35;
  static constexpr size_t kLongBackTitle = 14;  // longer titles read "Back"

  UINavigationController() = default;
  // REQUIRES: after std::make_shared (it is pushed with this as its parent).
  static std::shared_ptr<UINavigationController> initWithRootViewController(
      const UIViewControllerRef& root);

  // Refused (false, logged): a null or already stacked controller, or a
  // transition in progress.
  bool pushViewController(const UIViewControllerRef& controller, bool animated);
  // The popped controller; null with only the root left or during a
  // transition.
  UIViewControllerRef popViewControllerAnimated(bool animated);
  std::vector<UIViewControllerRef> popToRootViewControllerAnimated(bool animated);
  // Replaces the stack at once (no transition).
  void setViewControllers(std::vector<UIViewControllerRef> controllers);
  const std::vector<UIViewControllerRef>& viewControllers() const { return stack_; }
  UIViewController* topViewController() const {
    return stack_.empty() ? nullptr : stack_.back().get();
  }
  // What is on screen: a controller the top one presented, else the top one.
  UIViewController* visibleViewController() const;
  bool isInTransition() const { return transitioning_; }

  // The bar's parts, for tests and for the pages' own checks.
  UILabel& titleLabel();
  UIButton& backButton();  // hidden with one controller
  UIButton* rightBarButton() { return right_.get(); }

  void loadView() override;
  void viewWillAppear(bool animated) override;
  void viewDidAppear(bool animated) override;
  void viewWillDisappear(bool animated) override;
  void viewDidDisappear(bool animated) override;
  void viewDidLayoutSubviews() override;

 private:
  CGRect contentFrame();
  void install(UIViewController& controller, double x);
  void updateBar();
  void finishTransition(UIViewControllerRef shown, UIViewControllerRef hidden, bool removeHidden);
  bool refuseDuringTransition(const char* what) const;

  std::vector<UIViewControllerRef> stack_;
  UIViewRef bar_;
  std::shared_ptr<UILabel> title_;
  std::shared_ptr<UIButton> back_;
  std::shared_ptr<UIButton> right_;
  std::shared_ptr<UIButton> left_;
  std::weak_ptr<UIBarButtonItem> rightItem_;  // what right_ shows
  std::weak_ptr<UIBarButtonItem> leftItem_;
  UIViewRef content_;
  bool transitioning_ = false;
};

}  // namespace sentrel::uikit
