// Finding drawn text on a screen message, and tapping it through a real
// screen server as a browser page would.
#include "platform/display/screen_client.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/display/screen_server.h"

namespace sentrel::display {
namespace {

using namespace std::chrono_literals;

Node textNode(int64_t id, int64_t parent, Rect frame, const std::string& text) {
  Node node;
  node.id = id;
  node.parent = parent;
  node.frame = frame;
  if (!text.empty()) node.text = {TextRun{text, "Inter", 400, 13, Color{0, 0, 0, 1}}};
  return node;
}

WindowTree windowAt(int64_t id, Rect frame, std::vector<Node> nodes) {
  WindowTree window;
  window.window_id = id;
  window.frame = frame;
  window.nodes = std::move(nodes);
  return window;
}

TEST(LocatedText, IsTheCentreOfItsNodeInScreenPointsOnTheFrontmostWindowAndOnlyWhenVisible) {
  // A card at (20, 100) in a window at (0, 50); the label at (10, 30) in it.
  WindowTree back = windowAt(1, Rect{0, 0, 390, 844}, {textNode(1, 0, {5, 5, 40, 20}, "OK")});
  WindowTree front =
      windowAt(2, Rect{0, 50, 390, 794},
               {textNode(1, 0, {20, 100, 300, 200}, ""), textNode(2, 1, {10, 30, 100, 40}, "OK")});
  TextPlacement found = locateText(encodeScreenJson({back, front}, ScreenSize{390, 844}), "OK");
  ASSERT_TRUE(found.centre.has_value());
  EXPECT_EQ(*found.centre, (Point{20 + 10 + 50, 50 + 100 + 30 + 20}));
  EXPECT_FALSE(locateText(encodeScreenJson({front}, {}), "O").centre) << "whole texts only";

  // Hidden, or inside something hidden or transparent: not there to tap.
  front.nodes[0].hidden = true;
  found = locateText(encodeScreenJson({back, front}, {}), "OK");
  ASSERT_TRUE(found.centre.has_value());
  EXPECT_EQ(*found.centre, (Point{25, 15})) << "the one behind is the visible one";
  back.nodes[0].alpha = 0;
  EXPECT_FALSE(locateText(encodeScreenJson({back, front}, {}), "OK").centre);
}

TEST(LocatedText, SettlesWhenTheLongestAnimationEnds) {
  WindowTree window = windowAt(1, Rect{0, 0, 390, 844}, {textNode(1, 0, {0, 0, 10, 10}, "OK")});
  Animation slide;
  slide.property = AnimatedProperty::kFrame;
  slide.start = 10;
  slide.duration = 0.5;
  slide.delay = 0.25;
  window.nodes[0].animations = {slide};
  const TextPlacement found = locateText(encodeScreenJson({window}, {}, 10.5), "OK");
  ASSERT_TRUE(found.centre.has_value());
  EXPECT_NEAR(found.settles_in, 0.25, 1e-9);
  EXPECT_EQ(locateText(encodeScreenJson({window}, {}, 20), "OK").settles_in, 0);
}

TEST(LocatedText, IsNowhereOnMalformedScreens) {
  for (const char* screen :
       {"", "{", "[]", "null", R"({"windows": 3})", R"({"windows": [1, null, {"nodes": 2}]})",
        R"({"windows": [{"frame": [], "nodes": [{"id": "1", "parent": 0}]}]})",
        R"({"windows": [{"nodes": [{"id": 1, "parent": 0, "frame": {"x": "a"},
            "text": [{"text": 5}, 7], "animations": [{"duration": "x"}, 3]}]}]})",
        R"({"windows": [{"nodes": [{"id": 1, "parent": 9, "text": [{"text": "OK"}]}]}]})"}) {
    EXPECT_FALSE(locateText(screen, "OK").centre) << screen;
  }
}

// A real screen server on a loop of this thread; the client runs on its own.
class AScreenClient : public ::testing::Test {
 protected:
  void SetUp() override {
    ScreenHandlers handlers;
    handlers.on_touch = [this](const Touch& touch) {
      touches.push_back(touch);
      if (touch.phase != TouchPhase::kEnded) return;
      // The first tap is refused, like one on a prompt still coming in.
      if (++taps >= 2) server->showWindows({});
    };
    Result<std::unique_ptr<ScreenServer>> started =
        ScreenServer::start(loop, std::move(handlers), {});
    ASSERT_TRUE(started.ok()) << started.reason();
    server = std::move(*started);
  }

  runloop::RunLoop loop;
  std::unique_ptr<ScreenServer> server;
  std::vector<Touch> touches;
  int taps = 0;
};

TEST_F(AScreenClient, TapsATextAgainUntilItIsGone) {
  server->showWindows(
      {windowAt(4, Rect{0, 100, 390, 744}, {textNode(1, 0, {50, 60, 100, 40}, "Allow always")})});
  std::atomic<bool> done = false;
  Result<Point> tapped = Result<Point>::Error("not run");
  std::thread finger([&] {
    Result<std::unique_ptr<ScreenClient>> client = ScreenClient::connect(server->pageUrl());
    if (client)
      tapped = (*client)->tapText("Allow always", 20s);
    else
      tapped = Result<Point>(client.status());
    done = true;
  });
  EXPECT_TRUE(loop.runUntil([&] { return done.load(); }, 30s));
  finger.join();
  ASSERT_TRUE(tapped.ok()) << tapped.reason();
  EXPECT_EQ(*tapped, (Point{100, 180}));
  ASSERT_EQ(touches.size(), 4u);
  EXPECT_EQ(touches[0], (Touch{4, TouchPhase::kBegan, Point{100, 80}})) << "in the window's points";
  EXPECT_EQ(touches[3].phase, TouchPhase::kEnded);
}

TEST_F(AScreenClient, ReportsATextThatNeverComes) {
  std::atomic<bool> done = false;
  Result<Point> tapped = Result<Point>::Error("not run");
  std::thread finger([&] {
    Result<std::unique_ptr<ScreenClient>> client = ScreenClient::connect(server->pageUrl());
    if (client) tapped = (*client)->tapText("Allow always", 300ms);
    done = true;
  });
  EXPECT_TRUE(loop.runUntil([&] { return done.load(); }, 30s));
  finger.join();
  ASSERT_FALSE(tapped.ok());
  EXPECT_NE(tapped.reason().find("\"Allow always\" is not on the screen"), std::string::npos);
  EXPECT_TRUE(touches.empty());
  EXPECT_FALSE(ScreenClient::connect("http://127.0.0.1:1/x/").ok());
  EXPECT_FALSE(ScreenClient::connect("ftp://nowhere").ok());
}

}  // namespace
}  // namespace sentrel::display
