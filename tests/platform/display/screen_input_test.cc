// The screen's logic that needs no network: what the page may send, and how
// pointer events become touches.
#include <gtest/gtest.h>

#include <chrono>

#include <nlohmann/json.hpp>

#include "platform/display/screen_server.h"

namespace sentrel::display {
namespace {

WindowTree window(int64_t id, double level, Rect frame, bool hidden = false) {
  WindowTree w;
  w.window_id = id;
  w.level = level;
  w.frame = frame;
  w.hidden = hidden;
  return w;
}

TEST(APageMessage, DecodesPointerPhasesAndText) {
  Result<PageInput> down = decodePageInput(R"({"type":"pointer","phase":"down","x":10.5,"y":-2})");
  ASSERT_TRUE(down.ok()) << down.reason();
  const auto& pointer = std::get<PagePointer>(*down);
  EXPECT_EQ(pointer.phase, TouchPhase::kBegan);
  EXPECT_EQ(pointer.point, (Point{10.5, -2}));
  EXPECT_EQ(
      std::get<PagePointer>(*decodePageInput(R"({"type":"pointer","phase":"cancel","x":0,"y":0})"))
          .phase,
      TouchPhase::kCancelled);
  Result<PageInput> text = decodePageInput(R"({"type":"text","text":"h\u00e9"})");
  ASSERT_TRUE(text.ok());
  EXPECT_EQ(std::get<PageText>(*text).text, "h\xc3\xa9");
}

TEST(APageMessage, IsRefusedWhenMalformed) {
  for (const char* bad : {"", "{", "[]", "null", R"({"type":"pointer","phase":"down","x":1})",
                          R"({"type":"pointer","phase":"hover","x":1,"y":1})",
                          R"({"type":"pointer","phase":"down","x":"1","y":1})",
                          R"({"type":"pointer","phase":"down","x":1e300,"y":1})",
                          R"({"type":"text","text":5})", R"({"type":"reboot"})", R"({"type":7})"}) {
    Result<PageInput> input = decodePageInput(bad);
    EXPECT_FALSE(input.ok()) << bad;
    EXPECT_FALSE(input.reason().empty());
  }
  EXPECT_FALSE(decodePageInput(std::string(kMaxPageMessageBytes + 1, ' ')).ok());
}

TEST(TheScreenOrder, PutsHigherLevelsInFrontKeepsCommitOrderForEqualLevelsAndDropsHidden) {
  std::vector<WindowTree> ordered =
      orderForScreen({window(1, 26, {}), window(2, 0, {}), window(3, 25, {}, true),
                      window(4, 0, {}), window(5, 25, {})});
  std::vector<int64_t> ids;
  for (const WindowTree& w : ordered) ids.push_back(w.window_id);
  EXPECT_EQ(ids, (std::vector<int64_t>{2, 4, 5, 1}));
}

class ATouchRouter : public ::testing::Test {
 protected:
  void SetUp() override {
    router.setWindows(orderForScreen(
        {window(1, 0, Rect{0, 0, 390, 844}), window(2, 25, Rect{20, 300, 350, 200})}));
  }
  std::optional<Touch> send(TouchPhase phase, double x, double y) {
    return router.route(PagePointer{phase, Point{x, y}});
  }
  TouchRouter router;
};

TEST_F(ATouchRouter, GivesATouchToTheFrontmostWindowInItsOwnCoordinates) {
  std::optional<Touch> touch = send(TouchPhase::kBegan, 30, 310);
  ASSERT_TRUE(touch);
  EXPECT_EQ(*touch, (Touch{2, TouchPhase::kBegan, Point{10, 10}}));
  touch = send(TouchPhase::kBegan, 10, 10);
  ASSERT_TRUE(touch);
  EXPECT_EQ(touch->window_id, 1);
}

TEST_F(ATouchRouter, KeepsAFingerOnTheWindowItWentDownOnUntilItLifts) {
  ASSERT_TRUE(send(TouchPhase::kBegan, 30, 310));
  std::optional<Touch> moved = send(TouchPhase::kMoved, 5, 5);  // outside window 2 now
  ASSERT_TRUE(moved);
  EXPECT_EQ(*moved, (Touch{2, TouchPhase::kMoved, Point{-15, -295}}));
  std::optional<Touch> ended = send(TouchPhase::kEnded, 5, 5);
  ASSERT_TRUE(ended);
  EXPECT_EQ(ended->window_id, 2);
  EXPECT_EQ(ended->phase, TouchPhase::kEnded);
  EXPECT_FALSE(send(TouchPhase::kMoved, 30, 310)) << "a move after the finger lifted";
}

TEST_F(ATouchRouter, IgnoresPointersOutsideEveryWindowAndMovesWithoutADown) {
  EXPECT_FALSE(send(TouchPhase::kMoved, 30, 310));
  EXPECT_FALSE(send(TouchPhase::kEnded, 30, 310));
  EXPECT_FALSE(send(TouchPhase::kBegan, 500, 10));
  EXPECT_FALSE(send(TouchPhase::kEnded, 30, 310));
}

TEST_F(ATouchRouter, CancelsTheTouchOfAWindowThatWentAway) {
  ASSERT_TRUE(send(TouchPhase::kBegan, 30, 310));
  router.setWindows({window(1, 0, Rect{0, 0, 390, 844})});
  std::optional<Touch> next = send(TouchPhase::kMoved, 31, 311);
  ASSERT_TRUE(next);
  EXPECT_EQ(next->window_id, 2);
  EXPECT_EQ(next->phase, TouchPhase::kCancelled);
  EXPECT_FALSE(send(TouchPhase::kEnded, 31, 311));
}

TEST(TheScreenJson, CarriesTextAndGeometryButNoImagePaths) {
  WindowTree w = window(7, 25, Rect{1, 2, 3, 4});
  w.background = Color{0, 0, 1, 1};
  Node label;
  label.id = 1;
  label.text = {TextRun{"Allow \"x\" <b>", "Inter", 700, 17, Color{0, 0, 0, 1}}};
  label.image_path = "/var/mobile/secret.png";
  label.text_insets = Insets{7, 7, 7, 7};
  w.nodes = {label};
  std::string json = encodeScreenJson({w}, ScreenSize{390, 844});
  EXPECT_NE(json.find(R"("text":"Allow \"x\" <b>")"), std::string::npos) << json;
  EXPECT_NE(json.find(R"("frame":[1.0,2.0,3.0,4.0])"), std::string::npos) << json;
  EXPECT_NE(json.find(R"("background":[0.0,0.0,1.0,1.0])"), std::string::npos) << json;
  EXPECT_NE(json.find(R"("textInsets":[7.0,7.0,7.0,7.0])"), std::string::npos) << json;
  EXPECT_EQ(json.find("secret"), std::string::npos) << json;
  EXPECT_NE(json.find(R"("image":"img/7/1")"), std::string::npos) << json;
  // Bad UTF-8 from a process is replaced, never a failure.
  label.text[0].text = "\xff\xfe";
  w.nodes = {label};
  EXPECT_NE(encodeScreenJson({w}, ScreenSize{}).find("\xef\xbf\xbd"), std::string::npos);
}

TEST(TheScreenJson, GivesEachRunningAnimationItsAgeAndLeavesOutEndedOnes) {
  WindowTree w = window(7, 0, Rect{0, 0, 100, 100});
  Node card;
  card.id = 1;
  card.transform.m[11] = -0.002;
  card.animations = {
      Animation{1, AnimatedProperty::kAlpha, {0}, AnimationCurve::kSpring, 0.5, 2, 1, 0.5, 100},
      Animation{2, AnimatedProperty::kFrame, {0, 0, 1, 1}, AnimationCurve::kLinear, 1, 0, 1, 0, 98},
  };
  w.nodes = {card};
  nlohmann::json screen =
      nlohmann::json::parse(encodeScreenJson({w}, ScreenSize{100, 100}, 100.25));
  const nlohmann::json& node = screen["windows"][0]["nodes"][0];
  ASSERT_EQ(node["animations"].size(), 1u) << node.dump();
  const nlohmann::json& a = node["animations"][0];
  EXPECT_EQ(a["id"], 1);
  EXPECT_EQ(a["property"], "alpha");
  EXPECT_EQ(a["curve"], "spring");
  EXPECT_DOUBLE_EQ(a["elapsed"].get<double>(), 0.25);
  EXPECT_DOUBLE_EQ(a["damping"].get<double>(), 0.5);
  EXPECT_DOUBLE_EQ(node["transform"][11].get<double>(), -0.002);
  EXPECT_EQ(node["verticalAlignment"], "top");
  // When it was made, on the wall clock the page shares: a page that gets
  // it late ages the animations by the wait.
  const auto wall = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::system_clock::now().time_since_epoch())
                        .count();
  EXPECT_NEAR(screen["sentAt"].get<double>(), static_cast<double>(wall), 60000);
}

}  // namespace
}  // namespace sentrel::display
