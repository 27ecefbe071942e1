// Opening the Settings app at one of our pages.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <sstream>

#include "platform/base/mutex.h"
#include "platform/env/environment.h"
#include "settings_fixture.h"
#include "tweak/SNTFirewall.h"

namespace sentrel::testing {
namespace {

using plist::Value;
using std::chrono::milliseconds;

class RecordingOpener final : public URLOpener {
 public:
  void openURL(const std::optional<URL>& url) override {
    MutexLock guard(mutex_);
    opened_.push_back(url ? url->absoluteString() : "(nil)");
  }
  std::vector<std::string> opened() const {
    MutexLock guard(mutex_);
    return opened_;
  }

 private:
  mutable Mutex mutex_;
  std::vector<std::string> opened_ GUARDED_BY(mutex_);
  env::ScopedEnvironment installed_{{.url_opener = this}};  // last: the rest is ready first
};

// A device program that appends its arguments to "<program>.log".
void installRecordingProgram(const std::filesystem::path& program) {
  std::filesystem::create_directories(program.parent_path());
  std::ofstream(program) << "#!/bin/sh\necho \"$@\" >> \"$0.log\"\n";
  chmod(program.c_str(), 0755);
}

std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

using ASettingsPage = SettingsTest;

TEST_F(ASettingsPage, UrlOfTheRootPathHasOnlyTheRootPart) {
  EXPECT_EQ(PrefHandler::getPrefsUrlStringFromPathString("Sentrel"), "prefs:root=Sentrel");
}

TEST_F(ASettingsPage, UrlKeepsThreeComponentsAndDropsTheRest) {
  EXPECT_EQ(PrefHandler::getPrefsUrlStringFromPathString("Sentrel/UserApps/com.example.app"),
            "prefs:root=Sentrel&path=UserApps/com.example.app");
  EXPECT_EQ(PrefHandler::getPrefsUrlStringFromPathString("Sentrel/UserApps"),
            "prefs:root=Sentrel&path=UserApps");
  EXPECT_EQ(PrefHandler::getPrefsUrlStringFromPathString("Sentrel/UserApps/com.example.app/x"),
            "prefs:root=Sentrel&path=UserApps/com.example.app");
}

TEST_F(ASettingsPage, UrlIsPercentEncodedOutsideTheFragmentCharacters) {
  EXPECT_EQ(PrefHandler::getPrefsUrlStringFromPathString("Sentrel/UserApps/a b%#\xC3\xA9"),
            "prefs:root=Sentrel&path=UserApps/a%20b%25%23%C3%A9");
  EXPECT_EQ(PrefHandler::getPrefsUrlStringFromPathString(""), "prefs:root=");
}

TEST_F(ASettingsPage, PathFollowsTheKindOfTheApp) {
  EXPECT_EQ(PrefHandler::settingsPathForApp(nullptr), "Sentrel");
  auto firewall = std::make_shared<SNTFirewall>();
  firewall->setBundleId("com.example.app");
  EXPECT_EQ(PrefHandler::settingsPathForApp(firewall.get()), "Sentrel/UserApps/com.example.app");
  firewall->setIsSystemApp(true);
  EXPECT_EQ(PrefHandler::settingsPathForApp(firewall.get()), "Sentrel/SystemApps/com.example.app");
  firewall->setIsHiddenApp(true);
  EXPECT_EQ(PrefHandler::settingsPathForApp(firewall.get()), "Sentrel/HiddenApps/com.example.app");
}

TEST_F(ASettingsPage, LaunchRequestIsPostedEvenInSpringBoard) {
  playSpringBoard();
  PrefHandler::launchTweakSettingsForApp(nullptr);
  ASSERT_EQ(posted().size(), 1u);
  EXPECT_EQ(posted()[0].name, "SNT_LAUNCH_TWEAK_SETTINGS");
  EXPECT_EQ(posted()[0].user_info, Value::dictOf({{"path", Value::string("Sentrel")}}));
  EXPECT_EQ(launchTweakSettingsPath(posted()[0].user_info), "Sentrel");
}

TEST_F(ASettingsPage, SpringBoardEndsTheSettingsAppThenOpensThePageHalfASecondLater) {
  playSpringBoard();
  const std::filesystem::path killall = paths::resolve("/usr/bin/killall");
  installRecordingProgram(killall);
  RecordingOpener opener;
  LogCapture log;
  const runloop::TimePoint start = clock_.now();

  PrefHandler::springBoardLaunchSettingsWithPath("Sentrel/SystemApps/com.apple.Maps");
  EXPECT_TRUE(log.contains("Should open prefs:root=Sentrel&path=SystemApps/com.apple.Maps"));

  ASSERT_TRUE(loop_.runUntil([&] { return readFile(killall.string() + ".log") == "Preferences\n"; },
                             std::chrono::seconds(30)));
  // Time moves only here, in steps; the page must not open before 500 ms.
  runloop::TimePoint opened_at{};
  ASSERT_TRUE(loop_.runUntil(
      [&] {
        if (!opener.opened().empty()) return true;
        clock_.advance(milliseconds(50));
        opened_at = clock_.now();
        return false;
      },
      std::chrono::seconds(30)));
  EXPECT_GE(opened_at - start, milliseconds(500));
  EXPECT_EQ(opener.opened(),
            std::vector<std::string>{"prefs:root=Sentrel&path=SystemApps/com.apple.Maps"});
}

}  // namespace
}  // namespace sentrel::testing
