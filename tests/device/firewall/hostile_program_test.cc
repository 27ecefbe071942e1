// Programs that make the connect hook's life hard, run as apps through the
// device's launcher: connects from signal handlers, descriptors closed and
// reused under the library, vfork() children.
#include <sys/socket.h>
#include <sys/wait.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "firewall_fixture.h"

namespace sentrel {
namespace {

using namespace sentrel::testing;
using AHostileProgram = FirewalledDevice;

// The main thread connects to a blocked host in a loop (so it is often
// inside the hook) and allocates (so it often holds malloc's lock) while a
// SIGALRM handler connects to the same host. The hook must neither deadlock
// in the handler nor wave the handler's connects through as re-entered calls.
TEST_F(AHostileProgram, ThatConnectsFromASignalHandlerNeitherHangsNorGetsThrough) {
  Listener blocked(AF_INET);
  ASSERT_TRUE(blocked.ok());
  startDevice(appRules("127.0.0.1", 2));
  Running running =
      openInBackground(kProbeId, {"signals", "127.0.0.1", std::to_string(blocked.port())});
  ASSERT_TRUE(waitForOutput(running, "through")) << "the program hung: " << slurp(running.out);
  EXPECT_EQ(finish(running), 0);
  int tries = 0;
  int through = -1;
  ASSERT_EQ(std::sscanf(slurp(running.out).c_str(), "handler %d through %d", &tries, &through), 2)
      << slurp(running.out);
  EXPECT_GT(tries, 0);
  EXPECT_EQ(through, 0) << "of " << tries << " handler connects";
}

// A daemon closes every descriptor from 3 up and opens pipes, getting the
// numbers the library had. Nothing of the library's may land in them, and
// the next prompt request still reaches SpringBoard.
TEST_F(AHostileProgram, ThatClosesTheLibrarysDescriptorsNeverReceivesTheLibrarysWrites) {
  startDevice(Value());
  Running running = openInBackground(kProbeId, {"closefds", "127.0.0.1", "40001"});
  ASSERT_TRUE(waitForOutput(running, "foreign bytes")) << slurp(running.out);
  EXPECT_EQ(finish(running), 0);
  EXPECT_EQ(slurp(running.out), "foreign bytes 0\n");
  ASSERT_TRUE(loop_.runUntil(
      [&] {
        for (const Value& alert : alerts_) {
          if (alert.get("port").asInteger() == 40002) return true;
        }
        return false;
      },
      std::chrono::seconds(20)))
      << alerts_.size() << " prompt requests";
}

// vfork() children share the parent's memory: what they connect to is
// decided, but they post nothing and leave the parent's bus connection
// alone, which must still carry the parent's own prompt request.
TEST_F(AHostileProgram, WhoseVforkChildrenConnectKeepsItsOwnConnectionToSpringBoard) {
  startDevice(Value());
  Outcome run = probe({"vfork", "127.0.0.1", "40003"});
  EXPECT_EQ(run.code, 0) << run.err;
  const std::string unreachable = std::to_string(ENETUNREACH);
  EXPECT_EQ(run.out,
            "children " + unreachable + " " + unreachable + " parent " + unreachable + "\n");
  ASSERT_TRUE(waitForAlerts(1));
  ASSERT_TRUE(waitForLog("launchd: com.example.probe ("));
  loop_.runUntilIdle();
  EXPECT_EQ(alerts_.size(), 1u);  // the parent's; none from the children
}

}  // namespace
}  // namespace sentrel
