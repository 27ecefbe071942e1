// A UI app on the screen of a real device, in a real headless browser: a
// real click on its icon opens it in front of the home screen, text typed on
// the page reaches its text field, and when its process is killed its window
// leaves the screen while the home screen stays.
#include <signal.h>
#include <sys/types.h>

#include <sstream>
#include <string>

#include "device_screen_fixture.h"

namespace sentrel::testing {
namespace {

using nlohmann::json;

class DeviceScreenApp : public DeviceScreen {
 protected:
  // The pid `sentrel device status` lists for the process `name`, or 0.
  pid_t pidOf(const std::string& name) {
    ProgramOutcome status = cli({"device", "status"});
    std::istringstream lines(status.out);
    std::string line;
    while (std::getline(lines, line)) {
      std::istringstream fields(line);
      long pid = 0, parent = 0;
      std::string command;
      if (fields >> pid >> parent >> command && command == name) return static_cast<pid_t>(pid);
    }
    return 0;
  }

  std::string quoted(const std::string& text) { return json(text).dump(); }
  bool waitUntil(const std::string& condition) {
    return eval("sentrelTest.until(() => " + condition + ")") == json(true);
  }
};

TEST_F(DeviceScreenApp, OpensFromItsIconTakesTypedTextAndLeavesTheScreenWhenKilled) {
  ASSERT_NO_FATAL_FAILURE(startAndWatch({{"Notes", SENTREL_NOTES_DEMO}, {"Weather"}}));
  const json icon = waitForText("Notes");
  ASSERT_TRUE(icon.is_array()) << texts();
  ASSERT_TRUE(waitForText("Weather").is_array()) << texts();

  // A real click on the icon's name opens the app; its window comes in
  // front of the home screen.
  ASSERT_TRUE(page_->click(icon[0].get<double>(), icon[1].get<double>()).ok());
  const json field = waitForText("Type a note");
  ASSERT_TRUE(field.is_array()) << texts() << slurp(root_.path() / "var/log/system.log");
  EXPECT_TRUE(waitForText("Nothing typed yet").is_array());
  EXPECT_EQ(eval("sentrelTest.inFrontWindow(" + field.dump() + ")"), json(true));
  EXPECT_EQ(eval("sentrelTest.count('Notes')"), json(2)) << "the icon's name and the title";

  // A click in the field makes it take the typing; the label under it shows
  // what the field holds.
  ASSERT_TRUE(page_->click(field[0].get<double>(), field[1].get<double>()).ok());
  const std::string typed = "Buy milk, 2 l";
  ASSERT_TRUE(page_->insertText(typed).ok());
  EXPECT_TRUE(waitUntil("sentrelTest.count(" + quoted(typed) + ") === 2"))
      << texts() << slurp(root_.path() / "var/log/system.log");
  EXPECT_EQ(eval("sentrelTest.count('Nothing typed yet')"), json(0));
  EXPECT_EQ(eval("sentrelTest.count('Type a note')"), json(0));

  // Killed, the app's window leaves the screen; the home screen stays.
  const pid_t notes = pidOf("Notes");
  ASSERT_GT(notes, 0) << cli({"device", "status"}).out;
  ASSERT_EQ(kill(notes, SIGKILL), 0);
  EXPECT_TRUE(waitUntil("sentrelTest.count(" + quoted(typed) + ") === 0 && " +
                        "document.querySelectorAll('.window').length === 1"))
      << texts();
  EXPECT_EQ(eval("sentrelTest.count('Notes')"), json(1));
  const json weather = eval("sentrelTest.centreOf('Weather')");
  ASSERT_TRUE(weather.is_array()) << texts();
  EXPECT_EQ(eval("sentrelTest.inFrontWindow(" + weather.dump() + ")"), json(true));
}

}  // namespace
}  // namespace sentrel::testing
