#include "device/tools/tool_commands.h"

#include <gtest/gtest.h>

namespace sentrel::tools {
namespace {

TEST(DeviceRootOfTool, ToolsStartedWithoutEnvironmentFindTheirDeviceFromTheirOwnPath) {
  EXPECT_EQ(deviceRootOfTool("/tmp/dev1/usr/bin/killall"), std::filesystem::path("/tmp/dev1"));
  EXPECT_EQ(deviceRootOfTool("/tmp/dev1/sbin/launchctl"), std::filesystem::path("/tmp/dev1"));
  EXPECT_EQ(deviceRootOfTool("/tmp/dev1/usr/bin/open"), std::filesystem::path("/tmp/dev1"));
  EXPECT_EQ(deviceRootOfTool("/tmp/dev1/bin/kill"), std::filesystem::path("/tmp/dev1"));
}

TEST(DeviceRootOfTool, PathsOutsideADeviceGiveNoRoot) {
  EXPECT_EQ(deviceRootOfTool("/usr/bin/killall"), std::nullopt);  // the host's own
  EXPECT_EQ(deviceRootOfTool("/build/device-tools/killall"), std::nullopt);
  EXPECT_EQ(deviceRootOfTool("relative/usr/bin/open"), std::nullopt);
  EXPECT_EQ(deviceRootOfTool("/tmp/dev1/usr/bin/openx"), std::nullopt);
}

TEST(DeviceRootOfTool, DotsInTheToolPathAreResolvedFirst) {
  EXPECT_EQ(deviceRootOfTool("/tmp/dev1/usr/./bin/../bin/open"),
            std::filesystem::path("/tmp/dev1"));
}

}  // namespace
}  // namespace sentrel::tools

namespace sentrel::tools {
namespace {

apps::AppRecord app(std::string id, std::string display, std::string executable) {
  apps::AppRecord record;
  record.identifier = std::move(id);
  record.display_name = std::move(display);
  if (!executable.empty()) record.executable_path = "/dev1/Applications/X.app/" + executable;
  return record;
}

class AppIdentifierForName : public ::testing::Test {
 protected:
  void SetUp() override {
    catalogue_.add(app("com.apple.Preferences", "Settings", "Preferences"));
    catalogue_.add(app("com.example.Notes", "Notes", "NotesDemo"));
    catalogue_.add(app("com.example.Mail", "Mail", "Mailer"));
    catalogue_.add(app("com.other.Mail", "Mail", "OtherMail"));
  }
  apps::InMemoryAppCatalogue catalogue_;
};

TEST_F(AppIdentifierForName, BundleIdsDisplayNamesAndProcessNamesAllFindTheApp) {
  EXPECT_EQ(*appIdentifierForName(catalogue_, "com.example.Notes"), "com.example.Notes");
  EXPECT_EQ(*appIdentifierForName(catalogue_, "Settings"), "com.apple.Preferences");
  EXPECT_EQ(*appIdentifierForName(catalogue_, "NotesDemo"), "com.example.Notes");
}

TEST_F(AppIdentifierForName, AmbiguousAndUnknownNamesFailSayingWhy) {
  Result<std::string> ambiguous = appIdentifierForName(catalogue_, "Mail");
  ASSERT_FALSE(ambiguous.ok());
  EXPECT_NE(ambiguous.reason().find("com.example.Mail, com.other.Mail"), std::string::npos);
  Result<std::string> unknown = appIdentifierForName(catalogue_, "Nope");
  ASSERT_FALSE(unknown.ok());
  EXPECT_NE(unknown.reason().find("no app named \"Nope\""), std::string::npos);
}

}  // namespace
}  // namespace sentrel::tools
