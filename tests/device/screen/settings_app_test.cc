// The Settings app on a real device, used in a real headless browser with
// real clicks: from the home screen to Sentrel's pages, switches that
// decide an app's next requests, a global rule added and swiped away,
// every setting deleted, and the screen brought back by "Respring/Reload".
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "device_screen_fixture.h"
#include "support/hello_server.h"

namespace sentrel::testing {
namespace {

using nlohmann::json;

constexpr const char* kSession = "com.example.Session";

// Where the switch of the row titled `text` is: rows are inset 16 points
// in the group, the switch (51 points wide) 16 points from the row's end.
constexpr const char* kSwitchHelper = R"(
sentrelTest.switchOf = (text) => {
  const at = sentrelTest.centreOf(text);
  if (!at) return null;
  const screen = document.getElementById('screen').getBoundingClientRect();
  const points = screen.width / 390;
  return [screen.right - (16 + 16 + 25.5) * points, at[1]];
};
true
)";

class TheSettingsApp : public DeviceScreen {
 protected:
  void openSentrel() {
    ASSERT_TRUE(page_->evaluate(kSwitchHelper).ok());
    ASSERT_TRUE(clickOnce("Settings", "sentrelTest.centreOf('Sentrel') !== null")) << texts();
    ASSERT_TRUE(clickOnce("Sentrel", "sentrelTest.centreOf('OK') !== null")) << texts();
    // The start-up notice comes first.
    EXPECT_EQ(eval("sentrelTest.containing('Thanks for downloading Sentrel!')"), json(true));
    ASSERT_TRUE(clickOnce("OK", "sentrelTest.centreOf('OK') === null")) << texts();
  }
  // One click on `text` once it is drawn and at rest, then a wait for
  // `done`: a second click could land on the page the first one opened.
  bool clickOnce(const std::string& text, const std::string& done) {
    const json at = waitForText(text);
    if (!at.is_array() || !page_->click(at[0].get<double>(), at[1].get<double>()).ok())
      return false;
    return eval("sentrelTest.until(() => " + done + ")") == json(true);
  }
  bool clickSwitchOf(const std::string& text) {
    const json at = eval("sentrelTest.until(() => sentrelTest.settled() && sentrelTest.switchOf(" +
                         json(text).dump() + "))");
    return at.is_array() && page_->click(at[0].get<double>(), at[1].get<double>()).ok();
  }
  plist::Value document() {
    Result<plist::Value> read = plist::readDictionaryFile(
        root_.path() / "var/mobile/Library/Preferences/ca.kelmora.sentrel_preferences.plist");
    return read.ok() ? *read : plist::Value();
  }
  // Whether the settings file comes to satisfy `holds`.
  bool waitForDocument(const std::function<bool(const plist::Value&)>& holds) {
    runloop::RunLoop loop;
    return loop.runUntil([&] { return holds(document()); }, std::chrono::seconds(20));
  }

  HelloServer server_{SENTREL_HELLO_SERVER};
};

TEST_F(TheSettingsApp, OpensAnAppsPageFromTheHomeScreenAndItsSwitchesDecideTheAppsNextRequests) {
  ASSERT_NO_FATAL_FAILURE(startAndWatch({{"Session", SENTREL_SESSION_DEMO}}));
  ASSERT_EQ(cli({"rules", "allow", "127.0.0.1", "--app", kSession}).code, 0);
  ASSERT_NO_FATAL_FAILURE(openSentrel());
  ASSERT_TRUE(clickOnce("User Apps (1)", "sentrelTest.centreOf('Session (1/1 allowed)') !== null"))
      << texts();
  ASSERT_TRUE(
      clickOnce("Session (1/1 allowed)", "sentrelTest.centreOf('Session Firewall') !== null"))
      << texts();

  // The host's switch off: a block rule, and the app's next request fails.
  ASSERT_TRUE(clickSwitchOf("127.0.0.1"));
  EXPECT_TRUE(waitForDocument([](const plist::Value& d) {
    return d.get("apps").get(kSession).get("domains").get("127.0.0.1").get("allowed") ==
           plist::Value::integer(2);
  })) << deviceLog();
  Running blocked = openInBackground(kSession, {server_.url()});
  EXPECT_EQ(finish(blocked), 1) << slurp(blocked.out);

  // The app's firewall off: its next request goes through, without a prompt.
  ASSERT_TRUE(clickSwitchOf("Firewall Enabled"));
  EXPECT_TRUE(waitForDocument([](const plist::Value& d) {
    return d.get("apps").get(kSession).get("firewall_enabled") == plist::Value::boolean(false);
  })) << deviceLog();
  Running allowed = openInBackground(kSession, {server_.url()});
  EXPECT_EQ(finish(allowed), 0) << slurp(allowed.out);
  EXPECT_NE(slurp(allowed.out).find("-> 200"), std::string::npos) << slurp(allowed.out);
  EXPECT_EQ(eval("sentrelTest.centreOf('Allow always')"), json()) << "a prompt came up";
}

TEST_F(TheSettingsApp, AddsAGlobalRuleWithPlusSwipesItAwayAndDeletesEverySettingAfterAsking) {
  ASSERT_NO_FATAL_FAILURE(startAndWatch({{"Session", SENTREL_SESSION_DEMO}}));
  ASSERT_EQ(cli({"rules", "allow", "127.0.0.1", "--app", kSession}).code, 0);
  ASSERT_NO_FATAL_FAILURE(openSentrel());
  ASSERT_TRUE(
      clickOnce("Global Site Rules (0)", "sentrelTest.centreOf('Global Firewall') !== null"))
      << texts();

  // "+" asks for a host; the new rule blocks.
  ASSERT_TRUE(clickOnce("+", "sentrelTest.centreOf('New Host') !== null")) << texts();
  const json field = waitForText("i.e. ads.example.com");
  ASSERT_TRUE(field.is_array()) << texts();
  ASSERT_TRUE(page_->click(field[0].get<double>(), field[1].get<double>()).ok());
  // What a person pastes: a URL, reduced to the host its connections name.
  ASSERT_TRUE(page_->insertText("https://Tracker.Example:443/pixel").ok());
  ASSERT_TRUE(clickOnce("Add", "sentrelTest.centreOf('tracker.example') !== null")) << texts();
  EXPECT_TRUE(waitForDocument([](const plist::Value& d) {
    return d.get("global_hosts").get("tracker.example").get("allowed") == plist::Value::integer(2);
  })) << deviceLog();

  // A wildcard would match nothing: the dialog says so and stores nothing.
  ASSERT_TRUE(clickOnce("+", "sentrelTest.centreOf('New Host') !== null")) << texts();
  const json again = waitForText("i.e. ads.example.com");
  ASSERT_TRUE(again.is_array()) << texts();
  ASSERT_TRUE(page_->click(again[0].get<double>(), again[1].get<double>()).ok());
  ASSERT_TRUE(page_->insertText("*.tracker.example").ok());
  ASSERT_TRUE(clickOnce("Add", "sentrelTest.centreOf('Not a Host') !== null")) << texts();
  ASSERT_TRUE(clickOnce("OK", "sentrelTest.centreOf('Not a Host') === null")) << texts();
  EXPECT_EQ(document().get("global_hosts").asDict()->size(), 1u) << deviceLog();

  // A swipe reveals "Delete"; its click removes the rule.
  const json row = waitForText("tracker.example");
  ASSERT_TRUE(row.is_array());
  const double x = row[0].get<double>(), y = row[1].get<double>();
  ASSERT_TRUE(page_->drag(x + 60, y, x - 120, y).ok());
  ASSERT_TRUE(clickOnce("Delete", "sentrelTest.centreOf('tracker.example') === null")) << texts();
  EXPECT_TRUE(waitForDocument([](const plist::Value& d) {
    return d.get("global_hosts").get("tracker.example").isNull();
  })) << deviceLog();

  // Back to the root page, then "Delete All Sentrel Settings", twice confirmed.
  ASSERT_TRUE(clickOnce("\u2039 Sentrel", "sentrelTest.centreOf('Advanced Settings') !== null"))
      << texts();
  ASSERT_TRUE(clickOnce("Advanced Settings",
                        "sentrelTest.centreOf('Delete All Sentrel Settings') !== null"))
      << texts();
  ASSERT_TRUE(clickOnce("Delete All Sentrel Settings",
                        "sentrelTest.centreOf('Clear all settings') !== null"))
      << texts();
  // The first sheet asks with a message, the second without: one click on
  // each (a second click on the first could land on the second).
  const json first = waitForText("Clear all settings");
  ASSERT_TRUE(first.is_array()) << texts();
  ASSERT_TRUE(page_->click(first[0].get<double>(), first[1].get<double>()).ok());
  ASSERT_EQ(eval("sentrelTest.until(() => sentrelTest.settled() && "
                 "sentrelTest.centreOf('Are you sure? This cannot be undone.') === null && "
                 "sentrelTest.centreOf('Clear all settings') !== null)"),
            json(true))
      << texts();
  EXPECT_TRUE(waitForDocument([](const plist::Value& d) { return !d.get("apps").isNull(); }))
      << "one confirmation deleted the settings";
  ASSERT_TRUE(clickOnce("Clear all settings", "sentrelTest.centreOf('User Apps (0)') !== null"))
      << texts();
  EXPECT_TRUE(waitForDocument([](const plist::Value& d) {
    return d.asDict() != nullptr && d.asDict()->empty();
  })) << deviceLog();
}

// The policy is chosen on its list page, which covers the root page: the
// root page's sheet still comes up, "Cancel" keeps the policy, "OK" stores
// it and first freezes what the existing apps inherited.
TEST_F(TheSettingsApp, ChangesTheNewAppPolicyFromItsListAfterAskingAndFreezesExistingApps) {
  ASSERT_NO_FATAL_FAILURE(startAndWatch({{"Session", SENTREL_SESSION_DEMO}}));
  ASSERT_EQ(cli({"rules", "allow", "127.0.0.1", "--app", kSession}).code, 0);
  ASSERT_NO_FATAL_FAILURE(openSentrel());
  ASSERT_TRUE(waitForText("Prompt").is_array()) << texts();

  const std::string sheetUp = "sentrelTest.centreOf('Changing new app policy') !== null";
  const std::string sheetGone =
      "sentrelTest.settled() && sentrelTest.centreOf('Changing new app policy') === null";
  ASSERT_TRUE(clickOnce("New App Policy", "sentrelTest.centreOf('Block') !== null")) << texts();
  ASSERT_TRUE(clickOnce("Block", sheetUp)) << texts() << deviceLog();
  ASSERT_TRUE(clickOnce("Cancel", sheetGone + " && sentrelTest.centreOf('Prompt') !== null"))
      << texts();
  EXPECT_TRUE(document().get("new_app_policy").isNull()) << "Cancel stored the policy";

  ASSERT_TRUE(clickOnce("New App Policy", "sentrelTest.centreOf('Block') !== null")) << texts();
  ASSERT_TRUE(clickOnce("Block", sheetUp)) << texts();
  ASSERT_TRUE(clickOnce("OK", sheetGone)) << texts();
  EXPECT_TRUE(waitForDocument([](const plist::Value& d) {
    const plist::Value app = d.get("apps").get(kSession);
    return d.get("new_app_policy") == plist::Value::string("2") &&
           app.get("firewall_enabled") == plist::Value::boolean(true) &&
           app.get("new_site_policy") == plist::Value::string("3") &&
           app.get("domains").get("127.0.0.1").get("allowed") == plist::Value::integer(1);
  })) << plist::Value(document()).description();
  EXPECT_TRUE(waitForText("Block").is_array()) << texts();
  EXPECT_EQ(eval("sentrelTest.centreOf('Prompt')"), json()) << texts();
}

TEST_F(TheSettingsApp, RespringReloadRestartsTheScreenWithTheHomeScreenOnIt) {
  ASSERT_NO_FATAL_FAILURE(startAndWatch({{"Session", SENTREL_SESSION_DEMO}}));
  ASSERT_NO_FATAL_FAILURE(openSentrel());
  const std::string before = cli({"screen"}).out;
  const json respring = waitForText("Respring/Reload");
  ASSERT_TRUE(respring.is_array()) << texts();
  ASSERT_TRUE(page_->click(respring[0].get<double>(), respring[1].get<double>()).ok());
  ASSERT_TRUE(waitForLogCount("launchd: started backboardd", 2)) << deviceLog();
  // The new display server serves a new page; the home screen and the
  // Settings app are on it again.
  std::string url;
  runloop::RunLoop loop;
  loop.runUntil(
      [&] {
        ProgramOutcome screen = cli({"screen"});
        url = screen.out.substr(0, screen.out.find('\n'));
        return screen.code == 0 && !url.empty() && screen.out != before;
      },
      std::chrono::seconds(20));
  ASSERT_TRUE(page_->navigate(url).ok()) << url;
  ASSERT_TRUE(page_->evaluate(kPageHelpers).ok());
  EXPECT_TRUE(waitForText("Respring/Reload").is_array()) << texts();
}

}  // namespace
}  // namespace sentrel::testing
