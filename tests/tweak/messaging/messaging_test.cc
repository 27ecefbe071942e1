// The message catalogue's payloads and the settings observers, in process.
#include <gtest/gtest.h>

#include <memory>
#include <optional>

#include "platform/bundle/main_bundle.h"
#include "platform/env/environment.h"
#include "platform/notify/notification_center.h"
#include "platform/paths/device_paths.h"
#include "platform/runloop/run_loop.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"
#include "tweak/SNTFirewall.h"
#include "tweak/SNTMessagingCenter.h"

namespace sentrel::testing {
namespace {

using plist::Value;

TEST(ACatalogue, FormsPerAppNamesWithoutSeparator) {
  EXPECT_EQ(newAppSettingsNotificationName("com.example.app"),
            "SNT_NEW_APP_SETTINGS_com.example.app");
  EXPECT_EQ(alertCallbackNotificationName("com.example.app"), "SNT_ALERT_CALLBACK_com.example.app");
  EXPECT_EQ(newAppSettingsNotificationName(std::nullopt), "SNT_NEW_APP_SETTINGS_(null)");
}

TEST(AnAlertRequest, SurvivesTheRoundTrip) {
  AlertRequest request;
  request.alertId = "A1";
  request.bundleId = "com.example.app";
  request.pid = 42;
  request.appName = "Example";
  request.host = "example.com";
  request.port = 443;
  request.url = "https://example.com/";
  request.customMessage = "note";
  request.isSystemApp = false;
  request.isHiddenApp = true;
  request.isDaemon = false;
  request.appSettings = Value::dictOf({{"filter_streams", Value::boolean(false)}});
  request.globalSettings = Value::dict({});
  const Value payload = request.toPayload();
  const AlertRequest back = AlertRequest::fromPayload(payload);
  EXPECT_EQ(back.toPayload(), payload);
  EXPECT_EQ(back.port, 443);
  EXPECT_EQ(back.isHiddenApp, true);
}

TEST(AnAlertRequest, ReadsValuesOfTheWrongKindAsAbsent) {
  const AlertRequest read =
      AlertRequest::fromPayload(Value::dictOf({{"alert_id", Value::integer(5)},
                                               {"pid", Value::string("12")},
                                               {"port", Value::string("443")},
                                               {"is_system_app", Value::integer(1)},
                                               {"is_daemon", Value::string("1")},
                                               {"app_settings", Value::array({})}}));
  EXPECT_EQ(read.alertId, std::nullopt);
  EXPECT_EQ(read.pid, 0);
  EXPECT_EQ(read.port, std::nullopt);
  EXPECT_EQ(read.isSystemApp, true);
  EXPECT_EQ(read.isDaemon, std::nullopt);
  EXPECT_TRUE(read.appSettings.isNull());
  EXPECT_EQ(AlertRequest::fromPayload(Value::string("junk")).toPayload(),
            Value::dictOf({{"pid", Value::integer(0)}}));
}

TEST(AnAlertCallback, EchoesTheIdentifierAndTheAnswer) {
  AlertCallback answer{"A1", true};
  EXPECT_EQ(answer.toPayload(),
            Value::dictOf({{"alert_id", Value::string("A1")}, {"allow", Value::boolean(true)}}));
  const AlertCallback back = AlertCallback::fromPayload(answer.toPayload());
  EXPECT_EQ(back.alertId, "A1");
  EXPECT_TRUE(back.allow);
  EXPECT_FALSE(AlertCallback::fromPayload(Value()).allow);
}

// The process firewall of the test exists before the center under test, with
// its own listeners on another center, so only the center under test acts on
// the notifications posted here.
class AMessagingCenter : public ::testing::Test {
 protected:
  AMessagingCenter()
      : firewall_center_(notify::makeInProcessCenter(loop_)),
        center_(notify::makeInProcessCenter(loop_)) {
    env::Environment environment;
    environment.device_root = root_.path();
    environment.main_queue = &loop_;
    environment.notification_center = firewall_center_.get();
    bundle::MainBundle identity;
    identity.bundle_identifier = "com.example.app";
    identity.bundle_path = "/var/containers/Bundle/Application/X/Example.app";
    identity.executable_path = identity.bundle_path + "/Example";
    identity.process_name = "Example";
    environment.main_bundle = std::move(identity);
    installed_.emplace(std::move(environment));
    SNTFirewall::resetProcessFirewallForTesting();
    firewall_ = SNTFirewall::current();
    env::Environment under_test;
    under_test.notification_center = center_.get();
    center_under_test_.emplace(std::move(under_test));
  }
  ~AMessagingCenter() override {
    firewall_.reset();
    center_under_test_.reset();
    SNTFirewall::resetProcessFirewallForTesting();
  }

  TempDir root_;
  runloop::RunLoop loop_;
  std::unique_ptr<notify::NotificationCenter> firewall_center_;
  std::unique_ptr<notify::NotificationCenter> center_;
  std::optional<env::ScopedEnvironment> installed_;          // the device, firewall_center_
  std::optional<env::ScopedEnvironment> center_under_test_;  // center_, inside it
  std::shared_ptr<SNTFirewall> firewall_;
};

TEST_F(AMessagingCenter, RegistersForTheDocumentAndItsOwnAppEntry) {
  LogCapture log;
  SNTMessagingCenter messaging(*center_);
  EXPECT_EQ(messaging.appSettingsNotificationName(), "SNT_NEW_APP_SETTINGS_com.example.app");
  EXPECT_TRUE(log.contains("Registered for messages named: SNT_NEW_SETTINGS"));
  EXPECT_TRUE(log.contains("Registered for messages named: SNT_NEW_APP_SETTINGS_com.example.app"));
}

TEST_F(AMessagingCenter, HandsANewDocumentToTheProcessFirewall) {
  ASSERT_TRUE(firewall_);
  SNTMessagingCenter messaging(*center_);
  const Value document = Value::dictOf({{"snt_enabled", Value::boolean(false)}});
  LogCapture log;
  center_->post("SNT_NEW_SETTINGS", document);
  loop_.runUntilIdle();
  EXPECT_EQ(firewall_->globalSettings(), document);
  EXPECT_TRUE(log.contains("Received NSDistributedNotificationCenter message (SNT_NEW_SETTINGS)"));
  EXPECT_TRUE(log.contains("received new global settings!"));
}

TEST_F(AMessagingCenter, TakesOnlyItsOwnAppsEntry) {
  ASSERT_TRUE(firewall_);
  SNTMessagingCenter messaging(*center_);
  const Value mine = Value::dictOf({{"deny_all_outbound", Value::boolean(true)}});
  const Value theirs = Value::dictOf({{"allow_all_outbound", Value::boolean(true)}});
  LogCapture log;
  center_->post("SNT_NEW_APP_SETTINGS_com.example.other", theirs);
  center_->post("SNT_NEW_APP_SETTINGS_com.example.app", mine);
  center_->post("SNT_NEW_APP_SETTINGS_com.example.appx", theirs);
  loop_.runUntilIdle();
  EXPECT_EQ(firewall_->appSettings(), mine);
  EXPECT_EQ(log.count("received new app settings!"), 1u);
  EXPECT_TRUE(log.contains(
      "Received NSDistributedNotificationCenter message (SNT_NEW_APP_SETTINGS_com.example.app)"));
}

TEST_F(AMessagingCenter, StopsListeningWhenDestroyed) {
  ASSERT_TRUE(firewall_);
  const Value before = firewall_->globalSettings();
  { SNTMessagingCenter messaging(*center_); }
  center_->post("SNT_NEW_SETTINGS", Value::dict({}));
  loop_.runUntilIdle();
  EXPECT_TRUE(firewall_->globalSettings().sameObject(before));
}

TEST_F(AMessagingCenter, OnlyLogsWhenTheProcessHasNoFirewall) {
  SNTMessagingCenter messaging(*center_);
  SNTFirewall::unregister();
  LogCapture log;
  center_->post("SNT_NEW_SETTINGS", Value::dict({}));
  center_->post("SNT_NEW_APP_SETTINGS_com.example.app", Value());
  loop_.runUntilIdle();
  EXPECT_TRUE(log.contains("received new global settings!"));
  EXPECT_TRUE(log.contains("received new app settings!"));
}

TEST_F(AMessagingCenter, KeepsTheSettingsWhenAPayloadIsNoDictionary) {
  ASSERT_TRUE(firewall_);
  SNTMessagingCenter messaging(*center_);
  const Value document =
      Value::dictOf({{"global_hosts", Value::dictOf({{"a.com", Value::dict({})}})}});
  const Value entry = Value::dictOf({{"deny_all_outbound", Value::boolean(true)}});
  firewall_->setGlobalSettings(document);
  firewall_->setAppSettings(entry);
  LogCapture log;
  // An empty bus payload arrives as null; both this center and the
  // firewall's own listeners (on the other center) must refuse it.
  for (notify::NotificationCenter* center : {center_.get(), firewall_center_.get()}) {
    center->post("SNT_NEW_SETTINGS", Value());
    center->post("SNT_NEW_APP_SETTINGS_com.example.app", Value());
  }
  loop_.runUntilIdle();
  EXPECT_EQ(firewall_->globalSettings(), document);
  EXPECT_EQ(firewall_->appSettings(), entry);
  EXPECT_EQ(log.count("SNT_NEW_SETTINGS: ignoring a null payload; settings kept"), 2u);
  EXPECT_EQ(
      log.count("SNT_NEW_APP_SETTINGS_com.example.app: ignoring a null payload; settings kept"),
      2u);
  EXPECT_FALSE(isSettingsPayload("SNT_NEW_SETTINGS", Value::string("junk")));
  EXPECT_TRUE(isSettingsPayload("SNT_NEW_SETTINGS", Value::dict({})));
}

}  // namespace
}  // namespace sentrel::testing
