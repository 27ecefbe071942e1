// Preferences: the device's Settings app. Opened from the home screen it
// lists the installed settings bundles; opened with a "prefs:root=..." URL
// as its argument (what SpringBoard does for a "prefs:" URL) it opens that
// bundle at the page the URL names.
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include "device/preferences/settings_app.h"
#include "platform/foundation/application.h"
#include "platform/foundation/signatures.h"
#include "platform/log/system_log.h"
#include "platform/runloop/run_loop.h"
#include "platform/runtime/runtime.h"
#include "platform/uikit/display_link.h"
#include "platform/uikit/navigation_controller.h"
#include "platform/uikit/screen.h"
#include "platform/uikit/window.h"

SENTREL_PROGRAM_REGISTERS_CLASSES();

namespace {

using namespace sentrel;

constexpr const char* kProcessName = "Preferences";
std::optional<std::string> launchURL;  // set before the main queue runs

void showSettings() {
  uikit::DisplayLink::startForProcess(kProcessName);
  static auto* window = new std::shared_ptr<uikit::UIWindow>(
      std::make_shared<uikit::UIWindow>(uikit::UIScreen::mainScreen().bounds()));
  auto root = std::make_shared<settings_app::SettingsRootController>();
  auto navigation = uikit::UINavigationController::initWithRootViewController(root);
  (*window)->setWindowLevel(uikit::UIWindowLevelNormal);
  (*window)->setRootViewController(navigation);
  (*window)->makeKeyAndVisible();
  if (launchURL) {
    std::optional<settings_app::PrefsLocation> url = settings_app::parsePrefsURL(*launchURL);
    if (url) {
      root->openURL(*url);
    } else {
      log::line(std::string("Preferences: not a settings URL: ") + *launchURL,
                log::Level::kWarning);
    }
  }
}

void applicationDidFinishLaunching(runtime::id, runtime::SEL, runtime::id) {
  log::line(std::string(kProcessName) + " finished launching");
  runloop::asyncMain(&showSettings);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1) launchURL = argv[1];
  Result<runtime::Class> cls = foundation::registerApplicationClass("PreferencesApplication");
  if (!cls.ok()) {
    std::fprintf(stderr, "Preferences: %s\n", cls.reason().c_str());
    return 1;
  }
  runtime::class_addMethod(*cls, runtime::sel_registerName("applicationDidFinishLaunching:"),
                           static_cast<runtime::MethodFn<foundation::sig::DidFinishLaunching>>(
                               &applicationDidFinishLaunching));
  return foundation::UIApplicationMain(argc, argv, "PreferencesApplication");
}
