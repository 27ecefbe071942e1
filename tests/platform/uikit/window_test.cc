#include <gtest/gtest.h>

#include <memory>

#include "platform/uikit/screen.h"
#include "platform/uikit/window.h"

namespace sentrel::uikit {
namespace {

class WindowTest : public ::testing::Test {
 protected:
  void TearDown() override {
    for (const auto& w : UIApplication::sharedApplication().windows()) w->setHidden(true);
  }
  static std::shared_ptr<UIWindow> window(double level) {
    auto w = std::make_shared<UIWindow>();
    w->setWindowLevel(level);
    return w;
  }
};

TEST_F(WindowTest, WindowsAreOrderedByLevelThenByWhenShown) {
  auto& app = UIApplication::sharedApplication();
  auto alert = window(26);
  auto normal1 = window(0);
  auto normal2 = window(0);
  auto banner = window(25);
  EXPECT_TRUE(app.windows().empty());
  alert->setHidden(false);
  normal1->makeKeyAndVisible();
  banner->setHidden(false);
  normal2->setHidden(false);
  using List = std::vector<std::shared_ptr<UIWindow>>;
  EXPECT_EQ(app.windows(), (List{normal1, normal2, banner, alert}));
  EXPECT_EQ(app.keyWindow(), normal1.get());
  // Showing again after hiding brings it to the front of its level.
  normal1->setHidden(true);
  normal1->setHidden(false);
  EXPECT_EQ(app.windows(), (List{normal2, normal1, banner, alert}));
  banner->setWindowLevel(30);
  EXPECT_EQ(app.windows(), (List{normal2, normal1, alert, banner}));
}

TEST_F(WindowTest, KeyWindowPassesToTheFrontmostWhenHidden) {
  auto& app = UIApplication::sharedApplication();
  auto low = window(0);
  auto high = window(25);
  low->setHidden(false);
  high->makeKeyAndVisible();
  EXPECT_TRUE(high->isKeyWindow());
  high->setHidden(true);
  EXPECT_EQ(app.keyWindow(), low.get());
  low->setHidden(true);
  EXPECT_EQ(app.keyWindow(), nullptr);
  high->makeKeyWindow();  // hidden windows cannot be key
  EXPECT_EQ(app.keyWindow(), nullptr);
}

TEST_F(WindowTest, VisibleWindowsAreKeptAliveAndViewsFindTheirWindow) {
  UIView* child = nullptr;
  {
    auto w = window(0);
    auto v = std::make_shared<UIView>(CGRectMake(0, 0, 10, 10));
    w->addSubview(v);
    child = v.get();
    w->makeKeyAndVisible();
    EXPECT_EQ(v->window(), w.get());
    EXPECT_EQ(w->frame(), UIScreen::mainScreen().bounds());
  }
  ASSERT_EQ(UIApplication::sharedApplication().windows().size(), 1u);
  EXPECT_EQ(UIApplication::sharedApplication().windows()[0]->subviews()[0].get(), child);
  EXPECT_EQ(std::make_shared<UIView>()->window(), nullptr);
}

TEST(DeviceProfileTest, ParsesProfilesAndRefusesMalformedText) {
  auto p = DeviceProfile::parse(" 375x667@2\n");
  ASSERT_TRUE(p.ok()) << p.reason();
  EXPECT_EQ(p->width, 375);
  EXPECT_EQ(p->height, 667);
  EXPECT_EQ(p->scale, 2);
  EXPECT_EQ(p->description(), "375x667@2");
  EXPECT_TRUE(DeviceProfile::parse("414.5x896@2.5").ok());
  for (const char* bad :
       {"", "375x667", "375@2", "x667@2", "375x@2", "375x667@", "375x667@0", "375x667@9",
        "-375x667@2", "0x667@2", "375x667@2x", "1e3x667@2", "375x667@2@2", "375xx667@2",
        "99999x667@2", "nanx667@2", "375 x 667@2", "@2x375", "418x.0000000006@2.5"}) {
    auto r = DeviceProfile::parse(bad);
    EXPECT_FALSE(r.ok()) << bad;
    if (!r.ok()) {
      EXPECT_NE(r.reason().find("device profile"), std::string::npos);
      EXPECT_NE(r.reason().find("390x844@3"), std::string::npos);
    }
  }
}

TEST(DeviceProfileTest, TheMainScreenFollowsItsProfile) {
  UIScreen& screen = UIScreen::mainScreen();
  const DeviceProfile saved = screen.profile();
  EXPECT_EQ(DeviceProfile().description(), "390x844@3");
  screen.setProfile(DeviceProfile::parse("375x667@2").value());
  EXPECT_EQ(screen.bounds(), CGRectMake(0, 0, 375, 667));
  EXPECT_EQ(screen.scale(), 2);
  screen.setProfile(saved);
}

TEST(UIDeviceTest, SystemVersionIsThirteenOrLater) {
  UIDevice& device = UIDevice::currentDevice();
  EXPECT_EQ(device.systemVersion(), "13.0");
  EXPECT_TRUE(device.isSystemVersionAtLeast(13));
  EXPECT_FALSE(device.isSystemVersionAtLeast(13, 1));
  ASSERT_TRUE(device.setSystemVersion("14.2").ok());
  EXPECT_TRUE(device.isSystemVersionAtLeast(13, 5));
  EXPECT_TRUE(device.isSystemVersionAtLeast(14, 2));
  EXPECT_FALSE(device.isSystemVersionAtLeast(15));
  for (const char* bad : {"12.4", "", "14.", ".1", "14.2.1.1", "fourteen", "-14", "14.x"}) {
    EXPECT_FALSE(device.setSystemVersion(bad).ok()) << bad;
  }
  EXPECT_EQ(device.systemVersion(), "14.2");
  ASSERT_TRUE(device.setSystemVersion("13").ok());
  EXPECT_EQ(device.systemVersion(), "13.0");
}

}  // namespace
}  // namespace sentrel::uikit
