// A real browser for C++ tests: Debian's `chromium`, headless, driven over
// the DevTools protocol on a pipe (--remote-debugging-pipe: NUL-framed JSON,
// the browser reads fd 3 and writes fd 4). No node, no WebDriver, no port.
//
// Every wait is a poll() on the pipe (or on the browser's pidfd) bounded by
// the timeout given to launch(); nothing sleeps. When `chromium` is not
// installed, launch() fails saying so: tests ASSERT on it and fail rather
// than skip (scripts/install-deps.sh installs it).
//
// Each browser has its own temporary profile, removed with it. Not
// thread-safe: one thread drives one browser.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <deque>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "platform/base/status.h"
#include "support/temp_dir.h"

namespace sentrel::testing {

class BrowserPage;

class HeadlessBrowser {
 public:
  struct Options {
    int width = 800;  // of every page's viewport, in CSS pixels (scale factor 1)
    int height = 600;
    std::chrono::milliseconds timeout{20000};  // for each call and wait
  };

  // Starts the browser. The program is $SENTREL_CHROMIUM when set, else
  // `chromium` on PATH.
  static Result<std::unique_ptr<HeadlessBrowser>> launch(Options options);
  static Result<std::unique_ptr<HeadlessBrowser>> launch() { return launch(Options()); }
  // Asks the browser to close, waits (bounded) for it, and kills its
  // process group if it lingers.
  ~HeadlessBrowser();
  HeadlessBrowser(const HeadlessBrowser&) = delete;
  HeadlessBrowser& operator=(const HeadlessBrowser&) = delete;

  // A new tab that has loaded `url` (its load event has fired).
  Result<std::unique_ptr<BrowserPage>> openPage(const std::string& url);

  // One protocol call; the result object, or the protocol's error. An empty
  // `session` addresses the browser itself.
  Result<nlohmann::json> call(const std::string& method,
                              nlohmann::json params = nlohmann::json::object(),
                              const std::string& session = {});
  // The next event `method` of `session` (events that came earlier count).
  Result<nlohmann::json> waitForEvent(const std::string& method, const std::string& session);

  // The browser's standard error so far (for failure messages).
  std::string log() const;

 private:
  HeadlessBrowser() = default;
  Status send(const nlohmann::json& message);
  // Reads one message, waiting until `deadline`.
  Result<nlohmann::json> receive(std::chrono::steady_clock::time_point deadline);

  Options options_{};
  std::unique_ptr<TempDir> dir_;  // profile and log
  pid_t pid_ = -1;
  int pidfd_ = -1;
  int to_browser_ = -1;    // our end of the browser's fd 3
  int from_browser_ = -1;  // our end of the browser's fd 4
  std::string pending_;    // bytes read past the last NUL
  std::deque<nlohmann::json> events_;
  int64_t next_id_ = 1;
};

// One tab, attached with its own session. Coordinates are CSS pixels of the
// viewport.
class BrowserPage {
 public:
  BrowserPage(HeadlessBrowser& browser, std::string target, std::string session)
      : browser_(browser), target_(std::move(target)), session_(std::move(session)) {}

  // Loads `url` and waits for its load event.
  Status navigate(const std::string& url);
  // Runtime.evaluate with awaitPromise and returnByValue: the value, or the
  // exception's text.
  Result<nlohmann::json> evaluate(const std::string& expression);
  // A real left click: move, press, release at (x, y).
  Status click(double x, double y);
  // A real drag with the left button held: press at `from`, `steps` moves
  // in a straight line, release at `to` (a swipe on a row, say).
  Status drag(double fromX, double fromY, double toX, double toY, int steps = 8);
  // Input.insertText into the focused element.
  Status insertText(const std::string& text);
  // One key press and release (`key` as DOM key names it; `text` typed, if any).
  Status pressKey(const std::string& key, const std::string& text = {});
  // Page.captureScreenshot, written as a PNG file.
  Status screenshot(const std::filesystem::path& png);

  const std::string& session() const { return session_; }

 private:
  Result<nlohmann::json> call(const std::string& method,
                              nlohmann::json params = nlohmann::json::object()) {
    return browser_.call(method, std::move(params), session_);
  }

  HeadlessBrowser& browser_;
  std::string target_;
  std::string session_;
};

}  // namespace sentrel::testing
