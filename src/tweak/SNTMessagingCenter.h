// The catalogue of distributed notifications between Sentrel's processes,
// their payload keys, and SNTMessagingCenter, which keeps the process
// firewall's settings current.
//
// Every payload is a plain property-list dictionary; there are no replies and
// no acknowledgements. Two names are per app: a fixed prefix followed
// directly by a bundle identifier.
//
// Payload readers never throw: a key that is missing or holds a value of the
// wrong kind reads as absent.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/notify/notification_center.h"
#include "platform/plist/value.h"

namespace sentrel {

// Names.
// SpringBoard -> everyone: the whole document, after SpringBoard wrote it.
inline constexpr const char* kNewSettingsNotification = "SNT_NEW_SETTINGS";
// Saver of one app's entry -> that app's processes: the app entry. + bundle id.
inline constexpr const char* kNewAppSettingsNotificationPrefix = "SNT_NEW_APP_SETTINGS_";
// Non-SpringBoard saver -> SpringBoard: the whole document to write.
inline constexpr const char* kSaveSettingsNotification = "SNT_SB_SAVE_SETTINGS";
// The same, and SpringBoard then posts kNewSettingsNotification.
inline constexpr const char* kSaveSettingsAndNotifyNotification = "SNT_SB_SAVE_SETTINGS_AND_NOTIFY";
// Anyone -> SpringBoard: {"path"}: open the Settings app at that page.
inline constexpr const char* kLaunchTweakSettingsNotification = "SNT_LAUNCH_TWEAK_SETTINGS";
// App -> SpringBoard: a prompt request (AlertRequest).
inline constexpr const char* kNewSpringBoardAlertNotification = "SNT_NEW_SPRINGBOARD_ALERT";
// SpringBoard -> the app's processes: {"alert_id", "allow"}. + bundle id.
inline constexpr const char* kAlertCallbackNotificationPrefix = "SNT_ALERT_CALLBACK_";
// No sender; SpringBoard shows a test prompt.
inline constexpr const char* kSpringBoardAlertRemovedNotification =
    "_snt_springboard_alert_removed";

// "SNT_NEW_APP_SETTINGS_<bundleId>"; an absent id is written "(null)".
std::string newAppSettingsNotificationName(std::optional<std::string_view> bundleId);
// "SNT_ALERT_CALLBACK_<bundleId>"; an absent id is written "(null)".
std::string alertCallbackNotificationName(std::optional<std::string_view> bundleId);

// Payload keys.
namespace payload {
inline constexpr const char* kPath = "path";
inline constexpr const char* kAlertId = "alert_id";
inline constexpr const char* kAllow = "allow";
inline constexpr const char* kBundleId = "bundle_id";
inline constexpr const char* kPid = "pid";
inline constexpr const char* kAppName = "app_name";
inline constexpr const char* kHost = "host";
inline constexpr const char* kPort = "port";
inline constexpr const char* kUrl = "url";
inline constexpr const char* kCustomMessage = "custom_message";
inline constexpr const char* kIsSystemApp = "is_system_app";
inline constexpr const char* kIsHiddenApp = "is_hidden_app";
inline constexpr const char* kIsDaemon = "is_daemon";
inline constexpr const char* kAppSettings = "app_settings";
inline constexpr const char* kGlobalSettings = "global_settings";
}  // namespace payload

// The payload of "SNT_NEW_SPRINGBOARD_ALERT". A key is sent only when its
// field holds a value; "pid" is always sent.
struct AlertRequest {
  std::optional<std::string> alertId;
  std::optional<std::string> bundleId;
  int64_t pid = 0;
  std::optional<std::string> appName;
  std::optional<std::string> host;
  std::optional<int64_t> port;
  std::optional<std::string> url;
  std::optional<std::string> customMessage;
  std::optional<bool> isSystemApp;  // the three flags: sent when the sender has a firewall
  std::optional<bool> isHiddenApp;
  std::optional<bool> isDaemon;
  plist::Value appSettings;     // a dictionary, or null (not sent)
  plist::Value globalSettings;  // a dictionary, or null (not sent)

  plist::Value toPayload() const;
  // Flags are read as boolean numbers; "pid" defaults to 0; a settings value
  // that is not a dictionary reads as absent.
  static AlertRequest fromPayload(const plist::Value& payload);
};

// The payload of "SNT_ALERT_CALLBACK_<bundle id>".
struct AlertCallback {
  std::optional<std::string> alertId;  // echoes the request's "alert_id"
  bool allow = false;                  // absent reads as false

  plist::Value toPayload() const;
  static AlertCallback fromPayload(const plist::Value& payload);
};

// The payload of "SNT_LAUNCH_TWEAK_SETTINGS".
plist::Value makeLaunchTweakSettingsPayload(std::string_view path);
std::optional<std::string> launchTweakSettingsPath(const plist::Value& payload);

// Whether the payload of "SNT_NEW_SETTINGS" or "SNT_NEW_APP_SETTINGS_<id>"
// may replace settings: only a dictionary may. A null (an empty bus
// payload) or another kind would leave the receiver without its rules; it is
// logged ("<name>: ignoring a <kind> payload; settings kept") and refused.
bool isSettingsPayload(const std::string& name, const plist::Value& userInfo);

// Where the settings observers of this process (SNTMessagingCenter's and the
// process firewall's) are registered. Adding an observer to the device bus
// waits for the bus (a connection and a match rule, each a round trip), so
// the injected library defers them to its own main-queue thread, after
// kDeferredObserversDelay, and its constructor never waits for another
// process; a program that is done sooner (most programs a script starts)
// never connects at all. Everyone else (the Settings app, tests) registers
// them at once. Once a deferred firewall's observers
// are in, it reads its settings again, so a change saved meanwhile is not
// missed. Deferred observers also take "SNT_NEW_SETTINGS" as a signal only:
// the process reads its own part of the new settings
// (SNTFirewall::refreshOwnSettings()) rather than decode the whole document
// in every process. Set before the class-load steps run; any thread.
void setSettingsObserversDeferred(bool deferred);
inline constexpr std::chrono::milliseconds kDeferredObserversDelay{50};
bool settingsObserversDeferred();

// Keeps the process firewall (SNTFirewall::current()) up to date: on
// "SNT_NEW_SETTINGS" it logs "Received NSDistributedNotificationCenter message
// (SNT_NEW_SETTINGS)" and "received new global settings!" and sets the
// firewall's global settings to the payload; on "SNT_NEW_APP_SETTINGS_<own
// bundle id>" it logs the same way ("received new app settings!") and sets
// the app settings. Payloads other than dictionaries are refused
// (isSettingsPayload()). When there is no process firewall (unregistered),
// the handlers only log.
//
// Handlers run on the main queue of the center they were registered with.
class SNTMessagingCenter {
 public:
  // The process's instance, created (and its observers registered on
  // notify::distributedCenter()) on first use; thread-safe; lives as long as
  // the process.
  static SNTMessagingCenter& shared();
  // Calls shared(); run when the library is loaded.
  static void load();

  // init: registers the two observers on `center` for the main bundle's
  // identifier and logs "Registered for messages named: <name>" for each.
  // Instances other than shared() (tests) remove their observers when
  // destroyed; `center` must outlive the instance.
  explicit SNTMessagingCenter(notify::NotificationCenter& center);
  ~SNTMessagingCenter();
  SNTMessagingCenter(const SNTMessagingCenter&) = delete;
  SNTMessagingCenter& operator=(const SNTMessagingCenter&) = delete;

  // The per-app name observed ("SNT_NEW_APP_SETTINGS_<bundle id>").
  const std::string& appSettingsNotificationName() const { return appName_; }

 private:
  notify::NotificationCenter& center_;
  std::string appName_;
  std::vector<notify::ObserverId> observers_;
};

}  // namespace sentrel
