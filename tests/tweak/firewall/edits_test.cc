// Edits of an app's entry, the notify choice, global rules set on an app's
// behalf, learning rules reaching a save, and the rule description.
#include <gtest/gtest.h>

#include "tweak/SNTMessagingCenter.h"
#include "tweak/firewall/firewall_test_env.h"

namespace sentrel::testing {
namespace {

using plist::Value;

constexpr const char* kOther = "com.example.other";
constexpr const char* kHost = "cdn.example.org";

Value appEntryInFile(const FirewallTestEnv& env, const char* id) {
  return env.readSettings().get("apps").get(id);
}

// The app entry of `id` inside the last whole document sent to SpringBoard.
Value appEntryInLastSave(const PostRecorder& saves, const char* id) {
  if (saves.payloads().empty()) return Value();
  return saves.payloads().back().get("apps").get(id);
}

std::shared_ptr<SNTFirewall> pooled(const char* id, const Value& entry = Value::dict({})) {
  return SNTFirewall::pooledFirewallForBundle(id, "Other", false, false, false, Value::dict({}),
                                              entry);
}

// ---- Host rules and the notify choice ----

TEST(AHostRuleFromSpringBoard, WritesTheFileAndTellsTheApp) {
  FirewallTestEnv env(FirewallTestEnv::springBoardIdentity());
  PostRecorder app_news(env.center(), "SNT_NEW_APP_SETTINGS_com.example.other");
  PostRecorder news(env.center(), kNewSettingsNotification);
  auto firewall = pooled(kOther);

  firewall->setAppHostRule("Other App", kHost, "https://cdn.example.org/x", 1);
  env.runUntilIdle();

  const Value expected = Value::dictOf(
      {{"name", str("Other App")},
       {"domains",
        Value::dictOf({{kHost, Value::dictOf({{"allowed", Value::integer(1)},
                                              {"url", str("https://cdn.example.org/x")}})}})}});
  EXPECT_EQ(appEntryInFile(env, kOther), expected);
  EXPECT_EQ(firewall->appSettings(), expected);
  ASSERT_EQ(app_news.count(), 1u);
  EXPECT_EQ(app_news.payloads()[0], expected);
  EXPECT_EQ(news.count(), 1u);
  EXPECT_TRUE(env.logs().contains("save setAppHostRule (Other App, cdn.example.org, 1)"));
  EXPECT_TRUE(env.logs().contains("SNTFirewall saveAppSettings: "));
  EXPECT_TRUE(env.logs().contains("SNTFirewall saving app settings: "));
}

TEST(AnUndefinedHostRule, IsSavedWithoutNotification) {
  FirewallTestEnv env(FirewallTestEnv::springBoardIdentity());
  PostRecorder app_news(env.center(), "SNT_NEW_APP_SETTINGS_com.example.other");
  PostRecorder news(env.center(), kNewSettingsNotification);
  auto firewall = pooled(kOther);
  firewall->setAppHostRule("Other", kHost, std::nullopt, 0);
  env.runUntilIdle();
  EXPECT_EQ(appEntryInFile(env, kOther).get("domains").get(kHost), rule(0));
  EXPECT_EQ(app_news.count(), 0u);
  EXPECT_EQ(news.count(), 0u);
}

TEST(AHostRuleOfTheProcessFirewall, IsSentToSpringBoardWithoutNotification) {
  FirewallTestEnv env;
  PostRecorder saves(env.center(), kSaveSettingsNotification);
  PostRecorder saves_notify(env.center(), kSaveSettingsAndNotifyNotification);
  PostRecorder app_news(env.center(), "SNT_NEW_APP_SETTINGS_com.example.app");
  auto firewall = SNTFirewall::current();
  firewall->setAppHostBool("Example", kHost, std::nullopt, false);
  env.runUntilIdle();
  ASSERT_EQ(saves.count(), 1u);
  EXPECT_EQ(appEntryInLastSave(saves, kAppId).get("domains").get(kHost), rule(2));
  EXPECT_EQ(saves_notify.count(), 0u);
  EXPECT_EQ(app_news.count(), 0u);
  EXPECT_TRUE(env.readSettings().isNull());  // only SpringBoard writes
}

TEST(AHostRuleForAnotherApp, IsSentToSpringBoardWithNotification) {
  FirewallTestEnv env;  // the Settings app or any other process
  PostRecorder saves_notify(env.center(), kSaveSettingsAndNotifyNotification);
  PostRecorder app_news(env.center(), "SNT_NEW_APP_SETTINGS_com.example.other");
  pooled(kOther)->setAppHostBool("Other", kHost, std::nullopt, true);
  env.runUntilIdle();
  EXPECT_EQ(saves_notify.count(), 1u);
  EXPECT_EQ(app_news.count(), 1u);
}

TEST(AHostRule, KeepsAnEarlierUrlAndNameWhenGivenNone) {
  FirewallTestEnv env(FirewallTestEnv::springBoardIdentity());
  auto firewall = pooled(kOther);
  firewall->setAppHostRule("Named", kHost, "https://cdn.example.org/first", 1);
  firewall->setAppHostRule(std::nullopt, kHost, std::nullopt, 2);
  const Value entry = appEntryInFile(env, kOther);
  EXPECT_EQ(entry.get("name"), str("Named"));
  EXPECT_EQ(entry.get("domains").get(kHost).get("allowed"), Value::integer(2));
  EXPECT_EQ(entry.get("domains").get(kHost).get("url"), str("https://cdn.example.org/first"));
}

TEST(AHostRule, ForTheServiceHostOrNoHostChangesNothing) {
  FirewallTestEnv env(FirewallTestEnv::springBoardIdentity());
  auto firewall = pooled(kOther);
  firewall->setAppHostRule("Other", kServiceHost, std::nullopt, 2);
  firewall->setAppHostRule("Other", std::nullopt, std::nullopt, 2);
  EXPECT_TRUE(env.readSettings().isNull());
  EXPECT_EQ(firewall->appSettings(), Value::dict({}));
  EXPECT_FALSE(env.logs().contains("save setAppHostRule"));
}

TEST(AnAppEntrySave, KeepsTheRestOfTheFileAndLeavesGlobalSettingsAlone) {
  FirewallTestEnv env(FirewallTestEnv::springBoardIdentity());
  const Value third = Value::dictOf({{"deny_all_outbound", yes()}});
  env.writeSettings(Value::dictOf(
      {{"snt_animations", no()}, {"apps", Value::dictOf({{"com.example.third", third}})}}));
  auto firewall = pooled(kOther);
  const Value before = firewall->globalSettings();
  firewall->setAllowAllOutbound(true);
  const Value file = env.readSettings();
  EXPECT_EQ(file.get("snt_animations"), no());
  EXPECT_EQ(file.get("apps").get("com.example.third"), third);
  EXPECT_EQ(file.get("apps").get(kOther), Value::dictOf({{"allow_all_outbound", yes()}}));
  EXPECT_EQ(firewall->globalSettings(), before);
}

TEST(TheAllSwitches, FollowTheNotifyChoiceAndDoNotClearEachOther) {
  FirewallTestEnv env(FirewallTestEnv::springBoardIdentity());
  PostRecorder app_news(env.center(), "SNT_NEW_APP_SETTINGS_com.example.other");
  auto firewall = pooled(kOther);
  firewall->setAllowAllOutbound(true);
  firewall->setDenyAllOutbound(true);
  env.runUntilIdle();
  EXPECT_EQ(app_news.count(), 2u);
  EXPECT_TRUE(firewall->allowAllOutbound());
  EXPECT_TRUE(firewall->denyAllOutbound());
  EXPECT_TRUE(firewall->shouldAllow(kHost));  // allow is asked first
  EXPECT_EQ(firewall->ruleForHost("x.net"), 2);
  EXPECT_EQ(firewall->ruleDescription(), "Other (all allowed)");

  // SpringBoard's own firewall editing its own entry does not notify.
  PostRecorder own_news(env.center(), "SNT_NEW_APP_SETTINGS_com.apple.springboard");
  SNTFirewall::current()->setDenyAllOutbound(true);
  env.runUntilIdle();
  EXPECT_EQ(own_news.count(), 0u);
}

TEST(AnAppEntrySave, WithoutABundleIdKeepsTheEntryInMemoryOnly) {
  FirewallTestEnv env(FirewallTestEnv::springBoardIdentity());
  PostRecorder app_news(env.center(), "SNT_NEW_APP_SETTINGS_(null)");
  auto firewall = std::make_shared<SNTFirewall>();
  firewall->setAppHostRule("tool", kHost, std::nullopt, 1);
  env.runUntilIdle();
  EXPECT_EQ(firewall->explicitRuleForHost(kHost), 1);
  EXPECT_TRUE(env.readSettings().isNull());
  EXPECT_EQ(app_news.count(), 0u);
}

// ---- Global rules, clearing, deleting ----

TEST(AGlobalRuleSetForAnApp, IsSavedFromTheFileAndLeavesTheObjectsDocument) {
  FirewallTestEnv env(FirewallTestEnv::springBoardIdentity());
  PostRecorder news(env.center(), kNewSettingsNotification);
  env.writeSettings(Value::dictOf({{"snt_animations", no()}}));
  auto firewall = pooled(kOther);
  firewall->setGlobalSettings(Value::dictOf({{"stale", yes()}}));

  firewall->setRuleGlobally(kHost, "https://cdn.example.org/", 2);
  env.runUntilIdle();
  const Value file = env.readSettings();
  EXPECT_EQ(file.get("global_hosts").get(kHost).get("allowed"), Value::integer(2));
  EXPECT_EQ(file.get("snt_animations"), no());
  EXPECT_TRUE(file.get("stale").isNull());
  EXPECT_EQ(firewall->globalSettings(), Value::dictOf({{"stale", yes()}}));
  EXPECT_EQ(news.count(), 1u);

  firewall->setRuleGlobally(kServiceHost, std::nullopt, 2);
  firewall->setRuleGlobally("quiet.example.org", std::nullopt, 0);
  env.runUntilIdle();
  EXPECT_EQ(news.count(), 1u);
  EXPECT_TRUE(env.readSettings().get("global_hosts").get(kServiceHost).isNull());
}

TEST(ClearingAllHosts, EmptiesTheDomainsOnly) {
  FirewallTestEnv env(FirewallTestEnv::springBoardIdentity());
  auto firewall = pooled(kOther, Value::dictOf({{"deny_all_outbound", yes()},
                                                {"domains", Value::dictOf({{kHost, rule(1)}})}}));
  firewall->clearAllHosts(false);
  EXPECT_EQ(appEntryInFile(env, kOther),
            Value::dictOf({{"deny_all_outbound", yes()}, {"domains", Value::dict({})}}));
}

TEST(ClearingAllHosts, SavesNothingForAnEntryWithoutDomainsOrWithoutEntry) {
  FirewallTestEnv env(FirewallTestEnv::springBoardIdentity());
  pooled(kOther, Value::dictOf({{"deny_all_outbound", yes()}}))->clearAllHosts(true);
  auto firewall = pooled("com.example.third");
  firewall->setAppSettings(Value());
  firewall->clearAllHosts(true);
  EXPECT_TRUE(env.readSettings().isNull());
}

TEST(DeletingAnApp, RemovesItsEntryFromTheFileAndTellsEveryone) {
  FirewallTestEnv env(FirewallTestEnv::springBoardIdentity());
  PostRecorder news(env.center(), kNewSettingsNotification);
  const Value keep = Value::dictOf({{"allow_all_outbound", yes()}});
  env.writeSettings(Value::dictOf(
      {{"apps", Value::dictOf({{kOther, Value::dictOf({{"deny_all_outbound", yes()}})},
                               {"com.example.third", keep}})}}));
  auto firewall = pooled(kOther, Value::dictOf({{"deny_all_outbound", yes()}}));

  firewall->deleteApp(false);
  env.runUntilIdle();
  const Value file = env.readSettings();
  EXPECT_TRUE(file.get("apps").get(kOther).isNull());
  EXPECT_EQ(file.get("apps").get("com.example.third"), keep);
  EXPECT_EQ(firewall->appSettings(), Value::dict({}));
  EXPECT_EQ(firewall->globalSettings(), file);
  ASSERT_EQ(news.count(), 1u);
  EXPECT_EQ(news.payloads()[0], file);
}

TEST(DeletingAnApp, DoesNothingWithoutAppSettings) {
  FirewallTestEnv env(FirewallTestEnv::springBoardIdentity());
  auto firewall = pooled(kOther);
  firewall->setAppSettings(Value());
  firewall->deleteApp(true);
  EXPECT_TRUE(env.readSettings().isNull());
}

// ---- Learning rules reaching a save ----

TEST(ALearningRuleInAnApp, IsSentToSpringBoardAsAWholeDocument) {
  FirewallTestEnv env;
  env.writeSettings(Value::dictOf({{"new_app_policy", str("1")}, {"snt_animations", no()}}));
  PostRecorder saves(env.center(), kSaveSettingsNotification);
  auto firewall = SNTFirewall::current();
  EXPECT_TRUE(firewall->shouldAllow(kHost));
  env.runUntilIdle();
  ASSERT_EQ(saves.count(), 1u);
  EXPECT_EQ(saves.payloads()[0].get("snt_animations"), no());
  EXPECT_EQ(appEntryInLastSave(saves, kAppId).get("domains").get(kHost).get("allowed"),
            Value::integer(1));
  EXPECT_EQ(appEntryInLastSave(saves, kAppId).get("name"), str("Example"));
  EXPECT_EQ(firewall->explicitRuleForHost(kHost), 1);  // adopted at once
}

TEST(ALearningRuleInSpringBoard, WritesTheFile) {
  FirewallTestEnv env(FirewallTestEnv::springBoardIdentity());
  env.writeSettings(Value::dictOf({{"new_app_policy", str("2")}}));
  auto firewall = SNTFirewall::pooledFirewallForBundle(
      kOther, "Other", false, false, false, Value::dictOf({{"new_app_policy", str("2")}}), Value());
  EXPECT_FALSE(firewall->shouldAllow(kHost));
  EXPECT_TRUE(firewall->shouldDeny(kHost));
  EXPECT_EQ(appEntryInFile(env, kOther).get("domains").get(kHost).get("allowed"),
            Value::integer(2));
}

// ---- The rule description ----

TEST(ARuleDescription, SaysOffAllowedBlockedOrCounts) {
  FirewallTestEnv env;
  const Value three = Value::dictOf({{"a.net", rule(1)}, {"b.net", rule(1)}, {"c.net", rule(2)}});
  auto firewall = env.appFirewall(Value::dict({}), Value::dictOf({{"domains", three}}));
  EXPECT_EQ(firewall->ruleDescription(), "Example (2/3 allowed)");

  firewall->setAppSettings(Value::dictOf({{"domains", Value::dictOf({{"z.net", rule(0)}})}}));
  EXPECT_EQ(firewall->ruleDescription(), "Example (0/1 allowed)");
  firewall->setAppSettings(Value());
  EXPECT_EQ(firewall->ruleDescription(), "Example (0/0 allowed)");
  firewall->setAppSettings(Value::dictOf({{"deny_all_outbound", yes()}}));
  EXPECT_EQ(firewall->ruleDescription(), "Example (all blocked)");
  firewall->setAppSettings(
      Value::dictOf({{"firewall_enabled", no()}, {"deny_all_outbound", yes()}}));
  EXPECT_EQ(firewall->ruleDescription(), "Example (off)");

  firewall->setGlobalSettings(Value::dictOf({{"snt_show_bundle_ids", yes()}}));
  EXPECT_EQ(firewall->ruleDescription(), "com.example.app (off)");
  firewall->setName(std::nullopt);
  firewall->setGlobalSettings(Value::dict({}));
  EXPECT_EQ(firewall->ruleDescription(), "(null) (off)");
}

}  // namespace
}  // namespace sentrel::testing
