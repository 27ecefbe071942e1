// A UI process changes one property of a 200-view window; how long until the
// screen page has drawn it?
//
// The path is the one a user's process takes: the toolkit's window (100
// coloured cells, each with a label) marks the view dirty, the process's
// display link commits on the next turn of its main loop over the Unix
// socket to a real backboardd program (the one built beside this benchmark,
// or the one $SENTREL_BACKBOARDD names, to compare builds), whose display
// server hands the windows to its screen server, which pushes them over the
// WebSocket to the page in a real headless chromium, which draws them.
//
// The goal: a commit of a 200-view window reaches the browser's next frame
// within one 60 Hz frame, 16 ms, on the 2-core machine.
//
// Each iteration times, from the property change, the commit and a
// Runtime.evaluate that waits for the page to have drawn that frame, then a
// requestAnimationFrame and a task after it (so the frame has been laid out
// and painted). The DevTools round trip and the wait for the browser's frame
// cost time of their own, so each iteration also times the same evaluate
// with nothing committed (the frame it waits for is drawn already): the
// baseline. Reported: the iteration time (commit to frame, in ms) and the
// counters baseline_ms, cost_ms (commit to frame less the baseline: what
// the commit itself costs), ratio (commit to frame over the baseline) and
// flush_ms (the part spent in the UI process, committing).
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "platform/display/screen_profile.h"
#include "platform/runloop/run_loop.h"
#include "platform/spawn/spawn.h"
#include "platform/uikit/display_link.h"
#include "platform/uikit/label.h"
#include "platform/uikit/window.h"
#include "support/browser/headless_browser.h"
#include "support/temp_dir.h"

namespace sentrel {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using nlohmann::json;

constexpr int kColumns = 10;
constexpr int kRows = 10;  // cells; each has a label: 200 views
constexpr double kGoalMs = 16;

double millisecondsBetween(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double, std::milli>(to - from).count();
}

std::string readFile(const fs::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// The page's side of one measurement: resolves once frame `count` is drawn,
// after the next animation frame and a task queued from it (which runs once
// that frame's rendering is done), with the frame count and the text of
// node `node`.
std::string waitForFrameExpression(int count, uint64_t node) {
  return "(async () => {"
         "  await sentrelScreen.waitForFrames(" +
         std::to_string(count) +
         ");"
         "  await new Promise((resolve) => requestAnimationFrame(() => {"
         "    const channel = new MessageChannel();"
         "    channel.port1.onmessage = () => resolve();"
         "    channel.port2.postMessage(0);"
         "  }));"
         "  const el = document.querySelector('[data-node=\"" +
         std::to_string(node) +
         "\"]');"
         "  return [sentrelScreen.frames, el ? el.textContent : null];"
         "})()";
}

// backboardd, a UI process's window and display link, and the page.
class Screen {
 public:
  // The reason it cannot run, or nullopt.
  std::optional<std::string> start() {
    auto browser = testing::HeadlessBrowser::launch();
    if (!browser) return "no browser: " + browser.reason();
    browser_ = std::move(*browser);

    // $SENTREL_BACKBOARDD compares another build's program on the same path.
    const char* chosen = getenv("SENTREL_BACKBOARDD");
    const fs::path program = chosen != nullptr && *chosen != '\0' ? chosen : SENTREL_BACKBOARDD;
    if (access(program.c_str(), X_OK) != 0) return "backboardd is not built at " + program.string();
    spawn::Options options;
    options.environment = {{"SENTREL_DEVICE_ROOT", root_.path().string()}};
    options.stdin_ = spawn::Stdio::devNull();
    log_fd_ = ::open((root_.path() / "backboardd.log").c_str(),
                     O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (log_fd_ >= 0) options.stdout_ = options.stderr_ = spawn::Stdio::fromFd(log_fd_);
    auto pid = spawn::spawnProcess(program, {program.string()}, options);
    if (!pid) return "cannot start backboardd: " + pid.reason();
    backboardd_ = *pid;

    // backboardd writes the page's URL once both its sockets listen.
    const fs::path url_file = display::screenUrlPath(root_.path());
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    std::string url;
    while (url.empty()) {
      if (auto ended = spawn::tryWait(backboardd_); !ended || *ended) {
        backboardd_ = -1;
        return "backboardd ended at start: " + readFile(root_.path() / "backboardd.log");
      }
      if (Clock::now() > deadline) return "backboardd wrote no screen URL within 10 s";
      url = readFile(url_file);
      if (url.empty() || url.back() != '\n') {
        url.clear();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));  // startup only
      }
    }
    url.pop_back();

    auto page = browser_->openPage(url);
    if (!page) return "the page did not open: " + page.reason();
    page_ = std::move(*page);
    // The empty screen first, so that the window's commit is frame 2.
    auto empty = page_->evaluate("sentrelScreen.waitForFrames(1)");
    if (!empty) return "the page drew nothing: " + empty.reason();

    // The UI process: its window and its link, on its main loop.
    window_ = std::make_shared<uikit::UIWindow>(uikit::CGRectMake(0, 0, 390, 844));
    const double width = 390.0 / kColumns;
    const double height = 844.0 / kRows;
    for (int row = 0; row < kRows; ++row) {
      for (int column = 0; column < kColumns; ++column) {
        auto cell = std::make_shared<uikit::UIView>(
            uikit::CGRectMake(column * width, row * height, width, height));
        cell->setBackgroundColor(
            uikit::UIColor::colorWithRed(column / double(kColumns), row / double(kRows), 0.5, 1));
        auto label = std::make_shared<uikit::UILabel>();
        label->setFrame(uikit::CGRectMake(2, 2, width - 4, height - 4));
        label->setText(std::to_string(row * kColumns + column));
        label->setNumberOfLines(0);
        cell->addSubview(label);
        window_->addSubview(cell);
        labels_.push_back(std::move(label));
      }
    }
    window_->makeKeyAndVisible();
    link_ = std::make_unique<uikit::DisplayLink>(loop_, root_.path());
    if (!link_->connect(uikit::DisplayLink::socketPath(root_.path()), "Bench", getpid()))
      return "the display link did not connect";
    loop_.runUntilIdle();
    auto first = page_->evaluate(waitForFrameExpression(2, 0));
    if (!first) return "the first frame was not drawn: " + first.reason();
    frames_ = (*first)[0].get<int>();
    return std::nullopt;
  }

  ~Screen() {
    if (window_) window_->setHidden(true);
    link_.reset();
    page_.reset();
    browser_.reset();
    if (backboardd_ > 0) {
      kill(backboardd_, SIGTERM);
      (void)spawn::waitForExit(backboardd_);
    }
    if (log_fd_ >= 0) ::close(log_fd_);
  }

  // One iteration: the commit-to-frame and baseline times, or an error.
  struct Times {
    double flush_ms = 0;  // the UI process's turn that commits
    double commit_ms = 0;
    double baseline_ms = 0;
  };
  Result<Times> measure() {
    const size_t index = static_cast<size_t>(changes_ % labels_.size());
    uikit::UILabel& label = *labels_[index];
    const std::string text = "n" + std::to_string(changes_++);
    Times times;

    const auto changed = Clock::now();
    label.setText(text);
    loop_.runUntilIdle();  // the turn after which the link commits
    times.flush_ms = millisecondsBetween(changed, Clock::now());
    auto drawn = page_->evaluate(waitForFrameExpression(frames_ + 1, label.renderId()));
    const auto shown = Clock::now();
    if (!drawn) return Result<Times>::Error("the page did not draw the commit: " + drawn.reason());
    if ((*drawn)[0] != frames_ + 1 || (*drawn)[1] != text)
      return Result<Times>::Error("the page drew " + drawn->dump() + ", not frame " +
                                  std::to_string(frames_ + 1) + " with \"" + text + "\"");
    ++frames_;
    times.commit_ms = millisecondsBetween(changed, shown);

    const auto asked = Clock::now();
    auto again = page_->evaluate(waitForFrameExpression(frames_, label.renderId()));
    const auto answered = Clock::now();
    if (!again) return Result<Times>::Error("the baseline evaluate failed: " + again.reason());
    if ((*again)[0] != frames_)
      return Result<Times>::Error("a frame came with nothing committed: " + again->dump());
    times.baseline_ms = millisecondsBetween(asked, answered);
    return times;
  }

 private:
  testing::TempDir root_;
  int log_fd_ = -1;
  pid_t backboardd_ = -1;
  std::unique_ptr<testing::HeadlessBrowser> browser_;
  std::unique_ptr<testing::BrowserPage> page_;
  runloop::RunLoop loop_;
  runloop::MainQueue::ScopedOverride main_queue_{loop_};
  std::shared_ptr<uikit::UIWindow> window_;
  std::vector<std::shared_ptr<uikit::UILabel>> labels_;
  std::unique_ptr<uikit::DisplayLink> link_;
  int frames_ = 0;
  uint64_t changes_ = 0;
};

// Started on first use (the benchmark function runs several times), ended
// in main().
std::unique_ptr<Screen> g_screen;
std::optional<std::string> g_unusable;

void BM_WindowCommitToFrame(benchmark::State& state) {
  if (!g_screen && !g_unusable) {
    g_screen = std::make_unique<Screen>();
    g_unusable = g_screen->start();
  }
  if (g_unusable) {
    state.SkipWithError(g_unusable->c_str());
    return;
  }
  double flush_total = 0;
  double commit_total = 0;
  double baseline_total = 0;
  for (auto _ : state) {
    Result<Screen::Times> times = g_screen->measure();
    if (!times) {
      g_unusable = times.reason();
      state.SkipWithError(g_unusable->c_str());
      break;
    }
    state.SetIterationTime(times->commit_ms / 1000);
    flush_total += times->flush_ms;
    commit_total += times->commit_ms;
    baseline_total += times->baseline_ms;
  }
  if (g_unusable || state.iterations() == 0) return;
  const double n = static_cast<double>(state.iterations());
  state.counters["commit_to_frame_ms"] = commit_total / n;
  state.counters["flush_ms"] = flush_total / n;
  state.counters["baseline_ms"] = baseline_total / n;
  state.counters["cost_ms"] = (commit_total - baseline_total) / n;
  state.counters["ratio"] = baseline_total > 0 ? commit_total / baseline_total : 0;
  state.counters["goal_ms"] = kGoalMs;
}
BENCHMARK(BM_WindowCommitToFrame)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace sentrel

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  sentrel::g_screen.reset();
  benchmark::Shutdown();
  return sentrel::g_unusable ? 1 : 0;
}
