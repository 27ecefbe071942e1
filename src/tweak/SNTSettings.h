// SNTSettings: one in-memory copy of the settings document with typed getters
// and the edits of the global host rules.
//
// Objects are short-lived: a settings page keeps one, the rule engine builds
// one per global rule lookup or edit. Saving goes through
// PrefHandler::saveSettings(), so outside SpringBoard a save is a request to
// SpringBoard and the file changes later (or never, when SpringBoard is not
// running).
//
// Reading values: a boolean switch takes the boolean value of a stored number
// (bool, integer or real; non-zero is true). A value of any other kind where
// a number, a dictionary or a string is expected reads as absent and takes
// the key's default.
//
// Thread-safety: reload() and save() are serialised on the object; every
// access to the held document takes the same lock, so the object may be
// shared, but an edit (reload, change, save) is not atomic as a whole:
// concurrent edits through one object lose one of the changes, as concurrent
// edits from two processes do.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/base/mutex.h"
#include "platform/plist/value.h"

namespace sentrel {

// The key a host's rule is stored under, in the app's "domains" and in
// "global_hosts" alike: the host text with an IPv6 address in its one
// canonical form (netdb::canonicalHost), so that "[::1]",
// "0:0:0:0:0:0:0:1" and "::1" name one rule and ::ffff:127.0.0.1 names the
// rule of 127.0.0.1. Stored documents are never rewritten: hosts are keyed
// when a rule is looked up and when it is stored. Null for a null host.
std::optional<std::string> ruleKeyOf(std::optional<std::string_view> host);

class SNTSettings {
 public:
  // settings() is null until initWithDictionary(), reload() or setSettings().
  SNTSettings() = default;
  SNTSettings(const SNTSettings&) = delete;
  SNTSettings& operator=(const SNTSettings&) = delete;

  // A new object loaded from the settings file.
  static std::unique_ptr<SNTSettings> loadFromFile();

  // Seeds the object from a document the caller already has (for example a
  // firewall's globalSettings). A value that is not a dictionary seeds an
  // empty document.
  void initWithDictionary(const plist::Value& document);

  // settings <- PrefHandler::loadSettings().
  void reload();
  // PrefHandler::saveSettings(settings, notify). An object that never
  // loaded (settings() is not a dictionary) saves nothing and logs: a
  // document built on nothing would replace the whole file.
  void save(bool notify);

  // Sets the top-level `key` to `value` (null removes it), then save(notify).
  // On an object that never loaded: nothing changes, nothing is saved.
  void setPref(std::string_view key, const plist::Value& value, bool notify);

  plist::Value settings() const;  // null or a dictionary
  void setSettings(plist::Value settings);

  bool firewallEnabled() const;                      // "snt_enabled", true
  bool systemSentrelEnabled() const;                 // "snt_system_apps_enabled", false
  bool shouldShowAppsWithNoNetworkActivity() const;  // "snt_no_network_apps_enabled", false
  bool shouldUploadAnonymousData() const;            // "snt_upload_anonymous_data", false
  bool shouldShowOnlyBundleIds() const;              // "snt_show_bundle_ids", false
  bool shouldAnimate() const;                        // "snt_animations", true

  // The "global_hosts" map; an empty dictionary when there is none.
  plist::Value globalHosts() const;
  // "allowed" of the host's global rule entry; 0 when there is none.
  int64_t explicitGlobalRuleForHost(std::string_view host) const;
  // The app entry of `bundleId`, as getAppSettingsFromCache() but logging
  // "WARNING: _settings returning a new dictionary (1)..." and
  // "WARNING: getAppSettings() returning a new dictionary (2)...".
  plist::Value getAppSettings(std::optional<std::string_view> bundleId) const;

  // Global rule edits. Each starts with reload(): the file, not this object's
  // copy, is the base. A null host or the service host changes nothing and
  // saves nothing. setGlobalHostRule() keeps an earlier "url" when `urlString`
  // is null, logs "save setGlobalHostRule (<host>, <value>)" and saves with
  // notification exactly when `value` is not 0.
  void setGlobalHostRule(std::optional<std::string_view> host,
                         std::optional<std::string_view> urlString, int64_t value);
  // Logs "save removeGlobalHostRule (<host>)" and saves with notification.
  void removeGlobalHostRule(std::optional<std::string_view> host);
  // setGlobalHostRule() with 1 for true and 2 for false.
  void setGlobalHostBool(std::optional<std::string_view> host,
                         std::optional<std::string_view> urlString, bool value);
  // Saves a fresh copy of the file's document with an empty "global_hosts";
  // this object's copy is not touched.
  void clearGlobalHosts(bool notify);
  // Saves an empty document: every switch, app entry and rule is gone.
  void clearAll(bool notify);

  // A random identifier for the optional usage upload, kept under
  // "snt_anonymous_identifier"; created and saved (without notification) the
  // first time it is asked for. On an object that never loaded a fresh
  // identifier is answered each time and nothing is saved.
  std::string anonymousIdentifier();

 private:
  bool boolPref(const char* key, bool fallback) const;

  mutable Mutex mutex_;  // serialises reload/save
  plist::Value settings_
      GUARDED_BY(mutex_);  // the document as this object knows it; null until loaded
};

}  // namespace sentrel
