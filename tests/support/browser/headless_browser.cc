#include "support/browser/headless_browser.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <boost/archive/iterators/binary_from_base64.hpp>
#include <boost/archive/iterators/transform_width.hpp>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>

#include "platform/spawn/spawn.h"

namespace sentrel::testing {

namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

// Moves `fd` to a number of 10 or more (close-on-exec), so that handing it
// to the child as fd 3 or 4 never collides with the other end.
int highFd(int fd) {
  int moved = fcntl(fd, F_DUPFD_CLOEXEC, 10);
  close(fd);
  return moved;
}

void closeFd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

std::optional<std::filesystem::path> findChromium() {
  if (const char* chosen = getenv("SENTREL_CHROMIUM"); chosen != nullptr && *chosen != '\0') {
    return std::filesystem::path(chosen);
  }
  const char* path = getenv("PATH");
  std::stringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    if (dir.empty()) continue;
    std::filesystem::path candidate = std::filesystem::path(dir) / "chromium";
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return std::nullopt;
}

int millisecondsUntil(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

std::string decodeBase64(const std::string& text) {
  using namespace boost::archive::iterators;
  using Decoder = transform_width<binary_from_base64<std::string::const_iterator>, 8, 6>;
  std::string trimmed = text;
  while (!trimmed.empty() && trimmed.back() == '=') trimmed.pop_back();
  std::string out(Decoder(trimmed.begin()), Decoder(trimmed.end()));
  out.resize(trimmed.size() * 3 / 4);  // the last group's spare bits are no byte
  return out;
}

}  // namespace

Result<std::unique_ptr<HeadlessBrowser>> HeadlessBrowser::launch(Options options) {
  using R = Result<std::unique_ptr<HeadlessBrowser>>;
  std::optional<std::filesystem::path> program = findChromium();
  if (!program) {
    return R::Error(
        "chromium is not installed (no `chromium` on PATH and SENTREL_CHROMIUM unset); "
        "scripts/install-deps.sh installs it");
  }
  std::unique_ptr<HeadlessBrowser> browser(new HeadlessBrowser());
  browser->options_ = options;
  browser->dir_ = std::make_unique<TempDir>();

  int to[2];
  int from[2];
  if (pipe2(to, O_CLOEXEC) != 0) return R::FromErrno("pipe");
  if (pipe2(from, O_CLOEXEC) != 0) {
    close(to[0]);
    close(to[1]);
    return R::FromErrno("pipe");
  }
  int child_in = highFd(to[0]);
  browser->to_browser_ = highFd(to[1]);
  browser->from_browser_ = highFd(from[0]);
  int child_out = highFd(from[1]);

  std::filesystem::path log_path = browser->dir_->path() / "chromium.log";
  int log_fd = open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);

  spawn::Options spawn_options;
  spawn_options.stdin_ = spawn::Stdio::devNull();
  spawn_options.stdout_ = log_fd >= 0 ? spawn::Stdio::fromFd(log_fd) : spawn::Stdio::devNull();
  spawn_options.stderr_ = spawn_options.stdout_;
  spawn_options.new_process_group = true;
  spawn_options.extra_fds = {{child_in, 3}, {child_out, 4}};
  std::vector<std::string> argv = {
      program->string(),
      "--headless=new",
      "--no-sandbox",
      "--remote-debugging-pipe",
      "--user-data-dir=" + (browser->dir_->path() / "profile").string(),
      "--window-size=" + std::to_string(options.width) + "," + std::to_string(options.height),
      "--force-device-scale-factor=1",
      "--no-first-run",
      "--no-default-browser-check",
      "--disable-gpu",
      "--disable-dev-shm-usage",
      "--disable-extensions",
      "--disable-background-networking",
      "--disable-component-update",
      "--disable-sync",
      "--disable-features=Translate,MediaRouter,OptimizationHints",
      "--mute-audio",
      "about:blank",
  };
  Result<pid_t> pid = spawn::spawnProcess(*program, argv, spawn_options);
  close(child_in);
  close(child_out);
  if (log_fd >= 0) close(log_fd);
  if (!pid) return R::Error("cannot start " + program->string() + ": " + pid.reason());
  browser->pid_ = *pid;
  browser->pidfd_ = static_cast<int>(syscall(SYS_pidfd_open, *pid, 0));

  // The browser answers once it is up; this also proves the pipe works.
  Result<json> version = browser->call("Browser.getVersion");
  if (!version) return R::Error("chromium did not start: " + version.reason());
  return R(std::move(browser));
}

HeadlessBrowser::~HeadlessBrowser() {
  if (pid_ > 0) {
    if (to_browser_ >= 0) {
      (void)send(json{{"id", next_id_++}, {"method", "Browser.close"}});
      closeFd(to_browser_);  // a closed pipe makes it quit too
    }
    bool ended = false;
    if (pidfd_ >= 0) {
      pollfd p{pidfd_, POLLIN, 0};
      ended = poll(&p, 1, 10000) == 1;
    }
    if (!ended) kill(-pid_, SIGKILL);
    (void)spawn::waitForExit(pid_);
    // Helpers of the browser (renderers, the GPU process) follow it out;
    // make sure none outlives the test.
    kill(-pid_, SIGKILL);
  }
  closeFd(pidfd_);
  closeFd(to_browser_);
  closeFd(from_browser_);
}

std::string HeadlessBrowser::log() const {
  std::ifstream in(dir_->path() / "chromium.log");
  std::stringstream text;
  text << in.rdbuf();
  std::string all = text.str();
  return all.size() > 4000 ? all.substr(all.size() - 4000) : all;
}

Status HeadlessBrowser::send(const json& message) {
  std::string bytes = message.dump();
  bytes.push_back('\0');
  size_t written = 0;
  while (written < bytes.size()) {
    ssize_t n = write(to_browser_, bytes.data() + written, bytes.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Status::FromErrno("writing to chromium");
    written += static_cast<size_t>(n);
  }
  return Status::Ok();
}

Result<json> HeadlessBrowser::receive(Clock::time_point deadline) {
  for (;;) {
    size_t nul = pending_.find('\0');
    if (nul != std::string::npos) {
      json message = json::parse(pending_.substr(0, nul), nullptr, false);
      pending_.erase(0, nul + 1);
      if (message.is_discarded() || !message.is_object())
        return Result<json>::Error("chromium sent a message that is not a JSON object");
      return message;
    }
    pollfd p{from_browser_, POLLIN, 0};
    int ready = poll(&p, 1, millisecondsUntil(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return Result<json>::FromErrno("poll");
    if (ready == 0) return Result<json>::Error("timed out waiting for chromium");
    char buffer[65536];
    ssize_t n = read(from_browser_, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return Result<json>::Error("chromium closed its pipe; its log:\n" + log());
    pending_.append(buffer, static_cast<size_t>(n));
  }
}

Result<json> HeadlessBrowser::call(const std::string& method, json params,
                                   const std::string& session) {
  int64_t id = next_id_++;
  json message = {{"id", id}, {"method", method}, {"params", std::move(params)}};
  if (!session.empty()) message["sessionId"] = session;
  Status sent = send(message);
  if (!sent.ok()) return Result<json>(sent);
  Clock::time_point deadline = Clock::now() + options_.timeout;
  for (;;) {
    Result<json> reply = receive(deadline);
    if (!reply) return Result<json>::Error(method + ": " + reply.reason());
    auto reply_id = reply->find("id");
    if (reply_id == reply->end()) {
      events_.push_back(std::move(*reply));
      continue;
    }
    if (!reply_id->is_number_integer() || reply_id->get<int64_t>() != id) continue;
    if (auto error = reply->find("error"); error != reply->end())
      return Result<json>::Error(method + " failed: " + error->dump());
    auto result = reply->find("result");
    return result != reply->end() ? *result : json::object();
  }
}

Result<json> HeadlessBrowser::waitForEvent(const std::string& method, const std::string& session) {
  auto matches = [&](const json& event) {
    return event.value("method", "") == method && event.value("sessionId", "") == session;
  };
  for (auto it = events_.begin(); it != events_.end(); ++it) {
    if (matches(*it)) {
      json event = std::move(*it);
      events_.erase(it);
      return event;
    }
  }
  Clock::time_point deadline = Clock::now() + options_.timeout;
  for (;;) {
    Result<json> message = receive(deadline);
    if (!message) return Result<json>::Error("waiting for " + method + ": " + message.reason());
    if (message->contains("id")) continue;  // a reply nobody waits for any more
    if (matches(*message)) return message;
    events_.push_back(std::move(*message));
  }
}

Result<std::unique_ptr<BrowserPage>> HeadlessBrowser::openPage(const std::string& url) {
  using R = Result<std::unique_ptr<BrowserPage>>;
  Result<json> target = call("Target.createTarget", {{"url", "about:blank"}});
  if (!target) return R(target.status());
  std::string target_id = target->value("targetId", "");
  Result<json> attached =
      call("Target.attachToTarget", {{"targetId", target_id}, {"flatten", true}});
  if (!attached) return R(attached.status());
  auto page = std::make_unique<BrowserPage>(*this, target_id, attached->value("sessionId", ""));
  Result<json> enabled = call("Page.enable", json::object(), page->session());
  if (!enabled) return R(enabled.status());
  Status loaded = page->navigate(url);
  if (!loaded.ok()) return R(loaded);
  return R(std::move(page));
}

Status BrowserPage::navigate(const std::string& url) {
  Result<json> navigated = call("Page.navigate", {{"url", url}});
  if (!navigated) return navigated.status();
  if (auto error = navigated->find("errorText"); error != navigated->end())
    return Status::Error("loading " + url + " failed: " + error->get<std::string>());
  Result<json> loaded = browser_.waitForEvent("Page.loadEventFired", session_);
  return loaded ? Status::Ok() : loaded.status();
}

Result<json> BrowserPage::evaluate(const std::string& expression) {
  Result<json> reply =
      call("Runtime.evaluate",
           {{"expression", expression}, {"awaitPromise", true}, {"returnByValue", true}});
  if (!reply) return reply;
  if (auto exception = reply->find("exceptionDetails"); exception != reply->end()) {
    std::string text = exception->value("text", "exception");
    if (auto detail = exception->find("exception"); detail != exception->end())
      text += ": " + detail->value("description", "");
    return Result<json>::Error("evaluating `" + expression + "` threw " + text);
  }
  auto result = reply->find("result");
  if (result == reply->end()) return json();
  return result->value("value", json());
}

Status BrowserPage::click(double x, double y) {
  for (const char* type : {"mouseMoved", "mousePressed", "mouseReleased"}) {
    json params = {{"type", type}, {"x", x}, {"y", y}};
    if (std::string_view(type) != "mouseMoved") {
      params["button"] = "left";
      params["buttons"] = std::string_view(type) == "mousePressed" ? 1 : 0;
      params["clickCount"] = 1;
    }
    Result<json> done = call("Input.dispatchMouseEvent", std::move(params));
    if (!done) return done.status();
  }
  return Status::Ok();
}

Status BrowserPage::drag(double fromX, double fromY, double toX, double toY, int steps) {
  auto mouse = [this](const char* type, double x, double y, int buttons) {
    json params = {{"type", type}, {"x", x}, {"y", y}, {"button", "left"}, {"buttons", buttons}};
    if (std::string_view(type) != "mouseMoved") params["clickCount"] = 1;
    Result<json> done = call("Input.dispatchMouseEvent", std::move(params));
    return done ? Status::Ok() : done.status();
  };
  if (Status moved = mouse("mouseMoved", fromX, fromY, 0); !moved) return moved;
  if (Status pressed = mouse("mousePressed", fromX, fromY, 1); !pressed) return pressed;
  steps = std::max(steps, 1);
  for (int step = 1; step <= steps; ++step) {
    const double t = static_cast<double>(step) / steps;
    if (Status moved = mouse("mouseMoved", fromX + (toX - fromX) * t, fromY + (toY - fromY) * t, 1);
        !moved)
      return moved;
  }
  return mouse("mouseReleased", toX, toY, 0);
}

Status BrowserPage::insertText(const std::string& text) {
  Result<json> done = call("Input.insertText", {{"text", text}});
  return done ? Status::Ok() : done.status();
}

Status BrowserPage::pressKey(const std::string& key, const std::string& text) {
  json down = {{"type", text.empty() ? "rawKeyDown" : "keyDown"}, {"key", key}};
  if (!text.empty()) down["text"] = text;
  Result<json> pressed = call("Input.dispatchKeyEvent", std::move(down));
  if (!pressed) return pressed.status();
  Result<json> released = call("Input.dispatchKeyEvent", {{"type", "keyUp"}, {"key", key}});
  return released ? Status::Ok() : released.status();
}

Status BrowserPage::screenshot(const std::filesystem::path& png) {
  Result<json> shot = call("Page.captureScreenshot", {{"format", "png"}});
  if (!shot) return shot.status();
  std::string bytes = decodeBase64(shot->value("data", ""));
  if (bytes.size() < 8 || bytes.compare(1, 3, "PNG") != 0)
    return Status::Error("chromium's screenshot is not a PNG");
  std::ofstream out(png, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) return Status::Error("cannot write " + png.string());
  return Status::Ok();
}

}  // namespace sentrel::testing
