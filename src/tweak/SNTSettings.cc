#include "tweak/SNTSettings.h"

#include "platform/base/mutex.h"
#include "platform/foundation/foundation.h"
#include "platform/log/system_log.h"
#include "platform/netdb/netdb.h"
#include "tweak/preftools.h"

namespace sentrel {
namespace {

bool isReservedHost(std::optional<std::string_view> host) {
  return !host || *host == kServiceHost;
}

// A document built on nothing would replace the whole file: every rule lost.
void logNotLoaded(const char* what) {
  log::line(std::string("SNTSettings ") + what + ": the settings were never loaded; nothing saved",
            log::Level::kError);
}

}  // namespace

std::optional<std::string> ruleKeyOf(std::optional<std::string_view> host) {
  return host ? std::optional<std::string>(netdb::canonicalHost(*host)) : std::nullopt;
}

std::unique_ptr<SNTSettings> SNTSettings::loadFromFile() {
  auto settings = std::make_unique<SNTSettings>();
  settings->reload();
  return settings;
}

void SNTSettings::initWithDictionary(const plist::Value& document) {
  // A one-level mutable copy on the phone; a Value is immutable, so sharing
  // it is the same.
  setSettings(document.isDict() ? document : plist::Value::dict({}));
}

void SNTSettings::reload() {
  MutexLock guard(mutex_);
  settings_ = PrefHandler::loadSettings();
}

void SNTSettings::save(bool notify) {
  MutexLock guard(mutex_);
  if (!settings_.isDict()) return logNotLoaded("save");
  PrefHandler::saveSettings(settings_, notify);
}

void SNTSettings::setPref(std::string_view key, const plist::Value& value, bool notify) {
  {
    MutexLock guard(mutex_);
    if (!settings_.isDict()) return logNotLoaded("setPref");
    settings_ = plist::MutableDict(settings_).set(std::string(key), value).build();
  }
  save(notify);
}

plist::Value SNTSettings::settings() const {
  MutexLock guard(mutex_);
  return settings_;
}

void SNTSettings::setSettings(plist::Value settings) {
  MutexLock guard(mutex_);
  settings_ = std::move(settings);
}

bool SNTSettings::boolPref(const char* key, bool fallback) const {
  return settings().get(key).numberAsBool().value_or(fallback);
}

bool SNTSettings::firewallEnabled() const {
  return boolPref(key::kEnabled, true);
}
bool SNTSettings::systemSentrelEnabled() const {
  return boolPref(key::kSystemAppsEnabled, false);
}
bool SNTSettings::shouldShowAppsWithNoNetworkActivity() const {
  return boolPref(key::kNoNetworkAppsEnabled, false);
}
bool SNTSettings::shouldUploadAnonymousData() const {
  return boolPref(key::kUploadAnonymousData, false);
}
bool SNTSettings::shouldShowOnlyBundleIds() const {
  return boolPref(key::kShowBundleIds, false);
}
bool SNTSettings::shouldAnimate() const {
  return boolPref(key::kAnimations, true);
}

plist::Value SNTSettings::globalHosts() const {
  plist::Value hosts = settings().get(key::kGlobalHosts);
  return hosts.isDict() ? hosts : plist::Value::dict({});
}

int64_t SNTSettings::explicitGlobalRuleForHost(std::string_view host) const {
  return globalHosts()
      .get(netdb::canonicalHost(host))
      .get(key::kAllowed)
      .numberAsInteger()
      .value_or(0);
}

plist::Value SNTSettings::getAppSettings(std::optional<std::string_view> bundleId) const {
  const plist::Value document = settings();
  if (!document.isDict()) {
    log::line("WARNING: _settings returning a new dictionary (1)...", log::Level::kWarning);
    return plist::Value::dict({});
  }
  const plist::Value apps = document.get(key::kApps);
  if (!apps.isDict()) {
    log::line("WARNING: getAppSettings() returning a new dictionary (2)...", log::Level::kWarning);
    return plist::Value::dict({});
  }
  if (!bundleId) return plist::Value::dict({});
  plist::Value entry = apps.get(*bundleId);
  return entry.isDict() ? entry : plist::Value::dict({});
}

void SNTSettings::setGlobalHostRule(std::optional<std::string_view> host_text,
                                    std::optional<std::string_view> urlString, int64_t value) {
  const std::optional<std::string> rule_key = ruleKeyOf(host_text);
  const std::optional<std::string_view> host = rule_key;
  reload();
  plist::MutableDict hosts(globalHosts());
  if (isReservedHost(host)) return;

  plist::MutableDict entry(hosts.get(*host));
  entry.set(key::kAllowed, plist::Value::integer(value));
  if (urlString) entry.set(key::kUrl, plist::Value::string(std::string(*urlString)));
  hosts.set(std::string(*host), std::move(entry).build());
  setSettings(
      plist::MutableDict(settings()).set(key::kGlobalHosts, std::move(hosts).build()).build());

  log::linef("save setGlobalHostRule (%.*s, %lld)", static_cast<int>(host->size()), host->data(),
             static_cast<long long>(value));
  save(value != 0);
}

void SNTSettings::removeGlobalHostRule(std::optional<std::string_view> host_text) {
  const std::optional<std::string> rule_key = ruleKeyOf(host_text);
  const std::optional<std::string_view> host = rule_key;
  reload();
  plist::MutableDict hosts(globalHosts());
  if (isReservedHost(host)) return;

  hosts.remove(*host);
  setSettings(
      plist::MutableDict(settings()).set(key::kGlobalHosts, std::move(hosts).build()).build());

  log::linef("save removeGlobalHostRule (%.*s)", static_cast<int>(host->size()), host->data());
  save(true);
}

void SNTSettings::setGlobalHostBool(std::optional<std::string_view> host,
                                    std::optional<std::string_view> urlString, bool value) {
  setGlobalHostRule(host, urlString, value ? rule::kAllowed : rule::kBlocked);
}

void SNTSettings::clearGlobalHosts(bool notify) {
  plist::Value fresh = plist::MutableDict(PrefHandler::loadSettings())
                           .set(key::kGlobalHosts, plist::Value::dict({}))
                           .build();
  PrefHandler::saveSettings(fresh, notify);
}

void SNTSettings::clearAll(bool notify) {
  PrefHandler::saveSettings(plist::Value::dict({}), notify);
}

std::string SNTSettings::anonymousIdentifier() {
  const plist::Value stored = settings().get(key::kAnonymousIdentifier);
  if (const std::string* text = stored.asString(); text != nullptr && !text->empty()) {
    return *text;
  }
  std::string identifier = foundation::UUID::UUIDString();
  // Not loaded: the identifier is answered but not kept, as nothing may be saved.
  setPref(key::kAnonymousIdentifier, plist::Value::string(identifier), false);
  return identifier;
}

}  // namespace sentrel
