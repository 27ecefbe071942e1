#include "support/test_bus.h"

#include "platform/notify/device_bus.h"

namespace sentrel::testing {

TestBus::TestBus() : owned_root_(std::make_unique<TempDir>()), root_(owned_root_->path()) {
  start();
}

TestBus::TestBus(const std::filesystem::path& root) : root_(root) {
  start();
}

TestBus::~TestBus() {
  stop();
}

void TestBus::start() {
  address_ = notify::busAddressForRoot(root_);
  Result<pid_t> started = notify::startDeviceBus(root_);
  if (started) {
    pid_ = *started;
    error_.clear();
  } else {
    pid_ = -1;
    error_ = started.reason();
  }
}

void TestBus::stop() {
  if (pid_ <= 0) return;
  (void)notify::stopDeviceBus(pid_, root_);
  pid_ = -1;
}

bool TestBus::restart() {
  stop();
  start();
  return ok();
}

}  // namespace sentrel::testing
