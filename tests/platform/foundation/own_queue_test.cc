// UIApplicationMain in a program whose main queue a library runs on a thread
// of its own (the injected library's): the program's main thread must not
// run the same loop a second time.
#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "platform/env/environment.h"
#include "platform/foundation/application.h"
#include "platform/foundation/signatures.h"
#include "platform/runloop/run_loop.h"

namespace sentrel::foundation {
namespace {

std::atomic<std::thread::id> g_ranOn{};
std::atomic<int> g_tasks{0};

void finishLaunching(runtime::id, runtime::SEL, runtime::id) {
  // Many tasks: with two runners some would land on the main thread.
  for (int i = 0; i < 200; ++i) {
    runloop::asyncMain([last = i == 199] {
      if (g_ranOn.load() == std::thread::id() || g_ranOn.load() == std::this_thread::get_id()) {
        g_ranOn = std::this_thread::get_id();
      } else {
        g_ranOn = std::thread::id();  // two threads ran tasks
      }
      ++g_tasks;
      if (last) UIApplication::terminate(5);
    });
  }
}

TEST(UIApplicationMainWithALibraryOwnedMainQueue, LeavesTheLoopToThatThreadAndWaitsForTerminate) {
  g_ranOn = std::thread::id();
  g_tasks = 0;
  runloop::RunLoop loop;
  env::ScopedEnvironment installed{{.main_queue = &loop}};
  std::atomic<bool> stop{false};
  loop.markRunByDedicatedThread();
  std::thread library([&] {
    while (!stop) loop.run();
  });
  const std::thread::id libraryId = library.get_id();

  Result<runtime::Class> cls = registerApplicationClass("OwnQueueApplication");
  ASSERT_TRUE(cls.ok());
  runtime::class_addMethod(
      *cls, runtime::sel_registerName("applicationDidFinishLaunching:"),
      static_cast<runtime::MethodFn<sig::DidFinishLaunching>>(&finishLaunching));
  char arg0[] = "own-queue";
  char* argv[] = {arg0, nullptr};
  EXPECT_EQ(UIApplicationMain(1, argv, "OwnQueueApplication"), 5);
  EXPECT_EQ(g_tasks.load(), 200);
  EXPECT_EQ(g_ranOn.load(), libraryId);

  stop = true;
  loop.quit();
  library.join();
}

}  // namespace
}  // namespace sentrel::foundation
