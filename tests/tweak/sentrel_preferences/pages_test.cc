// The settings bundle's pages on a device of their own, without a browser:
// their rows, titles with counts and enabled states, and what their
// switches, sheets and buttons store. The test plays the Settings app; a
// stand-in SpringBoard writes what the pages ask it to save.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "../settings/settings_fixture.h"
#include "platform/apps/installed_apps.h"
#include "platform/uikit/alert_controller.h"
#include "platform/uikit/navigation_controller.h"
#include "platform/uikit/text_field.h"
#include "platform/uikit/window.h"
#include "tweak/SNTMessagingCenter.h"
#include "tweak/sentrel_preferences/SNTPages.h"

namespace sentrel::testing {
namespace {

using namespace std::chrono_literals;
using plist::Value;
using preferences::PSSpecifierRef;

Value rules(std::initializer_list<std::pair<std::string, int64_t>> hosts) {
  plist::MutableDict domains;
  for (const auto& [host, rule] : hosts)
    domains.set(host, Value::dictOf({{"allowed", Value::integer(rule)}}));
  return std::move(domains).build();
}

class Pages : public SettingsTest {
 protected:
  void SetUp() override {
    playProcess("com.apple.Preferences");
    registerSentrelPreferencesClasses();
    // SpringBoard's part: it writes what it is asked to save.
    for (const char* name : {kSaveSettingsNotification, kSaveSettingsAndNotifyNotification}) {
      center_->addObserver(name, [](const std::string&, const Value& document) {
        PrefHandler::writeSettingsFile(document);
      });
    }
    install("com.example.mail", "Mail", apps::AppType::kUser, {});
    install("com.example.news", "News", apps::AppType::kUser, {});
    install("com.apple.weather", "Weather", apps::AppType::kSystem, {});
    install("com.apple.hiddenthing", "Hidden Thing", apps::AppType::kSystem, {"hidden"});
    window_ = std::make_shared<uikit::UIWindow>(uikit::CGRectMake(0, 0, 390, 844));
  }
  void TearDown() override {
    for (const auto& w : uikit::UIApplication::sharedApplication().windows()) w->setHidden(true);
  }
  void install(const std::string& id, const std::string& name, apps::AppType type,
               std::vector<std::string> tags) {
    apps::InstallOptions options;
    options.identifier = id;
    options.display_name = name;
    options.executable = "/bin/true";
    options.type = type;
    options.tags = std::move(tags);
    ASSERT_TRUE(apps::installApp(root_.path(), options).ok());
  }
  // Shows `page` as the root of a navigation controller on screen.
  template <class Page>
  std::shared_ptr<Page> show(std::shared_ptr<Page> page) {
    navigation_ = uikit::UINavigationController::initWithRootViewController(page);
    window_->setRootViewController(navigation_);
    window_->makeKeyAndVisible();
    settle();
    return page;
  }
  void settle() {
    for (int i = 0; i < 10; ++i) {
      clock_.advance(100ms);
      loop_.runUntilIdle();
    }
  }
  // The document in the file once SpringBoard has saved what it was asked to.
  Value saved() {
    loop_.runUntilIdle();
    return fileDocument();
  }
  // The alert or sheet on screen, or null.
  uikit::UIAlertController* shownAlert() {
    for (uikit::UIViewController* top :
         {static_cast<uikit::UIViewController*>(navigation_.get()),
          navigation_ ? navigation_->topViewController() : nullptr}) {
      while (top && top->presentedViewController()) top = top->presentedViewController();
      if (auto* alert = dynamic_cast<uikit::UIAlertController*>(top)) return alert;
    }
    return nullptr;
  }
  // Taps the shown alert's action titled `title`.
  void choose(const std::string& title) {
    settle();  // it has come in
    uikit::UIAlertController* alert = shownAlert();
    ASSERT_NE(alert, nullptr) << "no alert to choose " << title << " in";
    for (const auto& action : alert->actions()) {
      if (action->title() != title) continue;
      ASSERT_TRUE(alert->tapAction(action.get()));
      settle();
      return;
    }
    FAIL() << "no action " << title;
  }
  static PSSpecifierRef row(preferences::PSListController& page, const std::string& name) {
    for (const PSSpecifierRef& s : page.specifiers())
      if (s->name() == name) return s;
    return nullptr;
  }
  static bool enabled(const PSSpecifierRef& s) {
    return s && s->boolProperty(preferences::PSEnabledKey, true);
  }

  std::shared_ptr<uikit::UIWindow> window_;
  std::shared_ptr<uikit::UINavigationController> navigation_;
};

TEST_F(Pages, TheRootPageCountsAppsAndRulesAndGreysWhatTheSwitchesTurnOff) {
  writeSettingsFile(Value::dictOf(
      {{"global_hosts", rules({{"ads.example.com", 2}})},
       {"apps",
        Value::dictOf({{"com.example.mail", Value::dictOf({{"domains", rules({{"a.com", 1}})}})},
                       {"com.gone.app", Value::dictOf({{"domains", rules({{"b.com", 1}})}})},
                       {"com.apple.springboard", Value::dictOf({})}})}}));
  auto page = std::make_shared<SNTRootListController>();
  page->setBundlePath(SENTREL_PREFERENCES_BUNDLE);
  ASSERT_FALSE(page->specifiers().empty());
  EXPECT_NE(row(*page, "Global Site Rules (1)"), nullptr);
  EXPECT_NE(row(*page, "User Apps (1)"), nullptr) << "only apps with settings count";
  EXPECT_NE(row(*page, "System Apps (0)"), nullptr);
  EXPECT_NE(row(*page, "Uninstalled Apps (1)"), nullptr) << "SpringBoard is never uninstalled";
  EXPECT_EQ(page->specifierForID("UserApps")->detailControllerClass(), "SNTUserAppsController");
  EXPECT_TRUE(enabled(row(*page, "Enable System App Firewall")));
  EXPECT_FALSE(enabled(row(*page, "System Apps (0)"))) << "the system firewall is off";

  // Master switch off: the links and the switch grey out; uninstalled apps
  // and the respring button stay usable.
  page->setPreferenceValue(Value::boolean(false), *row(*page, "Enabled"));
  EXPECT_EQ(saved().get("snt_enabled"), Value::boolean(false));
  for (const char* name : {"Advanced Settings", "Global Site Rules (1)", "User Apps (1)",
                           "Enable System App Firewall", "System Apps (0)", "Hidden Apps (0)"})
    EXPECT_FALSE(enabled(row(*page, name))) << name;
  EXPECT_TRUE(enabled(row(*page, "Uninstalled Apps (1)")));
  EXPECT_TRUE(enabled(row(*page, "Respring/Reload")));

  // With the app list set to show every app, the counts follow.
  page->setPreferenceValue(Value::boolean(true), *row(*page, "Enabled"));
  page->setPreferenceValue(Value::boolean(true), *row(*page, "Enable System App Firewall"));
  writeSettingsFile(
      plist::MutableDict(saved()).set("snt_no_network_apps_enabled", Value::boolean(true)).build());
  page->viewDidAppear(false);
  EXPECT_NE(row(*page, "User Apps (2)"), nullptr);
  EXPECT_NE(row(*page, "Hidden Apps (1)"), nullptr);
  EXPECT_TRUE(enabled(row(*page, "System Apps (1)")));
}

// A pressed row shows its highlight at once, not on the next layout pass:
// a destructive button's text darkens, and a row's own colour stays.
TEST_F(Pages, AColouredCellFollowsItsHighlightAndKeepsItsOwnBackground) {
  using uikit::UIColor;
  PSSpecifierRef destructive = preferences::PSSpecifier::preferenceSpecifierNamed(
      "Delete app settings", {}, "", "", "", preferences::PSCellType::PSButtonCell, "");
  destructive->setProperty(Value::boolean(true), preferences::PSIsDestructiveKey);
  auto cell = std::make_shared<SNTColoredTableCell>(destructive);
  cell->layoutSubviews();
  EXPECT_EQ(cell->textLabel().textColor(), UIColor::systemRedColor());
  cell->setHighlighted(true);
  EXPECT_EQ(cell->textLabel().textColor(), UIColor::colorWithRed(0.9, 0, 0, 1));
  cell->setHighlighted(false);
  EXPECT_EQ(cell->textLabel().textColor(), UIColor::systemRedColor());

  PSSpecifierRef coloured = preferences::PSSpecifier::preferenceSpecifierNamed(
      "Respring/Reload", {}, "", "", "", preferences::PSCellType::PSButtonCell, "");
  coloured->setProperty(UIColor::systemGreenColor(), "backgroundColor");
  auto own = std::make_shared<SNTColoredTableCell>(coloured);
  own->layoutSubviews();
  own->setHighlighted(true);
  EXPECT_EQ(own->backgroundColor(), std::optional<UIColor>(UIColor::systemGreenColor()));
}

TEST_F(Pages, ChangingTheNewAppPolicyAsksFirstAndFreezesWhatExistingAppsInherited) {
  writeSettingsFile(Value::dictOf(
      {{"new_app_policy", Value::string("2")},
       {"apps", Value::dictOf({{"com.example.mail", Value::dictOf({})},
                               {"com.example.news",
                                Value::dictOf({{"firewall_enabled", Value::boolean(false)},
                                               {"new_site_policy", Value::string("1")}})}})}}));
  auto page = std::make_shared<SNTRootListController>();
  page->setBundlePath(SENTREL_PREFERENCES_BUNDLE);
  show(page);
  choose("OK");  // the start-up notice
  PSSpecifierRef policy = row(*page, "New App Policy");
  ASSERT_NE(policy, nullptr);

  page->setPreferenceValue(Value::string("3"), *policy);
  ASSERT_NE(shownAlert(), nullptr);
  EXPECT_EQ(shownAlert()->title(), "Changing new app policy");
  choose("Cancel");
  EXPECT_EQ(saved().get("new_app_policy"), Value::string("2")) << "Cancel stored it";

  page->setPreferenceValue(Value::string("0"), *row(*page, "New App Policy"));
  choose("OK");
  const Value stored = saved();
  EXPECT_EQ(stored.get("new_app_policy"), Value::string("0"));
  const Value mail = stored.get("apps").get("com.example.mail");
  EXPECT_EQ(mail.get("firewall_enabled"), Value::boolean(true));
  EXPECT_EQ(mail.get("new_site_policy"), Value::string("2"));
  const Value news = stored.get("apps").get("com.example.news");
  EXPECT_EQ(news.get("firewall_enabled"), Value::boolean(false)) << "an explicit value was kept";
  EXPECT_EQ(news.get("new_site_policy"), Value::string("1"));
}

TEST_F(Pages, AppListsShowAppsWithSettingsInTheirOrderAndNeverSpringBoard) {
  writeSettingsFile(Value::dictOf(
      {{"apps", Value::dictOf(
                    {{"com.example.news",
                      Value::dictOf({{"domains", rules({{"a.com", 1}, {"b.com", 2}})}})},
                     {"com.example.mail", Value::dictOf({{"name", Value::string("Mail")}})},
                     {"com.apple.springboard", Value::dictOf({{"domains", rules({{"c.com", 1}})}})},
                     {"com.Zed.gone", Value::dictOf({{"domains", rules({{"d.com", 2}})}})},
                     {"com.alpha.gone", Value::dictOf({{"domains", rules({{"e.com", 1}})}})}})}}));
  auto users = std::make_shared<SNTUserAppsController>();
  std::vector<std::string> names;
  for (const PSSpecifierRef& s : users->specifiers()) names.push_back(s->name());
  // The switch, its group, then apps by title: Mail, News.
  ASSERT_EQ(names.size(), 4u);
  EXPECT_EQ(names[0], "Show all apps below");
  EXPECT_EQ(names[2], "Mail (0/0 allowed)");
  EXPECT_EQ(names[3], "News (1/2 allowed)");
  EXPECT_EQ(users->specifiers()[3]->identifier(), "com.example.news");

  auto gone = std::make_shared<SNTUninstalledAppsController>();
  names.clear();
  for (const PSSpecifierRef& s : gone->specifiers()) names.push_back(s->identifier());
  EXPECT_EQ(names, (std::vector<std::string>{"com.alpha.gone", "com.Zed.gone"}));

  // Without settings an app shows only when every app is asked for.
  auto system = std::make_shared<SNTSystemAppsController>();
  EXPECT_EQ(system->specifiers().size(), 2u);
  system->setPreferenceValue(Value::boolean(true), *system->specifiers()[0]);
  EXPECT_EQ(system->specifiers().size(), 3u);
}

TEST_F(Pages, AnAppsPageGreysWhatItsSwitchesOverrideAndStoresHostSwitchesAsRules) {
  writeSettingsFile(Value::dictOf(
      {{"apps", Value::dictOf({{"com.example.mail",
                                Value::dictOf({{"domains", rules({{"a.com", 1}})}})}})}}));
  auto list = std::make_shared<SNTUserAppsController>();
  PSSpecifierRef mail = list->specifierForID("com.example.mail");
  ASSERT_NE(mail, nullptr);
  auto page = std::make_shared<SNTAppSettingsController>();
  page->setSpecifier(mail);
  page->loadViewIfNeeded();
  EXPECT_EQ(page->title(), "Mail Firewall");
  EXPECT_EQ(page->readAppPreferenceValue(*row(*page, "Filter WebViews")), Value::boolean(true));
  EXPECT_TRUE(enabled(row(*page, "New Site Policy")));

  page->setAppPreferenceValue(Value::boolean(true), *row(*page, "Allow All Connections"));
  EXPECT_EQ(saved().get("apps").get("com.example.mail").get("allow_all_outbound"),
            Value::boolean(true));
  for (const char* name : {"Block All Connections", "New Site Policy", "Filter WebViews", "a.com"})
    EXPECT_FALSE(enabled(row(*page, name))) << name;
  EXPECT_TRUE(enabled(row(*page, "Firewall Enabled")));
  page->setAppPreferenceValue(Value::boolean(false), *row(*page, "Allow All Connections"));

  // A host switch turned off stores a block rule; the rows stay as they are.
  PSSpecifierRef host = row(*page, "a.com");
  page->setAppPreferenceValue(Value::boolean(false), *host);
  EXPECT_EQ(saved().get("apps").get("com.example.mail").get("domains").get("a.com").get("allowed"),
            Value::integer(2));
  EXPECT_EQ(row(*page, "a.com"), host) << "the list was rebuilt";
  EXPECT_EQ(page->readAppPreferenceValue(*host), Value::boolean(false));
}

TEST_F(Pages, GlobalRulesAreAddedBlockedToggledSwipedAwayAndClearedAfterAsking) {
  writeSettingsFile(Value::dictOf({{"global_hosts", rules({{"keep.com", 1}})}}));
  auto page = show(std::make_shared<SNTGlobalRulesController>());
  EXPECT_EQ(page->title(), "Global Firewall");
  ASSERT_NE(page->navigationItem().rightBarButtonItem(), nullptr);
  EXPECT_EQ(page->navigationItem().rightBarButtonItem()->title(), "+");

  page->addHost();
  ASSERT_NE(shownAlert(), nullptr);
  EXPECT_EQ(shownAlert()->title(), "New Host");
  ASSERT_EQ(shownAlert()->textFields().size(), 1u);
  shownAlert()->textFields()[0]->setText("https://Ads.Example/banner");
  choose("Add");
  // The host of what was typed, as connections name it.
  PSSpecifierRef added = row(*page, "ads.example");
  ASSERT_NE(added, nullptr);
  EXPECT_EQ(page->readPreferenceValue(*added), Value::boolean(false)) << "a new rule blocks";
  page->setPreferenceValue(Value::boolean(true), *added);
  EXPECT_EQ(saved().get("global_hosts").get("ads.example").get("allowed"), Value::integer(1));

  // A text no connection has is refused, saying why, and stores nothing.
  page->addHost();
  shownAlert()->textFields()[0]->setText("*.tracker.example");
  choose("Add");
  ASSERT_NE(shownAlert(), nullptr);
  EXPECT_EQ(shownAlert()->title(), "Not a Host");
  EXPECT_NE(shownAlert()->message().find("wildcard"), std::string::npos) << shownAlert()->message();
  choose("OK");
  EXPECT_EQ(saved().get("global_hosts").asDict()->size(), 2u);

  uikit::UITableView& table = *page->table();
  const auto path = page->indexPathForSpecifier(row(*page, "keep.com").get());
  ASSERT_TRUE(path);
  EXPECT_TRUE(page->canEditRowAtIndexPath(table, *path));
  EXPECT_FALSE(page->canEditRowAtIndexPath(
      table, *page->indexPathForSpecifier(row(*page, "Clear All Global Sites").get())));
  page->commitEditingStyle(table, uikit::UITableViewCellEditingStyle::kDelete, *path);
  EXPECT_TRUE(saved().get("global_hosts").get("keep.com").isNull());
  EXPECT_EQ(row(*page, "keep.com"), nullptr);

  page->clearGlobalHosts(*row(*page, "Clear All Global Sites"));
  choose("Cancel");
  EXPECT_FALSE(saved().get("global_hosts").get("ads.example").isNull());
  page->clearGlobalHosts(*row(*page, "Clear All Global Sites"));
  choose("Clear all sites");
  EXPECT_TRUE(saved().get("global_hosts").asDict()->empty());
  EXPECT_EQ(row(*page, "ads.example"), nullptr);
}

TEST_F(Pages, DeletingAllSettingsTakesTwoConfirmationsAndTheMaintenanceRowsComeOnce) {
  writeSettingsFile(Value::dictOf(
      {{"snt_enabled", Value::boolean(false)}, {"global_hosts", rules({{"x.com", 1}})}}));
  auto root = std::make_shared<SNTRootListController>();
  root->setBundlePath(SENTREL_PREFERENCES_BUNDLE);
  show(root);
  choose("OK");
  auto meta = std::make_shared<SNTMetaController>();
  meta->setBundlePath(SENTREL_PREFERENCES_BUNDLE);
  navigation_->pushViewController(meta, false);
  const size_t rows = meta->specifiers().size();
  meta->reloadSpecifiers();
  EXPECT_EQ(meta->specifiers().size(), rows);
  EXPECT_NE(row(*meta, "Animations"), nullptr) << "the Meta row list";

  PSSpecifierRef clear = row(*meta, "Delete All Sentrel Settings");
  meta->performAction(clear->buttonAction(), *clear);
  choose("Cancel");
  meta->performAction(clear->buttonAction(), *clear);
  choose("Clear all settings");
  choose("Cancel");
  EXPECT_FALSE(saved().get("global_hosts").isNull()) << "one confirmation cleared it";

  meta->performAction(clear->buttonAction(), *clear);
  choose("Clear all settings");
  choose("Clear all settings");
  EXPECT_TRUE(saved().asDict() && saved().asDict()->empty());
  EXPECT_EQ(navigation_->topViewController(), root.get()) << "the page goes back";
  EXPECT_TRUE(enabled(root->specifierForID("UserApps"))) << "the master switch is on again";
}

}  // namespace
}  // namespace sentrel::testing
