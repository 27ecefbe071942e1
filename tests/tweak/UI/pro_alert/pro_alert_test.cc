// The prompt's content, its allow/block switch and what each choice answers
// and writes, on an isolated device.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "firewall_test_env.h"
#include "platform/base/mutex.h"
#include "platform/paths/device_paths.h"
#include "platform/uikit/label.h"
#include "platform/uikit/screen.h"
#include "platform/uikit/stack_view.h"
#include "platform/uikit/window.h"
#include "tweak/UI/SNTProAlert.h"
#include "tweak/intercept.h"

namespace sentrel {
namespace {

using plist::Value;
using testing::FirewallTestEnv;
using namespace uikit;

class AProAlert : public ::testing::Test {
 protected:
  AProAlert() : env_(FirewallTestEnv::springBoardIdentity()) {
    env_.writeSettings(Value::dictOf({}));
    installSNTProAlertFactory();
  }
  ~AProAlert() override {
    setSNTAlertFactory(nullptr);
    MutexLock lock(SNTAlert::queueLock());
    SNTAlert::alerts().clear();
  }

  // A queued record for www.example.com:443 of the example app.
  std::shared_ptr<SNTProAlert> queued(std::string host = "www.example.com") {
    auto alert = std::dynamic_pointer_cast<SNTProAlert>(SNTInterceptor::newAlert());
    EXPECT_NE(alert, nullptr);
    alert->initWithHostname(host, 443, [this](bool allow) { answers_.push_back(allow); });
    alert->setUrl("https://" + host + "/feed");
    alert->setFirewall(SNTFirewall::pooledFirewallForBundle(
        testing::kAppId, "Example", false, false, false, Value::dictOf({}), Value()));
    alert->setState(kSNTAlertStateQueued);
    MutexLock lock(SNTAlert::queueLock());
    SNTAlert::alerts().push_back(alert);
    return alert;
  }

  std::vector<std::string> titles(const qvalert::QVAlertViewController& c) {
    std::vector<std::string> out;
    for (const auto& action : c.actions()) out.push_back(action->title());
    return out;
  }
  // Picks a side as a tap on the switch would.
  void choose(SNTProAlert& alert, long segment) {
    alert.segmentedControl()->setSelectedSegmentIndex(segment);
    alert.segmentedControl()->sendActionsForControlEvents(UIControlEventValueChanged);
  }
  void tap(qvalert::QVAlertViewController& c, size_t index) {
    c.actions()[index]->handler()(*c.actions()[index]);
    env_.runUntilIdle();
  }
  Value appEntry() { return env_.readSettings().get("apps").get(testing::kAppId); }

  FirewallTestEnv env_;
  std::vector<bool> answers_;
};

TEST_F(AProAlert, IsWhatSpringBoardMakesOnceInstalledAndAPlainRecordOtherwise) {
  EXPECT_NE(std::dynamic_pointer_cast<SNTProAlert>(SNTInterceptor::newAlert()), nullptr);
  setSNTAlertFactory([] { return std::shared_ptr<SNTAlert>(); });  // a factory giving nothing
  auto fallback = SNTInterceptor::newAlert();
  ASSERT_NE(fallback, nullptr);
  EXPECT_EQ(std::dynamic_pointer_cast<SNTProAlert>(fallback), nullptr);
}

TEST_F(AProAlert, ShowsTheQueueCountTheHostInBoldAndTheScopes) {
  queued("other.example.net");
  auto alert = queued();
  auto view = alert->buildViewController("Example wants to reach www.example.com.", true);
  auto& stack = dynamic_cast<UIStackView&>(*view->alertViewContentView());
  ASSERT_GE(stack.arrangedSubviews().size(), 2u);
  EXPECT_EQ(dynamic_cast<UILabel&>(*stack.arrangedSubviews()[0]).text(), "Sentrel (2)");
  const AttributedText& message =
      dynamic_cast<UILabel&>(*stack.arrangedSubviews()[1]).attributedText();
  ASSERT_EQ(message.ranges.size(), 1u);
  EXPECT_EQ(message.ranges[0].location, std::string("Example wants to reach ").size());
  EXPECT_EQ(message.ranges[0].length, std::string("www.example.com").size());

  EXPECT_EQ(alert->hostControl()->titleForSegmentAtIndex(0), "www.example.com");
  EXPECT_EQ(alert->hostControl()->titleForSegmentAtIndex(1), "*.example.com");
  EXPECT_FALSE(alert->hostControl()->isEnabled());
  EXPECT_EQ(alert->portControl()->titleForSegmentAtIndex(1), "This port (443)");
  EXPECT_EQ(alert->segmentedControl()->selectedSegmentIndex(), 0);
  // The gear sits on the stack outside its arrangement.
  ASSERT_NE(alert->gearButton(), nullptr);
  EXPECT_EQ(alert->gearButton()->superview(), &stack);
  alert->gearButton()->sendActionsForControlEvents(UIControlEventTouchUpInside);
  EXPECT_TRUE(env_.logs().contains("openSettings"));
  EXPECT_EQ(alert->state(), kSNTAlertStateQueued);

  EXPECT_EQ(view->configuration()->transitionStyle(),
            qvalert::QVAlertViewTransitionStyle::kSlideFromTop);
  EXPECT_EQ(alert->buildViewController("m", false)->configuration()->transitionStyle(),
            qvalert::QVAlertViewTransitionStyle::kNone);
}

TEST_F(AProAlert, ShowsTheGearFromTheDevicesResourceBundle) {
  const auto bundle = paths::resolve("/Library/Application Support/ca.kelmora.sentrel.bundle");
  std::filesystem::create_directories(bundle);
  std::filesystem::copy_file(
      std::filesystem::path(SENTREL_RESOURCES_DIR) / "ca.kelmora.sentrel.bundle" / "gear.png",
      bundle / "gear.png");
  auto alert = queued();
  alert->buildViewController("m", true);
  ASSERT_NE(alert->gearButton()->currentImage(), nullptr);
  EXPECT_EQ(alert->gearButton()->frame().size.height, 25);
}

TEST_F(AProAlert, OnScreenFillsTheAlwaysButtonAndColoursTheOthersWithTheDecision) {
  UIScreen::mainScreen().setProfile(DeviceProfile{375, 667, 2});
  auto window = std::make_shared<UIWindow>(CGRectMake(0, 0, 375, 667));
  window->setRootViewController(std::make_shared<UIViewController>());
  window->makeKeyAndVisible();
  auto alert = queued();
  auto view = alert->buildViewController("m", false);
  window->rootViewController()->presentViewController(view, false);
  env_.runUntilIdle();
  auto always = view->actions()[1]->actionButton();
  auto global = view->actions()[3]->actionButton();
  ASSERT_NE(always, nullptr);
  ASSERT_NE(global, nullptr);
  EXPECT_EQ(always->backgroundColor(), UIColor::systemGreenColor());
  EXPECT_EQ(always->currentTitleColor(), UIColor::whiteColor());
  EXPECT_EQ(always->contentEdgeInsets().top, 10);

  choose(*alert, 1);
  EXPECT_EQ(always->backgroundColor(), UIColor::systemRedColor());
  EXPECT_EQ(always->currentTitle(), "Block always");
  EXPECT_EQ(global->currentTitleColor(), UIColor::systemRedColor());
  EXPECT_EQ(global->currentTitle(), "Block site globally");
  choose(*alert, 0);
  EXPECT_EQ(global->currentTitleColor(), UIColor::systemGreenColor());

  window->setHidden(true);
  UIScreen::mainScreen().setProfile(DeviceProfile{});
}

// Taps as the screen delivers them: on the switch, then on the retitled
// button, which must still be where its title is drawn.
TEST_F(AProAlert, OnScreenTakesTapsOnItsSwitchAndItsRetitledButtons) {
  UIScreen::mainScreen().setProfile(DeviceProfile{375, 667, 2});
  auto window = std::make_shared<UIWindow>(CGRectMake(0, 0, 375, 667));
  window->setRootViewController(std::make_shared<UIViewController>());
  window->makeKeyAndVisible();
  auto alert = queued();
  auto view = alert->buildViewController("m", false);
  window->rootViewController()->presentViewController(view, false);
  env_.runUntilIdle();
  double now = 1;
  auto tapAt = [&](CGPoint p) {
    window->sendTouch(UITouch{1, p, UITouchPhase::kBegan, now});
    window->sendTouch(UITouch{1, p, UITouchPhase::kEnded, now + 0.05});
    now += 1;
    env_.runUntilIdle();
  };
  auto centre = [](UIView& v) {
    return v.convertPoint({CGRectGetMidX(v.bounds()), CGRectGetMidY(v.bounds())}, nullptr);
  };
  UISegmentedControl& decision = *alert->segmentedControl();
  window->layoutIfNeeded();
  const CGPoint block = decision.convertPoint(
      {decision.bounds().size.width * 0.75, decision.bounds().size.height / 2}, nullptr);
  tapAt(block);
  EXPECT_EQ(decision.selectedSegmentIndex(), 1);
  ASSERT_EQ(view->actions()[1]->title(), "Block always");

  window->layoutIfNeeded();
  auto always = view->actions()[1]->actionButton();
  ASSERT_NE(always, nullptr);
  UIView* hit = window->hitTest(centre(*always));
  ASSERT_NE(hit, nullptr);
  EXPECT_TRUE(hit->isDescendantOfView(always.get())) << "the tap lands beside the button";
  tapAt(centre(*always));
  EXPECT_EQ(answers_, std::vector<bool>{false});

  window->setHidden(true);
  UIScreen::mainScreen().setProfile(DeviceProfile{});
}

TEST(AWildcardHost, TakesTheLastTwoLabels) {
  EXPECT_EQ(SNTProAlert::wildcardHost("a.b.example.com"), "*.example.com");
  EXPECT_EQ(SNTProAlert::wildcardHost("example.com"), "*.example.com");
  EXPECT_EQ(SNTProAlert::wildcardHost("example.com."), "*.example.com");
  EXPECT_EQ(SNTProAlert::wildcardHost("localhost"), "*.localhost");
  EXPECT_EQ(SNTProAlert::wildcardHost(""), "*.");
}

TEST_F(AProAlert, RetitlesAndRecoloursItsActionsWithTheDecision) {
  auto alert = queued();
  auto view = alert->buildViewController("m", true);
  const std::vector<std::string> allowTitles{"Allow once", "Allow always",
                                             "Allow all sites for this app", "Allow site globally"};
  EXPECT_EQ(titles(*view), allowTitles);
  EXPECT_EQ(view->actions()[1]->configuration()->titleColor(), UIColor::systemGreenColor());
  EXPECT_TRUE(view->actions()[1]->configuration()->invert());

  choose(*alert, 1);
  EXPECT_FALSE(alert->allowSegmentSelected());
  EXPECT_EQ(titles(*view),
            (std::vector<std::string>{"Block once", "Block always", "Block all sites for this app",
                                      "Block site globally"}));
  for (size_t i : {1, 2, 3})
    EXPECT_EQ(view->actions()[i]->configuration()->titleColor(), UIColor::systemRedColor()) << i;
  EXPECT_TRUE(env_.logs().contains("allowSegmentChanged: new prefix:Block"));

  choose(*alert, 0);
  EXPECT_EQ(titles(*view), allowTitles);
  EXPECT_EQ(view->actions()[2]->configuration()->titleColor(), UIColor::systemGreenColor());
  // No selection reads as allow.
  alert->segmentedControl()->setSelectedSegmentIndex(UISegmentedControl::kNoSegment);
  EXPECT_TRUE(alert->allowSegmentSelected());
  EXPECT_TRUE(answers_.empty());  // nothing is answered by switching
}

TEST_F(AProAlert, ThatCannotResumeWarnsOnItsOnceActionOnlyWhileAllowing) {
  auto alert = queued();
  alert->setIsResumable(false);
  auto view = alert->buildViewController("m", true);
  EXPECT_EQ(view->actions()[0]->title(), "Allow once (unresumable)");
  EXPECT_FALSE(view->actions()[0]->enabled());
  choose(*alert, 1);
  EXPECT_EQ(view->actions()[0]->title(), "Block once");
  EXPECT_TRUE(view->actions()[0]->enabled());
  choose(*alert, 0);
  EXPECT_FALSE(view->actions()[0]->enabled());
}

TEST_F(AProAlert, OnceAnswersWithoutWritingARule) {
  auto alert = queued();
  auto view = alert->buildViewController("m", true);
  choose(*alert, 1);
  tap(*view, 0);
  EXPECT_EQ(answers_, std::vector<bool>{false});
  EXPECT_TRUE(env_.logs().contains("Setting Host once:www.example.com"));
  EXPECT_TRUE(appEntry().get("domains").get("www.example.com").isNull());
  EXPECT_TRUE(SNTAlert::alertsSnapshot().empty());
  // A second "once" after the answer changes nothing.
  tap(*view, 0);
  EXPECT_EQ(answers_, std::vector<bool>{false});
  EXPECT_TRUE(appEntry().get("domains").get("www.example.com").isNull());
}

// The record was answered while its prompt was up (a rule appeared, a
// duplicate was answered): the app keeps its one answer, and the lasting
// choice the user then taps is stored all the same.
TEST_F(AProAlert, StoresALastingChoiceTappedOnARecordAnsweredMeanwhile) {
  auto alert = queued();
  auto view = alert->buildViewController("m", true);
  alert->handleWithCallback(alert->callbackList(), true);
  env_.runUntilIdle();
  ASSERT_EQ(answers_, std::vector<bool>{true});
  choose(*alert, 1);
  tap(*view, 1);  // "Block always"
  EXPECT_EQ(answers_, std::vector<bool>{true}) << "answered twice";
  EXPECT_EQ(appEntry().get("domains").get("www.example.com").get("allowed"), Value::integer(2));
  tap(*view, 2);  // "Block all sites for this app"
  EXPECT_EQ(appEntry().get("deny_all_outbound"), testing::yes());
  EXPECT_EQ(answers_, std::vector<bool>{true});
}

TEST_F(AProAlert, TitlesItsDecisionSegmentsInSixteenPoints) {
  auto alert = queued();
  alert->buildViewController("m", true);
  EXPECT_EQ(alert->segmentedControl()->titleFont().pointSize(), 16);
}

TEST_F(AProAlert, AlwaysStoresTheAppsRuleForTheHost) {
  auto alert = queued();
  auto view = alert->buildViewController("m", true);
  choose(*alert, 1);
  tap(*view, 1);
  EXPECT_TRUE(env_.logs().contains("Setting Host Always www.example.com"));
  EXPECT_EQ(answers_, std::vector<bool>{false});
  EXPECT_EQ(appEntry().get("domains").get("www.example.com").get("allowed"), Value::integer(2));
}

TEST_F(AProAlert, AllSitesSetsTheAppsSwitchAndClearsTheOppositeOne) {
  auto first = queued();
  auto view = first->buildViewController("m", true);
  choose(*first, 1);
  tap(*view, 2);
  EXPECT_TRUE(env_.logs().contains("Setting All hosts Always www.example.com"));
  EXPECT_EQ(appEntry().get("deny_all_outbound"), testing::yes());
  EXPECT_EQ(appEntry().get("domains").get("www.example.com").get("allowed"), Value::integer(2));

  // Allowing all sites later must not leave the earlier block-all winning.
  auto second = queued("cdn.example.org");
  second->firewall()->setAppSettings(appEntry());
  auto again = second->buildViewController("m", true);
  tap(*again, 2);
  EXPECT_EQ(answers_, (std::vector<bool>{false, true}));
  EXPECT_EQ(appEntry().get("allow_all_outbound"), testing::yes());
  EXPECT_EQ(appEntry().get("deny_all_outbound"), testing::no());
  EXPECT_EQ(second->firewall()->ruleForHost("elsewhere.example.com"), 1);
}

TEST_F(AProAlert, SiteGloballyWritesTheGlobalRuleAndTheAppsOwn) {
  auto alert = queued();
  auto view = alert->buildViewController("m", true);
  tap(*view, 3);
  EXPECT_TRUE(env_.logs().contains("Global Always www.example.com"));
  EXPECT_EQ(answers_, std::vector<bool>{true});
  const Value file = env_.readSettings();
  EXPECT_EQ(file.get("global_hosts").get("www.example.com").get("allowed"), Value::integer(1));
  EXPECT_EQ(appEntry().get("domains").get("www.example.com").get("allowed"), Value::integer(1));
}

}  // namespace
}  // namespace sentrel
