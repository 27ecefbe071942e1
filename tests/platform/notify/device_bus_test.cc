#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>

#include "platform/notify/bus_connection_linux.h"
#include "platform/notify/device_bus.h"
#include "support/temp_dir.h"
#include "support/test_bus.h"

namespace sentrel::notify {
namespace {

bool reachable(const std::string& address) {
  return internal::BusConnection::open(address, [](internal::ReceivedPost) {}).ok();
}

TEST(ADeviceBus, ListensOnTheSocketInsideTheDeviceRoot) {
  testing::TestBus bus;
  SENTREL_ASSERT_BUS_STARTED(bus);
  EXPECT_EQ(bus.address(), "unix:path=" + (bus.root() / "var/run/sentrel/bus").string());
  struct stat st {};
  ASSERT_EQ(stat(busSocketPath(bus.root()).c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0600u) << "only the device's user may reach the bus";
  ASSERT_EQ(stat((bus.root() / "var/run/sentrel").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_TRUE(reachable(bus.address()));
}

TEST(ADeviceBus, EscapesUnusualRootsInItsAddress) {
  testing::TempDir dir;
  std::filesystem::path root = dir.path() / "my device,=%";
  EXPECT_EQ(busAddressForRoot(root),
            "unix:path=" + dir.path().string() + "/my%20device%2c%3d%25/var/run/sentrel/bus");
  testing::TestBus bus(root);
  SENTREL_ASSERT_BUS_STARTED(bus);
  EXPECT_TRUE(reachable(bus.address()));
}

TEST(ADeviceBus, RefusesToStartASecondBusForTheSameDevice) {
  testing::TestBus bus;
  SENTREL_ASSERT_BUS_STARTED(bus);
  Result<pid_t> second = startDeviceBus(bus.root());
  ASSERT_FALSE(second.ok());
  EXPECT_NE(second.reason().find("already running"), std::string::npos) << second.reason();
  EXPECT_TRUE(reachable(bus.address()));  // the first one keeps its socket
}

TEST(ADeviceBus, StartsAgainAfterItsDaemonWasKilled) {
  // launchd's case: the daemon dies without cleaning up its socket.
  testing::TempDir root;
  Result<pid_t> first = startDeviceBus(root.path());
  ASSERT_TRUE(first.ok()) << first.reason();
  kill(*first, SIGKILL);
  int status = 0;
  ASSERT_EQ(waitpid(*first, &status, 0), *first);
  ASSERT_TRUE(std::filesystem::exists(busSocketPath(root.path())));

  Result<pid_t> second = startDeviceBus(root.path());
  ASSERT_TRUE(second.ok()) << second.reason();
  EXPECT_TRUE(reachable(busAddressForRoot(root.path())));
  EXPECT_TRUE(stopDeviceBus(*second, root.path()).ok());
  EXPECT_FALSE(std::filesystem::exists(busSocketPath(root.path())));
  EXPECT_FALSE(reachable(busAddressForRoot(root.path())));
}

TEST(ADeviceBus, RefusesARootTooLongForAUnixSocket) {
  testing::TempDir dir;
  Result<pid_t> started = startDeviceBus(dir.path() / std::string(120, 'r'));
  ASSERT_FALSE(started.ok());
  EXPECT_NE(started.reason().find("too long"), std::string::npos) << started.reason();
}

TEST(ADeviceBus, ReportsADaemonThatCannotStart) {
  testing::TempDir dir;
  // A file where the run folder should be: nothing can be created there.
  std::filesystem::create_directories(dir.path() / "var/run");
  std::ofstream(dir.path() / "var/run/sentrel") << "in the way";
  Result<pid_t> started = startDeviceBus(dir.path());
  ASSERT_FALSE(started.ok());
  EXPECT_NE(started.reason().find("var/run/sentrel"), std::string::npos) << started.reason();
}

}  // namespace
}  // namespace sentrel::notify
