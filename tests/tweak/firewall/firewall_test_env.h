// One isolated device for a firewall test: its own temporary root, main
// queue, in-process notification center, process table (launchd and
// SpringBoard running), application workspace, main bundle identity and log
// capture. Everything is put back when the object goes away, the process
// firewall and the pool included.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/apps/application_workspace.h"
#include "platform/bundle/main_bundle.h"
#include "platform/env/environment.h"
#include "platform/notify/notification_center.h"
#include "platform/paths/device_paths.h"
#include "platform/plist/plist_codec.h"
#include "platform/plist/value.h"
#include "platform/proc/process_table.h"
#include "platform/runloop/run_loop.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"
#include "tweak/SNTFirewall.h"
#include "tweak/preftools.h"

namespace sentrel::testing {

inline constexpr const char* kAppId = "com.example.app";

// An IPv4 peer for a connect hook.
inline sockaddr_in ipv4Peer(const char* address, uint16_t port) {
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(port);
  inet_pton(AF_INET, address, &peer.sin_addr);
  return peer;
}

inline plist::Value rule(int64_t allowed) {
  return plist::Value::dictOf({{"allowed", plist::Value::integer(allowed)}});
}
inline plist::Value str(const char* text) {
  return plist::Value::string(text);
}
inline plist::Value yes() {
  return plist::Value::boolean(true);
}
inline plist::Value no() {
  return plist::Value::boolean(false);
}

// Every notification of one name that the center delivered.
class PostRecorder {
 public:
  PostRecorder(notify::NotificationCenter& center, std::string name) : center_(center) {
    id_ = center_.addObserver(std::move(name), [this](const std::string&, const plist::Value& v) {
      payloads_.push_back(v);
    });
  }
  ~PostRecorder() { center_.removeObserver(id_); }
  const std::vector<plist::Value>& payloads() const { return payloads_; }
  size_t count() const { return payloads_.size(); }

 private:
  notify::NotificationCenter& center_;
  notify::ObserverId id_ = 0;
  std::vector<plist::Value> payloads_;  // main queue only
};

class FirewallTestEnv {
 public:
  // An app of the device: bundle "Example.app" among the user apps.
  static bundle::MainBundle appIdentity(const char* id = kAppId) {
    return {std::string(id), "/var/containers/Bundle/Application/0000/Example.app",
            "/var/containers/Bundle/Application/0000/Example.app/Example", "Example"};
  }
  static bundle::MainBundle springBoardIdentity() {
    return {std::string(kSpringBoardBundleIdentifier),
            "/System/Library/CoreServices/SpringBoard.app",
            "/System/Library/CoreServices/SpringBoard.app/SpringBoard", "SpringBoard"};
  }

  // With a `clock`, the device's main queue runs on it (timers fire when the
  // test advances it).
  explicit FirewallTestEnv(bundle::MainBundle identity = appIdentity(),
                           runloop::Clock* clock = nullptr)
      : loop_(clock != nullptr ? *clock : runloop::systemClock()),
        center_(notify::makeInProcessCenter(loop_)) {
    processes_.add(1, 0, "launchd");
    processes_.add(50, 1, "SpringBoard");
    env::Environment environment;
    environment.device_root = dir_.path();
    environment.main_queue = &loop_;
    environment.notification_center = center_.get();
    environment.process_table = &processes_;
    environment.app_workspace = &workspace_;
    installed_.emplace(std::move(environment));
    setIdentity(std::move(identity));
  }

  ~FirewallTestEnv() {
    SNTFirewall::resetProcessFirewallForTesting();
    SNTFirewall::pool().removeAllObjects();
    loop_.runUntilIdle();
    identity_.reset();
  }

  void setIdentity(bundle::MainBundle identity) {
    identity_.reset();
    env::Environment as;
    as.main_bundle = std::move(identity);
    identity_.emplace(std::move(as));
  }

  // The settings file of this device.
  void writeSettings(const plist::Value& document) {
    const auto file = paths::resolve(kSettingsPath);
    std::filesystem::create_directories(file.parent_path());
    ASSERT_TRUE(plist::writeFileAtomically(file, document).ok());
  }
  plist::Value readSettings() const {
    auto read = plist::readDictionaryFile(paths::resolve(kSettingsPath));
    return read.ok() ? read.value() : plist::Value();
  }

  // A firewall for kAppId (an ordinary app) holding these documents.
  std::shared_ptr<SNTFirewall> appFirewall(const plist::Value& global, const plist::Value& app,
                                           const char* id = kAppId) {
    auto firewall = std::make_shared<SNTFirewall>();
    firewall->setBundleId(std::string(id));
    firewall->setName(std::string("Example"));
    firewall->setIsApp(true);
    firewall->setGlobalSettings(global);
    firewall->setAppSettings(app);
    return firewall;
  }

  void runUntilIdle() { loop_.runUntilIdle(); }

  notify::NotificationCenter& center() { return *center_; }
  proc::InMemoryProcessTable& processes() { return processes_; }
  InMemoryApplicationWorkspace& workspace() { return workspace_; }
  LogCapture& logs() { return logs_; }
  const std::filesystem::path& root() const { return dir_.path(); }

 private:
  TempDir dir_;
  runloop::RunLoop loop_;  // on the given clock
  std::unique_ptr<notify::NotificationCenter> center_;
  proc::InMemoryProcessTable processes_;
  InMemoryApplicationWorkspace workspace_;
  std::optional<env::ScopedEnvironment> installed_;  // the device above
  std::optional<env::ScopedEnvironment> identity_;   // the process's identity, inside it
  LogCapture logs_;
};

}  // namespace sentrel::testing
