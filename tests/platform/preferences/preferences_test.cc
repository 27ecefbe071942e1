// The Preferences framework: row lists read from a bundle, rows shown in a
// page's table, and what taps on them do.
#include "platform/preferences/preferences.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "platform/plist/plist_codec.h"
#include "platform/runloop/run_loop.h"
#include "platform/uikit/window.h"
#include "support/temp_dir.h"

namespace sentrel::preferences {
namespace {

using namespace std::chrono_literals;
using plist::Value;

// A page that keeps its values in memory and records its actions.
class Page : public PSListController {
 public:
  Page() {
    registerAction("clear:", [this](PSSpecifier& s) { actions.push_back("clear " + s.name()); });
    registerAction("removed:",
                   [this](PSSpecifier& s) { actions.push_back("removed " + s.name()); });
  }
  std::vector<PSSpecifierRef>& specifiers() override {
    if (specifiers_.empty()) specifiers_ = rows ? rows(*this) : std::vector<PSSpecifierRef>{};
    return specifiers_;
  }
  Value readPreferenceValue(PSSpecifier& s) override {
    Value v = stored.get(*s.propertyForKey(PSKeyNameKey).asString());
    return v.isNull() ? s.propertyForKey(PSDefaultValueKey) : v;
  }
  void setPreferenceValue(const Value& value, PSSpecifier& s) override {
    plist::MutableDict next(stored);
    next.set(*s.propertyForKey(PSKeyNameKey).asString(), value);
    stored = std::move(next).build();
  }

  std::function<std::vector<PSSpecifierRef>(Page&)> rows;
  Value stored = Value::dictOf({});
  std::vector<std::string> actions;
};

class PreferencesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    window_ = std::make_shared<uikit::UIWindow>(uikit::CGRectMake(0, 0, 390, 844));
    page_ = std::make_shared<Page>();
    page_->setBundlePath(bundle_.path());
  }
  void TearDown() override {
    for (const auto& w : uikit::UIApplication::sharedApplication().windows()) w->setHidden(true);
  }
  void show() {
    navigation_ = uikit::UINavigationController::initWithRootViewController(page_);
    window_->setRootViewController(navigation_);
    window_->makeKeyAndVisible();
  }
  void settle() {
    for (int i = 0; i < 10; ++i) {
      clock_.advance(100ms);
      loop_.runUntilIdle();
    }
  }
  void writeList(const std::string& name, const Value& list) {
    ASSERT_TRUE(plist::writeFileAtomically(bundle_.path() / (name + ".plist"), list).ok());
  }
  void tap(uikit::UIView& view) {
    const uikit::CGRect r = view.convertRect(view.bounds(), window_.get());
    uikit::UITouch t;
    t.identifier = 1;
    t.locationInWindow = {r.origin.x + r.size.width / 2, r.origin.y + r.size.height / 2};
    t.phase = uikit::UITouchPhase::kBegan;
    window_->sendTouch(t);
    t.phase = uikit::UITouchPhase::kEnded;
    window_->sendTouch(t);
  }
  uikit::UITableViewCell& cell(long section, long row) {
    return *page_->table()->cellForRowAtIndexPath({section, row});
  }

  runloop::FakeClock clock_;
  runloop::RunLoop loop_{clock_};
  runloop::MainQueue::ScopedOverride main_{loop_};
  testing::TempDir bundle_;
  std::shared_ptr<uikit::UIWindow> window_;
  std::shared_ptr<Page> page_;
  std::shared_ptr<uikit::UINavigationController> navigation_;
};

TEST_F(PreferencesTest, ReadsARowListWithKindsSelectorsChoicesAndPropertiesAndSkipsBadRows) {
  writeList(
      "Root",
      Value::dictOf(
          {{"items",
            Value::array({Value::dictOf({{"cell", Value::string("PSGroupCell")},
                                         {"label", Value::string("Firewall")},
                                         {"footerText", Value::string("Off stops every rule.")}}),
                          Value::dictOf({{"cell", Value::string("PSSwitchCell")},
                                         {"label", Value::string("Enabled")},
                                         {"key", Value::string("snt_enabled")},
                                         {"default", Value::boolean(true)},
                                         {"id", Value::string("Master")}}),
                          Value::string("not a row"),
                          Value::dictOf({{"cell", Value::string("PSNoSuchCell")}}),
                          Value::dictOf({{"cell", Value::string("PSLinkListCell")},
                                         {"label", Value::string("Policy")},
                                         {"key", Value::string("new_app_policy")},
                                         {"validValues",
                                          Value::array({Value::string("1"), Value::string("2")})},
                                         {"validTitles", Value::array({Value::string("Allow"),
                                                                       Value::string("Block")})}}),
                          Value::dictOf({{"cell", Value::string("PSButtonCell")},
                                         {"label", Value::string("Clear")},
                                         {"action", Value::string("clear:")}})})}}));
  const std::vector<PSSpecifierRef> rows = page_->loadSpecifiersFromPlistName("Root", page_);
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_EQ(rows[0]->cellType(), PSCellType::PSGroupCell);
  EXPECT_EQ(*rows[0]->propertyForKey(PSFooterTextGroupKey).asString(), "Off stops every rule.");
  EXPECT_EQ(rows[1]->identifier(), "Master");
  EXPECT_EQ(rows[1]->getSelector(), "readPreferenceValue:");
  EXPECT_EQ(rows[1]->setSelector(), "setPreferenceValue:specifier:");
  EXPECT_EQ(rows[1]->propertyForKey(PSDefaultValueKey), Value::boolean(true));
  EXPECT_EQ(rows[2]->titleForValue(Value::string("2"), true), "Block");
  EXPECT_EQ(rows[3]->buttonAction(), "clear:");
  EXPECT_EQ(rows[3]->identifier(), "Clear") << "the identifier defaults to the name";

  // No file, or a file without items: no rows.
  EXPECT_TRUE(page_->loadSpecifiersFromPlistName("Missing", page_).empty());
  writeList("Odd", Value::dictOf({{"items", Value::string("x")}}));
  EXPECT_TRUE(page_->loadSpecifiersFromPlistName("Odd", page_).empty());
}

TEST_F(PreferencesTest, ShowsRowsInSectionsAndASwitchStoresThroughItsSettersSelector) {
  page_->rows = [](Page& p) {
    auto group = PSSpecifier::groupSpecifierWithName("Rules");
    group->setProperty(Value::string("On = Allow"), PSFooterTextGroupKey);
    auto toggle = PSSpecifier::preferenceSpecifierNamed(
        "Enabled", p.weakSelf(), "setPreferenceValue:specifier:", "readPreferenceValue:", "",
        PSCellType::PSSwitchCell, "");
    toggle->setProperty(Value::string("snt_enabled"), PSKeyNameKey);
    toggle->setProperty(Value::boolean(true), PSDefaultValueKey);
    auto off = PSSpecifier::preferenceSpecifierNamed("Greyed", p.weakSelf(), "", "", "",
                                                     PSCellType::PSButtonCell, "");
    off->setButtonAction("clear:");
    off->setProperty(Value::boolean(false), PSEnabledKey);
    return std::vector<PSSpecifierRef>{group, toggle, off};
  };
  show();
  ASSERT_EQ(page_->table()->numberOfSections(), 1);
  EXPECT_EQ(page_->table()->headerLabelForSection(0)->text(), "Rules");
  EXPECT_EQ(page_->table()->footerLabelForSection(0)->text(), "On = Allow");
  auto& row = static_cast<PSTableCell&>(cell(0, 0));
  ASSERT_NE(row.control(), nullptr);
  EXPECT_TRUE(row.control()->isOn()) << "the getter's default";

  tap(*row.control());
  EXPECT_EQ(page_->stored.get("snt_enabled"), Value::boolean(false));
  tap(cell(0, 1));
  EXPECT_TRUE(page_->actions.empty()) << "a disabled button did something";
}

TEST_F(PreferencesTest, ALinkPushesItsPageByClassNameAndAListPicksAValue) {
  registerControllerClass("TestDetailPage", [] { return std::make_shared<Page>(); });
  page_->rows = [](Page& p) {
    auto link = PSSpecifier::preferenceSpecifierNamed("Details", p.weakSelf(), "", "",
                                                      "TestDetailPage", PSCellType::PSLinkCell, "");
    link->setIdentifier("Detail");
    auto policy = PSSpecifier::preferenceSpecifierNamed(
        "Policy", p.weakSelf(), "setPreferenceValue:specifier:", "readPreferenceValue:", "",
        PSCellType::PSLinkListCell, "");
    policy->setProperty(Value::string("new_app_policy"), PSKeyNameKey);
    policy->setProperty(Value::string("3"), PSDefaultValueKey);
    policy->setValues({Value::string("1"), Value::string("3")}, {"Allow", "Prompt (default)"},
                      {"Allow", "Prompt"});
    return std::vector<PSSpecifierRef>{link, policy};
  };
  show();
  EXPECT_EQ(cell(0, 1).detailTextLabel()->text(), "Prompt");

  tap(cell(0, 0));
  settle();
  auto* detail = dynamic_cast<Page*>(navigation_->topViewController());
  ASSERT_NE(detail, nullptr);
  EXPECT_EQ(detail->specifier()->identifier(), "Detail");
  EXPECT_EQ(detail->bundlePath(), bundle_.path()) << "a pushed page shares the bundle";
  EXPECT_EQ(detail->parentListController(), page_.get());
  navigation_->popViewControllerAnimated(false);

  // Unknown classes push nothing.
  EXPECT_FALSE(
      page_->openSpecifier(PSSpecifier::preferenceSpecifierNamed("x", page_, "", "", "NoSuchPage",
                                                                 PSCellType::PSLinkCell, ""),
                           false));

  tap(cell(0, 1));
  settle();
  auto* items = dynamic_cast<PSListItemsController*>(navigation_->topViewController());
  ASSERT_NE(items, nullptr);
  EXPECT_EQ(items->table()->cellForRowAtIndexPath({0, 1})->accessoryType(),
            uikit::UITableViewCellAccessoryType::kCheckmark);
  tap(*items->table()->cellForRowAtIndexPath({0, 0}));
  settle();
  EXPECT_EQ(page_->stored.get("new_app_policy"), Value::string("1"));
  EXPECT_EQ(navigation_->topViewController(), page_.get());
}

TEST_F(PreferencesTest, ARowWithADeletionActionIsSwipedAwayAndItsActionCalled) {
  page_->rows = [](Page& p) {
    auto host = PSSpecifier::preferenceSpecifierNamed("a.com", p.weakSelf(), "", "", "",
                                                      PSCellType::PSSwitchCell, "");
    host->setProperty(Value::string("removed:"), PSDeletionActionKey);
    auto plain = PSSpecifier::preferenceSpecifierNamed("b.com", p.weakSelf(), "", "", "",
                                                       PSCellType::PSButtonCell, "");
    return std::vector<PSSpecifierRef>{host, plain};
  };
  show();
  uikit::UITableView& table = *page_->table();
  EXPECT_TRUE(page_->canEditRowAtIndexPath(table, {0, 0}));
  EXPECT_FALSE(page_->canEditRowAtIndexPath(table, {0, 1}));
  table.revealDeleteButtonForRowAtIndexPath({0, 0});
  ASSERT_TRUE(table.rowShowingDeleteButton());
  page_->commitEditingStyle(table, uikit::UITableViewCellEditingStyle::kDelete, {0, 0});
  EXPECT_EQ(page_->actions, (std::vector<std::string>{"removed a.com"}));
  EXPECT_EQ(table.numberOfRowsInSection(0), 1);
}

}  // namespace
}  // namespace sentrel::preferences
