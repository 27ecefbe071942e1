// The settings document on disk: where it lives, who may write it, how it is
// read and saved, and how the Settings app is opened at one of our pages.
//
// Every process reads the file itself; only SpringBoard (the process whose
// main bundle identifier is kSpringBoardBundleIdentifier) writes it. Any other
// process hands the whole document to SpringBoard as a distributed
// notification and SpringBoard writes it. Nothing is merged: the document
// written last wins.
//
// Documents are plist::Value dictionaries. A Value is immutable and shared, so
// "the stored entry itself" and "a copy" cost the same and can never be
// changed behind a reader's back.
#pragma once

#include <cstdint>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/url.h"
#include "platform/plist/value.h"

namespace sentrel {

class SNTFirewall;

// The settings file, as a device path (resolved under the device root when
// the file is touched).
inline constexpr const char* kSettingsPath =
    "/var/mobile/Library/Preferences/ca.kelmora.sentrel_preferences.plist";

// The bundle identifier of the one process that writes the settings file.
inline constexpr const char* kSpringBoardBundleIdentifier = "com.apple.springboard";
// WebKit's networking process, which the rule engine lets through: the web
// view hooks decide for it.
inline constexpr const char* kWebKitNetworkingBundleIdentifier = "com.apple.WebKit.Networking";

// The system's own service endpoint. It never takes a rule (setting or
// removing one does nothing) and the rule engine always allows it.
inline constexpr const char* kServiceHost = "api.sentrel.kelmora.ca";

// Keys of the settings document.
namespace key {
// Top level.
inline constexpr const char* kEnabled = "snt_enabled";
inline constexpr const char* kSystemAppsEnabled = "snt_system_apps_enabled";
inline constexpr const char* kNewAppPolicy = "new_app_policy";
inline constexpr const char* kHookSyscalls = "snt_hook_syscalls";
inline constexpr const char* kAnimations = "snt_animations";
inline constexpr const char* kShowBundleIds = "snt_show_bundle_ids";
inline constexpr const char* kAlertShowBundle = "snt_alert_show_bundle";
inline constexpr const char* kAlertShowUrl = "snt_alert_show_url";
inline constexpr const char* kFilterCustomScheme = "snt_filter_custom_scheme";
inline constexpr const char* kNoNetworkAppsEnabled = "snt_no_network_apps_enabled";
inline constexpr const char* kUploadAnonymousData = "snt_upload_anonymous_data";
inline constexpr const char* kAnonymousIdentifier = "snt_anonymous_identifier";
inline constexpr const char* kGlobalHosts = "global_hosts";
inline constexpr const char* kApps = "apps";
// App entry.
inline constexpr const char* kFirewallEnabled = "firewall_enabled";
inline constexpr const char* kAllowAllOutbound = "allow_all_outbound";
inline constexpr const char* kDenyAllOutbound = "deny_all_outbound";
inline constexpr const char* kNewSitePolicy = "new_site_policy";
inline constexpr const char* kFilterStreams = "filter_streams";
inline constexpr const char* kFilterWebviews = "filter_webviews";
inline constexpr const char* kDomains = "domains";
inline constexpr const char* kName = "name";
// Rule entry.
inline constexpr const char* kAllowed = "allowed";
inline constexpr const char* kUrl = "url";
}  // namespace key

// Rule values, stored as the integer "allowed" of a rule entry.
namespace rule {
inline constexpr int64_t kUndefined = 0;  // asked about, no decision yet
inline constexpr int64_t kAllowed = 1;
inline constexpr int64_t kBlocked = 2;
}  // namespace rule

// Policy values: the strings of "new_app_policy" and "new_site_policy".
namespace policy {
inline constexpr const char* kOff = "0";
inline constexpr const char* kAllow = "1";
inline constexpr const char* kBlock = "2";
inline constexpr const char* kPrompt = "3";  // the default
}  // namespace policy

// True when this process is SpringBoard (main bundle identifier
// kSpringBoardBundleIdentifier), the only writer of the settings file.
bool isSpringBoardProcess();

// Class operations only; no state. Thread-safe: reads of the file are
// serialised within the process; saves take no lock (the atomic file write
// keeps readers from seeing half a document).
class PrefHandler {
 public:
  PrefHandler() = delete;

  // The document read from the settings file; always a dictionary. A missing
  // or unreadable file, or one whose root is not a dictionary, reads as an
  // empty dictionary and logs "WARNING: loadSettings() returning a new
  // dictionary...".
  static plist::Value loadSettings();

  // The file URL of the settings path (a device path; resolve its path()
  // under the device root to reach the real file).
  static URL loadSettingsUrl();

  // Logs "preftools saveSettings(<document>)". In SpringBoard: writes the
  // document to the settings file atomically and, when `notify`, posts
  // "SNT_NEW_SETTINGS" with it (also when the write failed; the failure is
  // logged, never returned). Anywhere else: posts
  // "SNT_SB_SAVE_SETTINGS_AND_NOTIFY" (notify) or "SNT_SB_SAVE_SETTINGS"
  // with the document and writes nothing. Never waits for anyone.
  // A `document` that is not a dictionary is logged and neither written nor
  // sent: the file's root is always a dictionary.
  static void saveSettings(const plist::Value& document, bool notify);

  // Writes `document` to the settings file atomically (SpringBoard's part of
  // a save). A failed write is logged and leaves the file as it was. Returns
  // false, writing nothing, when `document` is not a dictionary.
  //
  // A file this process did not write last is read first: one that is there
  // but damaged (settingsFileDamage()) is kept aside, renamed to
  // "<file>.damaged-<UTC time>", with an error in the system log naming
  // both, before the new document takes its place. When it cannot be kept
  // aside nothing is written over it (logged; the save is lost, the rules in
  // the damaged file are not).
  static bool writeSettingsFile(const plist::Value& document);

  // Asks SpringBoard (posts "SNT_LAUNCH_TWEAK_SETTINGS" with "path") to open
  // the Settings app at the page of `firewall`'s app: "Sentrel/HiddenApps/<id>"
  // for a hidden app, else "Sentrel/SystemApps/<id>" for a system app, else
  // "Sentrel/UserApps/<id>"; the root page "Sentrel" for nullptr. Posts in
  // SpringBoard too (SpringBoard then handles its own notification).
  static void launchTweakSettingsForApp(const SNTFirewall* firewall);

  // The page path of a firewall's app, as launchTweakSettingsForApp() sends.
  static std::string settingsPathForApp(const SNTFirewall* firewall);

  // "prefs:root=<1st>[&path=<2nd>[/<3rd>]]" from a "/"-separated page path;
  // components after the third are dropped. Percent-encoded, keeping the
  // characters a URL fragment may hold.
  static std::string getPrefsUrlStringFromPathString(std::string_view path);

  // SpringBoard only. Logs "Should open <url>", ends the Settings app
  // ("Preferences") on a global queue with SNT_kill_process, and 500 ms
  // later opens the Settings URL on the main queue through openURL()
  // (url.h). A text that is not a URL still ends the app and opens nothing.
  static void springBoardLaunchSettingsWithPath(std::string_view path);
};

// Why the settings file at `file` (default: the device's) cannot be read
// as a settings document although it is there: garbage, a truncated or
// empty file, a root that is not a dictionary. nullopt when it reads, when
// there is no file (a device before its first save) and when it cannot be
// opened at all (that is not damage to its content). Every reader takes a
// damaged file for an empty document, so the next save would replace every
// rule in it. Thread-safe.
std::optional<std::string> settingsFileDamage();
std::optional<std::string> settingsFileDamage(const std::filesystem::path& file);

// The damaged settings files kept aside beside `file` so far
// ("<file>.damaged-<time>"), in name order: the order they were kept aside
// in. Thread-safe.
std::vector<std::filesystem::path> damagedSettingsFiles(const std::filesystem::path& file);

// The app entry "apps" -> bundleId of `document`; always a dictionary.
// - `document` null (or not a dictionary): logs "WARNING: settingsCache
//   returning a new dictionary (1)..." and returns an empty dictionary;
// - no "apps" dictionary: logs "WARNING: getAppSettingsFromCache() returning
//   a new dictionary (2)..." and returns an empty dictionary;
// - no entry for the app (or no bundle id, or an entry that is not a
//   dictionary): an empty dictionary, no log;
// - otherwise the stored entry itself.
// Thread-safe.
plist::Value getAppSettingsFromCache(const plist::Value& document,
                                     std::optional<std::string_view> bundleId);

}  // namespace sentrel
