// SNTSettings: getters and their defaults, and the global rule edits.
#include <gtest/gtest.h>

#include "settings_fixture.h"
#include "tweak/SNTSettings.h"

namespace sentrel::testing {
namespace {

using plist::Value;

// An upper-case random (version 4) UUID: 8-4-4-4-12 hex digits.
bool isUuidString(const std::string& text) {
  if (text.size() != 36) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (c != '-') return false;
    } else if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) {
      return false;
    }
  }
  return text[14] == '4' && std::string("89AB").find(text[19]) != std::string::npos;
}

Value rule(int64_t allowed) {
  return Value::dictOf({{"allowed", Value::integer(allowed)}});
}

using ASettingsObject = SettingsTest;

TEST_F(ASettingsObject, TakesTheDefaultsWhenItHoldsNoDocument) {
  SNTSettings settings;
  EXPECT_TRUE(settings.settings().isNull());
  EXPECT_TRUE(settings.firewallEnabled());
  EXPECT_FALSE(settings.systemSentrelEnabled());
  EXPECT_FALSE(settings.shouldShowAppsWithNoNetworkActivity());
  EXPECT_FALSE(settings.shouldUploadAnonymousData());
  EXPECT_FALSE(settings.shouldShowOnlyBundleIds());
  EXPECT_TRUE(settings.shouldAnimate());
  EXPECT_EQ(settings.globalHosts(), Value::dict({}));
  EXPECT_EQ(settings.explicitGlobalRuleForHost("example.com"), 0);
}

TEST_F(ASettingsObject, ReadsSwitchesAsTheBooleanValueOfAnyNumber) {
  SNTSettings settings;
  settings.initWithDictionary(Value::dictOf({{"snt_enabled", Value::integer(0)},
                                             {"snt_system_apps_enabled", Value::real(0.5)},
                                             {"snt_show_bundle_ids", Value::integer(7)},
                                             {"snt_animations", Value::boolean(false)}}));
  EXPECT_FALSE(settings.firewallEnabled());
  EXPECT_TRUE(settings.systemSentrelEnabled());
  EXPECT_TRUE(settings.shouldShowOnlyBundleIds());
  EXPECT_FALSE(settings.shouldAnimate());
}

TEST_F(ASettingsObject, ReadsValuesOfTheWrongKindAsAbsent) {
  SNTSettings settings;
  settings.initWithDictionary(
      Value::dictOf({{"snt_enabled", Value::string("0")},
                     {"snt_animations", Value::dict({})},
                     {"snt_upload_anonymous_data", Value::string("1")},
                     {"global_hosts",
                      Value::dictOf({{"a.com", Value::string("allowed")},
                                     {"b.com", Value::dictOf({{"allowed", Value::string("1")}})}})},
                     {"apps", Value::array({})}}));
  EXPECT_TRUE(settings.firewallEnabled());
  EXPECT_TRUE(settings.shouldAnimate());
  EXPECT_FALSE(settings.shouldUploadAnonymousData());
  EXPECT_EQ(settings.explicitGlobalRuleForHost("a.com"), 0);
  EXPECT_EQ(settings.explicitGlobalRuleForHost("b.com"), 0);
  EXPECT_EQ(settings.getAppSettings("com.example.app"), Value::dict({}));

  settings.initWithDictionary(Value::dictOf({{"global_hosts", Value::integer(1)}}));
  EXPECT_EQ(settings.globalHosts(), Value::dict({}));
  settings.initWithDictionary(Value::string("not a document"));
  EXPECT_EQ(settings.settings(), Value::dict({}));
}

TEST_F(ASettingsObject, FindsGlobalRulesByTheWholeHostTextOnly) {
  SNTSettings settings;
  settings.initWithDictionary(Value::dictOf(
      {{"global_hosts",
        Value::dictOf({{"example.com", rule(2)},
                       {"listed.com", Value::dict({})},
                       {"yes.com", Value::dictOf({{"allowed", Value::boolean(true)}})}})}}));
  EXPECT_EQ(settings.explicitGlobalRuleForHost("example.com"), 2);
  EXPECT_EQ(settings.explicitGlobalRuleForHost("EXAMPLE.com"), 0);
  EXPECT_EQ(settings.explicitGlobalRuleForHost("www.example.com"), 0);
  EXPECT_EQ(settings.explicitGlobalRuleForHost("com"), 0);
  EXPECT_EQ(settings.explicitGlobalRuleForHost("listed.com"), 0);
  EXPECT_EQ(settings.explicitGlobalRuleForHost("yes.com"), 1);
}

TEST_F(ASettingsObject, GetAppSettingsLogsItsOwnWarnings) {
  SNTSettings settings;
  LogCapture log;
  EXPECT_EQ(settings.getAppSettings("a"), Value::dict({}));
  settings.initWithDictionary(Value::dict({}));
  EXPECT_EQ(settings.getAppSettings("a"), Value::dict({}));
  EXPECT_TRUE(log.contains("WARNING: _settings returning a new dictionary (1)..."));
  EXPECT_TRUE(log.contains("WARNING: getAppSettings() returning a new dictionary (2)..."));
}

TEST_F(ASettingsObject, SetPrefChangesOneKeyAndSavesIt) {
  playSpringBoard();
  SNTSettings settings;
  settings.initWithDictionary(Value::dictOf({{"snt_animations", Value::boolean(false)}}));
  settings.setPref("snt_enabled", Value::boolean(false), true);
  EXPECT_EQ(fileDocument(), Value::dictOf({{"snt_animations", Value::boolean(false)},
                                           {"snt_enabled", Value::boolean(false)}}));
  ASSERT_EQ(posted().size(), 1u);
  EXPECT_EQ(posted()[0].name, "SNT_NEW_SETTINGS");

  settings.setPref("snt_animations", Value(), false);
  EXPECT_EQ(fileDocument(), Value::dictOf({{"snt_enabled", Value::boolean(false)}}));
  EXPECT_EQ(posted().size(), 1u);
}

TEST_F(ASettingsObject, StoresAnUndefinedGlobalRuleWithoutNotification) {
  playApp();
  SNTSettings settings;
  settings.setGlobalHostRule("example.com", "https://example.com/x", 0);
  ASSERT_EQ(posted().size(), 1u);
  EXPECT_EQ(posted()[0].name, "SNT_SB_SAVE_SETTINGS");
  EXPECT_EQ(posted()[0].user_info.get("global_hosts").get("example.com"),
            Value::dictOf(
                {{"allowed", Value::integer(0)}, {"url", Value::string("https://example.com/x")}}));
}

TEST_F(ASettingsObject, NotifiesForAllowedAndBlockedGlobalRules) {
  playApp();
  SNTSettings settings;
  LogCapture log;
  settings.setGlobalHostBool("a.com", std::nullopt, true);
  settings.setGlobalHostBool("b.com", std::nullopt, false);
  ASSERT_EQ(posted().size(), 2u);
  EXPECT_EQ(posted()[0].name, "SNT_SB_SAVE_SETTINGS_AND_NOTIFY");
  EXPECT_EQ(posted()[0].user_info.get("global_hosts").get("a.com"), rule(1));
  EXPECT_EQ(posted()[1].user_info.get("global_hosts").get("b.com"), rule(2));
  EXPECT_TRUE(log.contains("save setGlobalHostRule (a.com, 1)"));
  EXPECT_TRUE(log.contains("save setGlobalHostRule (b.com, 2)"));
}

TEST_F(ASettingsObject, BasesGlobalEditsOnTheFileAndKeepsAnEarlierUrl) {
  playSpringBoard();
  writeSettingsFile(Value::dictOf(
      {{"snt_enabled", Value::boolean(false)},
       {"global_hosts",
        Value::dictOf({{"a.com", Value::dictOf({{"allowed", Value::integer(2)},
                                                {"url", Value::string("http://a.com/")}})}})}}));
  SNTSettings settings;
  settings.initWithDictionary(Value::dictOf({{"snt_animations", Value::boolean(false)}}));
  settings.setGlobalHostRule("a.com", std::nullopt, 1);
  EXPECT_EQ(fileDocument(),
            Value::dictOf(
                {{"snt_enabled", Value::boolean(false)},
                 {"global_hosts",
                  Value::dictOf(
                      {{"a.com", Value::dictOf({{"allowed", Value::integer(1)},
                                                {"url", Value::string("http://a.com/")}})}})}}));
  EXPECT_EQ(settings.explicitGlobalRuleForHost("a.com"), 1);
}

TEST_F(ASettingsObject, NeverTouchesTheFileForTheServiceHostOrANullHost) {
  playSpringBoard();
  Value before = Value::dictOf({{"global_hosts", Value::dictOf({{kServiceHost, rule(2)}})}});
  writeSettingsFile(before);
  SNTSettings settings;
  settings.setGlobalHostRule(kServiceHost, std::nullopt, 1);
  settings.setGlobalHostRule(std::nullopt, "http://x/", 1);
  settings.removeGlobalHostRule(kServiceHost);
  settings.removeGlobalHostRule(std::nullopt);
  EXPECT_EQ(fileDocument(), before);
  EXPECT_TRUE(posted().empty());
}

TEST_F(ASettingsObject, RemovesAGlobalRuleWithNotification) {
  playSpringBoard();
  writeSettingsFile(
      Value::dictOf({{"global_hosts", Value::dictOf({{"a.com", rule(1)}, {"b.com", rule(2)}})}}));
  SNTSettings settings;
  LogCapture log;
  settings.removeGlobalHostRule("a.com");
  EXPECT_EQ(fileDocument(), Value::dictOf({{"global_hosts", Value::dictOf({{"b.com", rule(2)}})}}));
  ASSERT_EQ(posted().size(), 1u);
  EXPECT_EQ(posted()[0].name, "SNT_NEW_SETTINGS");
  EXPECT_TRUE(log.contains("save removeGlobalHostRule (a.com)"));
}

TEST_F(ASettingsObject, ClearsGlobalHostsOfTheFileButNotItsOwnCopy) {
  playSpringBoard();
  Value on_disk = Value::dictOf({{"snt_enabled", Value::boolean(false)},
                                 {"global_hosts", Value::dictOf({{"a.com", rule(1)}})}});
  writeSettingsFile(on_disk);
  SNTSettings settings;
  settings.initWithDictionary(on_disk);
  settings.clearGlobalHosts(false);
  EXPECT_EQ(fileDocument(), Value::dictOf({{"snt_enabled", Value::boolean(false)},
                                           {"global_hosts", Value::dict({})}}));
  EXPECT_EQ(settings.explicitGlobalRuleForHost("a.com"), 1);
  EXPECT_TRUE(posted().empty());
}

TEST_F(ASettingsObject, CreatesTheAnonymousIdentifierOnceAndKeepsIt) {
  playSpringBoard();
  SNTSettings settings;
  settings.initWithDictionary(Value::dict({}));
  const std::string first = settings.anonymousIdentifier();
  EXPECT_TRUE(isUuidString(first)) << first;
  EXPECT_EQ(settings.anonymousIdentifier(), first);
  EXPECT_TRUE(posted().empty());  // saved without notification
  auto reloaded = SNTSettings::loadFromFile();
  EXPECT_EQ(reloaded->anonymousIdentifier(), first);
}

TEST_F(ASettingsObject, ThatNeverLoadedNeverWritesADocument) {
  playSpringBoard();
  const Value on_disk = Value::dictOf({{"snt_enabled", Value::boolean(false)},
                                       {"global_hosts", Value::dictOf({{"a.com", rule(2)}})}});
  writeSettingsFile(on_disk);
  SNTSettings settings;
  LogCapture log;
  settings.save(true);
  settings.setPref("snt_animations", Value::boolean(false), true);
  const std::string identifier = settings.anonymousIdentifier();
  EXPECT_TRUE(isUuidString(identifier)) << identifier;
  EXPECT_EQ(fileDocument(), on_disk);
  EXPECT_TRUE(posted().empty());
  EXPECT_TRUE(settings.settings().isNull());
  EXPECT_TRUE(log.contains("SNTSettings save: the settings were never loaded; nothing saved"));
  EXPECT_TRUE(log.contains("SNTSettings setPref: the settings were never loaded; nothing saved"));

  // Outside SpringBoard nothing is sent to be saved either.
  playApp();
  settings.save(true);
  settings.setPref("snt_enabled", Value::boolean(true), false);
  EXPECT_TRUE(posted().empty());

  // Once loaded it saves as before.
  playSpringBoard();
  settings.reload();
  settings.setPref("snt_animations", Value::boolean(false), false);
  EXPECT_EQ(fileDocument().get("global_hosts"), on_disk.get("global_hosts"));
  EXPECT_EQ(fileDocument().get("snt_animations"), Value::boolean(false));
}

TEST_F(ASettingsObject, KeysAGlobalRuleByTheCanonicalTextOfItsAddress) {
  playSpringBoard();
  SNTSettings settings;
  settings.setGlobalHostBool("[0:0:0:0:0:0:0:1]", std::nullopt, false);
  settings.setGlobalHostBool("::ffff:192.0.2.1", std::nullopt, true);
  EXPECT_EQ(fileDocument().get("global_hosts"),
            Value::dictOf({{"::1", rule(2)}, {"192.0.2.1", rule(1)}}));
  EXPECT_EQ(settings.explicitGlobalRuleForHost("[::1]"), 2);
  EXPECT_EQ(settings.explicitGlobalRuleForHost("::1"), 2);
  EXPECT_EQ(settings.explicitGlobalRuleForHost("::ffff:c000:201"), 1);
  settings.removeGlobalHostRule("[::1]");
  EXPECT_EQ(fileDocument().get("global_hosts"), Value::dictOf({{"192.0.2.1", rule(1)}}));
}

}  // namespace
}  // namespace sentrel::testing
