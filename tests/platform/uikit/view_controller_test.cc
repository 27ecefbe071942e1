#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "platform/runloop/run_loop.h"
#include "platform/uikit/alert_controller.h"
#include "platform/uikit/button.h"
#include "platform/uikit/table_view.h"
#include "platform/uikit/view_controller.h"
#include "platform/uikit/window.h"
#include "support/log_capture.h"

namespace sentrel::uikit {
namespace {

using namespace std::chrono_literals;
using Events = std::vector<std::string>;

class Recorder : public UIViewController {
 public:
  Recorder(std::string name, Events* events) : name_(std::move(name)), events_(events) {}
  void loadView() override {
    note("loadView");
    UIViewController::loadView();
  }
  void viewDidLoad() override { note("viewDidLoad"); }
  void viewWillAppear(bool) override { note("viewWillAppear"); }
  void viewDidAppear(bool) override { note("viewDidAppear"); }
  void viewWillDisappear(bool) override { note("viewWillDisappear"); }
  void viewDidDisappear(bool) override { note("viewDidDisappear"); }
  void viewWillLayoutSubviews() override { note("viewWillLayoutSubviews"); }
  void viewDidLayoutSubviews() override { note("viewDidLayoutSubviews"); }

 private:
  void note(const std::string& what) { events_->push_back(name_ + "." + what); }
  std::string name_;
  Events* events_;
};

class ViewControllerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    window_ = std::make_shared<UIWindow>(CGRectMake(0, 0, 390, 844));
    root_ = std::make_shared<Recorder>("root", &events_);
  }
  void TearDown() override {
    for (const auto& w : UIApplication::sharedApplication().windows()) w->setHidden(true);
  }
  void showRoot() {
    window_->setRootViewController(root_);
    window_->makeKeyAndVisible();
    events_.clear();
  }
  void advance(std::chrono::milliseconds by) {
    clock_.advance(by);
    loop_.runUntilIdle();
  }

  runloop::FakeClock clock_;
  runloop::RunLoop loop_{clock_};
  runloop::MainQueue::ScopedOverride main_{loop_};
  Events events_;
  std::shared_ptr<UIWindow> window_;
  std::shared_ptr<Recorder> root_;
};

TEST_F(ViewControllerTest, TheViewLoadsLazilyOnce) {
  EXPECT_FALSE(root_->isViewLoaded());
  UIView* view = root_->view().get();
  EXPECT_EQ(root_->view().get(), view);
  EXPECT_EQ(events_, (Events{"root.loadView", "root.viewDidLoad"}));
}

TEST_F(ViewControllerTest, RootAppearanceFollowsTheWindow) {
  window_->setRootViewController(root_);
  EXPECT_EQ(events_, (Events{"root.loadView", "root.viewDidLoad"}));  // hidden: no appearance
  EXPECT_EQ(root_->view()->superview(), window_.get());
  EXPECT_EQ(root_->view()->frame(), window_->bounds());
  events_.clear();
  window_->makeKeyAndVisible();
  EXPECT_EQ(events_, (Events{"root.viewWillAppear", "root.viewWillLayoutSubviews",
                             "root.viewDidLayoutSubviews", "root.viewDidAppear"}));
  events_.clear();
  // Replacing the root of a visible window.
  auto next = std::make_shared<Recorder>("next", &events_);
  window_->setRootViewController(next);
  EXPECT_EQ(events_,
            (Events{"root.viewWillDisappear", "root.viewDidDisappear", "next.loadView",
                    "next.viewDidLoad", "next.viewWillAppear", "next.viewWillLayoutSubviews",
                    "next.viewDidLayoutSubviews", "next.viewDidAppear"}));
  EXPECT_EQ(root_->view()->superview(), nullptr);
  EXPECT_EQ(window_->rootViewController(), next);
  events_.clear();
  window_->setHidden(true);
  EXPECT_EQ(events_, (Events{"next.viewWillDisappear", "next.viewDidDisappear"}));
}

TEST_F(ViewControllerTest, FullScreenPresentAndDismissSendAppearanceInOrder) {
  showRoot();
  auto modal = std::make_shared<Recorder>("modal", &events_);
  bool presented = false;
  root_->presentViewController(modal, true, [&] {
    presented = true;
    events_.push_back("present completion");
  });
  EXPECT_EQ(root_->presentedViewController(), modal.get());
  EXPECT_EQ(modal->presentingViewController(), root_.get());
  EXPECT_TRUE(modal->isBeingPresented());
  EXPECT_EQ(events_, (Events{"modal.loadView", "modal.viewDidLoad", "root.viewWillDisappear",
                             "modal.viewWillAppear", "root.viewWillLayoutSubviews",
                             "root.viewDidLayoutSubviews", "modal.viewWillLayoutSubviews",
                             "modal.viewDidLayoutSubviews"}));
  events_.clear();
  advance(299ms);
  EXPECT_FALSE(presented);
  advance(1ms);
  EXPECT_EQ(events_,
            (Events{"root.viewDidDisappear", "modal.viewDidAppear", "present completion"}));
  EXPECT_FALSE(modal->isBeingPresented());
  EXPECT_EQ(root_->view()->window(), nullptr);  // covered, so taken out
  EXPECT_EQ(modal->view()->window(), window_.get());
  EXPECT_EQ(modal->view()->frame(), window_->bounds());

  events_.clear();
  modal->dismissViewControllerAnimated(true, [&] { events_.push_back("dismiss completion"); });
  EXPECT_TRUE(modal->isBeingDismissed());
  EXPECT_EQ(events_, (Events{"modal.viewWillDisappear", "root.viewWillAppear"}));
  EXPECT_EQ(root_->view()->window(), window_.get());
  events_.clear();
  advance(300ms);
  EXPECT_EQ(events_,
            (Events{"modal.viewDidDisappear", "root.viewDidAppear", "dismiss completion"}));
  EXPECT_EQ(root_->presentedViewController(), nullptr);
  EXPECT_EQ(modal->presentingViewController(), nullptr);
  EXPECT_EQ(modal->view()->window(), nullptr);
  EXPECT_EQ(window_->subviews().size(), 1u);  // only the root's view is left
}

TEST_F(ViewControllerTest, PresentingTwiceOrFromOffScreenIsRefusedSafely) {
  auto first = std::make_shared<Recorder>("first", &events_);
  auto second = std::make_shared<Recorder>("second", &events_);
  bool secondDone = false;
  testing::LogCapture log;
  // Not in a window yet.
  root_->presentViewController(first, false);
  EXPECT_EQ(root_->presentedViewController(), nullptr);
  EXPECT_TRUE(log.contains("not in a window"));
  showRoot();
  root_->presentViewController(first, false);
  // During the transition, then once presented: refused, nothing changes.
  root_->presentViewController(second, false, [&] { secondDone = true; });
  loop_.runUntilIdle();
  root_->presentViewController(second, false, [&] { secondDone = true; });
  loop_.runUntilIdle();
  EXPECT_EQ(root_->presentedViewController(), first.get());
  EXPECT_EQ(second->presentingViewController(), nullptr);
  EXPECT_FALSE(second->isViewLoaded());
  EXPECT_FALSE(secondDone);
  EXPECT_EQ(log.count("already presenting a controller"), 2u);
  // A controller already presented cannot be presented again elsewhere.
  first->presentViewController(first, false);
  EXPECT_EQ(first->presentedViewController(), nullptr);
  EXPECT_TRUE(log.contains("cannot present itself"));
  // A presented controller may present in its turn; dismissing from the
  // bottom takes the whole stack down.
  first->presentViewController(second, false, [&] { secondDone = true; });
  loop_.runUntilIdle();
  EXPECT_TRUE(secondDone);
  EXPECT_EQ(second->presentingViewController(), first.get());
  bool dismissed = false;
  root_->dismissViewControllerAnimated(false, [&] { dismissed = true; });
  loop_.runUntilIdle();
  EXPECT_TRUE(dismissed);
  EXPECT_EQ(root_->presentedViewController(), nullptr);
  EXPECT_EQ(first->presentedViewController(), nullptr);
  EXPECT_FALSE(second->isAppeared());
  EXPECT_TRUE(root_->isAppeared());
  // Dismissing with nothing presented still completes, later.
  bool nothing = false;
  root_->dismissViewControllerAnimated(false, [&] { nothing = true; });
  EXPECT_FALSE(nothing);
  loop_.runUntilIdle();
  EXPECT_TRUE(nothing);
}

class HalfHeightPresentation : public UIPresentationController {
 public:
  HalfHeightPresentation(const UIViewControllerRef& presented,
                         const UIViewControllerRef& presenting, Events* events)
      : UIPresentationController(presented, presenting), events_(events) {}
  CGRect frameOfPresentedViewInContainerView() const override {
    CGRect r = containerView()->bounds();
    r.size.height /= 2;
    r.origin.y = r.size.height;
    return r;
  }
  void presentationTransitionWillBegin() override {
    events_->push_back("pc.willBegin");
    // A dimming view fades in alongside the animator's own animation.
    dimming = std::make_shared<UIView>(containerView()->bounds());
    dimming->setAlpha(0);
    containerView()->addSubview(dimming);
    auto* coordinator = presentedViewController()->transitionCoordinator();
    ASSERT_NE(coordinator, nullptr);
    EXPECT_EQ(presentingViewController()->transitionCoordinator(), coordinator);
    coordinator->animateAlongsideTransition(
        [this](UIViewControllerContextTransitioning&) { dimming->setAlpha(0.4); },
        [this](UIViewControllerContextTransitioning&) { events_->push_back("pc.alongsideDone"); });
  }
  UIViewRef dimming;
  void presentationTransitionDidEnd(bool done) override {
    events_->push_back(done ? "pc.didEnd" : "pc.didEnd(cancelled)");
  }
  void dismissalTransitionWillBegin() override { events_->push_back("pc.dismissWillBegin"); }
  void dismissalTransitionDidEnd(bool) override { events_->push_back("pc.dismissDidEnd"); }

 private:
  Events* events_;
};

class FadeAnimator : public UIViewControllerAnimatedTransitioning {
 public:
  explicit FadeAnimator(bool presenting) : presenting_(presenting) {}
  double transitionDuration(UIViewControllerContextTransitioning*) override { return 0.5; }
  void animateTransition(UIViewControllerContextTransitioning& ctx) override {
    using Key = UIViewControllerContextTransitioning::Key;
    context = &ctx;
    UIViewController* presented = ctx.viewControllerForKey(presenting_ ? Key::kTo : Key::kFrom);
    UIViewRef view = ctx.viewForKey(presenting_ ? Key::kTo : Key::kFrom);
    EXPECT_NE(view, nullptr);
    if (presenting_) {
      view->setFrame(ctx.finalFrameForViewController(presented));
      view->setAlpha(0);
      ctx.containerView()->addSubview(view);
    }
    // The presenter stays on screen, so its view is not handed over.
    EXPECT_EQ(ctx.viewForKey(presenting_ ? Key::kFrom : Key::kTo), nullptr);
    UIView::animateWithDuration(
        transitionDuration(&ctx), [&] { view->setAlpha(presenting_ ? 1 : 0); },
        [&ctx](bool) { ctx.completeTransition(!ctx.transitionWasCancelled()); });
  }
  UIViewControllerContextTransitioning* context = nullptr;

 private:
  bool presenting_;
};

class Transitions : public UIViewControllerTransitioningDelegate {
 public:
  explicit Transitions(Events* events) : events_(events) {}
  std::shared_ptr<UIViewControllerAnimatedTransitioning> animationControllerForPresentedController(
      UIViewController*, UIViewController*, UIViewController*) override {
    return presenter;
  }
  std::shared_ptr<UIViewControllerAnimatedTransitioning> animationControllerForDismissedController(
      UIViewController*) override {
    return dismisser;
  }
  std::shared_ptr<UIPresentationController> presentationControllerForPresentedViewController(
      const UIViewControllerRef& presented, const UIViewControllerRef& presenting,
      UIViewController*) override {
    return std::make_shared<HalfHeightPresentation>(presented, presenting, events_);
  }
  std::shared_ptr<FadeAnimator> presenter = std::make_shared<FadeAnimator>(true);
  std::shared_ptr<FadeAnimator> dismisser = std::make_shared<FadeAnimator>(false);

 private:
  Events* events_;
};

TEST_F(ViewControllerTest, CustomPresentationRunsTheAnimatorAndKeepsThePresenterOnScreen) {
  showRoot();
  auto sheet = std::make_shared<Recorder>("sheet", &events_);
  auto transitions = std::make_shared<Transitions>(&events_);
  sheet->setModalPresentationStyle(UIModalPresentationStyle::kCustom);
  sheet->setTransitioningDelegate(transitions);
  root_->presentViewController(sheet, true, [&] { events_.push_back("completion"); });
  ASSERT_NE(transitions->presenter->context, nullptr);
  auto* pc = dynamic_cast<HalfHeightPresentation*>(sheet->presentationController());
  ASSERT_NE(pc, nullptr);
  EXPECT_EQ(pc->presentingViewController(), root_.get());
  UIViewRef container = transitions->presenter->context->containerView()->shared_from_this();
  EXPECT_EQ(container->superview(), window_.get());
  EXPECT_EQ(sheet->view()->superview(), container.get());
  EXPECT_EQ(sheet->view()->frame(), CGRectMake(0, 422, 390, 422));
  // The model is at its final value at once, and the fade is recorded.
  EXPECT_DOUBLE_EQ(sheet->view()->alpha(), 1);
  const auto& fades = sheet->view()->pendingAnimations();
  ASSERT_FALSE(fades.empty());
  EXPECT_EQ(fades.back().property, UIViewAnimatedProperty::kAlpha);
  EXPECT_DOUBLE_EQ(std::get<double>(fades.back().from), 0);
  EXPECT_DOUBLE_EQ(fades.back().timing.duration, 0.5);
  // The alongside fade took the animator's duration; the window hands every
  // recorded animation to the display link.
  auto collected = window_->collectPendingAnimations();
  bool sawDimming = false;
  for (const auto& [view, records] : collected) {
    if (view != pc->dimming.get()) continue;
    sawDimming = true;
    ASSERT_EQ(records.size(), 1u);
    EXPECT_DOUBLE_EQ(records[0].timing.duration, 0.5);
    EXPECT_DOUBLE_EQ(std::get<double>(records[0].to), 0.4);
  }
  EXPECT_TRUE(sawDimming);
  EXPECT_TRUE(sheet->view()->pendingAnimations().empty());
  advance(499ms);
  EXPECT_FALSE(sheet->isAppeared());
  advance(1ms);
  EXPECT_EQ(events_,
            (Events{"sheet.loadView", "sheet.viewDidLoad", "sheet.viewWillAppear", "pc.willBegin",
                    "root.viewWillLayoutSubviews", "root.viewDidLayoutSubviews",
                    "sheet.viewWillLayoutSubviews", "sheet.viewDidLayoutSubviews",
                    "pc.alongsideDone", "pc.didEnd", "sheet.viewDidAppear", "completion"}));
  EXPECT_TRUE(root_->isAppeared());
  EXPECT_EQ(root_->view()->window(), window_.get());
  EXPECT_EQ(sheet->transitionCoordinator(), nullptr);

  events_.clear();
  sheet->dismissViewControllerAnimated(true, [&] { events_.push_back("dismissed"); });
  advance(500ms);
  EXPECT_EQ(events_, (Events{"sheet.viewWillDisappear", "pc.dismissWillBegin", "pc.dismissDidEnd",
                             "sheet.viewDidDisappear", "dismissed"}));
  EXPECT_EQ(container->superview(), nullptr);
  EXPECT_EQ(sheet->presentationController(), nullptr);
}

// A presentation controller that puts the presented view where it wants it
// before every layout of the container.
class InsetPresentation : public UIPresentationController {
 public:
  using UIPresentationController::UIPresentationController;
  void containerViewWillLayoutSubviews() override {
    ++layouts;
    presentedView()->setFrame(CGRectMake(10, 20, 100, 50));
  }
  int layouts = 0;
};

class InsetTransitions : public UIViewControllerTransitioningDelegate {
 public:
  std::shared_ptr<UIPresentationController> presentationControllerForPresentedViewController(
      const UIViewControllerRef& presented, const UIViewControllerRef& presenting,
      UIViewController*) override {
    pc = std::make_shared<InsetPresentation>(presented, presenting);
    return pc;
  }
  std::shared_ptr<InsetPresentation> pc;
};

TEST_F(ViewControllerTest, TheContainerTellsItsPresentationControllerBeforeEachLayout) {
  showRoot();
  auto sheet = std::make_shared<Recorder>("sheet", &events_);
  auto transitions = std::make_shared<InsetTransitions>();
  sheet->setModalPresentationStyle(UIModalPresentationStyle::kCustom);
  sheet->setTransitioningDelegate(transitions);
  root_->presentViewController(sheet, true);
  advance(300ms);
  ASSERT_NE(transitions->pc, nullptr);
  EXPECT_GE(transitions->pc->layouts, 1);
  EXPECT_EQ(sheet->view()->frame(), CGRectMake(10, 20, 100, 50));
  const int before = transitions->pc->layouts;
  UIView* container = transitions->pc->containerView();
  sheet->view()->setFrame(CGRectMake(0, 0, 5, 5));
  container->setNeedsLayout();
  window_->layoutIfNeeded();
  EXPECT_EQ(transitions->pc->layouts, before + 1);
  EXPECT_EQ(sheet->view()->frame(), CGRectMake(10, 20, 100, 50));
}

class GiveUp : public UIViewControllerAnimatedTransitioning,
               public UIViewControllerTransitioningDelegate {
 public:
  double transitionDuration(UIViewControllerContextTransitioning*) override { return 0.2; }
  void animateTransition(UIViewControllerContextTransitioning& ctx) override {
    ctx.containerView()->addSubview(ctx.viewForKey(UIViewControllerContextTransitioning::Key::kTo));
    runloop::afterMain(200ms, [&ctx] {
      ctx.completeTransition(false);
      ctx.completeTransition(true);  // a second call is ignored
    });
  }
  std::shared_ptr<UIViewControllerAnimatedTransitioning> animationControllerForPresentedController(
      UIViewController*, UIViewController*, UIViewController*) override {
    return std::shared_ptr<UIViewControllerAnimatedTransitioning>(shared_from_this, this);
  }
  std::shared_ptr<GiveUp> shared_from_this;
};

TEST_F(ViewControllerTest, ACancelledPresentationPutsEverythingBack) {
  showRoot();
  auto modal = std::make_shared<Recorder>("modal", &events_);
  auto giveUp = std::make_shared<GiveUp>();
  giveUp->shared_from_this = giveUp;
  modal->setTransitioningDelegate(giveUp);
  bool completed = false;
  root_->presentViewController(modal, true, [&] { completed = true; });
  events_.clear();
  advance(200ms);
  giveUp->shared_from_this.reset();
  EXPECT_FALSE(completed);
  EXPECT_EQ(events_, (Events{"modal.viewWillDisappear", "modal.viewDidDisappear",
                             "root.viewWillAppear", "root.viewDidAppear"}));
  EXPECT_EQ(root_->presentedViewController(), nullptr);
  EXPECT_EQ(modal->presentingViewController(), nullptr);
  EXPECT_EQ(modal->view()->window(), nullptr);
  EXPECT_EQ(window_->subviews().size(), 1u);
  EXPECT_TRUE(root_->isAppeared());
  // And the presenter can present again.
  root_->presentViewController(std::make_shared<UIViewController>(), false,
                               [&] { completed = true; });
  loop_.runUntilIdle();
  EXPECT_TRUE(completed);
}

TEST_F(ViewControllerTest, AlertActionHandlerRunsAfterTheDismissal) {
  showRoot();
  auto alert = UIAlertController::alertControllerWithTitle("Allow connection?", "host.example",
                                                           UIAlertControllerStyle::kAlert);
  std::vector<std::string> ran;
  auto allow =
      UIAlertAction::actionWithTitle("Allow", UIAlertActionStyle::kDefault, [&](UIAlertAction& a) {
        ran.push_back(a.title());
        EXPECT_EQ(root_->presentedViewController(), nullptr);
      });
  auto deny = UIAlertAction::actionWithTitle("Deny", UIAlertActionStyle::kCancel,
                                             [&](UIAlertAction& a) { ran.push_back(a.title()); });
  alert->addAction(allow);
  alert->addAction(deny);
  alert->addAction(UIAlertAction::actionWithTitle("Cancel", UIAlertActionStyle::kCancel));
  EXPECT_EQ(alert->actions().size(), 2u);  // one cancel action only
  alert->addTextFieldWithConfigurationHandler([](UITextField&) {});
  EXPECT_EQ(alert->textFieldConfigurations().size(), 1u);

  EXPECT_FALSE(alert->tapAction(allow.get()));  // not on screen yet
  root_->presentViewController(alert, true);
  EXPECT_FALSE(alert->tapAction(allow.get()));  // still coming in
  advance(300ms);
  EXPECT_TRUE(root_->isAppeared());  // an alert leaves its presenter on screen
  EXPECT_TRUE(alert->tapAction(allow.get()));
  EXPECT_FALSE(alert->tapAction(deny.get()));  // only the first tap counts
  EXPECT_TRUE(ran.empty());
  advance(300ms);
  EXPECT_EQ(ran, (std::vector<std::string>{"Allow"}));

  auto sheet =
      UIAlertController::alertControllerWithTitle("", "", UIAlertControllerStyle::kActionSheet);
  sheet->addTextFieldWithConfigurationHandler([](UITextField&) {});
  EXPECT_TRUE(sheet->textFieldConfigurations().empty());
}

// A message longer than the screen scrolls inside the card; the actions stay
// on the screen, and so does the card.
TEST_F(ViewControllerTest, AnAlertTallerThanTheScreenScrollsItsMessageAndKeepsItsActionsInView) {
  showRoot();
  std::string message;
  for (int line = 0; line < 120; ++line) message += "A line of the notice.\n";
  auto alert = UIAlertController::alertControllerWithTitle("Thanks", message,
                                                           UIAlertControllerStyle::kAlert);
  auto ok = UIAlertAction::actionWithTitle("OK", UIAlertActionStyle::kDefault);
  alert->addAction(ok);
  root_->presentViewController(alert, false);
  advance(300ms);
  UIView& card = *alert->view()->subviews().back();
  const CGRect onScreen = card.convertRect(card.bounds(), window_.get());
  EXPECT_GE(onScreen.origin.y, 0);
  EXPECT_LE(onScreen.origin.y + onScreen.size.height, 844);
  auto* scroller = dynamic_cast<UIScrollView*>(card.subviews().front().get());
  ASSERT_NE(scroller, nullptr);
  EXPECT_GT(scroller->contentSize().height, scroller->bounds().size.height);
  scroller->setContentOffset({0, 10000});
  EXPECT_DOUBLE_EQ(scroller->contentOffset().y,
                   scroller->contentSize().height - scroller->bounds().size.height);
  for (const auto& child : card.subviews()) {
    if (dynamic_cast<UIButton*>(child.get()) == nullptr) continue;
    const CGRect button = child->convertRect(child->bounds(), window_.get());
    EXPECT_GE(button.origin.y, 0);
    EXPECT_LE(button.origin.y + button.size.height, 844) << "the OK button is off the screen";
  }
  EXPECT_TRUE(alert->tapAction(ok.get()));
  advance(300ms);
}

}  // namespace
}  // namespace sentrel::uikit
