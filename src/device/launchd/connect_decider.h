// How launchd's supervisor decides the connections of the apps it launched
// (platform/supervise/connect_supervisor.h): by the same rule engine as the
// injected library, for the app the launch was for, whatever its processes'
// environment or names say.
//
// Each app has a firewall of its own here (SNTFirewall, not pooled) whose
// settings are the app's part of the settings file (loadSettingsForApp(),
// from the settings image when it matches the file). They are read again
// when the file changes (watched, and its identity compared): only
// SpringBoard writes that file, so nothing another process posts on the bus
// ever decides here.
//
// A decision goes as the injected library's does (decideSocket()): allowed,
// denied, or undecided, which is denied while a prompt request goes to
// SpringBoard ("SNT_NEW_SPRINGBOARD_ALERT", the unresumable socket form, in
// the app's name and with its pid), so the answer applies to the next
// connect. One request per app, host and port is sent at most once in
// kPromptRepeatInterval. Learning rules are written as the library writes
// them. The machine's configured name servers on port 53 are allowed
// without a rule, and said so once per app.
//
// decide() runs on the supervisor's threads; everything it sends goes
// through `main_loop` (launchd's), so a decision never waits for the bus.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/runloop/run_loop.h"
#include "platform/supervise/connect_supervisor.h"
#include "tweak/settings_image.h"

namespace sentrel {
class SNTFirewall;
}

namespace sentrel::device {

inline constexpr std::chrono::seconds kPromptRepeatInterval{2};

// Who a launch was for, as launchd knows it from the app's bundle.
struct LaunchedAppIdentity {
  std::string bundle_id;
  std::string name;  // the process name the injected library would use
  bool system_app = false;
  bool hidden_app = false;
};

class SupervisedAppDecider final : public supervise::ConnectDecider {
 public:
  explicit SupervisedAppDecider(runloop::RunLoop& main_loop);
  ~SupervisedAppDecider() override;

  // Records who `launch` is. Any thread; before its listener is supervised.
  void addLaunch(uint64_t launch, LaunchedAppIdentity app);

  supervise::Verdict decide(const supervise::ConnectAttempt& attempt) override;

 private:
  struct App;
  std::shared_ptr<App> appFor(uint64_t launch);
  void refreshIfSettingsChanged();
  bool isNameServer(const std::string& peer, uint16_t port, App& app);
  void askSpringBoard(const std::shared_ptr<App>& app, const std::string& peer, uint16_t port,
                      pid_t tid);

  runloop::RunLoop& main_loop_;
  std::mutex mutex_;
  std::map<uint64_t, std::shared_ptr<App>> launches_;      // guarded by mutex_
  std::map<std::string, std::shared_ptr<App>> by_bundle_;  // guarded by mutex_
  std::optional<SettingsFileIdentity> settings_seen_;      // guarded by mutex_
  bool settings_read_ = false;                             // guarded by mutex_
  std::vector<std::string> name_servers_;                  // guarded by mutex_
  int64_t resolv_conf_modified_ = -1;                      // guarded by mutex_
  int settings_watch_ = -1;                                // inotify on the settings folder, or -1
};

}  // namespace sentrel::device
