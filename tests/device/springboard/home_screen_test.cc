// SpringBoard's home screen: which apps it shows, where, and what a tap does.
#include "device/springboard/home_screen.h"

#include <chrono>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "device/springboard/app_install_watch.h"
#include "platform/runloop/run_loop.h"
#include "platform/uikit/control.h"
#include "platform/uikit/screen.h"
#include "support/temp_dir.h"

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

// Apps installed and removed from another process while SpringBoard runs:
// the watch reports the change and the grid is rebuilt from the catalogue.
TEST(TheHomeScreensGrid, FollowsAppsInstalledAndRemovedWhileItRuns) {
  runloop::RunLoop loop;
  runloop::MainQueue::ScopedOverride mainQueue(loop);
  uikit::UIScreen::mainScreen().setProfile({400, 800, 2});
  testing::TempDir root;
  HomeScreen home({}, {});
  int changes = 0;
  auto watch = watchAppInstalls(root.path(), loop, [&] {
    home.setApps(apps::newDeviceCatalogue(root.path())->allApplications());
    ++changes;
  });
  ASSERT_TRUE(watch.ok()) << watch.reason();
  EXPECT_TRUE(home.icons().empty());
  auto identifiers = [&] {
    std::vector<std::string> out;
    for (const auto& icon : home.icons()) out.push_back(icon.identifier);
    return out;
  };

  for (const char* id : {"com.example.user", "com.example.system"}) {
    apps::InstallOptions options;
    options.identifier = id;
    options.display_name = id;
    options.executable = "/bin/true";
    options.type =
        std::string(id).ends_with("system") ? apps::AppType::kSystem : apps::AppType::kUser;
    ASSERT_TRUE(apps::installApp(root.path(), options).ok());
  }
  ASSERT_TRUE(loop.runUntil([&] { return identifiers().size() == 2; }, std::chrono::seconds(10)));
  EXPECT_EQ(identifiers(), (std::vector<std::string>{"com.example.system", "com.example.user"}));
  EXPECT_EQ(home.icons()[0].button->superview(), home.window().get());

  const int before = changes;
  ASSERT_TRUE(apps::removeApp(root.path(), "com.example.user").ok());
  ASSERT_TRUE(loop.runUntil([&] { return changes > before; }, std::chrono::seconds(10)));
  EXPECT_EQ(identifiers(), (std::vector<std::string>{"com.example.system"}));
  // The old icons left the window with the grid they belonged to.
  size_t buttons = 0;
  for (const auto& view : home.window()->subviews()) buttons += view != nullptr;
  EXPECT_EQ(buttons, 2u);  // the clock and one icon
}

}  // namespace
}  // namespace sentrel::springboard
