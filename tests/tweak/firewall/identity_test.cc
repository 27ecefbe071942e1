// Identity of the process firewall, current()/unregister(), the listeners
// and the firewall pool.
#include <gtest/gtest.h>

#include "tweak/SNTMessagingCenter.h"
#include "tweak/firewall/firewall_test_env.h"

namespace sentrel::testing {
namespace {

using plist::Value;

struct IdentityRow {
  const char* process;
  bundle::MainBundle identity;
  const char* workspaceType;  // nullptr: not listed
  bool tagged_hidden;
  bool isApp, isDaemon, isSystemApp, isHiddenApp;
};

void PrintTo(const IdentityRow& row, std::ostream* os) {
  *os << row.process;
}

constexpr const char* kUserBundle = "/var/containers/Bundle/Application/0000/Example.app";

std::vector<IdentityRow> identityRows() {
  const bundle::MainBundle user_app{std::string(kAppId), kUserBundle,
                                    std::string(kUserBundle) + "/Example", "Example"};
  const bundle::MainBundle system_app{std::string(kAppId), "/Applications/Example.app",
                                      "/Applications/Example.app/Example", "Example"};
  const bundle::MainBundle bare_system{std::string(kAppId), "/Applications", "/Applications/tool",
                                       "tool"};
  const bundle::MainBundle bare_other{std::nullopt, "/usr/bin", "/usr/bin/curl", "curl"};
  return {
      {"user app, listed as User", user_app, "User", true, true, false, false, false},
      {"user app, not listed", user_app, nullptr, false, true, false, false, false},
      {"app outside /Applications/, listed as System", user_app, "System", false, true, false, true,
       false},
      {"app outside /Applications/, listed as System and hidden", user_app, "System", true, true,
       false, true, true},
      {"app inside /Applications/", system_app, "User", false, true, false, true, false},
      {"app inside /Applications/, hidden", system_app, "User", true, true, false, true, true},
      {"bare executable under /Applications/", bare_system, nullptr, false, false, true, true,
       false},
      {"bare executable under /Applications/, hidden", bare_system, "System", true, false, true,
       true, true},
      {"any other process", bare_other, nullptr, false, false, true, false, false},
  };
}

class AnIdentityRow : public ::testing::TestWithParam<IdentityRow> {};

TEST_P(AnIdentityRow, SetsTheFlagsOfTheProcessFirewall) {
  const IdentityRow& row = GetParam();
  FirewallTestEnv env(row.identity);
  if (row.workspaceType) {
    std::vector<std::string> tags = {"other"};
    if (row.tagged_hidden) tags.push_back("hidden");
    env.workspace().add("com.example.elsewhere", "System", {"hidden"});
    env.workspace().add(kAppId, row.workspaceType, tags);
  }
  std::shared_ptr<SNTFirewall> firewall = SNTFirewall::current();
  ASSERT_TRUE(firewall);
  EXPECT_EQ(firewall->isApp(), row.isApp);
  EXPECT_EQ(firewall->isDaemon(), row.isDaemon);
  EXPECT_EQ(firewall->isSystemApp(), row.isSystemApp);
  EXPECT_EQ(firewall->isHiddenApp(), row.isHiddenApp);
  EXPECT_EQ(firewall->name(), row.identity.process_name);
  EXPECT_EQ(firewall->bundleId(), row.identity.bundle_identifier);
}

INSTANTIATE_TEST_SUITE_P(EveryRow, AnIdentityRow, ::testing::ValuesIn(identityRows()),
                         [](const auto& info) { return "Row" + std::to_string(info.index); });

TEST(TheProcessFirewall, FindsAnExecutableInsideTheDeviceRootUnderApplications) {
  FirewallTestEnv env;
  const std::string bundle = (env.root() / "Applications/Example.app").string();
  env.setIdentity({std::string(kAppId), bundle, bundle + "/Example", "Example"});
  EXPECT_TRUE(SNTFirewall::current()->isSystemApp());
  EXPECT_TRUE(SNTFirewall::current()->isApp());
}

TEST(TheProcessFirewall, LogsAnAppTheWorkspaceDoesNotList) {
  FirewallTestEnv env;
  SNTFirewall::current();
  EXPECT_TRUE(env.logs().contains("SNTFirewall init(com.example.app)!"));
  EXPECT_TRUE(env.logs().contains("Failed to find com.example.app in LSApplicationWorkspace..."));
}

TEST(TheProcessFirewall, AsksNoWorkspaceForAnAppUnderApplications) {
  FirewallTestEnv env({std::string(kAppId), "/Applications/Example.app",
                       "/Applications/Example.app/Example", "Ex"});
  EXPECT_TRUE(SNTFirewall::current()->isSystemApp());
  EXPECT_FALSE(env.logs().contains("Failed to find"));
}

TEST(TheProcessFirewall, StartsFromTheSettingsFile) {
  FirewallTestEnv env;
  const Value entry = Value::dictOf({{"deny_all_outbound", yes()}});
  env.writeSettings(
      Value::dictOf({{"snt_animations", no()}, {"apps", Value::dictOf({{kAppId, entry}})}}));
  std::shared_ptr<SNTFirewall> firewall = SNTFirewall::current();
  EXPECT_EQ(firewall->appSettings(), entry);
  EXPECT_FALSE(firewall->shouldAnimate());
}

TEST(TheProcessFirewall, StartsEmptyWithoutAFile) {
  FirewallTestEnv env;
  std::shared_ptr<SNTFirewall> firewall = SNTFirewall::current();
  EXPECT_EQ(firewall->globalSettings(), Value::dict({}));
  EXPECT_EQ(firewall->appSettings(), Value::dict({}));
}

TEST(TheProcessFirewall, IsCreatedOnceAndNotRebuiltAfterUnregister) {
  FirewallTestEnv env;
  EXPECT_EQ(SNTFirewall::current_raw(), nullptr);
  std::shared_ptr<SNTFirewall> first = SNTFirewall::current();
  ASSERT_TRUE(first);
  EXPECT_EQ(SNTFirewall::current(), first);
  EXPECT_EQ(SNTFirewall::current_raw(), first);
  SNTFirewall::unregister();
  EXPECT_EQ(SNTFirewall::current(), nullptr);
  EXPECT_EQ(SNTFirewall::current_raw(), nullptr);
  EXPECT_EQ(env.logs().count("SNTFirewall init("), 1u);
}

TEST(TheProcessFirewall, ReplacesItsDocumentsWhenTheListenersHear) {
  FirewallTestEnv env;
  std::shared_ptr<SNTFirewall> firewall = SNTFirewall::current();
  const Value document = Value::dictOf({{"snt_enabled", no()}});
  const Value entry = Value::dictOf({{"allow_all_outbound", yes()}});

  env.center().post(kNewSettingsNotification, document);
  env.center().post("SNT_NEW_APP_SETTINGS_com.example.app", entry);
  env.center().post("SNT_NEW_APP_SETTINGS_com.example.other", Value::dict({}));
  env.runUntilIdle();

  EXPECT_EQ(firewall->globalSettings(), document);
  EXPECT_EQ(firewall->appSettings(), entry);
  EXPECT_TRUE(
      env.logs().contains("Received NSDistributedNotificationCenter message (SNT_NEW_SETTINGS)"));
  EXPECT_TRUE(env.logs().contains("received new global settings!"));
  EXPECT_TRUE(env.logs().contains(
      "Received NSDistributedNotificationCenter message (SNT_NEW_APP_SETTINGS_com.example.app)"));
  EXPECT_TRUE(env.logs().contains("received new app settings!"));
}

TEST(TheProcessFirewall, WithoutABundleIdListensUnderANameNobodyUses) {
  FirewallTestEnv env({std::nullopt, "/usr/bin", "/usr/bin/tool", "tool"});
  std::shared_ptr<SNTFirewall> firewall = SNTFirewall::current();
  EXPECT_EQ(firewall->bundleId(), std::nullopt);
  EXPECT_FALSE(env.logs().contains("Failed to find"));
  env.center().post("SNT_NEW_APP_SETTINGS_(null)", Value::dictOf({{"x", yes()}}));
  env.runUntilIdle();
  EXPECT_EQ(firewall->appSettings().get("x"), yes());
}

TEST(AFirewallsListeners, GoAwayWithTheFirewall) {
  FirewallTestEnv env;
  {
    auto firewall = std::make_shared<SNTFirewall>();
    firewall->loadFromMainBundle();
    env.center().post(kNewSettingsNotification, Value::dict({}));
    env.runUntilIdle();
  }
  env.center().post(kNewSettingsNotification, Value::dict({}));
  env.runUntilIdle();
  EXPECT_EQ(env.logs().count("received new global settings!"), 1u);
}

// ---- The pool ----

TEST(ThePool, FillsANewFirewallFromTheArguments) {
  FirewallTestEnv env;
  const Value global = Value::dictOf({{"snt_animations", no()}});
  const Value entry = Value::dictOf({{"deny_all_outbound", yes()}});
  auto firewall = SNTFirewall::pooledFirewallForBundle("com.example.other", "Other (Beta)", true,
                                                       true, false, global, entry);
  EXPECT_EQ(firewall->bundleId(), "com.example.other");
  EXPECT_EQ(firewall->name(), "Other ");
  EXPECT_TRUE(firewall->isSystemApp());
  EXPECT_TRUE(firewall->isHiddenApp());
  EXPECT_FALSE(firewall->isDaemon());
  EXPECT_TRUE(firewall->isApp());
  EXPECT_EQ(firewall->globalSettings(), global);
  EXPECT_EQ(firewall->appSettings(), entry);
  EXPECT_EQ(SNTFirewall::pool().objectForKey("com.example.other"), firewall);
}

TEST(ThePool, CutsTheNameOnlyBeforeAParenthesisThatIsNotFirst) {
  FirewallTestEnv env;
  const std::pair<const char*, const char*> names[] = {{"Word (Suffix)", "Word "},
                                                       {"(Suffix) Word", "(Suffix) Word"},
                                                       {"Plain", "Plain"},
                                                       {"A(b)(c)", "A"}};
  int n = 0;
  for (const auto& [given, expected] : names) {
    const std::string id = "com.example.n" + std::to_string(n++);
    EXPECT_EQ(SNTFirewall::pooledFirewallForBundle(id, given, false, false, false, Value(), Value())
                  ->name(),
              expected);
  }
  EXPECT_EQ(SNTFirewall::pooledFirewallForBundle("com.example.nameless", std::nullopt, false, false,
                                                 false, Value(), Value())
                ->name(),
            std::nullopt);
}

TEST(ThePool, MakesNullSettingsEmptyAndADaemonNoApp) {
  FirewallTestEnv env;
  auto firewall = SNTFirewall::pooledFirewallForBundle("com.example.d", "d", false, false, true,
                                                       Value(), str("junk"));
  EXPECT_EQ(firewall->globalSettings(), Value::dict({}));
  EXPECT_EQ(firewall->appSettings(), Value::dict({}));
  EXPECT_TRUE(firewall->isDaemon());
  EXPECT_FALSE(firewall->isApp());
}

TEST(ThePool, ReturnsAKnownFirewallReloadedFromTheFileWithItsIdentity) {
  FirewallTestEnv env;
  auto first = SNTFirewall::pooledFirewallForBundle("com.example.other", "Other", false, false,
                                                    false, Value::dict({}), Value::dict({}));
  const Value entry = Value::dictOf({{"allow_all_outbound", yes()}});
  const Value file = Value::dictOf({{"apps", Value::dictOf({{"com.example.other", entry}})}});
  env.writeSettings(file);

  auto second = SNTFirewall::pooledFirewallForBundle("com.example.other", "Renamed", true, true,
                                                     true, Value::dictOf({{"snt_enabled", no()}}),
                                                     Value::dictOf({{"deny_all_outbound", yes()}}));
  EXPECT_EQ(second, first);
  EXPECT_EQ(second->name(), "Other");
  EXPECT_FALSE(second->isSystemApp());
  EXPECT_FALSE(second->isDaemon());
  EXPECT_EQ(second->globalSettings(), file);
  EXPECT_EQ(second->appSettings(), entry);
  EXPECT_EQ(SNTFirewall::pool().count(), 1u);
}

TEST(ThePool, ReloadsAnAppWithoutEntryAsNullAppSettings) {
  FirewallTestEnv env;
  SNTFirewall::pooledFirewallForBundle("com.example.other", "Other", false, false, false, Value(),
                                       Value::dictOf({{"deny_all_outbound", yes()}}));
  auto again = SNTFirewall::pooledFirewallForBundle("com.example.other", "Other", false, false,
                                                    false, Value(), Value());
  EXPECT_TRUE(again->appSettings().isNull());
  EXPECT_FALSE(again->denyAllOutbound());
}

TEST(ThePool, BuildsAFreshFirewallOnceTheAppWasDropped) {
  FirewallTestEnv env;
  auto first = SNTFirewall::pooledFirewallForBundle("com.example.other", "Other", false, false,
                                                    false, Value(), Value());
  SNTFirewall::pool().removeObjectForKey("com.example.other");
  auto second = SNTFirewall::pooledFirewallForBundle("com.example.other", "New", false, false,
                                                     false, Value(), Value());
  EXPECT_NE(second, first);
  EXPECT_EQ(second->name(), "New");
}

TEST(ThePool, RegistersNoListeners) {
  FirewallTestEnv env;
  auto firewall = SNTFirewall::pooledFirewallForBundle("com.example.other", "Other", false, false,
                                                       false, Value::dict({}), Value::dict({}));
  env.center().post(kNewSettingsNotification, Value::dictOf({{"snt_enabled", no()}}));
  env.runUntilIdle();
  EXPECT_EQ(firewall->globalSettings(), Value::dict({}));
}

TEST(ThePool, KeepsAFirewallWithoutBundleIdOutOfThePool) {
  FirewallTestEnv env;
  auto firewall = SNTFirewall::pooledFirewallForBundle(std::nullopt, "x", false, false, false,
                                                       Value(), Value());
  ASSERT_TRUE(firewall);
  EXPECT_EQ(SNTFirewall::pool().count(), 0u);
}

}  // namespace
}  // namespace sentrel::testing
