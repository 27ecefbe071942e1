// A real device started through the `sentrel` CLI in a temp root, its
// screen open in a real headless browser, with page-side helpers to find
// drawn text and to wait for conditions inside the page.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/plist/plist_codec.h"
#include "platform/plist/value.h"
#include "platform/runloop/run_loop.h"
#include "platform/spawn/spawn.h"
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
  // Whether a visible text contains `part`.
  containing(part) {
    return [...document.querySelectorAll('p.text')].some((p) => p.textContent.includes(part) &&
        p.getBoundingClientRect().width > 0 && getComputedStyle(p).visibility !== 'hidden');
  },
  // The centre of the first image of the frontmost window that is loaded
  // and visible, or null.
  frontImageCentre() {
    const front = [...document.querySelectorAll('.window')].pop();
    for (const img of front ? front.querySelectorAll('img') : []) {
      const r = img.getBoundingClientRect();
      if (r.width === 0 || !img.complete || img.naturalWidth === 0) continue;
      return [r.x + r.width / 2, r.y + r.height / 2];
    }
    return null;
  },
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

    // Tall enough for the whole screen: a click below the viewport is lost.
    HeadlessBrowser::Options options;
    options.height = 1100;
    Result<std::unique_ptr<HeadlessBrowser>> browser = HeadlessBrowser::launch(options);
    ASSERT_TRUE(browser.ok()) << browser.reason();
    browser_ = std::move(*browser);
    Result<std::unique_ptr<BrowserPage>> page = browser_->openPage(url);
    ASSERT_TRUE(page.ok()) << page.reason();
    page_ = std::move(*page);
    ASSERT_TRUE(page_->evaluate(kPageHelpers).ok());
    EXPECT_EQ(eval("document.getElementById('screen').getBoundingClientRect().bottom <= "
                   "window.innerHeight"),
              nlohmann::json(true))
        << "the page's viewport does not show the whole screen";
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

  // A click on `text` once it is drawn and at rest; a click that lands
  // while the prompt is still being presented is refused, as on the
  // platform, so it is repeated until `done` holds in the page.
  bool clickUntil(const std::string& text, const std::string& done) {
    for (int attempt = 0; attempt < 20; ++attempt) {
      const nlohmann::json at = waitForText(text);
      if (!at.is_array()) return false;
      if (clickAtUntil(at, done, 1)) return true;
    }
    return false;
  }
  bool clickAtUntil(const nlohmann::json& at, const std::string& done, int attempts = 20) {
    for (int attempt = 0; attempt < attempts; ++attempt) {
      if (!page_->click(at[0].get<double>(), at[1].get<double>()).ok()) return false;
      Result<nlohmann::json> after = page_->evaluate("sentrelTest.until(() => " + done + ", 1000)");
      if (after.ok() && *after == nlohmann::json(true)) return true;
    }
    return false;
  }
  // Whether the device's log comes to hold `count` lines containing `text`.
  bool waitForLogCount(const std::string& text, size_t count) {
    runloop::RunLoop loop;
    return loop.runUntil(
        [&] {
          const std::string log = deviceLog();
          size_t found = 0;
          for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1))
            ++found;
          return found >= count;
        },
        std::chrono::seconds(30));
  }

  // An app run in the background through `sentrel open`; its output goes to
  // a file of its own.
  struct Running {
    pid_t pid = 0;
    std::filesystem::path out;
  };
  Running openInBackground(const std::string& app, std::vector<std::string> args) {
    std::vector<std::string> argv{"sentrel", "--root", root_.path().string(), "open", app};
    argv.insert(argv.end(), args.begin(), args.end());
    Running running;
    running.out = io_.path() / ("background-" + std::to_string(++background_));
    int out_fd = open(running.out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    spawn::Options options;
    options.stdin_ = spawn::Stdio::devNull();
    options.stdout_ = spawn::Stdio::fromFd(out_fd);
    options.stderr_ = spawn::Stdio::devNull();
    Result<pid_t> pid = spawn::spawnProcess(SENTREL_CLI, argv, options);
    close(out_fd);
    if (pid.ok()) running.pid = *pid;
    return running;
  }
  // Its exit code once it ended; -1 when it was ended by a signal, or when
  // it had not ended after a minute (it is then stopped).
  int finish(const Running& running) {
    if (running.pid <= 0) return -1;
    int status = 0;
    pid_t ended = 0;
    runloop::RunLoop loop;
    loop.runUntil([&] { return (ended = waitpid(running.pid, &status, WNOHANG)) != 0; },
                  std::chrono::seconds(60));
    if (ended == 0) {
      ADD_FAILURE() << "the app did not end";
      kill(running.pid, SIGKILL);
      waitpid(running.pid, &status, 0);
      return -1;
    }
    return ended > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  // The rule the settings file holds for `host` in `app`'s entry, or -1.
  int64_t storedRule(const std::string& app, const std::string& host) {
    Result<plist::Value> read = plist::readDictionaryFile(
        root_.path() / "var/mobile/Library/Preferences/ca.kelmora.sentrel_preferences.plist");
    if (!read.ok()) return -1;
    return read->get("apps").get(app).get("domains").get(host).get("allowed").asInteger().value_or(
        -1);
  }
  std::string deviceLog() { return slurp(root_.path() / "var/log/system.log"); }

  TempDir root_;
  TempDir io_;
  bool started_ = false;
  int background_ = 0;
  std::unique_ptr<HeadlessBrowser> browser_;
  std::unique_ptr<BrowserPage> page_;
};

}  // namespace sentrel::testing
