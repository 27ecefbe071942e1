#include "platform/display/screen_profile.h"

#include <fstream>

#include <gtest/gtest.h>

#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace sentrel::display {
namespace {

TEST(AScreenProfile, ParsesWidthHeightAndScale) {
  EXPECT_EQ(*parseScreenProfile("375x667@2"), (ScreenProfile{375, 667, 2}));
  EXPECT_EQ(*parseScreenProfile("390x844@3\n"), (ScreenProfile{}));
  EXPECT_EQ(formatScreenProfile(ScreenProfile{375, 667, 2}), "375x667@2");
}

TEST(AScreenProfile, RefusesMalformedOrOutOfRangeTextWithOneClearReason) {
  for (const char* bad : {"", "375", "375x", "375x667", "375x667@", "375x667@2x", "-375x667@2",
                          "375 x667@2", "375x667@0", "375x667@5", "99x667@2", "375x4097@2",
                          "99999999999x1@1", "375x667@2\n\n", "0x0@1"}) {
    Result<ScreenProfile> profile = parseScreenProfile(bad);
    ASSERT_FALSE(profile) << bad;
    EXPECT_NE(profile.reason().find("expected WIDTHxHEIGHT@SCALE"), std::string::npos);
    EXPECT_EQ(profile.reason().find('\n'), std::string::npos) << bad;
  }
}

TEST(AScreenProfile, IsReadFromTheDeviceWithTheDefaultWhenMissingOrBroken) {
  testing::TempDir root;
  EXPECT_EQ(readScreenProfile(root.path()), ScreenProfile{});
  const std::filesystem::path path = screenProfilePath(root.path());
  EXPECT_EQ(path, root.path() / "var/run/sentrel/screen.profile");
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path) << "320x568@2\n";
  EXPECT_EQ(readScreenProfile(root.path()), (ScreenProfile{320, 568, 2}));
  testing::LogCapture log;
  std::ofstream(path) << "tall and thin";
  EXPECT_EQ(readScreenProfile(root.path()), ScreenProfile{});
  EXPECT_TRUE(log.contains("bad screen profile"));
}

}  // namespace
}  // namespace sentrel::display
