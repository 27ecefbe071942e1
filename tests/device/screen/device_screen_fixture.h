// A real device started through the `sentrel` CLI in a temp root, its
// screen open in a real headless browser, with page-side helpers to find
// drawn text and to wait for conditions inside the page.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "support/browser/headless_browser.h"
#include "support/program_run.h"
#include "support/temp_dir.h"

namespace sentrel::testing {

// Page-side helpers: where the visible text `text` is drawn on the screen
// (its centre), or null; whether anything still moves; and a wait for a
// condition, polled by the page itself.
inline constexpr const char* kPageHelpers = R"(
window.sentrelTest = {
  centreOf(text) {
    for (const p of document.querySelectorAll('p.text')) {
      if (p.textContent !== text) continue;
      const r = p.getBoundingClientRect();
      if (r.width === 0 || getComputedStyle(p).visibility === 'hidden') continue;
      const centre = [r.x + r.width / 2, r.y + r.height / 2];
      const screen = document.getElementById('screen').getBoundingClientRect();
      if (centre[0] < screen.left || centre[1] < screen.top || centre[0] > screen.right ||
          centre[1] > screen.bottom)
        continue;  // on its way in or out of the screen
      return centre;
    }
    return null;
  },
  // Whether nothing moves on the page: every animation has ended.
  settled() {
    return document.getAnimations().every((a) => a.playState !== 'running');
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
  // How many visible texts read `text`.
  count(text) {
    return [...document.querySelectorAll('p.text')].filter((p) => p.textContent === text &&
        p.getBoundingClientRect().width > 0 && getComputedStyle(p).visibility !== 'hidden').length;
  },
  // Whether the point [x, y] belongs to the frontmost window.
  inFrontWindow(point) {
    const hit = document.elementFromPoint(point[0], point[1]);
    return hit !== null && hit.closest('.window') === [...document.querySelectorAll('.window')].pop();
  },
};
true
)";

// An app to install: com.example.<name>, shown as <name>.
struct ScreenApp {
  std::string name;
  std::string executable = "/bin/true";
};

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

  // Starts the device with `apps` installed (com.example.<name>) and opens
  // its screen.
  void startAndWatch(const std::vector<ScreenApp>& apps = {{"Notes"}, {"Weather"}}) {
    for (const ScreenApp& app : apps) {
      ProgramOutcome installed = cli({"app", "install", "--id", "com.example." + app.name, "--name",
                                      app.name, app.executable});
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

  nlohmann::json eval(const std::string& expression) {
    Result<nlohmann::json> value = page_->evaluate(expression);
    EXPECT_TRUE(value.ok()) << value.reason() << "\non the page: " << texts();
    return value.ok() ? *value : nlohmann::json();
  }
  std::string texts() {
    Result<nlohmann::json> value = page_->evaluate("sentrelTest.texts()");
    return value.ok() ? value->dump() : value.reason();
  }
  // Where `text` is drawn, once it is.
  nlohmann::json waitForText(const std::string& text) {
    // Once it has come to rest: a click lands where the process has it.
    return eval("sentrelTest.until(() => sentrelTest.settled() && sentrelTest.centreOf(" +
                nlohmann::json(text).dump() + "))");
  }

  TempDir root_;
  TempDir io_;
  bool started_ = false;
  std::unique_ptr<HeadlessBrowser> browser_;
  std::unique_ptr<BrowserPage> page_;
};

}  // namespace sentrel::testing
