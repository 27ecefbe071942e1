#include "device/launchd/connect_decider.h"

#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <initializer_list>
#include <utility>

#include "platform/foundation/foundation.h"
#include "platform/log/system_log.h"
#include "platform/netdb/netdb.h"
#include "platform/notify/notification_center.h"
#include "platform/paths/device_paths.h"
#include "tweak/CHooks.h"
#include "tweak/SNTFirewall.h"
#include "tweak/SNTMessagingCenter.h"
#include "tweak/preftools.h"

namespace sentrel::device {

using Clock = std::chrono::steady_clock;

struct SupervisedAppDecider::App {
  LaunchedAppIdentity identity;
  std::shared_ptr<SNTFirewall> firewall;
  std::mutex mutex;  // guards what follows
  std::map<std::pair<std::string, uint16_t>, Clock::time_point> asked;
  std::set<std::string> name_servers_said;
};

namespace {

// The app's part of the settings, as its own firewall would hold it.
void loadInto(SNTFirewall& firewall, const std::string& bundle_id) {
  plist::Value document = loadSettingsForApp(bundle_id);
  firewall.setAppSettings(getAppSettingsFromCache(document, bundle_id));
  firewall.setGlobalSettings(std::move(document));
}

// A decision's lines go to the log as they are; learning rules to launchd's
// main loop, which saves them through SpringBoard as the library does.
class SupervisorEffects final : public internal::DecisionEffects {
 public:
  SupervisorEffects(runloop::RunLoop& loop, std::shared_ptr<SNTFirewall> firewall)
      : loop_(loop), firewall_(std::move(firewall)) {}

  void say(std::initializer_list<std::string_view> parts) override {
    std::string text;
    for (std::string_view part : parts) text += part;
    log::line(text);
  }
  void learn(std::string_view host, std::optional<std::string_view> url, int64_t value,
             bool onlyIfUnset) override {
    loop_.post([firewall = firewall_, host = std::string(host),
                url = url ? std::optional<std::string>(*url) : std::nullopt, value,
                onlyIfUnset] { firewall->learnRule(host, url, value, onlyIfUnset); });
  }
  void guardedStepFailed(const internal::WrongKind& failure) override {
    char reason[512];
    log::line(std::string("Exception: NSInvalidArgumentException ") +
                  std::string(failure.write(reason, sizeof reason)),
              log::Level::kError);
    log::line("Intercept... prematurely blocking because prefs aren't loaded", log::Level::kError);
  }

 private:
  runloop::RunLoop& loop_;
  std::shared_ptr<SNTFirewall> firewall_;
};

// The process a thread belongs to; the thread itself when /proc says nothing.
pid_t processOf(pid_t tid) {
  const std::string path = "/proc/" + std::to_string(tid) + "/status";
  FILE* file = std::fopen(path.c_str(), "re");
  if (file == nullptr) return tid;
  char line[256];
  pid_t group = tid;
  while (std::fgets(line, sizeof line, file) != nullptr) {
    if (std::strncmp(line, "Tgid:", 5) == 0) {
      group = static_cast<pid_t>(std::atoi(line + 5));
      break;
    }
  }
  std::fclose(file);
  return group > 0 ? group : tid;
}

}  // namespace

SupervisedAppDecider::SupervisedAppDecider(runloop::RunLoop& main_loop) : main_loop_(main_loop) {
  // The settings folder is watched, so that a decision asks the kernel
  // whether the file changed (a read of the watch) instead of looking the
  // file up. Events are queued when SpringBoard renames the new file into
  // place, before its save is confirmed to anyone: the next decision sees
  // them. Without a watch every decision looks the file up.
  const std::filesystem::path folder = paths::resolve(kSettingsPath).parent_path();
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  settings_watch_ = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  if (settings_watch_ >= 0 &&
      inotify_add_watch(settings_watch_, folder.c_str(),
                        IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE | IN_CREATE |
                            IN_DELETE_SELF | IN_MOVE_SELF) < 0) {
    close(settings_watch_);
    settings_watch_ = -1;
  }
  if (settings_watch_ < 0) {
    log::line("supervisor: cannot watch " + folder.string() +
              "; every decision looks the settings file up");
  }
}

SupervisedAppDecider::~SupervisedAppDecider() {
  if (settings_watch_ >= 0) close(settings_watch_);
}

void SupervisedAppDecider::addLaunch(uint64_t launch, LaunchedAppIdentity identity) {
  std::lock_guard lock(mutex_);
  std::shared_ptr<App>& app = by_bundle_[identity.bundle_id];
  if (app == nullptr) {
    app = std::make_shared<App>();
    app->firewall = SNTFirewall::pooledFirewallForBundle(
        std::nullopt, identity.name, identity.system_app, identity.hidden_app,
        /*isDaemon=*/false, plist::Value(), plist::Value());
    app->firewall->setBundleId(identity.bundle_id);
    app->identity = std::move(identity);
    if (settings_read_) loadInto(*app->firewall, app->identity.bundle_id);
  }
  launches_[launch] = app;
}

std::shared_ptr<SupervisedAppDecider::App> SupervisedAppDecider::appFor(uint64_t launch) {
  std::lock_guard lock(mutex_);
  auto it = launches_.find(launch);
  return it != launches_.end() ? it->second : nullptr;
}

void SupervisedAppDecider::refreshIfSettingsChanged() {
  std::lock_guard lock(mutex_);
  if (settings_watch_ >= 0) {
    alignas(inotify_event) char events[4096];
    bool changed = false;
    while (read(settings_watch_, events, sizeof events) > 0) changed = true;
    if (settings_read_ && !changed) return;
  }
  const std::optional<SettingsFileIdentity> now =
      settingsFileIdentity(paths::resolve(kSettingsPath));
  if (settings_read_ && now == settings_seen_) return;
  settings_seen_ = now;
  settings_read_ = true;
  for (auto& [bundle_id, app] : by_bundle_) loadInto(*app->firewall, bundle_id);
}

bool SupervisedAppDecider::isNameServer(const std::string& peer, uint16_t port, App& app) {
  if (port != 53) return false;
  {
    std::lock_guard lock(mutex_);
    struct stat info {};
    const int64_t modified =
        stat("/etc/resolv.conf", &info) == 0
            ? int64_t{info.st_mtim.tv_sec} * 1'000'000'000 + info.st_mtim.tv_nsec
            : 0;
    if (modified != resolv_conf_modified_) {
      name_servers_ = netdb::configuredNameServers();
      resolv_conf_modified_ = modified;
    }
    bool listed = false;
    for (const std::string& server : name_servers_) listed = listed || server == peer;
    if (!listed) return false;
  }
  std::lock_guard lock(app.mutex);
  if (app.name_servers_said.insert(peer).second) {
    log::line("supervisor: " + app.identity.bundle_id + " may reach the name server " + peer +
              " (port 53)");
  }
  return true;
}

void SupervisedAppDecider::askSpringBoard(const std::shared_ptr<App>& app, const std::string& peer,
                                          uint16_t port, pid_t tid) {
  {
    std::lock_guard lock(app->mutex);
    const Clock::time_point now = Clock::now();
    auto [it, fresh] = app->asked.try_emplace({peer, port}, now);
    if (!fresh && now - it->second < kPromptRepeatInterval) return;
    it->second = now;
    if (app->asked.size() > 256) {
      std::erase_if(app->asked,
                    [&](const auto& entry) { return now - entry.second >= kPromptRepeatInterval; });
    }
  }
  AlertRequest request;
  request.alertId = foundation::UUID::UUIDString();
  request.bundleId = app->identity.bundle_id;
  request.pid = processOf(tid);
  request.appName = app->firewall->name();
  request.host = peer;
  request.port = port;
  request.customMessage = kUnresumableWarning;
  request.isSystemApp = app->firewall->isSystemApp();
  request.isHiddenApp = app->firewall->isHiddenApp();
  request.isDaemon = app->firewall->isDaemon();
  request.appSettings = app->firewall->appSettings();
  request.globalSettings = app->firewall->globalSettings();
  main_loop_.post([payload = request.toPayload()] {
    notify::distributedCenter().post(kNewSpringBoardAlertNotification, payload);
  });
}

supervise::Verdict SupervisedAppDecider::decide(const supervise::ConnectAttempt& attempt) {
  std::shared_ptr<App> app = appFor(attempt.launch);
  // A launch launchd did not record cannot be decided for anyone.
  if (app == nullptr) return supervise::Verdict::kDeny;
  const std::optional<std::string> peer =
      netdb::addressText(attempt.address, sizeof(sockaddr_storage));
  const uint16_t port = netdb::port(attempt.address, sizeof(sockaddr_storage)).value_or(0);
  if (!peer) return supervise::Verdict::kDeny;
  if (isNameServer(*peer, port, *app)) return supervise::Verdict::kAllow;
  refreshIfSettingsChanged();
  SupervisorEffects effects(main_loop_, app->firewall);
  switch (app->firewall->decideSocket(*peer, effects)) {
    case SNTFirewall::SocketVerdict::kPassThrough:
    case SNTFirewall::SocketVerdict::kAllow:
      return supervise::Verdict::kAllow;
    case SNTFirewall::SocketVerdict::kDeny:
      return supervise::Verdict::kDeny;
    case SNTFirewall::SocketVerdict::kAsk:
      askSpringBoard(app, *peer, port, attempt.pid);
      return supervise::Verdict::kDeny;
  }
  return supervise::Verdict::kDeny;
}

}  // namespace sentrel::device
