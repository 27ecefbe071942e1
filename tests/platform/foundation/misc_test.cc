// Application start-up and the small value services.
#include <gtest/gtest.h>

#include "platform/env/environment.h"
#include "platform/foundation/application.h"
#include "platform/foundation/foundation.h"
#include "platform/foundation/signatures.h"
#include "platform/runloop/run_loop.h"

namespace sentrel::foundation {
namespace {

TEST(AUUID, IsARandomVersion4UuidInUpperCase) {
  const std::string uuid = UUID::UUIDString();
  ASSERT_EQ(uuid.size(), 36u);
  for (size_t i = 0; i < uuid.size(); ++i) {
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      EXPECT_EQ(uuid[i], '-');
    } else {
      EXPECT_TRUE((uuid[i] >= '0' && uuid[i] <= '9') || (uuid[i] >= 'A' && uuid[i] <= 'F')) << uuid;
    }
  }
  EXPECT_EQ(uuid[14], '4');
  EXPECT_NE(std::string("89AB").find(uuid[19]), std::string::npos);
  EXPECT_NE(UUID::UUIDString(), uuid);
}

TEST(TheSystemVersion, Is15AndComparesTheMajorNumberFirst) {
  EXPECT_EQ(systemVersion(), "15.0");
  EXPECT_TRUE(systemVersionAtLeast(15, 0));
  EXPECT_TRUE(systemVersionAtLeast(11, 0));
  EXPECT_TRUE(systemVersionAtLeast(14, 9));
  EXPECT_FALSE(systemVersionAtLeast(15, 1));
  EXPECT_FALSE(systemVersionAtLeast(16, 0));
}

class UIApplicationMainTest : public ::testing::Test {
 protected:
  runloop::RunLoop loop_;
  env::ScopedEnvironment installed_{{.main_queue = &loop_}};
};

// What the launched application saw. Main queue only.
struct Launch {
  runtime::Class cls = nullptr;
  bool got_itself = false;  // the argument is the receiver and the shared application
  std::vector<std::string> arguments;
};
Launch g_launch;

void finishLaunchingLater(runtime::id self, runtime::SEL, runtime::id application) {
  g_launch.cls = self->getClass();
  g_launch.got_itself =
      application == self && UIApplication::sharedApplication().get() == application;
  g_launch.arguments = static_cast<UIApplication*>(application)->arguments();
  // Ends once the loop runs. (From the loop's own thread: a quit() still
  // under way on another thread would race the test's loop going away.)
  runloop::asyncMain([] { UIApplication::terminate(7); });
}

TEST_F(UIApplicationMainTest, LaunchesThePrincipalClassAndRunsUntilTerminated) {
  Result<runtime::Class> cls = registerApplicationClass("MainTestApplication");
  ASSERT_TRUE(cls.ok());
  runtime::class_addMethod(
      *cls, runtime::sel_registerName("applicationDidFinishLaunching:"),
      static_cast<runtime::MethodFn<sig::DidFinishLaunching>>(&finishLaunchingLater));
  char arg0[] = "main-test";
  char arg1[] = "--flag";
  char* argv[] = {arg0, arg1, nullptr};

  EXPECT_EQ(UIApplicationMain(2, argv, "MainTestApplication"), 7);
  EXPECT_EQ(g_launch.cls, *cls);
  EXPECT_TRUE(g_launch.got_itself);
  EXPECT_EQ(g_launch.arguments, (std::vector<std::string>{"main-test", "--flag"}));
  EXPECT_EQ(UIApplication::sharedApplication(), nullptr);  // gone with the loop
  // The Foundation classes exist once the program has started.
  EXPECT_NE(runtime::objc_getClass("__NSCFURLSessionTask"), nullptr);
  EXPECT_NE(runtime::objc_getClass("WKWebView"), nullptr);
}

TEST_F(UIApplicationMainTest, RefusesAPrincipalClassThatIsNoApplication) {
  ASSERT_TRUE(runtime::registerClass("NotAnApplication").ok());
  EXPECT_EQ(UIApplicationMain(0, nullptr, "NotAnApplication"), 1);
  EXPECT_EQ(UIApplicationMain(0, nullptr, "NoSuchClassAnywhere"), 1);
}

}  // namespace
}  // namespace sentrel::foundation
