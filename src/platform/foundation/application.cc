#include "platform/foundation/application.h"

#include <atomic>
#include <condition_variable>
#include <exception>
#include <functional>
#include <mutex>
#include <vector>

#include "platform/base/mutex.h"
#include "platform/foundation/foundation.h"
#include "platform/foundation/signatures.h"
#include "platform/log/system_log.h"
#include "platform/runloop/run_loop.h"

namespace sentrel::foundation {
namespace {

constexpr const char* kApplicationClass = "UIApplication";

std::atomic<int> g_exit_status{0};

// terminate() for a program whose main queue another thread runs.
Mutex g_exit_mu;
std::condition_variable g_exit_cv;
bool g_exit_requested GUARDED_BY(g_exit_mu) = false;

Mutex g_app_mu;
std::shared_ptr<UIApplication> g_app GUARDED_BY(g_app_mu);

Mutex g_launch_observers_mu;
std::vector<std::function<void()>> g_launch_observers GUARDED_BY(g_launch_observers_mu);

void didFinishLaunching() {
  std::vector<std::function<void()>> observers;
  {
    MutexLock lock(g_launch_observers_mu);
    observers = g_launch_observers;
  }
  for (const std::function<void()>& observer : observers) {
    if (observer) observer();
  }
}

void setSharedApplication(std::shared_ptr<UIApplication> app) {
  MutexLock lock(g_app_mu);
  g_app = std::move(app);
}

}  // namespace

UIApplication::UIApplication(runtime::Class cls, std::vector<std::string> arguments)
    : Object(cls), arguments_(std::move(arguments)) {}

std::shared_ptr<UIApplication> UIApplication::sharedApplication() {
  MutexLock lock(g_app_mu);
  return g_app;
}

void UIApplication::terminate(int status) {
  g_exit_status.store(status);
  {
    MutexLock lock(g_exit_mu);
    g_exit_requested = true;
  }
  g_exit_cv.notify_all();
  runloop::MainQueue::get().quit();
}

void addDidFinishLaunchingObserver(std::function<void()> observer) {
  MutexLock lock(g_launch_observers_mu);
  g_launch_observers.push_back(std::move(observer));
}

Result<runtime::Class> registerApplicationClass(std::string_view name) {
  Result<runtime::Class> base = runtime::registerClass(kApplicationClass);
  if (!base.ok()) return base;
  if (name == kApplicationClass) return base;
  return runtime::registerClass(name, *base);
}

int UIApplicationMain(int argc, char** argv, std::string_view principalClassName) {
  registerFoundationClasses();
  Result<runtime::Class> base = runtime::registerClass(kApplicationClass);
  if (!base.ok()) log::line("UIApplicationMain: " + base.reason(), log::Level::kError);
  runtime::classesLoaded();

  const std::string_view name = principalClassName.empty() ? kApplicationClass : principalClassName;
  runtime::Class cls = runtime::objc_getClass(name);
  if (cls == nullptr || !base.ok() || !runtime::class_isKindOf(cls, *base)) {
    log::line("UIApplicationMain: the principal class " + std::string(name) +
                  " is not a registered subclass of UIApplication",
              log::Level::kError);
    return 1;
  }
  std::vector<std::string> arguments;
  for (int i = 0; i < argc && argv != nullptr && argv[i] != nullptr; ++i)
    arguments.push_back(argv[i]);
  auto app = std::make_shared<UIApplication>(cls, std::move(arguments));
  setSharedApplication(app);

  static const runtime::SEL did_finish =
      runtime::sel_registerName("applicationDidFinishLaunching:");
  int status = 1;
  try {
    if (runtime::respondsToSelector(cls, did_finish)) {
      runtime::msgSend<sig::DidFinishLaunching>(app.get(), did_finish, app.get());
    }
    didFinishLaunching();
    runloop::RunLoop& loop = runloop::MainQueue::get();
    if (loop.isRunningOnAnotherThread()) {
      // The injected library runs the main queue on a thread of its own. A
      // second runner would run its tasks, timers and fd callbacks at the
      // same time as the first (and the UI toolkit on two threads), so this
      // thread only waits for terminate().
      MutexLock lock(g_exit_mu);
      g_exit_cv.wait(lock.native(), [] {
        g_exit_mu.assertHeld();
        return g_exit_requested;
      });
    } else {
      loop.run();
    }
    {
      MutexLock lock(g_exit_mu);
      g_exit_requested = false;
    }
    status = g_exit_status.exchange(0);  // the next run starts afresh
  } catch (const std::exception& e) {
    log::line(
        std::string("UIApplicationMain: launching ") + std::string(name) + " threw: " + e.what(),
        log::Level::kError);
  }
  setSharedApplication(nullptr);
  return status;
}

}  // namespace sentrel::foundation
