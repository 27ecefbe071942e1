// The request-level hooks in real apps built on the Foundation stand-ins
// (the demo apps), started through the launcher: URL session tasks held
// until SpringBoard's answer, web-view loads replaced by the placeholder.
#include <signal.h>

#include <string>

#include <gtest/gtest.h>

#include "firewall_fixture.h"
#include "support/hello_server.h"

namespace sentrel {
namespace {

using namespace sentrel::testing;

constexpr const char* kSessionApp = "com.example.session";
constexpr const char* kWebApp = "com.example.web";

class ADemoApp : public FirewalledDevice {
 protected:
  void startWith(const Value& settings) {
    startDevice(settings, kSessionApp, SENTREL_SESSION_DEMO);
    Outcome web = cli({"app", "install", "--id", kWebApp, SENTREL_WEBVIEW_DEMO});
    ASSERT_EQ(web.code, 0) << web.err;
  }

  HelloServer server_{SENTREL_HELLO_SERVER};
};

TEST_F(ADemoApp, HoldsASessionTaskUntilItIsAllowed) {
  startWith(Value::dictOf({}));
  Running app = openInBackground(kSessionApp, {server_.url()});
  ASSERT_TRUE(waitForAlerts(1));
  const Value alert = alerts_.front();
  EXPECT_EQ(*alert.get("host").asString(), "127.0.0.1");
  EXPECT_EQ(*alert.get("url").asString(), server_.url());
  EXPECT_TRUE(alert.get("custom_message").isNull());
  ASSERT_TRUE(waitForOutput(app, "waiting for 1 task(s)"));
  // An answer for another request is not this one's: a block there would
  // cancel the task.
  answer(kSessionApp, "NOT-A-PENDING-REQUEST", false);
  answer(kSessionApp, *alert.get("alert_id").asString(), true);
  EXPECT_EQ(finish(app), 0);
  EXPECT_NE(slurp(app.out).find("-> 200"), std::string::npos) << slurp(app.out);
}

TEST_F(ADemoApp, CancelsAHeldSessionTaskWhenItIsBlocked) {
  startWith(Value::dictOf({}));
  Running app = openInBackground(kSessionApp, {server_.url()});
  ASSERT_TRUE(waitForAlerts(1));
  answer(kSessionApp, *alerts_.front().get("alert_id").asString(), false);
  EXPECT_EQ(finish(app), 1);
  EXPECT_NE(slurp(app.out).find("error -999"), std::string::npos) << slurp(app.out);
}

TEST_F(ADemoApp, CancelsADeniedTaskAndLetsAnAllowedOneThroughWithoutAsking) {
  startWith(Value::dictOf(
      {{"apps",
        Value::dictOf(
            {{kSessionApp,
              Value::dictOf(
                  {{"domains",
                    Value::dictOf(
                        {{"127.0.0.1", Value::dictOf({{"allowed", Value::integer(2)}})},
                         {"localhost", Value::dictOf({{"allowed", Value::integer(1)}})}})}})}})}}));
  std::string url = server_.url();
  std::string byName = "http://localhost:" + url.substr(url.rfind(':') + 1);
  Outcome run = cli({"open", kSessionApp, url, byName});
  EXPECT_EQ(run.code, 1);
  EXPECT_NE(run.out.find("GET " + url + " -> error -999"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("GET " + byName + " -> 200"), std::string::npos) << run.out;
  EXPECT_TRUE(alerts_.empty());
}

TEST_F(ADemoApp, ShowsThePlaceholderForADeniedPage) {
  startWith(Value::dictOf(
      {{"apps",
        Value::dictOf(
            {{kWebApp,
              Value::dictOf(
                  {{"domains",
                    Value::dictOf(
                        {{"127.0.0.1", Value::dictOf({{"allowed", Value::integer(2)}})}})}})}})}}));
  Outcome run = cli({"open", kWebApp, server_.url()});
  EXPECT_NE(run.out.find("failed http://blocked/127.0.0.1"), std::string::npos) << run.out;
  EXPECT_TRUE(alerts_.empty());
}

TEST_F(ADemoApp, LoadsTheRealPageIntoTheSameWebViewAfterAnAllow) {
  startWith(Value::dictOf({}));
  Running app = openInBackground(kWebApp, {server_.url(), "--until-loaded"});
  ASSERT_TRUE(waitForAlerts(1));
  ASSERT_TRUE(waitForOutput(app, "failed http://blocked/127.0.0.1"));
  answer(kWebApp, *alerts_.front().get("alert_id").asString(), true);
  EXPECT_EQ(finish(app), 0);
  EXPECT_NE(slurp(app.out).find("loaded " + server_.url() + " -> 200"), std::string::npos)
      << slurp(app.out);
}

}  // namespace
}  // namespace sentrel
