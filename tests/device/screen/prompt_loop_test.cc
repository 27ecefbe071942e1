// The prompt loop on a real device, watched and clicked in a real browser:
// an app reaches a host without a rule, SpringBoard shows one prompt above
// the home screen, the user's click is stored as a rule and answers every
// app that asked.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "device_screen_fixture.h"
#include "support/hello_server.h"

namespace sentrel::testing {
namespace {

using nlohmann::json;

constexpr const char* kSession = "com.example.Session";

class APrompt : public DeviceScreen {
 protected:
  bool promptShown() { return waitForText("Allow always").is_array(); }
  // How many prompts are drawn: each has one decision control.
  int promptsOnScreen() { return eval("sentrelTest.count('Allow always')").get<int>(); }

  HelloServer server_{SENTREL_HELLO_SERVER};
};

TEST_F(APrompt, NamesTheAppAndHostAndAllowAlwaysStoresTheRuleAndLetsTheHeldTaskFinish) {
  ASSERT_NO_FATAL_FAILURE(startAndWatch({{"Session", SENTREL_SESSION_DEMO}}));
  Running app = openInBackground(kSession, {server_.url()});
  ASSERT_TRUE(promptShown()) << texts() << deviceLog();
  EXPECT_EQ(eval("sentrelTest.containing('Allow Session to access')"), json(true)) << texts();
  EXPECT_EQ(eval("sentrelTest.containing('127.0.0.1')"), json(true)) << texts();
  EXPECT_EQ(eval("sentrelTest.centreOf('Sentrel (1)') !== null"), json(true)) << texts();
  // Above the home screen.
  const json always = waitForText("Allow always");
  EXPECT_EQ(eval("sentrelTest.inFrontWindow(" + always.dump() + ")"), json(true));

  ASSERT_TRUE(clickUntil("Allow always", "sentrelTest.centreOf('Allow always') === null"));
  EXPECT_EQ(finish(app), 0);
  EXPECT_NE(slurp(app.out).find("-> 200"), std::string::npos) << slurp(app.out);
  EXPECT_EQ(storedRule(kSession, "127.0.0.1"), 1);
  EXPECT_TRUE(eval("sentrelTest.centreOf('Session')").is_array()) << "the home screen stays";
}

// A switch keeps its title where it was: `screen --tap` taps it once, and
// says it did because the prompt changed.
TEST_F(APrompt, SwitchedToBlockByTheCliOnceAndTheCliSaysSo) {
  ASSERT_NO_FATAL_FAILURE(startAndWatch({{"Session", SENTREL_SESSION_DEMO}}));
  Running app = openInBackground(kSession, {server_.url()});
  ASSERT_TRUE(promptShown()) << texts() << deviceLog();

  ProgramOutcome tapped = cli({"screen", "--tap", "Block"});

  EXPECT_EQ(tapped.code, 0) << tapped.err;
  EXPECT_EQ(tapped.out.rfind("Tapped \"Block\" at (", 0), 0u) << tapped.out;
  EXPECT_EQ(eval("sentrelTest.until(() => sentrelTest.settled() && "
                 "sentrelTest.centreOf('Block always') !== null)"),
            json(true))
      << texts();
  EXPECT_TRUE(eval("sentrelTest.centreOf('Allow always')").is_null()) << "flipped back";
  ASSERT_TRUE(clickUntil("Block always", "sentrelTest.centreOf('Block always') === null"))
      << texts() << deviceLog();
  EXPECT_EQ(finish(app), 1);
}

TEST_F(APrompt, SwitchedToBlockIsRetitledAndBlockAlwaysCancelsTheTask) {
  ASSERT_NO_FATAL_FAILURE(startAndWatch({{"Session", SENTREL_SESSION_DEMO}}));
  Running app = openInBackground(kSession, {server_.url()});
  ASSERT_TRUE(promptShown()) << texts() << deviceLog();
  ASSERT_TRUE(clickUntil("Block", "sentrelTest.centreOf('Block always') !== null")) << texts();
  EXPECT_TRUE(eval("sentrelTest.centreOf('Allow always')").is_null());
  EXPECT_TRUE(eval("sentrelTest.centreOf('Block all sites for this app')").is_array());

  ASSERT_TRUE(clickUntil("Block always", "sentrelTest.centreOf('Block always') === null"))
      << texts() << deviceLog();
  EXPECT_EQ(finish(app), 1);
  EXPECT_NE(slurp(app.out).find("error -999"), std::string::npos) << slurp(app.out);
  EXPECT_EQ(storedRule(kSession, "127.0.0.1"), 2);
}

TEST_F(APrompt, ForOneHostAskedByThreeAppsIsShownOnceAndAnswersThemAll) {
  ASSERT_NO_FATAL_FAILURE(startAndWatch({{"One", SENTREL_SESSION_DEMO},
                                         {"Two", SENTREL_SESSION_DEMO},
                                         {"Three", SENTREL_SESSION_DEMO}}));
  std::vector<Running> apps;
  for (const char* name : {"One", "Two", "Three"}) {
    apps.push_back(openInBackground(std::string("com.example.") + name, {server_.url()}));
  }
  // All three have asked before the first prompt is answered.
  ASSERT_TRUE(promptShown()) << texts() << deviceLog();
  ASSERT_TRUE(waitForLogCount("showSNTAlert called!", 3)) << deviceLog();
  EXPECT_EQ(promptsOnScreen(), 1);

  ASSERT_TRUE(clickUntil("Allow always", "sentrelTest.centreOf('Allow always') === null"));
  for (const Running& app : apps) {
    EXPECT_EQ(finish(app), 0);
    EXPECT_NE(slurp(app.out).find("-> 200"), std::string::npos) << slurp(app.out);
  }
  // No second prompt follows.
  EXPECT_EQ(eval("sentrelTest.until(() => sentrelTest.settled()).then(() => "
                 "sentrelTest.centreOf('Allow always'))"),
            json());
}

TEST_F(APrompt, ForCurlLetsItsNextRunConnectAfterAllowAlways) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  // A sanitized device injects only into its own build's programs: curl
  // would run unfiltered (the plain build runs this test).
  GTEST_SKIP() << "a sanitized device does not inject into curl";
#endif
  ASSERT_NO_FATAL_FAILURE(startAndWatch({{"Curl", "/usr/bin/curl"}}));
  const std::vector<std::string> fetch{"-s",         "-o", "/dev/null", "-w", "%{http_code}\n",
                                       server_.url()};
  Running first = openInBackground("com.example.Curl", fetch);
  ASSERT_TRUE(promptShown()) << texts() << deviceLog();
  EXPECT_NE(finish(first), 0) << "its connect was refused while it waited";
  // A socket request cannot be resumed: "Allow once" would not help it.
  EXPECT_EQ(eval("sentrelTest.containing('Allow Curl to access')"), json(true)) << texts();

  ASSERT_TRUE(clickUntil("Allow always", "sentrelTest.centreOf('Allow always') === null"));
  EXPECT_EQ(storedRule("com.example.Curl", "127.0.0.1"), 1);
  Running second = openInBackground("com.example.Curl", fetch);
  EXPECT_EQ(finish(second), 0);
  EXPECT_EQ(slurp(second.out), "200\n");
}

TEST_F(APrompt, GearWithdrawsThePromptOpensTheAppsSettingsAndStopsTheApp) {
  ASSERT_NO_FATAL_FAILURE(startAndWatch({{"Session", SENTREL_SESSION_DEMO}}));
  Running app = openInBackground(kSession, {server_.url()});
  ASSERT_TRUE(promptShown()) << texts() << deviceLog();
  const json gear =
      eval("sentrelTest.until(() => sentrelTest.settled() && sentrelTest.frontImageCentre())");
  ASSERT_TRUE(gear.is_array()) << "the gear is drawn from the device's resource bundle";
  ASSERT_TRUE(clickAtUntil(gear, "sentrelTest.centreOf('Allow always') === null"));
  // The app is stopped (it never got an answer) and its page asked for.
  EXPECT_NE(finish(app), 0);
  EXPECT_EQ(slurp(app.out).find("-> 200"), std::string::npos) << slurp(app.out);
  EXPECT_TRUE(waitForLogCount("Received SNT_LAUNCH_TWEAK_SETTINGS", 1)) << deviceLog();
  EXPECT_TRUE(waitForLogCount("openSettings: stopping com.example.Session", 1)) << deviceLog();
  // Asked about, not decided: no rule, or an undefined one.
  EXPECT_LE(storedRule(kSession, "127.0.0.1"), 0);
  // The Settings app comes up at the app's own page.
  EXPECT_TRUE(waitForLogCount("Preferences opened Sentrel/UserApps/com.example.Session", 1))
      << deviceLog();
  EXPECT_TRUE(waitForText("Session Firewall").is_array()) << texts();
}

}  // namespace
}  // namespace sentrel::testing
