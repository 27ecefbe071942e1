// Real programs and SpringBoard on a started device, given destinations in
// unusual forms and messages that must not be trusted.
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <string>

#include <gtest/gtest.h>

#include "firewall_fixture.h"
#include "platform/plist/value.h"

namespace sentrel {
namespace {

using namespace sentrel::testing;
using AFirewalledProgram = FirewalledDevice;
using SpringBoardOnADevice = FirewalledDevice;

const std::string kUnreachable = "failed " + std::to_string(ENETUNREACH) + "\n";

Value probeEntry(const char* policy, const char* host, int64_t rule) {
  return Value::dictOf(
      {{"apps",
        Value::dictOf(
            {{kProbeId,
              Value::dictOf(
                  {{"new_site_policy", Value::string(policy)},
                   {"domains",
                    Value::dictOf(
                        {{host, Value::dictOf({{"allowed", Value::integer(rule)}})}})}})}})}});
}

TEST_F(AFirewalledProgram, IsBlockedFromAnIPv4AddressThroughItsMappedIPv6Form) {
  Listener listener(AF_INET);
  ASSERT_TRUE(listener.ok());
  // New sites are allowed, but 127.0.0.1 is blocked: on an IPv6 socket
  // ::ffff:127.0.0.1 reaches 127.0.0.1 and must meet the same rule.
  startDevice(probeEntry("1", "127.0.0.1", 2));
  const std::string port = std::to_string(listener.port());
  EXPECT_EQ(probe({"tcp", "::ffff:127.0.0.1", port}).out, kUnreachable);
  EXPECT_EQ(probe({"tcp", "127.0.0.1", port}).out, kUnreachable);
  EXPECT_TRUE(
      settingsFile().get("apps").get(kProbeId).get("domains").get("::ffff:127.0.0.1").isNull())
      << "no second rule for the same destination";
}

TEST_F(AFirewalledProgram, IsAllowedToAnIPv4AddressThroughItsMappedIPv6FormByItsRule) {
  Listener listener(AF_INET);
  ASSERT_TRUE(listener.ok());
  // New sites are blocked; the rule allowing 127.0.0.1 decides for its
  // mapped form too.
  startDevice(probeEntry("2", "127.0.0.1", 1));
  EXPECT_EQ(probe({"tcp", "::ffff:127.0.0.1", std::to_string(listener.port())}).out, "connected\n");
}

TEST_F(SpringBoardOnADevice, NeitherSavesNorAnnouncesADocumentThatIsNoDictionary) {
  const Value rules = appRules("127.0.0.1", 2);
  startDevice(rules);
  // An empty payload arrives as no document at all.
  center_->post("SNT_SB_SAVE_SETTINGS_AND_NOTIFY", Value());
  center_->post("SNT_SB_SAVE_SETTINGS", Value());
  // SpringBoard handles one sender's requests in order: by the time this
  // one is announced, anything announced for the empty ones has arrived.
  const Value next = appRules("127.0.0.1", 1);
  center_->post("SNT_SB_SAVE_SETTINGS_AND_NOTIFY", next);
  ASSERT_TRUE(loop_.runUntil([&] { return !newSettings_.empty() && newSettings_.back() == next; },
                             std::chrono::seconds(20)));
  EXPECT_EQ(newSettings_.size(), 1u) << "only the document that was saved is announced";
  EXPECT_EQ(settingsFile(), next);
  // The log reaches the file when launchd drains the device's log ring.
  EXPECT_TRUE(waitForLog("Received SNT_SB_SAVE_SETTINGS_AND_NOTIFY"));
  EXPECT_TRUE(waitForLog("the document is null, not a dictionary; nothing saved"));
}

TEST_F(SpringBoardOnADevice, RefusesToOpenTheSettingsAppWithoutAPath) {
  startDevice(Value::dict({}));
  center_->post("SNT_LAUNCH_TWEAK_SETTINGS", Value::dict({}));
  center_->post("SNT_LAUNCH_TWEAK_SETTINGS", Value::dictOf({{"path", Value::integer(7)}}));
  ASSERT_TRUE(waitForLog("launchSNTTweakSettings: no \"path\" in the request"));
  ASSERT_TRUE(loop_.runUntil(
      [&] {
        const std::string log = deviceLog();
        size_t count = 0;
        for (size_t at = log.find("no \"path\" in the request"); at != std::string::npos;
             at = log.find("no \"path\" in the request", at + 1)) {
          ++count;
        }
        return count == 2;
      },
      std::chrono::seconds(20)));
  EXPECT_EQ(deviceLog().find("Should open"), std::string::npos);
}

}  // namespace
}  // namespace sentrel
