// Prompt records, their callback lists and the interceptor of an app
// process, on an isolated device with an in-process notification center.
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "firewall_test_env.h"
#include "platform/base/mutex.h"
#include "tweak/CHooks.h"
#include "tweak/SNTMessagingCenter.h"
#include "tweak/Tweak.h"
#include "tweak/UI/SNTAlert.h"
#include "tweak/intercept.h"

namespace sentrel {
namespace {

using plist::Value;
using testing::FirewallTestEnv;
using testing::PostRecorder;

TEST(StartUp, ClassifiesProcessesByNameBundleIdAndBundleType) {
  const char* app = "/var/containers/Bundle/Application/0000/Example.app";
  EXPECT_EQ(SNTClassifyProcess(std::nullopt, "daemon", "/usr/libexec"), std::nullopt);
  EXPECT_EQ(SNTClassifyProcess("com.example.app", "Example", app), SNTHookGroup::kAllApps);
  EXPECT_EQ(SNTClassifyProcess("com.example.app", "ptpd", app), SNTHookGroup::kNone);
  for (const char* skipped :
       {"com.apple.CoreAuthUI", "com.apple.SafariViewService", "com.saurik.Cydia"}) {
    EXPECT_EQ(SNTClassifyProcess(skipped, "Example", app), SNTHookGroup::kNone) << skipped;
  }
  EXPECT_EQ(SNTClassifyProcess("com.apple.springboard", "SpringBoard",
                               "/System/Library/CoreServices/SpringBoard.app"),
            SNTHookGroup::kSpringBoard);
  EXPECT_EQ(
      SNTClassifyProcess("com.example.app.widget", "Widget",
                         "/var/containers/Bundle/Application/0000/Example.app/PlugIns/W.appex"),
      SNTHookGroup::kNone);
  EXPECT_EQ(SNTClassifyProcess("com.example.tool", "tool", "/usr/bin"), SNTHookGroup::kNone);
  // The name is compared exactly: case matters.
  EXPECT_EQ(SNTClassifyProcess("com.example.app", "PTPD", app), SNTHookGroup::kAllApps);
}

TEST(ACallbackList, CallsEveryCallbackOnceInTheOrderTheyCame) {
  std::vector<std::string> calls;
  SNTCallbackLLNode head([&](bool allow) { calls.push_back(allow ? "1:yes" : "1:no"); });
  EXPECT_EQ(head.lastNode(), &head);
  head.addCallback([&](bool allow) { calls.push_back(allow ? "2:yes" : "2:no"); });
  head.addCallback([&](bool allow) { calls.push_back(allow ? "3:yes" : "3:no"); });
  EXPECT_EQ(head.lastNode(), head.next()->next());
  head.invokeAll(true);
  head.invokeAll(false);  // every callback ran and was cleared
  EXPECT_EQ(calls, (std::vector<std::string>{"1:yes", "2:yes", "3:yes"}));
  EXPECT_FALSE(head.hasCallback());
}

TEST(ACallbackList, OfAHundredThousandAskersIsCalledAndFreedWithoutDeepRecursion) {
  int called = 0;
  SNTCallbackLLNode head([&](bool) { ++called; });
  for (int i = 1; i < 100000; ++i) head.addCallback([&](bool) { ++called; });
  head.invokeAll(true);
  EXPECT_EQ(called, 100000);
}

class AnInterceptor : public ::testing::Test {
 protected:
  AnInterceptor() {
    env_.writeSettings(Value::dictOf({}));
    firewall_ = SNTFirewall::current();
  }

  std::shared_ptr<SNTAlert> pendingOnly() {
    auto pending = interceptor_.requestedAlerts();
    return pending.size() == 1 ? pending.begin()->second : nullptr;
  }

  void answer(const Value& payload) {
    env_.center().post("SNT_ALERT_CALLBACK_com.example.app", payload);
    env_.runUntilIdle();
  }

  FirewallTestEnv env_;
  std::shared_ptr<SNTFirewall> firewall_;
  PostRecorder requests_{env_.center(), "SNT_NEW_SPRINGBOARD_ALERT"};
  SNTInterceptor interceptor_{env_.center()};
};

TEST_F(AnInterceptor, AllowsARequestWithoutAHostAtOnceAndPostsNothing) {
  std::vector<bool> answers;
  interceptor_.showFirewallAlert(URLRequest(URL::URLWithString("file:///etc/hosts")),
                                 [&](bool allow) { answers.push_back(allow); });
  interceptor_.showFirewallAlert(URLRequest(), [&](bool allow) { answers.push_back(allow); });
  env_.runUntilIdle();
  EXPECT_EQ(answers, (std::vector<bool>{true, true}));
  EXPECT_EQ(requests_.count(), 0u);
  EXPECT_TRUE(interceptor_.requestedAlerts().empty());
  EXPECT_TRUE(env_.logs().contains("no URL found in request!"));
}

TEST_F(AnInterceptor, PostsARequestAndCallsItsCallbackOnceWhenTheAnswerComes) {
  std::vector<bool> answers;
  interceptor_.showFirewallAlert(URLRequest(URL::URLWithString("https://api.example.com/v1")),
                                 [&](bool allow) { answers.push_back(allow); });
  env_.runUntilIdle();
  ASSERT_EQ(requests_.count(), 1u);
  const Value& request = requests_.payloads()[0];
  std::shared_ptr<SNTAlert> alert = pendingOnly();
  ASSERT_NE(alert, nullptr);
  EXPECT_EQ(*request.get("alert_id").asString(), alert->uuid());
  EXPECT_EQ(*request.get("bundle_id").asString(), "com.example.app");
  EXPECT_EQ(*request.get("host").asString(), "api.example.com");
  EXPECT_EQ(request.get("port").asInteger(), 443);
  EXPECT_EQ(*request.get("url").asString(), "https://api.example.com/v1");
  EXPECT_TRUE(request.get("custom_message").isNull());  // a request-level prompt has none
  EXPECT_EQ(request.get("is_daemon").asBool(), false);
  // The app records that it asked: an undefined rule for the host.
  EXPECT_EQ(firewall_->explicitRuleForHost("api.example.com"), 0);
  EXPECT_TRUE(firewall_->isExplicitRuleForHostSet("api.example.com"));

  answer(Value::dictOf(
      {{"alert_id", Value::string("SOMEONE-ELSE")}, {"allow", Value::boolean(true)}}));
  EXPECT_TRUE(answers.empty());
  const Value yes =
      Value::dictOf({{"alert_id", Value::string(alert->uuid())}, {"allow", Value::boolean(true)}});
  answer(yes);
  answer(yes);  // delivered twice: the second finds nothing
  EXPECT_EQ(answers, std::vector<bool>{true});
  EXPECT_TRUE(interceptor_.requestedAlerts().empty());
}

TEST_F(AnInterceptor, TakesAnAnswerWithoutAllowAsBlock) {
  std::vector<bool> answers;
  interceptor_.showFirewallAlert(URLRequest(URL::URLWithString("http://tracker.example.net/")),
                                 [&](bool allow) { answers.push_back(allow); });
  std::shared_ptr<SNTAlert> alert = pendingOnly();
  ASSERT_NE(alert, nullptr);
  answer(Value::dictOf({{"alert_id", Value::string(alert->uuid())}}));
  EXPECT_EQ(answers, std::vector<bool>{false});
}

TEST_F(AnInterceptor, SendsASocketRequestWithTheWarningAndNoUndefinedRuleForAnAddress) {
  interceptor_.showUnResumableFirewallAlert(std::string("10.1.2.3"), 8443, kUnresumableWarning,
                                            [](bool) {});
  env_.runUntilIdle();
  ASSERT_EQ(requests_.count(), 1u);
  const Value& request = requests_.payloads()[0];
  EXPECT_EQ(*request.get("host").asString(), "10.1.2.3");
  EXPECT_EQ(request.get("port").asInteger(), 8443);
  EXPECT_EQ(*request.get("custom_message").asString(), kUnresumableWarning);
  EXPECT_FALSE(firewall_->isExplicitRuleForHostSet("10.1.2.3"));
}

TEST_F(AnInterceptor, KeepsASocketRequestWithoutAHostPendingAndSilent) {
  bool called = false;
  interceptor_.showUnResumableFirewallAlert(std::nullopt, 80, kUnresumableWarning,
                                            [&](bool) { called = true; });
  env_.runUntilIdle();
  EXPECT_EQ(requests_.count(), 0u);
  EXPECT_EQ(interceptor_.requestedAlerts().size(), 1u);
  EXPECT_FALSE(called);
  EXPECT_TRUE(env_.logs().contains("host is nil... returning..."));
}

class ARecord : public ::testing::Test {
 protected:
  FirewallTestEnv env_{FirewallTestEnv::springBoardIdentity()};
};

TEST_F(ARecord, TakesItsDestinationFromEachKindOfSetUp) {
  SNTAlert fromUrl;
  fromUrl.initWithUrlString(std::string("http://example.org:8080/x"), std::nullopt, nullptr);
  EXPECT_EQ(fromUrl.host(), "example.org");
  EXPECT_EQ(fromUrl.port(), 8080);
  SNTAlert withPort;
  withPort.initWithUrlString(std::string("https://example.org/"), 1234, nullptr);
  EXPECT_EQ(withPort.port(), 1234);
  EXPECT_EQ(withPort.url(), "https://example.org/");
  SNTAlert fromRequest;
  fromRequest.initWithRequest(URLRequest(URL::URLWithString("http://example.org/")), nullptr);
  EXPECT_EQ(fromRequest.port(), 80);
  EXPECT_NE(fromRequest.uuid(), withPort.uuid());
  EXPECT_EQ(fromRequest.uuid().size(), 36u);
  EXPECT_EQ(fromRequest.state(), kSNTAlertStateNew);
}

TEST_F(ARecord, AsksAboutABracketedOrMappedAddressByItsRuleKey) {
  SNTAlert bracketed;
  bracketed.initWithRequest(URLRequest(URL::URLWithString("http://[0:0::1]:8080/x")), nullptr);
  EXPECT_EQ(bracketed.host(), "::1");
  SNTAlert mapped;
  mapped.initWithUrlString(std::string("https://[::ffff:192.0.2.9]/"), std::nullopt, nullptr);
  EXPECT_EQ(mapped.host(), "192.0.2.9");
}

TEST_F(ARecord, AllowedAlwaysStoresTheRuleForHostAndAddressAndAnswersOnTheMainQueue) {
  env_.writeSettings(Value::dictOf({}));
  auto firewall = SNTFirewall::pooledFirewallForBundle("com.example.app", "Example", false, false,
                                                       false, Value::dictOf({}), Value());
  auto alert = SNTInterceptor::newAlert();
  std::vector<bool> answers;
  alert->initWithHostname(std::string("www.example.com"), 443,
                          [&](bool allow) { answers.push_back(allow); });
  alert->setIp(std::string("93.184.216.34"));
  alert->setFirewall(firewall);
  {
    MutexLock lock(SNTAlert::queueLock());
    SNTAlert::alerts().push_back(alert);
  }
  alert->allowAlways();
  EXPECT_TRUE(answers.empty());  // asynchronous
  env_.runUntilIdle();
  EXPECT_EQ(answers, std::vector<bool>{true});
  EXPECT_EQ(alert->state(), kSNTAlertStateHandled);
  EXPECT_TRUE(SNTAlert::alertsSnapshot().empty());
  Value domains = env_.readSettings().get("apps").get("com.example.app").get("domains");
  EXPECT_EQ(domains.get("www.example.com").get("allowed").asInteger(), 1);
  EXPECT_EQ(domains.get("93.184.216.34").get("allowed").asInteger(), 1);
  alert->reQueueIfNotHandled();  // a handled record stays handled
  EXPECT_EQ(alert->state(), kSNTAlertStateHandled);
}

TEST_F(ARecord, AnswersAtOnceWhenARuleHasAppearedAndNotOtherwise) {
  auto firewall = env_.appFirewall(
      Value::dictOf({}),
      Value::dictOf({{"domains", Value::dictOf({{"ads.example.com", testing::rule(2)}})}}));
  std::vector<bool> answers;
  SNTAlert denied;
  denied.initWithHostname(std::string("ads.example.com"), 80,
                          [&](bool allow) { answers.push_back(allow); });
  denied.setFirewall(firewall);
  EXPECT_TRUE(denied.handleIfDefined());
  EXPECT_EQ(answers, std::vector<bool>{false});
  SNTAlert unknown;
  unknown.initWithHostname(std::string("new.example.com"), 80, nullptr);
  unknown.setFirewall(firewall);
  EXPECT_FALSE(unknown.handleIfDefined());
}

TEST_F(ARecord, BuiltBySpringBoardAnswersEachRequestUnderItsOwnIdentifier) {
  PostRecorder answers(env_.center(), "SNT_ALERT_CALLBACK_com.example.app");
  AlertRequest first;
  first.alertId = "FIRST";
  first.bundleId = "com.example.app";
  first.appName = "Example";
  first.pid = 4242;
  first.host = "api.example.com";
  first.port = 8443;
  first.url = "";  // empty: built from host and port
  AlertRequest second = first;
  second.alertId = "SECOND";
  second.url = "https://cdn.example.com/lib.js";
  second.port.reset();
  auto one = SNTAlertFromRequest(first);
  auto two = SNTAlertFromRequest(second);
  EXPECT_EQ(one->host(), "api.example.com");
  EXPECT_EQ(one->port(), 8443);
  EXPECT_EQ(one->url(), std::nullopt);
  EXPECT_EQ(one->pid(), 4242);
  EXPECT_EQ(two->host(), "cdn.example.com");
  EXPECT_EQ(two->port(), 443);
  ASSERT_NE(one->firewall(), nullptr);
  EXPECT_EQ(one->firewall()->bundleId(), "com.example.app");
  two->callbackList()->invokeAll(false);
  one->callbackList()->invokeAll(true);
  env_.runUntilIdle();
  ASSERT_EQ(answers.count(), 2u);
  EXPECT_EQ(*answers.payloads()[0].get("alert_id").asString(), "SECOND");
  EXPECT_EQ(answers.payloads()[0].get("allow").asBool(), false);
  EXPECT_EQ(*answers.payloads()[1].get("alert_id").asString(), "FIRST");
  EXPECT_EQ(answers.payloads()[1].get("allow").asBool(), true);
}

}  // namespace
}  // namespace sentrel
