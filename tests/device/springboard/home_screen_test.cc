// SpringBoard's home screen: which apps it shows, where, and what a tap does.
#include "device/springboard/home_screen.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/runloop/run_loop.h"
#include "platform/uikit/control.h"
#include "platform/uikit/screen.h"

namespace sentrel::springboard {
namespace {

uikit::UITouch touch(uikit::CGPoint at, uikit::UITouchPhase phase) {
  uikit::UITouch t;
  t.locationInWindow = at;
  t.phase = phase;
  return t;
}

apps::AppRecord app(std::string id, std::string name, std::vector<std::string> tags = {}) {
  apps::AppRecord record;
  record.identifier = std::move(id);
  record.display_name = std::move(name);
  record.tags = std::move(tags);
  return record;
}

TEST(TheHomeScreensGrid, ShowsVisibleAppsByNameAndOpensTheOneTapped) {
  runloop::RunLoop loop;
  runloop::MainQueue::ScopedOverride mainQueue(loop);
  uikit::UIScreen::mainScreen().setProfile({400, 800, 2});
  std::vector<std::string> opened;
  HomeScreen home({app("com.example.zeta", "zeta"), app("com.example.hidden", "Hidden", {"hidden"}),
                   app("com.example.alpha", "Alpha"), app("com.example.beta", "Beta"),
                   app("com.example.beta2", "beta"), app("com.example.gamma", "Gamma"),
                   app("com.example.alpha", "Alpha again")},
                  [&](const std::string& id) { opened.push_back(id); });

  std::vector<std::string> order;
  for (const auto& icon : home.icons()) order.push_back(icon.identifier);
  EXPECT_EQ(order,
            (std::vector<std::string>{"com.example.alpha", "com.example.beta", "com.example.beta2",
                                      "com.example.gamma", "com.example.zeta"}));
  EXPECT_EQ(home.window()->frame(), uikit::CGRectMake(0, 0, 400, 800));
  EXPECT_EQ(home.icons()[0].name->text(), "Alpha");
  // Four to a row, the fifth starts the next one.
  EXPECT_EQ(home.icons()[3].button->frame().origin.x, 300);
  EXPECT_EQ(home.icons()[4].button->frame().origin.x, 0);
  EXPECT_EQ(home.icons()[4].button->frame().origin.y,
            home.icons()[0].button->frame().origin.y + HomeScreen::kCellHeight);
  EXPECT_GE(home.icons()[0].button->frame().origin.y, HomeScreen::kStatusBarHeight);

  home.show();
  EXPECT_EQ(home.timeLabel().text().size(), 5u);  // "HH:MM"
  // A tap on the middle of Gamma's icon.
  const uikit::CGRect gamma = home.icons()[3].button->frame();
  const uikit::CGPoint at{gamma.origin.x + gamma.size.width / 2, gamma.origin.y + 30};
  home.window()->sendTouch(touch(at, uikit::UITouchPhase::kBegan));
  home.window()->sendTouch(touch(at, uikit::UITouchPhase::kEnded));
  EXPECT_EQ(opened, (std::vector<std::string>{"com.example.gamma"}));
  // The status bar opens nothing.
  home.window()->sendTouch(touch({200, 20}, uikit::UITouchPhase::kBegan));
  home.window()->sendTouch(touch({200, 20}, uikit::UITouchPhase::kEnded));
  EXPECT_EQ(opened.size(), 1u);
}

}  // namespace
}  // namespace sentrel::springboard
