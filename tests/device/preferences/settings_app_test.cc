// The Settings app's bundle list and what it does with a bundle that is
// missing or does not load: a log line and an alert, and the app goes on.
#include "device/preferences/settings_app.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <memory>

#include "platform/env/environment.h"
#include "platform/paths/device_paths.h"
#include "platform/plist/plist_codec.h"
#include "platform/runloop/run_loop.h"
#include "platform/uikit/alert_controller.h"
#include "platform/uikit/navigation_controller.h"
#include "platform/uikit/window.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace sentrel::settings_app {
namespace {

using namespace std::chrono_literals;
using plist::Value;

class TheSettingsAppsList : public ::testing::Test {
 protected:
  TheSettingsAppsList() {
    env::Environment environment;
    environment.device_root = root_.path();
    installed_.emplace(std::move(environment));
  }
  void TearDown() override {
    for (const auto& w : uikit::UIApplication::sharedApplication().windows()) w->setHidden(true);
  }
  void addEntry(const std::string& file, const std::string& label, const std::string& bundle) {
    const auto folder = paths::resolve(kEntriesFolder);
    std::filesystem::create_directories(folder);
    ASSERT_TRUE(plist::writeFileAtomically(
                    folder / file,
                    Value::dictOf({{"entry", Value::dictOf({{"label", Value::string(label)},
                                                            {"bundle", Value::string(bundle)}})}}))
                    .ok());
  }
  // A bundle whose library is not a library.
  void addBrokenBundle(const std::string& bundle) {
    const auto folder = paths::resolve(std::string(kBundlesFolder) + "/" + bundle + ".bundle");
    std::filesystem::create_directories(folder);
    ASSERT_TRUE(plist::writeFileAtomically(
                    folder / "Info.plist",
                    Value::dictOf({{"CFBundleExecutable", Value::string(bundle)},
                                   {"NSPrincipalClass", Value::string("BrokenRootController")}}))
                    .ok());
    std::ofstream(folder / bundle) << "not a shared library";
  }
  void settle() {
    for (int i = 0; i < 10; ++i) {
      clock_.advance(100ms);
      loop_.runUntilIdle();
    }
  }

  testing::TempDir root_;
  std::optional<env::ScopedEnvironment> installed_;
  runloop::FakeClock clock_;
  runloop::RunLoop loop_{clock_};
  runloop::MainQueue::ScopedOverride main_{loop_};
};

TEST_F(TheSettingsAppsList, ListsEntriesByLabelAndSkipsMalformedOnes) {
  addEntry("b.plist", "zeta", "zeta");
  addEntry("a.plist", "Alpha", "alpha");
  addEntry("c.plist", "", "nolabel");
  addEntry("d.plist", "Escape", "../../etc");
  std::ofstream(paths::resolve(kEntriesFolder) / "e.plist") << "<plist><dict>";
  const std::vector<BundleEntry> entries = installedEntries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].label, "Alpha");
  EXPECT_EQ(entries[1].label, "zeta");
}

TEST_F(TheSettingsAppsList, AMissingOrBrokenBundleIsLoggedAndShownAndTheAppGoesOn) {
  addEntry("gone.plist", "Gone", "gone");
  addEntry("broken.plist", "Broken", "broken");
  addBrokenBundle("broken");
  testing::LogCapture log;
  auto root = std::make_shared<SettingsRootController>();
  auto navigation = uikit::UINavigationController::initWithRootViewController(root);
  auto window = std::make_shared<uikit::UIWindow>(uikit::CGRectMake(0, 0, 390, 844));
  window->setRootViewController(navigation);
  window->makeKeyAndVisible();
  settle();
  EXPECT_EQ(root->table()->numberOfRowsInSection(0), 2);

  EXPECT_FALSE(root->openEntry("Gone", false));
  EXPECT_TRUE(log.contains("cannot open the settings bundle gone")) << "no log line";
  auto* alert = dynamic_cast<uikit::UIAlertController*>(root->presentedViewController());
  ASSERT_NE(alert, nullptr);
  EXPECT_EQ(alert->title(), "Could not load Gone");
  settle();
  ASSERT_TRUE(alert->tapAction(alert->actions()[0].get()));
  settle();

  EXPECT_FALSE(root->openEntry("Broken", false));
  EXPECT_TRUE(log.contains("cannot open the settings bundle broken")) << "no log line";
  EXPECT_EQ(navigation->viewControllers().size(), 1u) << "nothing was pushed";
  alert = dynamic_cast<uikit::UIAlertController*>(root->presentedViewController());
  ASSERT_NE(alert, nullptr);
  settle();
  ASSERT_TRUE(alert->tapAction(alert->actions()[0].get()));
  settle();
  EXPECT_FALSE(root->openURL(*parsePrefsURL("prefs:root=Broken&path=UserApps")));
  alert = dynamic_cast<uikit::UIAlertController*>(root->presentedViewController());
  ASSERT_NE(alert, nullptr);
  settle();
  ASSERT_TRUE(alert->tapAction(alert->actions()[0].get()));
  settle();
  window->setRootViewController(nullptr);
}

}  // namespace
}  // namespace sentrel::settings_app
