// The screen of a real device in a real headless browser: the home screen
// SpringBoard draws, the test prompt the tweak library opens above it on
// "_snt_springboard_alert_removed", and a real click on its "OK".
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "device_screen_fixture.h"

namespace sentrel::testing {
namespace {

using nlohmann::json;

TEST_F(DeviceScreen, TheTestPromptOpensAboveTheHomeScreenAndARealClickOnOkClosesIt) {
  ASSERT_NO_FATAL_FAILURE(startAndWatch());
  // The home screen lists the installed apps by name.
  EXPECT_TRUE(waitForText("Notes").is_array());
  EXPECT_TRUE(waitForText("Weather").is_array());
  EXPECT_TRUE(eval("sentrelTest.centreOf('OK')").is_null());

  ProgramOutcome posted = cli({"notify", "_snt_springboard_alert_removed"});
  ASSERT_EQ(posted.code, 0) << posted.err;

  const json ok = waitForText("OK");
  ASSERT_TRUE(ok.is_array()) << texts();
  // Above the home screen: the prompt's window is the last one drawn, and
  // the point of its button belongs to it.
  EXPECT_EQ(eval("document.elementFromPoint(" + std::to_string(ok[0].get<double>()) + ", " +
                 std::to_string(ok[1].get<double>()) +
                 ").closest('.window') === [...document.querySelectorAll('.window')].pop()"),
            json(true));

  // A tap while the alert is still being presented (0.3 s) is refused, as
  // on the platform: a user taps again.
  bool closed = false;
  for (int attempt = 0; attempt < 20 && !closed; ++attempt) {
    ASSERT_TRUE(page_->click(ok[0].get<double>(), ok[1].get<double>()).ok());
    Result<json> gone =
        page_->evaluate("sentrelTest.until(() => sentrelTest.centreOf('OK') === null, 500)");
    closed = gone.ok() && *gone == json(true);
  }
  EXPECT_TRUE(closed) << slurp(root_.path() / "var/log/system.log");
  // The home screen is still there.
  EXPECT_TRUE(eval("sentrelTest.centreOf('Notes')").is_array());
}

}  // namespace
}  // namespace sentrel::testing
