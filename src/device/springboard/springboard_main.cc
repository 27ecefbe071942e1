// SpringBoard: the device's home-screen process. It owns the settings file
// and shows prompts; both come from the tweak library, which launchd
// injects into it as into every app. On its own it is an application whose
// class, "SpringBoard", finishes launching, puts up the home screen on the
// main queue (shown by backboardd when one runs; without one it runs without
// a screen) and then waits for work.
#include <malloc.h>

#include <filesystem>
#include <memory>
#include <string>

#include "device/springboard/app_install_watch.h"
#include "device/springboard/home_screen.h"
#include "device/tools/open_request.h"
#include "device/tools/springboard_ready.h"
#include "platform/apps/installed_apps.h"
#include "platform/foundation/application.h"
#include "platform/foundation/foundation.h"
#include "platform/foundation/signatures.h"
#include "platform/log/system_log.h"
#include "platform/paths/device_paths.h"
#include "platform/runloop/run_loop.h"
#include "platform/runtime/runtime.h"
#include "platform/uikit/display_link.h"

SENTREL_PROGRAM_REGISTERS_CLASSES();

namespace {

using sentrel::runtime::id;
using sentrel::runtime::SEL;

// Asks launchd to open the app, as `open <bundle id>` does.
void openApp(const std::string& bundleId) {
  sentrel::Status opened = sentrel::tools::requestOpen(sentrel::paths::deviceRoot(), bundleId, {});
  if (!opened.ok())
    sentrel::log::line("SpringBoard: cannot open " + bundleId + ": " + opened.reason(),
                       sentrel::log::Level::kWarning);
}

// On the main queue, which the injected library may run on a thread of its
// own: the UI toolkit lives on that thread.
void showHomeScreen() {
  sentrel::uikit::DisplayLink::startForProcess("SpringBoard");
  const std::filesystem::path root = sentrel::paths::deviceRoot();
  auto catalogue = sentrel::apps::newDeviceCatalogue(root);
  static auto* home =
      new sentrel::springboard::HomeScreen(catalogue->allApplications(), &openApp);  // for good
  home->show();
  // Apps installed or removed from now on show up, or go, at once.
  auto watch = sentrel::springboard::watchAppInstalls(
      root, sentrel::runloop::MainQueue::get(),
      [root] { home->setApps(sentrel::apps::newDeviceCatalogue(root)->allApplications()); });
  if (!watch) {
    sentrel::log::line("SpringBoard: the home screen will not follow installs: " + watch.reason(),
                       sentrel::log::Level::kWarning);
    return;
  }
  static auto* kept = watch.value().release();  // for good, as the home screen
  (void)kept;
}

void applicationDidFinishLaunching(id, SEL, id) {
  sentrel::log::line("SpringBoard finished launching");
  sentrel::runloop::asyncMain(&showHomeScreen);
}

}  // namespace

int main(int argc, char** argv) {
  // Each save decodes, compares and frees documents of tens of thousands of
  // small nodes around megabyte buffers; with the allocator's fast bins each
  // free of a large buffer first merges every small chunk freed before it.
  mallopt(M_MXFAST, 0);
  namespace runtime = sentrel::runtime;
  sentrel::foundation::registerFoundationClasses();
  auto springBoard = sentrel::foundation::registerApplicationClass("SpringBoard");
  if (!springBoard) {
    sentrel::log::line("SpringBoard: cannot register its class: " + springBoard.reason());
    return 1;
  }
  runtime::class_addMethod(*springBoard,
                           runtime::sel_registerName("applicationDidFinishLaunching:"),
                           &applicationDidFinishLaunching);
  // The injected library registers SpringBoard's services in its hook of
  // applicationDidFinishLaunching:; once that returned, `device start` and
  // the rule commands may send them requests.
  sentrel::foundation::addDidFinishLaunchingObserver([] {
    if (sentrel::Status marked = sentrel::tools::markSpringBoardReady(sentrel::paths::deviceRoot());
        !marked.ok()) {
      sentrel::log::line("SpringBoard: cannot say it is ready: " + marked.reason(),
                         sentrel::log::Level::kWarning);
    }
  });
  return sentrel::foundation::UIApplicationMain(argc, argv, "SpringBoard");
}
