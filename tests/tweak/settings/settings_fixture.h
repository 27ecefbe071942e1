// A device for one test: its own root, an in-process notification center
// whose posts the test reads back, a main queue on a fake clock, and the
// identity of the process the test plays (SpringBoard or an app).
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/bundle/main_bundle.h"
#include "platform/env/environment.h"
#include "platform/notify/notification_center.h"
#include "platform/paths/device_paths.h"
#include "platform/plist/plist_codec.h"
#include "platform/runloop/run_loop.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"
#include "tweak/SNTMessagingCenter.h"
#include "tweak/preftools.h"

namespace sentrel::testing {

struct Posted {
  std::string name;
  plist::Value user_info;
};

class SettingsTest : public ::testing::Test {
 protected:
  SettingsTest() : loop_(clock_), center_(notify::makeInProcessCenter(loop_)) {
    env::Environment environment;
    environment.device_root = root_.path();
    environment.main_queue = &loop_;
    environment.notification_center = center_.get();
    installed_.emplace(std::move(environment));
    for (const char* name :
         {kNewSettingsNotification, kSaveSettingsNotification, kSaveSettingsAndNotifyNotification,
          kLaunchTweakSettingsNotification}) {
      center_->addObserver(name, [this](const std::string& n, const plist::Value& info) {
        posted_.push_back({n, info});
      });
    }
  }
  ~SettingsTest() override { identity_.reset(); }

  void playProcess(std::optional<std::string> bundle_identifier) {
    identity_.reset();
    bundle::MainBundle identity;
    identity.bundle_identifier = std::move(bundle_identifier);
    identity.bundle_path = "/Applications/Test.app";
    identity.executable_path = "/Applications/Test.app/Test";
    identity.process_name = "Test";
    env::Environment as;
    as.main_bundle = std::move(identity);
    identity_.emplace(std::move(as));
  }
  void playSpringBoard() { playProcess(kSpringBoardBundleIdentifier); }
  void playApp() { playProcess("com.example.app"); }

  std::filesystem::path settingsFile() const { return paths::resolve(kSettingsPath); }

  void writeSettingsFile(const plist::Value& document) {
    std::filesystem::create_directories(settingsFile().parent_path());
    ASSERT_TRUE(plist::writeFileAtomically(settingsFile(), document).ok());
  }
  void writeSettingsBytes(const std::string& bytes) {
    std::filesystem::create_directories(settingsFile().parent_path());
    FILE* f = fopen(settingsFile().c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
  }
  // The document in the file, or null when there is no readable one.
  plist::Value fileDocument() const {
    Result<plist::Value> read = plist::readDictionaryFile(settingsFile());
    return read.ok() ? read.value() : plist::Value();
  }

  // Every notification posted so far, delivered.
  const std::vector<Posted>& posted() {
    loop_.runUntilIdle();
    return posted_;
  }

  TempDir root_;
  runloop::FakeClock clock_;
  runloop::RunLoop loop_;
  std::unique_ptr<notify::NotificationCenter> center_;
  std::optional<env::ScopedEnvironment> installed_;  // the device above
  std::optional<env::ScopedEnvironment> identity_;   // the process's identity, inside it
  std::vector<Posted> posted_;
};

}  // namespace sentrel::testing
