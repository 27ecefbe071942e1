#include "platform/uikit/view_controller.h"

#include <cmath>
#include <utility>

#include "platform/log/system_log.h"
#include "platform/runloop/run_loop.h"
#include "platform/uikit/main_thread.h"
#include "platform/uikit/screen.h"
#include "platform/uikit/window.h"

namespace sentrel::uikit {
namespace {

constexpr double kDefaultTransitionDuration = 0.3;

void refuse(const std::string& what) {
  log::line("view controller: " + what, log::Level::kError);
}

// The full-screen styles take the presenter's view out of the window once
// the presented view covers it.
class FullScreenPresentationController : public UIPresentationController {
 public:
  using UIPresentationController::UIPresentationController;
  bool shouldRemovePresentersView() const override { return true; }
};

bool removesPresenter(UIModalPresentationStyle style) {
  return style == UIModalPresentationStyle::kFullScreen ||
         style == UIModalPresentationStyle::kCurrentContext;
}

// Slides the presented view up from the bottom, or back down.
class DefaultAnimator : public UIViewControllerAnimatedTransitioning {
 public:
  explicit DefaultAnimator(bool presenting) : presenting_(presenting) {}
  double transitionDuration(UIViewControllerContextTransitioning* context) override {
    return context && context->isAnimated() ? kDefaultTransitionDuration : 0;
  }
  void animateTransition(UIViewControllerContextTransitioning& context) override {
    using Key = UIViewControllerContextTransitioning::Key;
    UIView* container = context.containerView();
    const double height = container ? container->bounds().size.height : 0;
    UIViewControllerContextTransitioning* ctx = &context;
    if (presenting_) {
      UIViewRef to = context.viewForKey(Key::kTo);
      const CGRect final =
          context.finalFrameForViewController(context.viewControllerForKey(Key::kTo));
      if (to && container) {
        CGRect start = final;
        start.origin.y += height;
        to->setFrame(context.isAnimated() ? start : final);
        container->addSubview(to);
      }
      UIView::animateWithDuration(
          transitionDuration(&context),
          [&] {
            if (to) to->setFrame(final);
          },
          [ctx](bool finished) { ctx->completeTransition(finished); });
    } else {
      UIViewRef from = context.viewForKey(Key::kFrom);
      UIView::animateWithDuration(
          transitionDuration(&context),
          [&] {
            if (!from) return;
            CGRect end = from->frame();
            end.origin.y += height;
            from->setFrame(end);
          },
          [ctx](bool finished) { ctx->completeTransition(finished); });
    }
  }

 private:
  bool presenting_;
};

// The view a presentation's transition runs in. Its presentation controller
// hears of each of its layout passes first, as on the platform.
class TransitionContainerView : public UIView {
 public:
  TransitionContainerView(const CGRect& frame, std::weak_ptr<UIPresentationController> pc)
      : UIView(frame), pc_(std::move(pc)) {}
  void layoutSubviews() override {
    if (auto pc = pc_.lock()) pc->containerViewWillLayoutSubviews();
    UIView::layoutSubviews();
  }

 private:
  std::weak_ptr<UIPresentationController> pc_;
};

}  // namespace

// The context of one running transition. It keeps itself alive until the
// animator completes it.
class TransitionContext : public UIViewControllerContextTransitioning {
 public:
  UIViewRef container;
  UIViewControllerRef from, to;
  bool animated = false;
  bool presenting = true;
  bool removesPresenter = false;
  std::function<void(bool)> onComplete;
  std::shared_ptr<TransitionContext> self;

  UIView* containerView() const override { return container.get(); }
  UIViewController* viewControllerForKey(Key key) const override {
    return key == Key::kFrom ? from.get() : to.get();
  }
  UIViewRef viewForKey(Key key) const override {
    if (!from || !to) return nullptr;  // completed
    // The presenter's view takes part only when it leaves the window.
    const UIViewControllerRef& vc = key == Key::kFrom ? from : to;
    const bool isPresented = presenting ? key == Key::kTo : key == Key::kFrom;
    if (!isPresented && !removesPresenter) return nullptr;
    if (!isPresented) return vc->viewIfLoaded();
    UIPresentationController* pc = vc->presentationController();
    if (pc && pc->presentedView() && pc->presentedView() != vc->viewIfLoaded().get()) {
      return pc->presentedView()->shared_from_this();
    }
    return vc->view();
  }
  CGRect finalFrameForViewController(const UIViewController* vc) const override {
    const UIViewController* presented = presenting ? to.get() : from.get();
    if (!presented) return CGRect{};  // completed
    if (vc == presented && presenting && presented->presentationController())
      return presented->presentationController()->frameOfPresentedViewInContainerView();
    if (vc == presented) return CGRect{};
    return container ? container->bounds() : CGRect{};
  }
  bool isAnimated() const override { return animated; }
  void completeTransition(bool didComplete) override {
    if (done_) {
      refuse("a transition was completed twice; ignored");
      return;
    }
    done_ = true;
    cancelled_ = !didComplete;
    auto keep = std::move(self);
    auto complete = std::move(onComplete);
    onComplete = nullptr;
    const UIViewControllerRef presented = presenting ? to : from;
    if (complete) complete(didComplete);
    // An animator may hold on to this context and call it again: the
    // presented controller keeps it until its next transition, and it lets
    // go of the controllers so that this makes no cycle.
    if (presented) presented->finishedTransition_ = keep;
    from.reset();
    to.reset();
    container.reset();
  }
  bool transitionWasCancelled() const override { return cancelled_; }

 private:
  bool done_ = false;
  bool cancelled_ = false;
};

// ---- UIViewControllerTransitionCoordinator ----

bool UIViewControllerTransitionCoordinator::animateAlongsideTransition(Block animation,
                                                                       Block completion) {
  if (finished_ || !context_) return false;
  if (completion) completions_.push_back(std::move(completion));
  if (!animation) return true;
  if (started_) {
    UIViewControllerContextTransitioning* context = context_;
    UIView::animateWithDuration(duration_, [&] { animation(*context); });
  } else {
    animations_.push_back(std::move(animation));
  }
  return true;
}

bool UIViewControllerTransitionCoordinator::isAnimated() const {
  return context_ && context_->isAnimated();
}

void UIViewControllerTransitionCoordinator::start(double duration) {
  duration_ = std::isfinite(duration) && duration > 0 ? duration : 0;
  started_ = true;
  auto animations = std::move(animations_);
  animations_.clear();
  if (animations.empty() || !context_) return;
  UIViewControllerContextTransitioning* context = context_;
  UIView::animateWithDuration(duration_, [&] {
    for (auto& a : animations) a(*context);
  });
}

void UIViewControllerTransitionCoordinator::finish() {
  if (finished_) return;
  finished_ = true;
  auto completions = std::move(completions_);
  completions_.clear();
  if (context_) {
    for (auto& c : completions) c(*context_);
  }
  context_ = nullptr;
}

// ---- UIPresentationController ----

UIPresentationController::UIPresentationController(const UIViewControllerRef& presented,
                                                   const UIViewControllerRef& presenting)
    : presented_(presented), presenting_(presenting) {}

UIView* UIPresentationController::presentedView() const {
  auto vc = presented_.lock();
  return vc ? vc->view().get() : nullptr;
}

CGRect UIPresentationController::frameOfPresentedViewInContainerView() const {
  UIView* container = containerView();
  return container ? container->bounds() : CGRect{};
}

// ---- UIViewController ----

UIViewController::~UIViewController() {
  if (view_ && view_->viewController_ == this) view_->viewController_ = nullptr;
}

const UIViewRef& UIViewController::view() {
  SENTREL_UIKIT_ASSERT_MAIN_THREAD();
  if (!view_ && !loadingView_) {
    loadingView_ = true;
    loadView();
    loadingView_ = false;
    if (!view_) {
      refuse("loadView set no view; using a plain one");
      setView(std::make_shared<UIView>(UIScreen::mainScreen().bounds()));
    }
    viewDidLoad();
  }
  return view_;
}

void UIViewController::setView(UIViewRef view) {
  if (view_ && view_->viewController_ == this) view_->viewController_ = nullptr;
  view_ = std::move(view);
  if (view_) {
    if (view_->viewController_ && view_->viewController_ != this) {
      refuse("a view moved from one controller to another");
      view_->viewController_->view_.reset();
    }
    view_->viewController_ = this;
  }
}

void UIViewController::loadView() {
  setView(std::make_shared<UIView>(UIScreen::mainScreen().bounds()));
}

void UIViewController::beginAppearance(bool appearing, bool animated) {
  if (appearing) {
    if (appearance_ == Appearance::kAppeared || appearance_ == Appearance::kAppearing) return;
    appearance_ = Appearance::kAppearing;
    appearanceAnimated_ = animated;
    view();
    viewWillAppear(animated);
  } else {
    if (appearance_ == Appearance::kDisappeared || appearance_ == Appearance::kDisappearing) return;
    appearance_ = Appearance::kDisappearing;
    appearanceAnimated_ = animated;
    viewWillDisappear(animated);
  }
}

void UIViewController::endAppearance() {
  if (appearance_ == Appearance::kAppearing) {
    appearance_ = Appearance::kAppeared;
    viewDidAppear(appearanceAnimated_);
  } else if (appearance_ == Appearance::kDisappearing) {
    appearance_ = Appearance::kDisappeared;
    viewDidDisappear(appearanceAnimated_);
  }
}

bool UIViewController::inTransition() const {
  return beingPresented_ || beingDismissed_ || (presented_ && presented_->inTransition());
}

void UIViewController::presentViewController(const UIViewControllerRef& controller, bool animated,
                                             std::function<void()> completion) {
  SENTREL_UIKIT_ASSERT_MAIN_THREAD();
  UIViewControllerRef self = weak_from_this().lock();
  if (!self) return refuse("a controller not made with std::make_shared cannot present");
  if (!controller) return refuse("present: no controller");
  if (controller == self) return refuse("a controller cannot present itself");
  if (presented_) {
    return refuse("present refused: this controller is already presenting a controller");
  }
  if (inTransition()) return refuse("present refused: a transition is in progress");
  if (!controller->presenting_.expired() || controller->presented_ ||
      controller->appearance_ != Appearance::kDisappeared) {
    return refuse("present refused: the controller is already presented or on screen");
  }
  UIWindow* window = view_ ? view_->window() : nullptr;
  if (!window) {
    // A controller covered inside a container (a page under the top of a
    // navigation stack) presents from the container that is on screen, as
    // the platform does: the nearest ancestor whose view is in a window.
    for (UIViewController* ancestor = parentViewController(); ancestor != nullptr;
         ancestor = ancestor->parentViewController()) {
      if (ancestor->view_ && ancestor->view_->window()) {
        return ancestor->presentViewController(controller, animated, std::move(completion));
      }
    }
    return refuse("present refused: the presenter's view is not in a window");
  }

  const UIModalPresentationStyle style = controller->style_;
  auto delegate = controller->transitioningDelegate();
  std::shared_ptr<UIPresentationController> pc;
  if (style == UIModalPresentationStyle::kCustom && delegate)
    pc = delegate->presentationControllerForPresentedViewController(controller, self, this);
  if (!pc) {
    pc = removesPresenter(style)
             ? std::make_shared<FullScreenPresentationController>(controller, self)
             : std::make_shared<UIPresentationController>(controller, self);
  }
  auto container = std::make_shared<TransitionContainerView>(window->bounds(), pc);
  window->addSubview(container);
  pc->container_ = container;

  presented_ = controller;
  controller->presenting_ = self;
  controller->beingPresented_ = true;
  controller->presentation_ = pc;
  controller->container_ = container;
  controller->transitionCompletion_ = std::move(completion);
  const bool removes = pc->shouldRemovePresentersView();
  controller->removedPresenterView_ = removes;
  controller->view();  // loaded before its appearance

  std::shared_ptr<UIViewControllerAnimatedTransitioning> animator;
  if (delegate)
    animator = delegate->animationControllerForPresentedController(controller.get(), this, this);
  if (!animator) animator = std::make_shared<DefaultAnimator>(true);

  auto context = std::make_shared<TransitionContext>();
  context->container = container;
  context->from = self;
  context->to = controller;
  context->animated = animated;
  context->presenting = true;
  context->removesPresenter = removes;
  context->self = context;
  auto coordinator = std::make_shared<UIViewControllerTransitionCoordinator>();
  coordinator->context_ = context.get();
  coordinator_ = coordinator;
  controller->coordinator_ = coordinator;
  context->onComplete = [self, controller, animator, coordinator](bool did) {
    coordinator->finish();
    self->coordinator_.reset();
    controller->coordinator_.reset();
    controller->finishPresentation(did, animator);
  };

  if (removes) beginAppearance(false, animated);
  controller->beginAppearance(true, animated);
  pc->presentationTransitionWillBegin();
  animator->animateTransition(*context);
  if (!coordinator->finished_) coordinator->start(animator->transitionDuration(context.get()));
  window->layoutIfNeeded();
}

void UIViewController::finishPresentation(bool completed, const std::shared_ptr<void>&) {
  UIViewControllerRef presenter = presenting_.lock();
  UIPresentationController* pc = presentation_.get();
  beingPresented_ = false;
  if (completed) {
    if (pc) pc->presentationTransitionDidEnd(true);
    if (presenter && removedPresenterView_) {
      if (presenter->view_) presenter->view_->removeFromSuperview();
      presenter->endAppearance();
    }
    endAppearance();
    if (auto done = std::move(transitionCompletion_)) {
      transitionCompletion_ = nullptr;
      done();
    }
    return;
  }
  // Cancelled: everything goes back as it was.
  if (pc) pc->presentationTransitionDidEnd(false);
  beginAppearance(false, appearanceAnimated_);
  if (view_) view_->removeFromSuperview();
  if (container_) container_->removeFromSuperview();
  endAppearance();
  if (presenter && removedPresenterView_) {
    presenter->beginAppearance(true, appearanceAnimated_);
    presenter->endAppearance();
  }
  transitionCompletion_ = nullptr;
  container_.reset();
  presentation_.reset();
  presenting_.reset();
  if (presenter) presenter->presented_.reset();
}

void UIViewController::tearDownPresented() {
  if (!presented_) return;
  UIViewControllerRef top = presented_;
  top->tearDownPresented();
  top->beginAppearance(false, false);
  if (top->view_) top->view_->removeFromSuperview();
  if (top->container_) top->container_->removeFromSuperview();
  top->endAppearance();
  if (top->presentation_) top->presentation_->dismissalTransitionDidEnd(true);
  top->container_.reset();
  top->presentation_.reset();
  top->presenting_.reset();
  top->transitionCompletion_ = nullptr;
  presented_.reset();
}

void UIViewController::dismissViewControllerAnimated(bool animated,
                                                     std::function<void()> completion) {
  SENTREL_UIKIT_ASSERT_MAIN_THREAD();
  UIViewControllerRef self = weak_from_this().lock();
  if (!presented_) {
    if (UIViewControllerRef presenter = presenting_.lock()) {
      presenter->dismissViewControllerAnimated(animated, std::move(completion));
      return;
    }
    log::line("view controller: nothing to dismiss", log::Level::kInfo);
    if (completion) runloop::asyncMain(std::move(completion));
    return;
  }
  if (!self) return refuse("a controller not made with std::make_shared cannot dismiss");
  if (inTransition()) return refuse("dismiss refused: a transition is in progress");
  UIViewControllerRef target = presented_;
  target->tearDownPresented();

  const bool removes = target->removedPresenterView_;
  target->beingDismissed_ = true;
  target->transitionCompletion_ = std::move(completion);
  if (removes && view_) {
    // The presenter's view goes back under the presented one.
    UIView* container = target->container_.get();
    UIView* host = container ? container->superview() : nullptr;
    if (host) {
      host->insertSubviewBelow(view_, container);
      view_->setFrame(host->bounds());
    }
  }

  std::shared_ptr<UIViewControllerAnimatedTransitioning> animator;
  if (auto delegate = target->transitioningDelegate())
    animator = delegate->animationControllerForDismissedController(target.get());
  if (!animator) animator = std::make_shared<DefaultAnimator>(false);

  auto context = std::make_shared<TransitionContext>();
  context->container = target->container_;
  context->from = target;
  context->to = self;
  context->animated = animated;
  context->presenting = false;
  context->removesPresenter = removes;
  context->self = context;
  auto coordinator = std::make_shared<UIViewControllerTransitionCoordinator>();
  coordinator->context_ = context.get();
  coordinator_ = coordinator;
  target->coordinator_ = coordinator;
  context->onComplete = [self, target, animator, coordinator](bool did) {
    coordinator->finish();
    self->coordinator_.reset();
    target->coordinator_.reset();
    target->finishDismissal(did, animator);
  };

  target->beginAppearance(false, animated);
  if (removes) beginAppearance(true, animated);
  if (target->presentation_) target->presentation_->dismissalTransitionWillBegin();
  animator->animateTransition(*context);
  if (!coordinator->finished_) coordinator->start(animator->transitionDuration(context.get()));
}

void UIViewController::finishDismissal(bool completed, const std::shared_ptr<void>&) {
  UIViewControllerRef presenter = presenting_.lock();
  std::shared_ptr<UIPresentationController> pc = presentation_;
  beingDismissed_ = false;
  if (!completed) {
    if (pc) pc->dismissalTransitionDidEnd(false);
    beginAppearance(true, appearanceAnimated_);
    endAppearance();
    if (presenter && removedPresenterView_) {
      presenter->beginAppearance(false, appearanceAnimated_);
      if (presenter->view_) presenter->view_->removeFromSuperview();
      presenter->endAppearance();
    }
    transitionCompletion_ = nullptr;
    return;
  }
  if (view_) view_->removeFromSuperview();
  if (container_) container_->removeFromSuperview();
  if (pc) pc->dismissalTransitionDidEnd(true);
  endAppearance();
  if (presenter && removedPresenterView_) presenter->endAppearance();
  auto done = std::move(transitionCompletion_);
  transitionCompletion_ = nullptr;
  container_.reset();
  presentation_.reset();
  presenting_.reset();
  removedPresenterView_ = false;
  if (presenter) presenter->presented_.reset();
  if (done) done();
}

// ---- UIView's side ----

void UIView::runLayoutSubviews() {
  UIViewController* vc = viewController_;
  if (vc) vc->viewWillLayoutSubviews();
  layoutSubviews();
  if (vc && viewController_ == vc) vc->viewDidLayoutSubviews();
}

// ---- UIWindow's side ----

void UIWindow::setRootViewController(std::shared_ptr<UIViewController> controller) {
  SENTREL_UIKIT_ASSERT_MAIN_THREAD();
  if (controller == rootViewController_) return;
  const bool visible = !isHidden();
  std::shared_ptr<UIViewController> old = std::move(rootViewController_);
  rootViewController_ = controller;
  if (old) {
    if (visible) old->beginAppearance(false, false);
    if (old->view_ && old->view_->superview() == this) old->view_->removeFromSuperview();
    if (visible) old->endAppearance();
  }
  if (!controller) return;
  const UIViewRef& view = controller->view();
  if (visible) controller->beginAppearance(true, false);
  view->setFrame(bounds());
  insertSubview(view, 0);
  if (visible) {
    layoutIfNeeded();
    controller->endAppearance();
  }
}

void UIWindow::rootAppearanceChanged(bool visible) {
  if (!rootViewController_) return;
  rootViewController_->beginAppearance(visible, false);
  if (visible) layoutIfNeeded();
  rootViewController_->endAppearance();
}

}  // namespace sentrel::uikit
