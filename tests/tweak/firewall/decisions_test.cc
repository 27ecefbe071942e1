// Decisions: the precedence of rules, switches and policies, the exempt
// hosts, the firewall-off cases and the guarded steps.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "tweak/SNTMessagingCenter.h"
#include "tweak/firewall/firewall_test_env.h"

namespace sentrel::testing {
namespace {

using plist::Value;

enum class Verdict { kAllow, kDeny, kAsk };

// What every hook does: allow first, deny second, else ask.
Verdict verdictOf(SNTFirewall& firewall, const SNTDestination& destination) {
  if (firewall.shouldAllow(destination)) return Verdict::kAllow;
  if (firewall.shouldDeny(destination)) return Verdict::kDeny;
  return Verdict::kAsk;
}

constexpr const char* kHost = "tracker.example.net";

// The rule stored for kHost in the app entry afterwards; nullopt: no entry.
std::optional<int64_t> storedRule(const SNTFirewall& firewall) {
  Value entry = firewall.appSettings().get("domains").get(kHost);
  if (entry.isNull()) return std::nullopt;
  return entry.get("allowed").numberAsInteger();
}

struct PrecedenceRow {
  const char* situation;
  Value global;
  Value app;
  bool allow;                // shouldAllow
  std::optional<bool> deny;  // shouldDeny, asked when shouldAllow is false
  Verdict verdict;
  std::optional<int64_t> rule;  // the rule for the host afterwards
};

void PrintTo(const PrecedenceRow& row, std::ostream* os) {
  *os << row.situation;
}

Value apps(Value entry) {
  return Value::dictOf({{kAppId, std::move(entry)}});
}
Value globalHost(int64_t allowed) {
  return Value::dictOf({{kHost, rule(allowed)}});
}

std::vector<PrecedenceRow> precedenceRows() {
  const Value undefined = Value::dictOf({{kHost, rule(0)}});
  return {
      {"deny-all on, allow-all off: deny, blocked recorded", Value::dict({}),
       Value::dictOf({{"deny_all_outbound", yes()}}), false, true, Verdict::kDeny, 2},
      {"deny-all on over an undefined rule: deny, the 0 stays", Value::dict({}),
       Value::dictOf({{"deny_all_outbound", yes()}, {"domains", undefined}}), false, true,
       Verdict::kDeny, 0},
      {"allow-all on: allow, allowed recorded", Value::dict({}),
       Value::dictOf({{"allow_all_outbound", yes()}}), true, std::nullopt, Verdict::kAllow, 1},
      {"allow-all and deny-all on: allow wins", Value::dict({}),
       Value::dictOf({{"allow_all_outbound", yes()}, {"deny_all_outbound", yes()}}), true,
       std::nullopt, Verdict::kAllow, 1},
      {"allow-all on over an app rule 2: allow, the rule stays", Value::dict({}),
       Value::dictOf(
           {{"allow_all_outbound", yes()}, {"domains", Value::dictOf({{kHost, rule(2)}})}}),
       true, std::nullopt, Verdict::kAllow, 2},
      {"app rule 1: allow, nothing written", Value::dict({}),
       Value::dictOf({{"domains", Value::dictOf({{kHost, rule(1)}})}}), true, std::nullopt,
       Verdict::kAllow, 1},
      {"app rule 2: deny, nothing written", Value::dict({}),
       Value::dictOf({{"domains", Value::dictOf({{kHost, rule(2)}})}}), false, true, Verdict::kDeny,
       2},
      {"app rule 2 beats a global rule 1", Value::dictOf({{"global_hosts", globalHost(1)}}),
       Value::dictOf({{"domains", Value::dictOf({{kHost, rule(2)}})}}), false, true, Verdict::kDeny,
       2},
      {"app rule 1 beats policy 2", Value::dictOf({{"new_app_policy", str("2")}}),
       Value::dictOf({{"domains", Value::dictOf({{kHost, rule(1)}})}}), true, std::nullopt,
       Verdict::kAllow, 1},
      {"policy 1: allow, allowed recorded", Value::dict({}),
       Value::dictOf({{"new_site_policy", str("1")}}), true, std::nullopt, Verdict::kAllow, 1},
      {"global policy 1: allow, allowed recorded", Value::dictOf({{"new_app_policy", str("1")}}),
       Value::dict({}), true, std::nullopt, Verdict::kAllow, 1},
      {"policy 1 over an undefined rule: allow, the 0 stays", Value::dict({}),
       Value::dictOf({{"new_site_policy", str("1")}, {"domains", undefined}}), true, std::nullopt,
       Verdict::kAllow, 0},
      {"policy 2, global rule 1: allow, global copied",
       Value::dictOf({{"global_hosts", globalHost(1)}}),
       Value::dictOf({{"new_site_policy", str("2")}}), true, std::nullopt, Verdict::kAllow, 1},
      {"policy 2, no global rule: deny, blocked recorded", Value::dict({}),
       Value::dictOf({{"new_site_policy", str("2")}}), false, true, Verdict::kDeny, 2},
      {"policy 2, global rule 2: deny, blocked recorded",
       Value::dictOf({{"global_hosts", globalHost(2)}}),
       Value::dictOf({{"new_site_policy", str("2")}}), false, true, Verdict::kDeny, 2},
      {"policy 2, global rule 0: deny, blocked recorded",
       Value::dictOf({{"global_hosts", globalHost(0)}}),
       Value::dictOf({{"new_site_policy", str("2")}}), false, true, Verdict::kDeny, 2},
      {"policy 2 over an undefined rule: deny, the 0 stays", Value::dict({}),
       Value::dictOf({{"new_site_policy", str("2")}, {"domains", undefined}}), false, true,
       Verdict::kDeny, 0},
      {"policy 3, global rule 1: allow, global copied",
       Value::dictOf({{"global_hosts", globalHost(1)}}), Value::dict({}), true, std::nullopt,
       Verdict::kAllow, 1},
      {"policy 3, global rule 2: deny, global copied",
       Value::dictOf({{"global_hosts", globalHost(2)}}), Value::dict({}), false, true,
       Verdict::kDeny, 2},
      {"policy 3, no global rule: ask, nothing written", Value::dict({}), Value::dict({}), false,
       false, Verdict::kAsk, std::nullopt},
      {"policy 3, undefined app rule, global rule 1: allow, copied over the 0",
       Value::dictOf({{"global_hosts", globalHost(1)}}), Value::dictOf({{"domains", undefined}}),
       true, std::nullopt, Verdict::kAllow, 1},
      {"site policy 0, global rule 1: allow, global copied",
       Value::dictOf({{"global_hosts", globalHost(1)}}),
       Value::dictOf({{"new_site_policy", str("0")}}), true, std::nullopt, Verdict::kAllow, 1},
      {"site policy 0, global rule 2: deny, global copied",
       Value::dictOf({{"global_hosts", globalHost(2)}}),
       Value::dictOf({{"new_site_policy", str("0")}}), false, true, Verdict::kDeny, 2},
      {"site policy 0, no global rule: ask", Value::dict({}),
       Value::dictOf({{"new_site_policy", str("0")}}), false, false, Verdict::kAsk, std::nullopt},
      {"app policy 0 with the app's firewall on, no global rule: ask",
       Value::dictOf({{"new_app_policy", str("0")}}), Value::dictOf({{"firewall_enabled", yes()}}),
       false, false, Verdict::kAsk, std::nullopt},
      {"app policy 0 with the app's firewall on, global rule 2: deny",
       Value::dictOf({{"new_app_policy", str("0")}, {"global_hosts", globalHost(2)}}),
       Value::dictOf({{"firewall_enabled", yes()}}), false, true, Verdict::kDeny, 2},
      {"site policy 3 overrides app policy 1", Value::dictOf({{"new_app_policy", str("1")}}),
       Value::dictOf({{"new_site_policy", str("3")}}), false, false, Verdict::kAsk, std::nullopt},
  };
}

class APrecedenceRow : public ::testing::TestWithParam<PrecedenceRow> {};

TEST_P(APrecedenceRow, GivesItsAnswersVerdictAndRule) {
  FirewallTestEnv env;
  const PrecedenceRow& row = GetParam();
  env.writeSettings(Value::dictOf({{"apps", apps(row.app)}}));
  auto firewall = env.appFirewall(row.global, row.app);

  EXPECT_EQ(firewall->shouldAllow(kHost), row.allow);
  if (!row.allow) {
    EXPECT_EQ(firewall->shouldDeny(kHost), *row.deny);
  }
  EXPECT_EQ(storedRule(*firewall), row.rule);

  // The verdict is the same when asked again, from the rule written (if any).
  EXPECT_EQ(verdictOf(*firewall, kHost), row.verdict);
}

INSTANTIATE_TEST_SUITE_P(EveryRow, APrecedenceRow, ::testing::ValuesIn(precedenceRows()),
                         [](const auto& info) { return "Row" + std::to_string(info.index); });

TEST(ALearningRule, CarriesTheUrlTextAndTheAppName) {
  FirewallTestEnv env;
  auto firewall = env.appFirewall(Value::dict({}), Value::dictOf({{"new_site_policy", str("1")}}));
  auto url = URL::URLWithString("https://tracker.example.net/pixel?id=1");
  ASSERT_TRUE(url);
  EXPECT_TRUE(firewall->shouldAllow(URLRequest(url)));
  Value entry = firewall->appSettings();
  EXPECT_EQ(entry.get("name"), str("Example"));
  EXPECT_EQ(entry.get("domains").get(kHost).get("url"),
            str("https://tracker.example.net/pixel?id=1"));
}

TEST(ALearningRule, CopiedFromAGlobalRuleOutlivesTheGlobalRule) {
  FirewallTestEnv env;
  auto firewall =
      env.appFirewall(Value::dictOf({{"global_hosts", globalHost(1)}}), Value::dict({}));
  EXPECT_TRUE(firewall->shouldAllow(kHost));
  firewall->setGlobalSettings(Value::dict({}));  // the global rule is deleted
  EXPECT_EQ(verdictOf(*firewall, kHost), Verdict::kAllow);
}

TEST(ADecision, ComparesHostsAsWholeCaseSensitiveTexts) {
  FirewallTestEnv env;
  Value app = Value::dictOf(
      {{"domains", Value::dictOf({{"example.com", rule(2)}, {"*.ads.net", rule(2)}})}});
  auto firewall = env.appFirewall(Value::dict({}), app);
  EXPECT_EQ(verdictOf(*firewall, "example.com"), Verdict::kDeny);
  EXPECT_EQ(verdictOf(*firewall, "www.example.com"), Verdict::kAsk);
  EXPECT_EQ(verdictOf(*firewall, "Example.com"), Verdict::kAsk);
  EXPECT_EQ(verdictOf(*firewall, "x.ads.net"), Verdict::kAsk);
  EXPECT_EQ(verdictOf(*firewall, "*.ads.net"), Verdict::kDeny);
}

TEST(ADecision, TakesHostAndUrlTextFromEachKindOfDestination) {
  auto url = URL::URLWithString("http://Example.com:8080/a");
  ASSERT_TRUE(url);
  EXPECT_EQ(SNTFirewall::getHostFromHRU(URLRequest(url)), "Example.com");
  EXPECT_EQ(SNTFirewall::getUrlFromHRU(*url), url->absoluteString());
  EXPECT_EQ(SNTFirewall::getHostFromHRU("10.0.0.1"), "10.0.0.1");
  EXPECT_EQ(SNTFirewall::getUrlFromHRU("10.0.0.1"), "10.0.0.1");
  EXPECT_EQ(SNTFirewall::getHostFromHRU(SNTDestination()), std::nullopt);
  EXPECT_EQ(SNTFirewall::getHostFromHRU(URLRequest()), std::nullopt);
  EXPECT_EQ(SNTFirewall::getUrlFromHRU(static_cast<const char*>(nullptr)), std::nullopt);
}

// ---- Firewall off ----

TEST(AFirewallThatIsOff, LetsEverythingThroughAndWritesNothing) {
  struct Case {
    const char* why;
    Value global;
    Value app;
    bool systemApp;
  };
  const Case cases[] = {
      {"master switch off", Value::dictOf({{"snt_enabled", no()}}),
       Value::dictOf({{"deny_all_outbound", yes()}}), false},
      {"system app, system switch off", Value::dict({}),
       Value::dictOf({{"new_site_policy", str("2")}}), true},
      {"app's own switch off", Value::dictOf({{"new_app_policy", str("2")}}),
       Value::dictOf({{"firewall_enabled", no()}}), false},
      {"app policy 0 and no switch of its own", Value::dictOf({{"new_app_policy", str("0")}}),
       Value::dict({}), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    FirewallTestEnv env;
    PostRecorder saves(env.center(), kSaveSettingsNotification);
    auto firewall = env.appFirewall(c.global, c.app);
    firewall->setIsSystemApp(c.systemApp);
    EXPECT_FALSE(firewall->enabled());
    EXPECT_TRUE(firewall->shouldAllow(kHost));
    EXPECT_FALSE(firewall->shouldDeny(kHost));
    EXPECT_EQ(firewall->ruleForHost(kHost), 1);
    EXPECT_EQ(storedRule(*firewall), std::nullopt);
    env.runUntilIdle();
    EXPECT_EQ(saves.count(), 0u);
    EXPECT_TRUE(env.logs().contains("shouldAllow() called but firewall is off. Returning early!"));
  }
}

TEST(AFirewall, IsOffWhileLaunchdRunsWithoutSpringBoard) {
  FirewallTestEnv env;
  auto firewall = env.appFirewall(Value::dict({}), Value::dict({}));
  EXPECT_TRUE(firewall->enabled());
  env.processes().remove(50);  // SpringBoard
  EXPECT_FALSE(firewall->enabled());
  EXPECT_TRUE(firewall->shouldAllow(kHost));
  EXPECT_FALSE(firewall->shouldDeny(kHost));
  EXPECT_TRUE(env.logs().contains("Firewall disabled. Should NOT block tracker.example.net!"));
}

TEST(AFirewall, StaysOnWhenLaunchdCannotBeSeen) {
  FirewallTestEnv env;
  auto firewall = env.appFirewall(Value::dict({}), Value::dict({}));
  env.processes().clear();
  EXPECT_TRUE(firewall->enabled());
  env.processes().setUnreadable(true);
  EXPECT_TRUE(firewall->enabled());
}

TEST(AFirewall, FiltersASystemAppWhenTheSystemSwitchIsOn) {
  FirewallTestEnv env;
  auto firewall =
      env.appFirewall(Value::dictOf({{"snt_system_apps_enabled", yes()}}), Value::dict({}));
  firewall->setIsSystemApp(true);
  EXPECT_TRUE(firewall->enabled());
  EXPECT_EQ(verdictOf(*firewall, kHost), Verdict::kAsk);
}

// ---- Exempt processes and hosts ----

TEST(ADecision, LetsExemptHostsThroughWithoutWritingARule) {
  FirewallTestEnv env;
  auto firewall = env.appFirewall(Value::dict({}), Value::dict({}));
  for (const char* host : {"localhost", "blocked", kServiceHost}) {
    SCOPED_TRACE(host);
    EXPECT_TRUE(firewall->shouldAllow(host));
    EXPECT_TRUE(firewall->appSettings().get("domains").isNull());
  }
  EXPECT_TRUE(firewall->shouldAllow(SNTDestination()));
  EXPECT_TRUE(env.logs().contains("yes... host is nil"));
  EXPECT_TRUE(env.logs().contains("yes... connecting to this api..."));
  EXPECT_TRUE(env.logs().contains("yes... blocked is a shortcut?"));
  EXPECT_TRUE(
      env.logs().contains("yes... connecting to localhost and inbound is not yet supported."));
}

TEST(ADecision, RecordsExemptHostsWhenAllowAllAppliesFirst) {
  FirewallTestEnv env;
  auto firewall = env.appFirewall(Value::dict({}), Value::dictOf({{"allow_all_outbound", yes()}}));
  EXPECT_TRUE(firewall->shouldAllow("localhost"));
  EXPECT_EQ(firewall->explicitRuleForHost("localhost"), 1);
}

TEST(ADecision, LetsDaemonsSpringBoardAndWebKitThrough) {
  FirewallTestEnv env;
  auto daemon = env.appFirewall(Value::dict({}), Value::dict({}));
  daemon->setIsDaemon(true);
  EXPECT_TRUE(daemon->shouldAllow(kHost));
  auto springboard =
      env.appFirewall(Value::dict({}), Value::dict({}), kSpringBoardBundleIdentifier);
  EXPECT_TRUE(springboard->shouldAllow(kHost));
  auto webkit = env.appFirewall(Value::dict({}), Value::dict({}), "com.apple.WebKit.Networking");
  EXPECT_TRUE(webkit->shouldAllow(kHost));
  EXPECT_EQ(env.logs().count("appId is a daemo"), 2u);
  EXPECT_TRUE(env.logs().contains("Bypassing alert for WebKit"));
  EXPECT_TRUE(daemon->appSettings().get("domains").isNull());
}

TEST(ADecision, WithANullHostAllowsAndDeniesNothingUnlessBlockAllApplies) {
  FirewallTestEnv env;
  auto firewall = env.appFirewall(Value::dict({}), Value::dict({}));
  EXPECT_TRUE(firewall->shouldAllow(SNTDestination()));
  EXPECT_FALSE(firewall->shouldDeny(SNTDestination()));
  firewall->setAppSettings(Value::dictOf({{"deny_all_outbound", yes()}}));
  EXPECT_TRUE(firewall->shouldDeny(SNTDestination()));
  EXPECT_TRUE(firewall->appSettings().get("domains").isNull());
}

// ---- Switches and look-ups ----

TEST(ASwitch, TakesItsDefaultsFromAnEmptyDocument) {
  FirewallTestEnv env;
  auto firewall = env.appFirewall(Value(), Value());
  EXPECT_TRUE(firewall->_globalEnabled());
  EXPECT_FALSE(firewall->_globalSystemEnabled());
  EXPECT_EQ(firewall->globalDefaultAppPolicy(), "3");
  EXPECT_EQ(firewall->appPolicy(), "3");
  EXPECT_FALSE(firewall->allowAllOutbound());
  EXPECT_FALSE(firewall->denyAllOutbound());
  EXPECT_TRUE(firewall->enabled());
  EXPECT_TRUE(firewall->filterStreams());
  EXPECT_TRUE(firewall->filterWebViews());
  EXPECT_TRUE(firewall->globalHookSyscalls());
  EXPECT_TRUE(firewall->shouldAnimate());
  EXPECT_FALSE(firewall->shouldShowBundleIdInPopup());
  EXPECT_FALSE(firewall->shouldShowUrlInPopup());
  EXPECT_FALSE(firewall->shouldFilterCustomWebkitUrlSchemeHandler());
  EXPECT_EQ(firewall->hosts(), Value::dict({}));
  EXPECT_EQ(verdictOf(*firewall, kHost), Verdict::kAsk);
}

TEST(ASwitch, ReadsStoredNumbersAsBooleans) {
  FirewallTestEnv env;
  auto firewall = env.appFirewall(Value::dictOf({{"snt_alert_show_url", Value::integer(3)},
                                                 {"snt_animations", Value::real(0)}}),
                                  Value::dict({}));
  EXPECT_TRUE(firewall->shouldShowUrlInPopup());
  EXPECT_FALSE(firewall->shouldAnimate());
}

TEST(AFilterSwitch, IsOnlyHonouredWhileTheAppIsFilteredWithoutAllSwitches) {
  FirewallTestEnv env;
  auto firewall =
      env.appFirewall(Value::dictOf({{"snt_hook_syscalls", no()}}),
                      Value::dictOf({{"filter_streams", no()}, {"filter_webviews", no()}}));
  EXPECT_FALSE(firewall->filterStreams());
  EXPECT_FALSE(firewall->filterWebViews());
  EXPECT_FALSE(firewall->globalHookSyscalls());
  firewall->setAppSettings(Value::dictOf({{"filter_streams", no()}, {"deny_all_outbound", yes()}}));
  EXPECT_TRUE(firewall->filterStreams());
  firewall->setGlobalSettings(Value::dictOf({{"snt_enabled", no()}, {"snt_hook_syscalls", no()}}));
  EXPECT_TRUE(firewall->globalHookSyscalls());
  EXPECT_TRUE(firewall->filterWebViews());
}

TEST(ARuleLookUp, GivesTheEffectiveRuleInItsOrder) {
  FirewallTestEnv env;
  Value domains =
      Value::dictOf({{kHost, rule(2)}, {"zero.net", rule(0)}, {"bare.net", Value::dict({})}});
  auto firewall = env.appFirewall(Value::dict({}), Value::dictOf({{"domains", domains}}));
  EXPECT_EQ(firewall->ruleForHost(kHost), 2);
  EXPECT_TRUE(firewall->isExplicitRuleForHostSet("zero.net"));
  EXPECT_EQ(firewall->explicitRuleForHost("zero.net"), 0);
  EXPECT_FALSE(firewall->isExplicitRuleForHostSet("bare.net"));
  EXPECT_FALSE(firewall->isExplicitRuleForHostSet(std::nullopt));
  EXPECT_EQ(firewall->explicitRuleForHost(std::nullopt), 0);

  firewall->setAppSettings(Value::dictOf(
      {{"domains", domains}, {"allow_all_outbound", yes()}, {"deny_all_outbound", yes()}}));
  EXPECT_EQ(firewall->ruleForHost("other.net"), 2);  // deny-all is looked at first
  EXPECT_FALSE(firewall->allowHost(kHost));
  firewall->setAppSettings(Value::dictOf({{"domains", domains}, {"allow_all_outbound", yes()}}));
  EXPECT_EQ(firewall->ruleForHost(kHost), 1);
  EXPECT_TRUE(firewall->allowHost(kHost));
  EXPECT_FALSE(firewall->allowHostExplicit(kHost));
}

// ---- Settings of the wrong kind ----

TEST(AGuardedStep, BlocksWithThreeLogLinesWhenAPolicyIsANumber) {
  FirewallTestEnv env;
  auto firewall =
      env.appFirewall(Value::dictOf({{"new_app_policy", Value::integer(1)}}), Value::dict({}));
  EXPECT_TRUE(firewall->shouldDeny(kHost));
  const auto lines = env.logs().lines();
  auto failure = std::find_if(lines.begin(), lines.end(), [](const std::string& line) {
    return line.starts_with("Exception: NSInvalidArgumentException ");
  });
  ASSERT_NE(failure, lines.end());
  ASSERT_GE(lines.end() - failure, 3);
  EXPECT_FALSE(failure[1].empty());  // the call stack
  EXPECT_EQ(failure[2], "Intercept... prematurely blocking because prefs aren't loaded");
  EXPECT_TRUE(firewall->appSettings().get("domains").isNull());
}

TEST(AGuardedStep, BlocksForAWrongKindAnywhereBehindIt) {
  const Value broken[] = {
      Value::dictOf({{"deny_all_outbound", str("yes")}}),
      Value::dictOf({{"new_site_policy", Value::integer(2)}}),
      Value::dictOf({{"domains", str("example.com")}}),
      Value::dictOf({{"domains", Value::dictOf({{kHost, str("1")}})}}),
      Value::dictOf(
          {{"domains", Value::dictOf({{kHost, Value::dictOf({{"allowed", str("1")}})}})}}),
      Value::dictOf({{"firewall_enabled", Value::array({})}}),
      str("not an entry"),
  };
  for (const Value& app : broken) {
    SCOPED_TRACE(app.description());
    FirewallTestEnv env;
    auto firewall = env.appFirewall(Value::dict({}), app);
    EXPECT_TRUE(firewall->shouldDeny(kHost));
    EXPECT_TRUE(
        env.logs().contains("Intercept... prematurely blocking because prefs aren't loaded"));
  }
}

TEST(AGuardedStep, RefusesInShouldAllowWhenTheSystemSwitchIsNotANumber) {
  FirewallTestEnv env;
  auto firewall = env.appFirewall(Value::dictOf({{"snt_system_apps_enabled", str("YES")}}),
                                  Value::dictOf({{"domains", Value::dictOf({{kHost, rule(1)}})}}));
  EXPECT_FALSE(firewall->shouldAllow(kHost));
  EXPECT_TRUE(env.logs().contains("Exception: NSInvalidArgumentException"));
  EXPECT_TRUE(env.logs().contains("Intercept... prematurely blocking because prefs aren't loaded"));
}

TEST(AValueOfTheWrongKind, ReadsAsAbsentOutsideTheGuardedSteps) {
  FirewallTestEnv env;
  auto firewall =
      env.appFirewall(Value::dictOf({{"snt_enabled", str("no")},
                                     {"new_app_policy", Value::integer(2)},
                                     {"global_hosts", Value::array({})},
                                     {"snt_show_bundle_ids", Value::dict({})}}),
                      Value::dictOf({{"new_site_policy", Value::integer(1)},
                                     {"allow_all_outbound", str("1")},
                                     {"domains", Value::dictOf({{kHost, Value::integer(1)}})},
                                     {"filter_streams", str("0")}}));
  EXPECT_TRUE(firewall->_globalEnabled());
  // Policies are compared as text: a number is present and matches none.
  EXPECT_EQ(firewall->globalDefaultAppPolicy(), kUncomparablePolicy);
  EXPECT_EQ(firewall->appPolicy(), kUncomparablePolicy);
  EXPECT_FALSE(firewall->allowAllOutbound());
  EXPECT_EQ(firewall->explicitRuleForHost(kHost), 0);
  EXPECT_FALSE(firewall->isExplicitRuleForHostSet(kHost));
  EXPECT_TRUE(firewall->filterStreams());
  EXPECT_EQ(firewall->ruleDescription(), "Example (0/1 allowed)");
  // shouldAllow reaches its end without failing; shouldDeny's guard fails.
  EXPECT_FALSE(firewall->shouldAllow(kHost));
  EXPECT_FALSE(env.logs().contains("Exception:"));
  EXPECT_TRUE(firewall->shouldDeny(kHost));
  EXPECT_TRUE(env.logs().contains("Exception:"));
}

TEST(AValueOfTheWrongKind, IsReplacedByAnEdit) {
  FirewallTestEnv env;
  env.writeSettings(Value::dictOf({{"apps", str("junk")}}));
  auto firewall = env.appFirewall(Value::dict({}), Value::dictOf({{"domains", Value::array({})}}));
  firewall->setAppHostRule("Example", kHost, std::nullopt, 2);
  EXPECT_EQ(firewall->explicitRuleForHost(kHost), 2);
}

// ---- Policies of the wrong kind ----

TEST(APolicyStoredAsANumber, IsTheAppsOwnPolicyAndAllowsNothingNew) {
  FirewallTestEnv env;
  // The global policy allows new hosts; the app's own policy is a number,
  // which is present (the global one does not apply) and is not "1".
  auto firewall = env.appFirewall(Value::dictOf({{"new_app_policy", str("1")}}),
                                  Value::dictOf({{"new_site_policy", Value::integer(1)}}));
  EXPECT_FALSE(firewall->allowNewOutbound());
  EXPECT_FALSE(firewall->blockNewOutbound());
  EXPECT_FALSE(firewall->shouldAllow(kHost));
  EXPECT_TRUE(firewall->appSettings().get("domains").isNull()) << "no allow rule learned";
  // shouldDeny reads it strictly and blocks, as for any malformed setting.
  EXPECT_TRUE(firewall->shouldDeny(kHost));
  EXPECT_TRUE(env.logs().contains("Exception: NSInvalidArgumentException"));
  EXPECT_TRUE(firewall->appSettings().get("domains").isNull());
}

TEST(APolicyStoredAsANumber, NeverEqualsBlockOrOffEither) {
  FirewallTestEnv env;
  auto blocking =
      env.appFirewall(Value::dict({}), Value::dictOf({{"new_site_policy", Value::integer(2)}}));
  EXPECT_FALSE(blocking->blockNewOutbound());
  // A global policy 0 as a number does not switch the firewall off.
  auto off = env.appFirewall(Value::dictOf({{"new_app_policy", Value::integer(0)}}), Value());
  EXPECT_TRUE(off->enabled());
  EXPECT_EQ(off->appPolicy(), kUncomparablePolicy);
}

// ---- One destination, one rule ----

TEST(AHostRule, IsFoundByEveryTextOfItsIPv6AddressAndByTheMappedForm) {
  FirewallTestEnv env;
  auto firewall = env.appFirewall(
      Value::dict({}),
      Value::dictOf({{"domains", Value::dictOf({{"::1", rule(2)}, {"127.0.0.1", rule(1)}})}}));
  for (const char* text : {"::1", "[::1]", "0:0:0:0:0:0:0:1", "[0000::0001]"}) {
    EXPECT_EQ(firewall->explicitRuleForHost(text), 2) << text;
    EXPECT_FALSE(firewall->shouldAllow(text)) << text;
    EXPECT_TRUE(firewall->shouldDeny(text)) << text;
  }
  const std::optional<URL> bracketed = URL::URLWithString("http://[::1]:8080/x");
  ASSERT_TRUE(bracketed);
  EXPECT_TRUE(firewall->shouldDeny(*bracketed));
  for (const char* text : {"::ffff:127.0.0.1", "[::ffff:7f00:1]"}) {
    EXPECT_EQ(firewall->ruleForHost(text), 1) << text;
    EXPECT_TRUE(firewall->shouldAllow(text)) << text;
  }
  const std::optional<URL> mapped = URL::URLWithString("https://[::ffff:127.0.0.1]/");
  ASSERT_TRUE(mapped);
  EXPECT_TRUE(firewall->shouldAllow(*mapped));
}

TEST(AHostRule, IsStoredUnderTheCanonicalTextOfItsAddress) {
  FirewallTestEnv env;
  auto firewall = env.appFirewall(Value::dictOf({{"new_app_policy", str("1")}}), Value::dict({}));
  firewall->setAppHostRule("Example", "[0:0::2]", std::nullopt, 2);
  firewall->setAppHostRule("Example", "::FFFF:10.0.0.1", std::nullopt, 1);
  // A learning rule from a URL with a bracketed host.
  const std::optional<URL> url = URL::URLWithString("http://[2001:DB8:0::3]/page");
  ASSERT_TRUE(url);
  EXPECT_TRUE(firewall->shouldAllow(*url));
  const Value hosts = firewall->hosts();
  ASSERT_TRUE(hosts.isDict());
  EXPECT_EQ(hosts.asDict()->sortedKeys(),
            (std::vector<std::string>{"10.0.0.1", "2001:db8::3", "::2"}));
  EXPECT_EQ(hosts.get("2001:db8::3").get("url"), Value::string(url->absoluteString()));
}

}  // namespace
}  // namespace sentrel::testing
