#include "platform/uikit/navigation_controller.h"

#include <algorithm>

#include "platform/log/system_log.h"
#include "platform/uikit/main_thread.h"
#include "platform/uikit/screen.h"

namespace sentrel::uikit {

// ---- UIViewController's containment ----

UINavigationController* UIViewController::navigationController() const {
  for (UIViewController* c = parentViewController(); c != nullptr; c = c->parentViewController()) {
    if (auto* navigation = dynamic_cast<UINavigationController*>(c)) return navigation;
  }
  return nullptr;
}

UINavigationItem& UIViewController::navigationItem() {
  if (!navigationItem_) navigationItem_ = std::make_shared<UINavigationItem>();
  return *navigationItem_;
}

// ---- Bar items ----

std::shared_ptr<UIBarButtonItem> UIBarButtonItem::initWithBarButtonSystemItem(
    UIBarButtonSystemItem item, Action action) {
  auto made = std::make_shared<UIBarButtonItem>();
  made->systemItem_ = item;
  made->action_ = std::move(action);
  switch (item) {
    case UIBarButtonSystemItem::kDone:
      made->title_ = "Done";
      break;
    case UIBarButtonSystemItem::kCancel:
      made->title_ = "Cancel";
      break;
    case UIBarButtonSystemItem::kEdit:
      made->title_ = "Edit";
      break;
    case UIBarButtonSystemItem::kSave:
      made->title_ = "Save";
      break;
    case UIBarButtonSystemItem::kAdd:
      made->title_ = "+";
      break;
  }
  return made;
}

std::shared_ptr<UIBarButtonItem> UIBarButtonItem::initWithTitle(std::string title,
                                                                UIBarButtonItemStyle style,
                                                                Action action) {
  auto made = std::make_shared<UIBarButtonItem>();
  made->title_ = std::move(title);
  made->style_ = style;
  made->action_ = std::move(action);
  return made;
}

void UIBarButtonItem::performAction() {
  if (!enabled_ || !action_) return;
  Action action = action_;  // the action may replace this item's
  action(*this);
}

void UINavigationItem::setRightBarButtonItem(std::shared_ptr<UIBarButtonItem> item) {
  right_ = std::move(item);
  if (changed_) changed_();
}

void UINavigationItem::setLeftBarButtonItem(std::shared_ptr<UIBarButtonItem> item) {
  left_ = std::move(item);
  if (changed_) changed_();
}

// ---- UINavigationController ----

std::shared_ptr<UINavigationController> UINavigationController::initWithRootViewController(
    const UIViewControllerRef& root) {
  auto navigation = std::make_shared<UINavigationController>();
  if (root) navigation->setViewControllers({root});
  return navigation;
}

namespace {

UIColor barColor() {
  return UIColor::dynamic(UIColor::colorWithRed(249 / 255.0, 249 / 255.0, 249 / 255.0, 1),
                          UIColor::colorWithRed(22 / 255.0, 22 / 255.0, 23 / 255.0, 1));
}

std::shared_ptr<UIButton> barButton() {
  auto button = UIButton::buttonWithType(UIButtonType::kSystem);
  button->setTitleFont(Font::systemFont(17));
  return button;
}

}  // namespace

void UINavigationController::loadView() {
  const CGRect screen = UIScreen::mainScreen().bounds();
  auto view = std::make_shared<UIView>(screen);
  view->setBackgroundColor(UIColor::systemBackgroundColor());
  view->setClipsToBounds(true);
  content_ = std::make_shared<UIView>(screen);
  view->addSubview(content_);
  bar_ =
      std::make_shared<UIView>(CGRectMake(0, 0, screen.size.width, kStatusBarHeight + kBarHeight));
  bar_->setBackgroundColor(barColor());
  title_ = std::make_shared<UILabel>();
  title_->setFont(Font::systemFont(17, FontWeight::kSemibold));
  title_->setTextAlignment(NSTextAlignment::kCenter);
  bar_->addSubview(title_);
  back_ = barButton();
  back_->addTarget(
      this, [this](UIControl&, UIControlEvents) { popViewControllerAnimated(true); },
      UIControlEventTouchUpInside);
  bar_->addSubview(back_);
  view->addSubview(bar_);
  setView(view);
  for (const UIViewControllerRef& controller : stack_) {
    if (controller.get() == topViewController()) install(*controller, 0);
  }
  updateBar();
}

UILabel& UINavigationController::titleLabel() {
  view();
  return *title_;
}

UIButton& UINavigationController::backButton() {
  view();
  return *back_;
}

CGRect UINavigationController::contentFrame() {
  const CGRect b = view()->bounds();
  const double top = kStatusBarHeight + kBarHeight;
  return CGRectMake(0, top, b.size.width, std::max(0.0, b.size.height - top));
}

void UINavigationController::install(UIViewController& controller, double x) {
  const UIViewRef& page = controller.view();
  CGRect frame = contentFrame();
  frame.origin.x = x;
  frame.origin.y = 0;
  page->setFrame(frame);
  content_->setFrame(contentFrame());
  content_->addSubview(page);
  page->layoutIfNeeded();
}

void UINavigationController::viewDidLayoutSubviews() {
  const double width = view()->bounds().size.width;
  bar_->setFrame(CGRectMake(0, 0, width, kStatusBarHeight + kBarHeight));
  content_->setFrame(contentFrame());
  if (!transitioning_ && topViewController() != nullptr && topViewController()->isViewLoaded()) {
    topViewController()->view()->setFrame(CGRectMake(0, 0, width, content_->bounds().size.height));
  }
  updateBar();
}

void UINavigationController::updateBar() {
  if (!isViewLoaded()) return;
  UIViewController* top = topViewController();
  const double width = bar_->bounds().size.width;
  const double y = kStatusBarHeight;
  std::string title;
  if (top != nullptr) {
    title = top->navigationItem().title().empty() ? top->title() : top->navigationItem().title();
    top->navigationItem().changed_ = [weak = std::weak_ptr<UIViewController>(weak_from_this())] {
      if (auto self = std::static_pointer_cast<UINavigationController>(weak.lock()))
        self->updateBar();
    };
  }
  title_->setText(title);
  title_->setFrame(CGRectMake(width / 4, y, width / 2, kBarHeight));

  // The back button names the controller underneath.
  if (stack_.size() > 1) {
    UIViewController* under = stack_[stack_.size() - 2].get();
    std::string back =
        under->navigationItem().title().empty() ? under->title() : under->navigationItem().title();
    if (back.empty() || back.size() > kLongBackTitle) back = "Back";
    back_->setTitle("\u2039 " + back, UIControlStateNormal);
    // A title that would run into the bar's own title reads "Back" too.
    if (back_->intrinsicContentSize().width > width / 4 - 8)
      back_->setTitle("\u2039 Back", UIControlStateNormal);
    back_->setHidden(false);
    const CGSize size = back_->intrinsicContentSize();
    back_->setFrame(CGRectMake(8, y + (kBarHeight - size.height) / 2,
                               std::min(size.width, width / 4 - 8), size.height));
  } else {
    back_->setHidden(true);
  }

  // A button is made once per item and kept: a layout pass between a
  // finger's down and up must not replace the button it pressed.
  auto place = [&](std::shared_ptr<UIButton>& button, std::weak_ptr<UIBarButtonItem>& shown,
                   const std::shared_ptr<UIBarButtonItem>& item, bool right) {
    if (!item || shown.lock() != item) {
      if (button) button->removeFromSuperview();
      button.reset();
      shown.reset();
    }
    if (!item) return;
    if (!button) {
      button = barButton();
      std::weak_ptr<UIBarButtonItem> weak = item;
      button->addTarget(
          this,
          [weak](UIControl&, UIControlEvents) {
            if (auto held = weak.lock()) held->performAction();
          },
          UIControlEventTouchUpInside);
      bar_->addSubview(button);
      shown = item;
    }
    button->setTitle(item->title(), UIControlStateNormal);
    if (item->systemItem() == UIBarButtonSystemItem::kAdd)
      button->setTitleFont(Font::systemFont(28));
    button->setEnabled(item->isEnabled());
    const CGSize size = button->intrinsicContentSize();
    const double w = std::max(size.width, 44.0);
    button->setFrame(
        CGRectMake(right ? width - 8 - w : 8, y + (kBarHeight - size.height) / 2, w, size.height));
  };
  place(right_, rightItem_, top ? top->navigationItem().rightBarButtonItem() : nullptr, true);
  // A left item takes the back button's place.
  place(left_, leftItem_,
        top && stack_.size() <= 1 ? top->navigationItem().leftBarButtonItem() : nullptr, false);
}

bool UINavigationController::refuseDuringTransition(const char* what) const {
  if (!transitioning_) return false;
  log::line(std::string("UINavigationController: ") + what + " refused during a transition",
            log::Level::kWarning);
  return true;
}

void UINavigationController::setViewControllers(std::vector<UIViewControllerRef> controllers) {
  SENTREL_UIKIT_ASSERT_MAIN_THREAD();
  if (refuseDuringTransition("setViewControllers")) return;
  controllers.erase(std::remove(controllers.begin(), controllers.end(), nullptr),
                    controllers.end());
  UIViewControllerRef oldTop = stack_.empty() ? nullptr : stack_.back();
  UIViewControllerRef newTop = controllers.empty() ? nullptr : controllers.back();
  const bool visible = isAppeared();
  if (oldTop && oldTop != newTop) {
    if (visible) oldTop->beginAppearance(false, false);
    if (oldTop->isViewLoaded()) oldTop->view()->removeFromSuperview();
    if (visible) oldTop->endAppearance();
  }
  for (const UIViewControllerRef& c : stack_) c->parent_.reset();
  stack_ = std::move(controllers);
  for (const UIViewControllerRef& c : stack_) c->parent_ = weak_from_this();
  if (newTop && newTop != oldTop && isViewLoaded()) {
    if (visible) newTop->beginAppearance(true, false);
    install(*newTop, 0);
    if (visible) newTop->endAppearance();
  }
  updateBar();
}

bool UINavigationController::pushViewController(const UIViewControllerRef& controller,
                                                bool animated) {
  SENTREL_UIKIT_ASSERT_MAIN_THREAD();
  if (!controller || std::find(stack_.begin(), stack_.end(), controller) != stack_.end()) {
    log::line("UINavigationController: cannot push a null or already pushed controller",
              log::Level::kWarning);
    return false;
  }
  if (refuseDuringTransition("push")) return false;
  if (stack_.empty()) {
    setViewControllers({controller});
    return true;
  }
  UIViewControllerRef covered = stack_.back();
  controller->parent_ = weak_from_this();
  stack_.push_back(controller);
  if (!isViewLoaded()) return true;
  const bool visible = isAppeared();
  animated = animated && visible;
  if (visible) {
    covered->beginAppearance(false, animated);
    controller->beginAppearance(true, animated);
  }
  const double width = content_->bounds().size.width;
  install(*controller, animated ? width : 0);
  updateBar();
  if (!animated) {
    finishTransition(controller, covered, true);
    return true;
  }
  transitioning_ = true;
  std::weak_ptr<UIViewController> weak = weak_from_this();
  UIView::animateWithDuration(
      kTransitionDuration,
      [&] {
        CGRect in = controller->view()->frame();
        in.origin.x = 0;
        controller->view()->setFrame(in);
        CGRect out = covered->view()->frame();
        out.origin.x = -width / 3;
        covered->view()->setFrame(out);
      },
      [weak, controller, covered](bool) {
        auto self = std::static_pointer_cast<UINavigationController>(weak.lock());
        if (self) self->finishTransition(controller, covered, true);
      });
  return true;
}

UIViewControllerRef UINavigationController::popViewControllerAnimated(bool animated) {
  SENTREL_UIKIT_ASSERT_MAIN_THREAD();
  if (stack_.size() <= 1 || refuseDuringTransition("pop")) return nullptr;
  UIViewControllerRef popped = stack_.back();
  stack_.pop_back();
  UIViewControllerRef uncovered = stack_.back();
  if (!isViewLoaded()) {
    popped->parent_.reset();
    return popped;
  }
  const bool visible = isAppeared();
  animated = animated && visible;
  if (visible) {
    popped->beginAppearance(false, animated);
    uncovered->beginAppearance(true, animated);
  }
  const double width = content_->bounds().size.width;
  install(*uncovered, animated ? -width / 3 : 0);
  content_->bringSubviewToFront(popped->view().get());
  updateBar();
  if (!animated) {
    finishTransition(uncovered, popped, true);
    popped->parent_.reset();
    return popped;
  }
  transitioning_ = true;
  std::weak_ptr<UIViewController> weak = weak_from_this();
  UIView::animateWithDuration(
      kTransitionDuration,
      [&] {
        CGRect out = popped->view()->frame();
        out.origin.x = width;
        popped->view()->setFrame(out);
        CGRect in = uncovered->view()->frame();
        in.origin.x = 0;
        uncovered->view()->setFrame(in);
      },
      [weak, uncovered, popped](bool) {
        auto self = std::static_pointer_cast<UINavigationController>(weak.lock());
        if (self) self->finishTransition(uncovered, popped, true);
        popped->parent_.reset();
      });
  return popped;
}

std::vector<UIViewControllerRef> UINavigationController::popToRootViewControllerAnimated(
    bool animated) {
  if (stack_.size() <= 1 || refuseDuringTransition("pop to root")) return {};
  std::vector<UIViewControllerRef> popped(stack_.begin() + 1, stack_.end() - 1);
  // The pages between leave at once; the top one leaves as a pop does.
  stack_.erase(stack_.begin() + 1, stack_.end() - 1);
  for (const UIViewControllerRef& c : popped) c->parent_.reset();
  if (UIViewControllerRef top = popViewControllerAnimated(animated)) popped.push_back(top);
  return popped;
}

void UINavigationController::finishTransition(UIViewControllerRef shown, UIViewControllerRef hidden,
                                              bool removeHidden) {
  transitioning_ = false;
  if (hidden && removeHidden && hidden->isViewLoaded() && hidden.get() != topViewController()) {
    hidden->view()->removeFromSuperview();
  }
  if (shown && shown->isViewLoaded()) {
    CGRect frame = shown->view()->frame();
    frame.origin.x = 0;
    shown->view()->setFrame(frame);
  }
  if (hidden) hidden->endAppearance();
  if (shown) shown->endAppearance();
}

UIViewController* UINavigationController::visibleViewController() const {
  UIViewController* top = topViewController();
  if (top == nullptr) return nullptr;
  while (top->presentedViewController() != nullptr) top = top->presentedViewController();
  return top;
}

// The stack's top controller appears and disappears with this one.
void UINavigationController::viewWillAppear(bool animated) {
  if (UIViewController* top = topViewController()) top->beginAppearance(true, animated);
}
void UINavigationController::viewDidAppear(bool) {
  if (UIViewController* top = topViewController()) top->endAppearance();
}
void UINavigationController::viewWillDisappear(bool animated) {
  if (UIViewController* top = topViewController()) top->beginAppearance(false, animated);
}
void UINavigationController::viewDidDisappear(bool) {
  if (UIViewController* top = topViewController()) top->endAppearance();
}

}  // namespace sentrel::uikit
