#include "tweak/SNTMessagingCenter.h"

#include <atomic>
#include <utility>

#include "platform/bundle/main_bundle.h"
#include "platform/log/system_log.h"
#include "platform/runloop/run_loop.h"
#include "tweak/SNTFirewall.h"

namespace sentrel {
namespace {

std::string perAppName(const char* prefix, std::optional<std::string_view> bundleId) {
  std::string name = prefix;
  name += bundleId ? *bundleId : std::string_view("(null)");
  return name;
}

std::optional<std::string> readString(const plist::Value& payload, const char* key) {
  const std::string* text = payload.get(key).asString();
  return text ? std::optional<std::string>(*text) : std::nullopt;
}

std::optional<int64_t> readInteger(const plist::Value& payload, const char* key) {
  return payload.get(key).numberAsInteger();
}

std::optional<bool> readBool(const plist::Value& payload, const char* key) {
  return payload.get(key).numberAsBool();
}

plist::Value readDict(const plist::Value& payload, const char* key) {
  plist::Value value = payload.get(key);
  return value.isDict() ? value : plist::Value();
}

void putString(plist::MutableDict& dict, const char* key, const std::optional<std::string>& v) {
  if (v) dict.set(key, plist::Value::string(*v));
}

void putBool(plist::MutableDict& dict, const char* key, std::optional<bool> v) {
  if (v) dict.set(key, plist::Value::boolean(*v));
}

}  // namespace

std::string newAppSettingsNotificationName(std::optional<std::string_view> bundleId) {
  return perAppName(kNewAppSettingsNotificationPrefix, bundleId);
}

std::string alertCallbackNotificationName(std::optional<std::string_view> bundleId) {
  return perAppName(kAlertCallbackNotificationPrefix, bundleId);
}

plist::Value AlertRequest::toPayload() const {
  plist::MutableDict dict;
  putString(dict, payload::kAlertId, alertId);
  putString(dict, payload::kBundleId, bundleId);
  dict.set(payload::kPid, plist::Value::integer(pid));
  putString(dict, payload::kAppName, appName);
  putString(dict, payload::kHost, host);
  if (port) dict.set(payload::kPort, plist::Value::integer(*port));
  putString(dict, payload::kUrl, url);
  putString(dict, payload::kCustomMessage, customMessage);
  putBool(dict, payload::kIsSystemApp, isSystemApp);
  putBool(dict, payload::kIsHiddenApp, isHiddenApp);
  putBool(dict, payload::kIsDaemon, isDaemon);
  if (appSettings.isDict()) dict.set(payload::kAppSettings, appSettings);
  if (globalSettings.isDict()) dict.set(payload::kGlobalSettings, globalSettings);
  return std::move(dict).build();
}

AlertRequest AlertRequest::fromPayload(const plist::Value& payload) {
  AlertRequest request;
  request.alertId = readString(payload, payload::kAlertId);
  request.bundleId = readString(payload, payload::kBundleId);
  request.pid = readInteger(payload, payload::kPid).value_or(0);
  request.appName = readString(payload, payload::kAppName);
  request.host = readString(payload, payload::kHost);
  request.port = readInteger(payload, payload::kPort);
  request.url = readString(payload, payload::kUrl);
  request.customMessage = readString(payload, payload::kCustomMessage);
  request.isSystemApp = readBool(payload, payload::kIsSystemApp);
  request.isHiddenApp = readBool(payload, payload::kIsHiddenApp);
  request.isDaemon = readBool(payload, payload::kIsDaemon);
  request.appSettings = readDict(payload, payload::kAppSettings);
  request.globalSettings = readDict(payload, payload::kGlobalSettings);
  return request;
}

plist::Value AlertCallback::toPayload() const {
  plist::MutableDict dict;
  putString(dict, payload::kAlertId, alertId);
  dict.set(payload::kAllow, plist::Value::boolean(allow));
  return std::move(dict).build();
}

AlertCallback AlertCallback::fromPayload(const plist::Value& payload) {
  AlertCallback callback;
  callback.alertId = readString(payload, payload::kAlertId);
  callback.allow = readBool(payload, payload::kAllow).value_or(false);
  return callback;
}

plist::Value makeLaunchTweakSettingsPayload(std::string_view path) {
  return plist::Value::dictOf({{payload::kPath, plist::Value::string(std::string(path))}});
}

std::optional<std::string> launchTweakSettingsPath(const plist::Value& payload) {
  return readString(payload, payload::kPath);
}

bool isSettingsPayload(const std::string& name, const plist::Value& userInfo) {
  if (userInfo.isDict()) return true;
  log::line(name + ": ignoring a " + plist::typeName(userInfo.type()) + " payload; settings kept",
            log::Level::kWarning);
  return false;
}

namespace {
std::atomic<bool> g_observers_deferred{false};
}  // namespace

void setSettingsObserversDeferred(bool deferred) {
  g_observers_deferred.store(deferred);
}

bool settingsObserversDeferred() {
  return g_observers_deferred.load();
}

SNTMessagingCenter& SNTMessagingCenter::shared() {
  // Never destroyed: handlers may still arrive on the main queue while the
  // process exits.
  static SNTMessagingCenter* center = new SNTMessagingCenter(notify::distributedCenter());
  return *center;
}

void SNTMessagingCenter::load() {
  if (settingsObserversDeferred()) {
    runloop::afterMain(kDeferredObserversDelay, [] { shared(); });
    return;
  }
  shared();
}

SNTMessagingCenter::SNTMessagingCenter(notify::NotificationCenter& center)
    : center_(center),
      appName_(newAppSettingsNotificationName(bundle::mainBundle().bundle_identifier)) {
  if (settingsObserversDeferred()) {
    observers_.push_back(center_.addObserverIgnoringPayload(
        kNewSettingsNotification, [](const std::string&, const plist::Value&) {
          log::line("Received NSDistributedNotificationCenter message (SNT_NEW_SETTINGS)");
          log::line("received new global settings!");
          if (std::shared_ptr<SNTFirewall> firewall = SNTFirewall::current()) {
            firewall->refreshOwnSettings();
          }
        }));
  } else {
    observers_.push_back(center_.addObserver(
        kNewSettingsNotification, [](const std::string& name, const plist::Value& userInfo) {
          log::line("Received NSDistributedNotificationCenter message (SNT_NEW_SETTINGS)");
          log::line("received new global settings!");
          if (!isSettingsPayload(name, userInfo)) return;
          if (std::shared_ptr<SNTFirewall> firewall = SNTFirewall::current()) {
            firewall->setGlobalSettings(userInfo);
          }
        }));
  }
  log::line(std::string("Registered for messages named: ") + kNewSettingsNotification);

  observers_.push_back(
      center_.addObserver(appName_, [](const std::string& name, const plist::Value& userInfo) {
        log::line("Received NSDistributedNotificationCenter message (" + name + ")");
        log::line("received new app settings!");
        if (!isSettingsPayload(name, userInfo)) return;
        if (std::shared_ptr<SNTFirewall> firewall = SNTFirewall::current()) {
          firewall->setAppSettings(userInfo);
        }
      }));
  log::line("Registered for messages named: " + appName_);
}

SNTMessagingCenter::~SNTMessagingCenter() {
  for (notify::ObserverId id : observers_) center_.removeObserver(id);
}

}  // namespace sentrel
