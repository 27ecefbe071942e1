// View controllers, modal presentation and custom transitions. Main thread
// only. Controllers are shared objects: create them with std::make_shared.
//
// Appearance callbacks come in the platform's order: viewWillAppear, the
// view enters the window and is laid out (viewWillLayoutSubviews,
// viewDidLayoutSubviews), then viewDidAppear once any transition completes;
// viewWillDisappear before a view leaves, viewDidDisappear after.
//
// Presentation: presenter.presentViewController(vc, animated, completion)
// runs a transition (the transitioning delegate's animator, or a built-in
// one) in a container view on top of the presenter's window. Transitions
// always complete on the main run loop, never inside the call; completions
// run after the transition completes. A controller presents one controller
// at a time: presenting while presenting or in a transition is refused and
// logged. A controller whose view is not in a window but that sits in a
// container (a page covered in a navigation stack) presents from its
// nearest ancestor that is in a window, which is then the presenting
// controller; one outside any window is refused and logged.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/uikit/view.h"

namespace sentrel::uikit {

class UIViewController;
class UINavigationController;
class UINavigationItem;
class UIPresentationController;
class UIViewControllerAnimatedTransitioning;
using UIViewControllerRef = std::shared_ptr<UIViewController>;

enum class UIModalPresentationStyle {
  kFullScreen = 0,
  kPageSheet = 1,
  kFormSheet = 2,
  kCurrentContext = 3,
  kCustom = 4,
  kOverFullScreen = 5,
  kOverCurrentContext = 6,
  kPopover = 7,
  kAutomatic = -2,
};

// What a transition's animator works with.
class UIViewControllerContextTransitioning {
 public:
  enum class Key { kFrom, kTo };
  virtual ~UIViewControllerContextTransitioning() = default;
  virtual UIView* containerView() const = 0;
  virtual UIViewController* viewControllerForKey(Key key) const = 0;
  // The view a custom animator adds to the container (to, presenting) or
  // removes (from, dismissing).
  virtual UIViewRef viewForKey(Key key) const = 0;
  virtual CGRect finalFrameForViewController(const UIViewController* vc) const = 0;
  virtual bool isAnimated() const = 0;
  // Called once by the animator when done; later calls are logged and ignored.
  virtual void completeTransition(bool didComplete) = 0;
  virtual bool transitionWasCancelled() const = 0;
};

class UIViewControllerAnimatedTransitioning {
 public:
  virtual ~UIViewControllerAnimatedTransitioning() = default;
  virtual double transitionDuration(UIViewControllerContextTransitioning* context) = 0;
  virtual void animateTransition(UIViewControllerContextTransitioning& context) = 0;
};

// Lets code run its own animations alongside a running transition (a
// presentation controller dimming its backdrop, say).
class UIViewControllerTransitionCoordinator {
 public:
  using Block = std::function<void(UIViewControllerContextTransitioning&)>;
  // `animation` runs inside an animation block with the transition's
  // duration once the animator has started (at once if it already has);
  // `completion` runs when the animator completes the transition, before
  // the appearance callbacks and the caller's completion. False, and nothing
  // runs, once the transition has completed.
  bool animateAlongsideTransition(Block animation, Block completion = {});
  bool isAnimated() const;
  double transitionDuration() const { return duration_; }

 private:
  friend class UIViewController;
  void start(double duration);
  void finish();
  UIViewControllerContextTransitioning* context_ = nullptr;
  std::vector<Block> animations_;
  std::vector<Block> completions_;
  double duration_ = 0;
  bool started_ = false;
  bool finished_ = false;
};

// Owns the chrome around a presented controller and says where it goes.
class UIPresentationController {
 public:
  UIPresentationController(const UIViewControllerRef& presented,
                           const UIViewControllerRef& presenting);
  virtual ~UIPresentationController() = default;

  UIViewController* presentedViewController() const { return presented_.lock().get(); }
  UIViewController* presentingViewController() const { return presenting_.lock().get(); }
  UIView* containerView() const { return container_.lock().get(); }
  virtual UIView* presentedView() const;
  // The container's bounds unless overridden.
  virtual CGRect frameOfPresentedViewInContainerView() const;
  // Whether the presenter's view leaves the window once presented.
  virtual bool shouldRemovePresentersView() const { return false; }

  virtual void presentationTransitionWillBegin() {}
  virtual void presentationTransitionDidEnd(bool completed) { (void)completed; }
  virtual void dismissalTransitionWillBegin() {}
  virtual void dismissalTransitionDidEnd(bool completed) { (void)completed; }
  // Before each layout pass of the container view.
  virtual void containerViewWillLayoutSubviews() {}

 private:
  friend class UIViewController;
  std::weak_ptr<UIViewController> presented_;
  std::weak_ptr<UIViewController> presenting_;
  std::weak_ptr<UIView> container_;
};

class UIViewControllerTransitioningDelegate {
 public:
  virtual ~UIViewControllerTransitioningDelegate() = default;
  // Null: the built-in animation.
  virtual std::shared_ptr<UIViewControllerAnimatedTransitioning>
  animationControllerForPresentedController(UIViewController* presented,
                                            UIViewController* presenting,
                                            UIViewController* source) {
    (void)presented, (void)presenting, (void)source;
    return nullptr;
  }
  virtual std::shared_ptr<UIViewControllerAnimatedTransitioning>
  animationControllerForDismissedController(UIViewController* dismissed) {
    (void)dismissed;
    return nullptr;
  }
  // Used for the custom style only. Null: a plain presentation controller.
  virtual std::shared_ptr<UIPresentationController>
  presentationControllerForPresentedViewController(const UIViewControllerRef& presented,
                                                   const UIViewControllerRef& presenting,
                                                   UIViewController* source) {
    (void)presented, (void)presenting, (void)source;
    return nullptr;
  }
};

class UIViewController : public std::enable_shared_from_this<UIViewController> {
 public:
  UIViewController() = default;
  virtual ~UIViewController();
  UIViewController(const UIViewController&) = delete;
  UIViewController& operator=(const UIViewController&) = delete;

  // The view, loaded on first use: loadView, then viewDidLoad.
  const UIViewRef& view();
  UIViewRef viewIfLoaded() const { return view_; }
  bool isViewLoaded() const { return view_ != nullptr; }
  void setView(UIViewRef view);
  void loadViewIfNeeded() { view(); }

  const std::string& title() const { return title_; }
  void setTitle(std::string title) { title_ = std::move(title); }

  // Presentation.
  void presentViewController(const UIViewControllerRef& controller, bool animated,
                             std::function<void()> completion = {});
  // On a presenter, dismisses what it presented (and anything that one
  // presented); on a presented controller with nothing above it, dismisses
  // itself. With nothing to dismiss the completion still runs, later.
  void dismissViewControllerAnimated(bool animated, std::function<void()> completion = {});
  UIViewController* presentedViewController() const { return presented_.get(); }
  UIViewController* presentingViewController() const { return presenting_.lock().get(); }
  bool isBeingPresented() const { return beingPresented_; }
  bool isBeingDismissed() const { return beingDismissed_; }
  UIModalPresentationStyle modalPresentationStyle() const { return style_; }
  void setModalPresentationStyle(UIModalPresentationStyle style) { style_ = style; }
  // Not owned (weak), as on the platform.
  std::shared_ptr<UIViewControllerTransitioningDelegate> transitioningDelegate() const {
    return transitioningDelegate_.lock();
  }
  void setTransitioningDelegate(std::weak_ptr<UIViewControllerTransitioningDelegate> delegate) {
    transitioningDelegate_ = std::move(delegate);
  }
  // During a presentation or dismissal, for both controllers; else null.
  UIViewControllerTransitionCoordinator* transitionCoordinator() const {
    return coordinator_.get();
  }
  // While presented (or being presented).
  UIPresentationController* presentationController() const { return presentation_.get(); }

  // Overridable steps.
  virtual void loadView();  // a plain view with the main screen's bounds
  virtual void viewDidLoad() {}
  virtual void viewWillAppear(bool animated) { (void)animated; }
  virtual void viewDidAppear(bool animated) { (void)animated; }
  virtual void viewWillDisappear(bool animated) { (void)animated; }
  virtual void viewDidDisappear(bool animated) { (void)animated; }
  virtual void viewWillLayoutSubviews() {}
  virtual void viewDidLayoutSubviews() {}

  // Whether the view is on screen as far as appearance goes.
  bool isAppeared() const { return appearance_ == Appearance::kAppeared; }

  // Containment: the container this controller's view is shown in (a
  // navigation controller), or null.
  UIViewController* parentViewController() const { return parent_.lock().get(); }
  // The nearest navigation controller among the containers, or null.
  UINavigationController* navigationController() const;
  // What a navigation bar shows while this controller is on top: its
  // title (the controller's own when empty) and bar buttons.
  UINavigationItem& navigationItem();

 private:
  friend class UINavigationController;
  friend class UIWindow;
  friend class UIView;
  friend class TransitionContext;
  enum class Appearance { kDisappeared, kAppearing, kAppeared, kDisappearing };
  void beginAppearance(bool appearing, bool animated);
  void endAppearance();
  void finishPresentation(bool completed, const std::shared_ptr<void>& keep);
  void finishDismissal(bool completed, const std::shared_ptr<void>& keep);
  // Takes down what this controller presented at once, without a transition.
  void tearDownPresented();
  bool inTransition() const;

  UIViewRef view_;
  std::weak_ptr<UIViewController> parent_;
  std::shared_ptr<UINavigationItem> navigationItem_;
  bool loadingView_ = false;
  std::string title_;
  Appearance appearance_ = Appearance::kDisappeared;
  bool appearanceAnimated_ = false;

  UIViewControllerRef presented_;
  std::weak_ptr<UIViewController> presenting_;
  bool beingPresented_ = false;
  bool beingDismissed_ = false;
  UIModalPresentationStyle style_ = UIModalPresentationStyle::kFullScreen;
  std::weak_ptr<UIViewControllerTransitioningDelegate> transitioningDelegate_;
  std::shared_ptr<UIPresentationController> presentation_;
  UIViewRef container_;  // the transition's container, while presented
  bool removedPresenterView_ = false;
  std::function<void()> transitionCompletion_;
  std::shared_ptr<UIViewControllerTransitionCoordinator> coordinator_;
  std::shared_ptr<UIViewControllerContextTransitioning> finishedTransition_;
};

}  // namespace sentrel::uikit
