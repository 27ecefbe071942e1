// The screen page in a real headless chromium: it draws what the server
// pushes, and a real click and real typing come back as a touch and text.
#include <gtest/gtest.h>

#include <fstream>

#include "platform/display/screen_server.h"
#include "support/browser/headless_browser.h"
#include "support/temp_dir.h"

namespace sentrel::display {
namespace {

using nlohmann::json;
using testing::BrowserPage;
using testing::HeadlessBrowser;

// A full-screen wallpaper window and, in front, an alert panel whose label
// sits at (10, 20) in the panel, itself at (20, 300) on the screen.
std::vector<WindowTree> alertScreen(const std::string& label_text) {
  WindowTree wallpaper;
  wallpaper.window_id = 1;
  wallpaper.level = 0;
  wallpaper.frame = Rect{0, 0, 390, 844};
  Node background;
  background.id = 1;
  background.frame = wallpaper.frame;
  background.background = Color{0.1, 0.2, 0.4, 1};
  wallpaper.nodes = {background};

  WindowTree alert;
  alert.window_id = 2;
  alert.level = 25;
  alert.frame = Rect{20, 300, 350, 200};
  Node panel;
  panel.id = 1;
  panel.frame = Rect{0, 0, 350, 200};
  panel.background = Color{1, 1, 1, 1};
  panel.corner_radius = 13;
  Node label;
  label.id = 2;
  label.parent = 1;
  label.frame = Rect{10, 20, 200, 40};
  label.text = {TextRun{label_text, "", 600, 17, Color{0, 0, 0, 1}}};
  label.alignment = TextAlignment::kCenter;
  Node icon;
  icon.id = 3;
  icon.parent = 1;
  icon.frame = Rect{300, 10, 40, 40};
  icon.image_path = "/Applications/Preferences.app/icon.png";
  alert.nodes = {panel, label, icon};
  // Committed out of order: the level puts the alert in front.
  return {alert, wallpaper};
}

class TheScreenPage : public ::testing::Test {
 protected:
  void SetUp() override {
    ScreenHandlers handlers;
    handlers.on_touch = [this](const Touch& touch) { touches.push_back(touch); };
    handlers.on_key_text = [this](const KeyText& key) { typed += key.text; };
    ScreenOptions options;
    options.image_root = root.path();
    std::filesystem::create_directories(root.path() / "Applications/Preferences.app");
    // The smallest PNG: one transparent pixel.
    std::ofstream(root.path() / "Applications/Preferences.app/icon.png", std::ios::binary)
        << std::string_view(
               "\x89\x50\x4e\x47\x0d\x0a\x1a\x0a\x00\x00\x00\x0d\x49\x48\x44\x52\x00\x00"
               "\x00\x01\x00\x00\x00\x01\x08\x04\x00\x00\x00\xb5\x1c\x0c\x02\x00\x00\x00"
               "\x0b\x49\x44\x41\x54\x78\xda\x63\x64\x60\x00\x00\x00\x06\x00\x02\x30\x81"
               "\xd0\x2f\x00\x00\x00\x00\x49\x45\x4e\x44\xae\x42\x60\x82",
               68);
    Result<std::unique_ptr<ScreenServer>> started = ScreenServer::start(loop, handlers, options);
    ASSERT_TRUE(started.ok()) << started.reason();
    server = std::move(*started);

    Result<std::unique_ptr<HeadlessBrowser>> launched = HeadlessBrowser::launch();
    ASSERT_TRUE(launched.ok()) << launched.reason();
    browser = std::move(*launched);
  }

  json eval(BrowserPage& page, const std::string& expression) {
    Result<json> value = page.evaluate(expression);
    EXPECT_TRUE(value.ok()) << value.reason();
    return value.ok() ? *value : json();
  }

  testing::TempDir root;  // the device root images are served from
  runloop::RunLoop loop;
  std::unique_ptr<ScreenServer> server;
  std::unique_ptr<HeadlessBrowser> browser;
  std::vector<Touch> touches;
  std::string typed;
};

TEST_F(TheScreenPage, DrawsTheWindowsAndSendsARealClickBackAsATouchInTheWindow) {
  server->showWindows(alertScreen("Allow connection"));
  Result<std::unique_ptr<BrowserPage>> opened = browser->openPage(server->pageUrl());
  ASSERT_TRUE(opened.ok()) << opened.reason();
  BrowserPage& page = **opened;
  eval(page, "sentrelScreen.waitForFrames(1)");

  const std::string label = R"(document.querySelector('[data-window="2"] [data-node="2"]'))";
  EXPECT_EQ(eval(page, label + ".textContent"), "Allow connection");
  // The alert is drawn in front of the wallpaper, at its place on the screen.
  EXPECT_EQ(eval(page, "[...document.querySelectorAll('.window')].map(w => w.dataset.window)"),
            json::array({"1", "2"}));
  json box = eval(page, "(() => { const r = " + label +
                            ".getBoundingClientRect(); return [r.x, r.y, r.width, r.height]; })()");
  EXPECT_EQ(box, json::array({30, 320, 200, 40}));
  EXPECT_EQ(eval(page, "document.elementFromPoint(130, 340).closest('[data-node]').dataset.node"),
            "2");

  // The icon the tree names is loaded from the device root.
  EXPECT_EQ(eval(page,
                 "(() => { const img = document.querySelector('[data-node=\"3\"] img'); "
                 "return img.decode().then(() => img.naturalWidth); })()"),
            1);

  ASSERT_TRUE(page.click(130, 340).ok());
  ASSERT_TRUE(loop.runUntil([&] { return touches.size() >= 2; }));
  EXPECT_EQ(touches[0], (Touch{2, TouchPhase::kBegan, Point{110, 40}}));
  EXPECT_EQ(touches[1], (Touch{2, TouchPhase::kEnded, Point{110, 40}}));

  // After the tap, typing goes to the device.
  ASSERT_TRUE(page.insertText("ok").ok());
  ASSERT_TRUE(page.pressKey("!", "!").ok());
  ASSERT_TRUE(loop.runUntil([&] { return typed == "ok!"; })) << "typed: " << typed;

  // A new commit reaches the open page.
  const int drawn = eval(page, "sentrelScreen.frames").get<int>();
  server->showWindows(alertScreen("Blocked"));
  eval(page, "sentrelScreen.waitForFrames(" + std::to_string(drawn + 1) + ")");
  EXPECT_EQ(eval(page, label + ".textContent"), "Blocked");

  testing::TempDir dir;
  ASSERT_TRUE(page.screenshot(dir.path() / "screen.png").ok());
  EXPECT_GT(std::filesystem::file_size(dir.path() / "screen.png"), 1000u);
}

Node boxNode(int64_t id, int64_t parent, Rect frame, Color color, std::string text = {}) {
  Node node;
  node.id = id;
  node.parent = parent;
  node.frame = frame;
  node.background = color;
  if (!text.empty()) node.text = {TextRun{std::move(text), "", 400, 15, Color{0, 0, 0, 1}}};
  return node;
}

WindowTree treeOf(int64_t id, double level, std::vector<Node> nodes) {
  WindowTree window;
  window.window_id = id;
  window.level = level;
  window.frame = Rect{0, 0, 390, 844};
  window.nodes = std::move(nodes);
  return window;
}

TEST_F(TheScreenPage, RedrawsOnlyChangedNodesAndEndsAsAFreshPageWouldDrawTheSameScreen) {
  const Color red{1, 0, 0, 1};
  const Color blue{0, 0, 1, 1};
  std::vector<std::vector<WindowTree>> screens = {
      {treeOf(1, 0,
              {boxNode(1, 0, Rect{0, 0, 390, 400}, red),
               boxNode(2, 1, Rect{10, 10, 100, 20}, blue, "A"),
               boxNode(3, 1, Rect{10, 40, 100, 20}, blue, "B"),
               boxNode(4, 0, Rect{0, 400, 390, 400}, blue)}),
       treeOf(2, 10, {boxNode(1, 0, Rect{20, 20, 50, 50}, red, "alert")})},
      // One text changes; everything else stays.
      {treeOf(1, 0,
              {boxNode(1, 0, Rect{0, 0, 390, 400}, red),
               boxNode(2, 1, Rect{10, 10, 100, 20}, blue, "A2"),
               boxNode(3, 1, Rect{10, 40, 100, 20}, blue, "B"),
               boxNode(4, 0, Rect{0, 400, 390, 400}, blue)}),
       treeOf(2, 10, {boxNode(1, 0, Rect{20, 20, 50, 50}, red, "alert")})},
      // Node 1 changes colour and keeps its children; 3 moves under 4 and
      // before a new node; 2 goes; a window goes and another comes behind.
      {treeOf(3, -1, {boxNode(1, 0, Rect{0, 0, 10, 10}, blue)}),
       treeOf(1, 0,
              {boxNode(4, 0, Rect{0, 400, 390, 400}, blue),
               boxNode(3, 4, Rect{10, 40, 100, 20}, blue, "B"),
               boxNode(5, 4, Rect{10, 80, 100, 20}, red, "new"),
               boxNode(1, 0, Rect{0, 0, 390, 400}, blue), boxNode(6, 1, Rect{1, 1, 5, 5}, red)})},
  };
  const std::string markAll =
      "document.querySelectorAll('[data-node]').forEach(e => e.sentrelMark = "
      "e.closest('[data-window]').dataset.window + '/' + e.dataset.node); true";
  const std::string kept =
      "[...document.querySelectorAll('[data-node]')].filter(e => e.sentrelMark === "
      "e.closest('[data-window]').dataset.window + '/' + e.dataset.node)"
      ".map(e => e.sentrelMark).sort()";

  server->showWindows(screens[0]);
  Result<std::unique_ptr<BrowserPage>> opened = browser->openPage(server->pageUrl());
  ASSERT_TRUE(opened.ok()) << opened.reason();
  BrowserPage& page = **opened;
  int frames = eval(page, "sentrelScreen.waitForFrames(1)").get<int>();
  for (size_t i = 1; i < screens.size(); ++i) {
    SCOPED_TRACE("screen " + std::to_string(i));
    eval(page, markAll);
    server->showWindows(screens[i]);
    eval(page, "sentrelScreen.waitForFrames(" + std::to_string(++frames) + ")");
    if (i == 1) {
      // Only the label whose text changed was drawn again.
      EXPECT_EQ(eval(page, kept), json::array({"1/1", "1/3", "1/4", "2/1"}));
      EXPECT_EQ(
          eval(page, "document.querySelector('[data-window=\"1\"] [data-node=\"2\"]').textContent"),
          "A2");
    } else {
      EXPECT_EQ(eval(page, kept), json::array({"1/4"}));
    }
    // A page opened now draws the screen from scratch: the same document.
    Result<std::unique_ptr<BrowserPage>> fresh = browser->openPage(server->pageUrl());
    ASSERT_TRUE(fresh.ok()) << fresh.reason();
    eval(**fresh, "sentrelScreen.waitForFrames(1)");
    const std::string html = "document.getElementById('screen').innerHTML";
    EXPECT_EQ(eval(page, html), eval(**fresh, html));
  }
  EXPECT_EQ(eval(page, "[...document.querySelectorAll('.window')].map(w => w.dataset.window)"),
            json::array({"3", "1"}));
  EXPECT_EQ(
      eval(page, "document.querySelector('[data-window=\"1\"] [data-node=\"4\"]').textContent"),
      "Bnew");
}

TEST_F(TheScreenPage, IsRefusedUnderAWrongTokenAndItsSocketToOtherOrigins) {
  server->showWindows(alertScreen("Allow connection"));
  std::string wrong = server->pageUrl();
  wrong.replace(wrong.rfind('/', wrong.size() - 2) + 1, server->token().size(),
                std::string(server->token().size(), 'f'));
  Result<std::unique_ptr<BrowserPage>> opened = browser->openPage(wrong);
  ASSERT_TRUE(opened.ok()) << opened.reason();
  BrowserPage& page = **opened;
  EXPECT_EQ(eval(page, "document.body.innerText.trim()"), "Not found");
  EXPECT_EQ(eval(page, "typeof sentrelScreen"), "undefined");
  EXPECT_EQ(eval(page, "fetch(location.href).then(r => r.status)"), 404);

  // Another site's page (here an opaque origin) cannot open the socket even
  // with the right token.
  std::string ws =
      "ws://127.0.0.1:" + std::to_string(server->port()) + "/" + server->token() + "/ws";
  ASSERT_TRUE(page.navigate("data:text/html,<title>elsewhere</title>").ok());
  EXPECT_EQ(eval(page, "new Promise(done => { const s = new WebSocket('" + ws +
                           "'); s.onopen = () => done('open'); s.onerror = () => done('refused'); "
                           "})"),
            "refused");
  EXPECT_TRUE(touches.empty());
}

// A card turned in perspective and moving in on a spring while it fades in,
// two squares whose z positions reverse their list order, and a label and
// a text view of the same height.
std::vector<WindowTree> layeredScreen(const std::string& label_text, double started) {
  WindowTree window;
  window.window_id = 4;
  window.frame = Rect{0, 0, 390, 844};
  Node front;
  front.id = 1;
  front.frame = Rect{0, 0, 100, 100};
  front.background = Color{1, 0, 0, 1};
  front.z_position = 1;
  Node back;
  back.id = 2;
  back.frame = Rect{50, 50, 100, 100};
  back.background = Color{0, 0, 1, 1};
  Node card;
  card.id = 3;
  card.frame = Rect{200, 200, 150, 100};
  card.background = Color{1, 1, 1, 1};
  card.transform.m = {0.8, 0, -0.6, -0.0012, 0, 1, 0, 0, 0.6, 0, 0.8, 0.0016, 0, 0, 0, 1};
  card.animations = {
      Animation{11,
                AnimatedProperty::kFrame,
                {200, 700, 150, 100},
                AnimationCurve::kSpring,
                0.5,
                0,
                30,
                0,
                started},
      Animation{
          12, AnimatedProperty::kAlpha, {0}, AnimationCurve::kEaseInOut, 1, 0, 30, 0, started},
  };
  Node label;
  label.id = 4;
  label.frame = Rect{0, 400, 300, 100};
  label.text = {TextRun{label_text, "", 400, 17, Color{0, 0, 0, 1}}};
  label.alignment = TextAlignment::kCenter;
  label.vertical_alignment = TextVerticalAlignment::kCenter;
  Node textView = label;
  textView.id = 5;
  textView.frame = Rect{0, 520, 300, 100};
  textView.vertical_alignment = TextVerticalAlignment::kTop;
  textView.lines = 0;
  window.nodes = {front, back, card, label, textView};
  return {window};
}

TEST_F(TheScreenPage, RunsCommittedAnimationsWithoutRestartingThemAndDrawsLayersInZOrder) {
  const double started = secondsOf(loop.clock().now()) - 0.2;
  server->showWindows(layeredScreen("Hello", started));
  Result<std::unique_ptr<BrowserPage>> opened = browser->openPage(server->pageUrl());
  ASSERT_TRUE(opened.ok()) << opened.reason();
  BrowserPage& page = **opened;
  eval(page, "sentrelScreen.waitForFrames(1)");

  const std::string animations =
      "document.getAnimations().map(a => ({id: a.id, state: a.playState, start: a.startTime, "
      "time: a.currentTime, easing: a.effect.getTiming().easing}))";
  json running = eval(page, animations);
  ASSERT_EQ(running.size(), 2u) << running.dump();
  for (const json& a : running) {
    EXPECT_EQ(a["state"], "running") << a.dump();
    // Joined where it is: it began before the page first saw it.
    EXPECT_GE(a["time"].get<double>(), 150) << a.dump();
  }
  EXPECT_EQ(running[0]["id"], "4/3/11");
  EXPECT_EQ(running[0]["easing"].get<std::string>().rfind("linear(", 0), 0u) << running.dump();
  EXPECT_EQ(running[1]["easing"], "ease-in-out");

  // The card is turned with its perspective.
  json transform = eval(page,
                        "getComputedStyle(document.querySelector('[data-node=\"3\"]'))"
                        ".transform");
  EXPECT_EQ(transform.get<std::string>().rfind("matrix3d(0.8, 0, -0.6, -0.0012,", 0), 0u)
      << transform;
  // Where the squares overlap the first one is in front, by its z position.
  EXPECT_EQ(eval(page, "document.elementFromPoint(75, 75).closest('[data-node]').dataset.node"),
            "1");

  // A label's line sits in the middle of its height; a text view's at the top.
  const std::string offsets =
      "(n => { const el = document.querySelector(`[data-node=\"${n}\"]`); "
      "const box = el.getBoundingClientRect(); const text = el.querySelector('p')"
      ".getBoundingClientRect(); return [text.top - box.top, box.bottom - text.bottom]; })";
  json label = eval(page, offsets + "(4)");
  EXPECT_GT(label[0].get<double>(), 20) << label;
  EXPECT_NEAR(label[0].get<double>(), label[1].get<double>(), 1) << label;
  json textView = eval(page, offsets + "(5)");
  EXPECT_EQ(textView[0].get<double>(), 0) << textView;

  // Another commit of the same window with the animations still running:
  // they go on from where they are.
  const int drawn = eval(page, "sentrelScreen.frames").get<int>();
  server->showWindows(layeredScreen("Hello again", started));
  eval(page, "sentrelScreen.waitForFrames(" + std::to_string(drawn + 1) + ")");
  json after = eval(page, animations);
  ASSERT_EQ(after.size(), 2u) << after.dump();
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(after[i]["id"], running[i]["id"]);
    EXPECT_EQ(after[i]["start"], running[i]["start"]) << "restarted: " << after.dump();
    EXPECT_GE(after[i]["time"].get<double>(), running[i]["time"].get<double>());
  }
  EXPECT_EQ(eval(page, "document.querySelector('[data-node=\"4\"]').textContent"), "Hello again");

  // A commit without them ends them: the model values show.
  WindowTree still = layeredScreen("Hello", started)[0];
  still.nodes[2].animations.clear();
  server->showWindows({still});
  eval(page, "sentrelScreen.waitForFrames(" + std::to_string(drawn + 2) + ")");
  EXPECT_EQ(eval(page, "document.getAnimations().length"), 0);
}

}  // namespace
}  // namespace sentrel::display
