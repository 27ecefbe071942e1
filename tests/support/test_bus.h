// A private device bus for one test: starts dbus-daemon for a device root
// (its own temporary one unless given) and stops it when destroyed.
//
//   sentrel::testing::TestBus bus;
//   SENTREL_ASSERT_BUS_STARTED(bus);
//   auto center = notify::makeBusCenter(bus.address(), loop);
//
// When dbus-daemon cannot start (for instance it is not installed) the bus
// is not ok() and SENTREL_ASSERT_BUS_STARTED fails the test with the reason:
// a missing bus must never pass as a skipped, green run.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <memory>
#include <string>

#include "platform/base/status.h"
#include "support/temp_dir.h"

namespace sentrel::testing {

class TestBus {
 public:
  TestBus();  // for a fresh temporary device root
  explicit TestBus(const std::filesystem::path& root);
  ~TestBus();
  TestBus(const TestBus&) = delete;
  TestBus& operator=(const TestBus&) = delete;

  bool ok() const { return pid_ > 0; }
  const std::string& error() const { return error_; }  // why it did not start

  const std::filesystem::path& root() const { return root_; }
  const std::string& address() const { return address_; }  // "unix:path=..."
  pid_t pid() const { return pid_; }

  // Stops the daemon now (the destructor then does nothing); tests of what
  // happens when the bus goes away.
  void stop();
  // Starts it again after stop(); returns ok().
  bool restart();

 private:
  void start();

  std::unique_ptr<TempDir> owned_root_;  // when the bus made its own root
  std::filesystem::path root_;
  std::string address_;
  std::string error_;
  pid_t pid_ = -1;
};

}  // namespace sentrel::testing

#define SENTREL_ASSERT_BUS_STARTED(bus) \
  ASSERT_TRUE((bus).ok()) << "the test's device bus did not start: " << (bus).error()
