// The screen of a real device in a real headless browser: the home screen
// SpringBoard draws, the test prompt the tweak library opens above it on
// "_snt_springboard_alert_removed", and a real click on its "OK".
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "support/browser/headless_browser.h"
#include "support/program_run.h"
#include "support/temp_dir.h"

namespace sentrel::testing {
namespace {

using nlohmann::json;

// Page-side helpers: where the visible text `text` is drawn (its centre), or
// null; and a wait for a condition, polled by the page itself.
constexpr const char* kPageHelpers = R"(
window.sentrelTest = {
  centreOf(text) {
    for (const p of document.querySelectorAll('p.text')) {
      if (p.textContent !== text) continue;
      const r = p.getBoundingClientRect();
      if (r.width === 0 || getComputedStyle(p).visibility === 'hidden') continue;
      return [r.x + r.width / 2, r.y + r.height / 2];
    }
    return null;
  },
  until(condition, limit = 20000) {
    return new Promise((resolve, reject) => {
      const started = performance.now();
      const check = () => {
        const value = condition();
        if (value) return resolve(value);
        if (performance.now() - started > limit) return reject(new Error('timed out'));
        setTimeout(check, 25);
      };
      check();
    });
  },
  texts() { return [...document.querySelectorAll('p.text')].map((p) => p.textContent); },
};
true
)";

class DeviceScreen : public ::testing::Test {
 protected:
  void TearDown() override {
    page_.reset();
    browser_.reset();
    if (started_) (void)cli({"device", "stop"});
  }

  ProgramOutcome cli(std::vector<std::string> args) {
    std::vector<std::string> argv{"sentrel", "--root", root_.path().string()};
    argv.insert(argv.end(), args.begin(), args.end());
    return runProgram(SENTREL_CLI, argv, io_.path());
  }

  // Starts the device with two apps installed and opens its screen.
  void startAndWatch() {
    for (const char* name : {"Notes", "Weather"}) {
      ProgramOutcome installed = cli({"app", "install", "--id", std::string("com.example.") + name,
                                      "--name", name, "/bin/true"});
      ASSERT_EQ(installed.code, 0) << installed.err;
    }
    ProgramOutcome start = cli({"device", "start"});
    ASSERT_EQ(start.code, 0) << start.err;
    started_ = true;
    ProgramOutcome screen = cli({"screen"});
    ASSERT_EQ(screen.code, 0) << screen.err;
    std::string url = screen.out.substr(0, screen.out.find('\n'));
    ASSERT_EQ(url.rfind("http://127.0.0.1:", 0), 0u) << screen.out;

    Result<std::unique_ptr<HeadlessBrowser>> browser = HeadlessBrowser::launch();
    ASSERT_TRUE(browser.ok()) << browser.reason();
    browser_ = std::move(*browser);
    Result<std::unique_ptr<BrowserPage>> page = browser_->openPage(url);
    ASSERT_TRUE(page.ok()) << page.reason();
    page_ = std::move(*page);
    ASSERT_TRUE(page_->evaluate(kPageHelpers).ok());
  }

  json eval(const std::string& expression) {
    Result<json> value = page_->evaluate(expression);
    EXPECT_TRUE(value.ok()) << value.reason() << "\non the page: " << texts();
    return value.ok() ? *value : json();
  }
  std::string texts() {
    Result<json> value = page_->evaluate("sentrelTest.texts()");
    return value.ok() ? value->dump() : value.reason();
  }
  // Where `text` is drawn, once it is.
  json waitForText(const std::string& text) {
    return eval("sentrelTest.until(() => sentrelTest.centreOf(" + json(text).dump() + "))");
  }

  TempDir root_;
  TempDir io_;
  bool started_ = false;
  std::unique_ptr<HeadlessBrowser> browser_;
  std::unique_ptr<BrowserPage> page_;
};

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
