#include "tweak/preftools.h"

#include <chrono>
#include <filesystem>
#include <mutex>
#include <system_error>
#include <vector>

#include "platform/base/mutex.h"
#include "platform/bundle/main_bundle.h"
#include "platform/log/system_log.h"
#include "platform/notify/notification_center.h"
#include "platform/paths/device_paths.h"
#include "platform/plist/plist_codec.h"
#include "platform/runloop/run_loop.h"
#include "tweak/SNTFirewall.h"
#include "tweak/SNTMessagingCenter.h"
#include "tweak/common.h"
#include "tweak/settings_image.h"

namespace sentrel {
namespace {

// The lock the phone takes on the PrefHandler class around file reads.
Mutex& prefHandlerLock() {
  static Mutex lock;
  return lock;
}

constexpr auto kSettingsRelaunchDelay = std::chrono::milliseconds(500);

// A save's log line shows the document up to this many characters: with
// thousands of rules the whole description runs to megabytes, which every
// save would write to the system log.
constexpr size_t kLoggedDocumentCharacters = 4096;

std::string loggedDocument(const plist::Value& document) {
  return document.description(kLoggedDocumentCharacters);
}

}  // namespace

bool isSpringBoardProcess() {
  const auto& identifier = bundle::mainBundle().bundle_identifier;
  return identifier && *identifier == kSpringBoardBundleIdentifier;
}

plist::Value PrefHandler::loadSettings() {
  MutexLock guard(prefHandlerLock());
  // SpringBoard's image of the file, when it was made from the file as it
  // is now, holds the same document at a fraction of the cost of its XML.
  if (Result<plist::Value> image = readSettingsDocument(); image.ok()) {
    return std::move(image).value();
  }
  Result<plist::Value> read = plist::readDictionaryFile(paths::resolve(kSettingsPath));
  if (read.ok()) return std::move(read).value();
  log::line("WARNING: loadSettings() returning a new dictionary...", log::Level::kWarning);
  // The fixed line above says what happened; this one says why (a missing
  // file before the first save, or a damaged one).
  log::line("loadSettings: " + read.reason(), log::Level::kDebug);
  return plist::Value::dict({});
}

URL PrefHandler::loadSettingsUrl() {
  // The path is a fixed, plain absolute path, so the parser always takes it.
  return *URL::fileURLWithPath(kSettingsPath);
}

namespace {
// A root of another kind would make the file unreadable for everyone.
void logNotADictionary(const plist::Value& document) {
  log::line(std::string("preftools saveSettings: the document is ") +
                plist::typeName(document.type()) + ", not a dictionary; nothing saved",
            log::Level::kError);
}
}  // namespace

void PrefHandler::saveSettings(const plist::Value& document, bool notify) {
  log::line("preftools saveSettings(" + loggedDocument(document) + ")");
  if (isSpringBoardProcess()) {
    if (!writeSettingsFile(document)) return;
    if (notify) notify::distributedCenter().post(kNewSettingsNotification, document);
    return;
  }
  if (!document.isDict()) {
    logNotADictionary(document);
    return;
  }
  notify::distributedCenter().post(
      notify ? kSaveSettingsAndNotifyNotification : kSaveSettingsNotification, document);
}

bool PrefHandler::writeSettingsFile(const plist::Value& document) {
  if (!document.isDict()) {
    logNotADictionary(document);
    return false;
  }
  const std::filesystem::path file = paths::resolve(kSettingsPath);
  // A fresh device may not have the preferences folder yet; the phone
  // always does. Every app's rules are in the file: only the device's user
  // may enter the folder and read the file.
  std::error_code ignored;
  std::filesystem::create_directories(file.parent_path(), ignored);
  std::filesystem::permissions(file.parent_path(), std::filesystem::perms::owner_all, ignored);
  // SpringBoard writes every version of the document: the encoder keeps the
  // nodes of the entries a save did not change.
  static Mutex encoder_lock;
  static auto* encoder = new plist::XmlDocumentEncoder;  // lives as long as the process
  plist::Value written_document = document;
  Status written = [&] {
    MutexLock lock(encoder_lock);
    Status status = plist::writeFileAtomically(file, document, *encoder, 0600);
    // The image's parts cache compares by identity first: give it the
    // version that shares the unchanged entries with the last one.
    if (status.ok()) written_document = encoder->lastEncoded();
    return status;
  }();
  if (!written.ok()) {
    log::line("preftools saveSettings: write failed: " + written.reason(), log::Level::kError);
    return true;
  }
  // Processes read their part of the new document from the image; without
  // one they read the file, so a failure here costs time, not correctness.
  if (Status published = publishSettingsImage(written_document); !published.ok()) {
    log::line("preftools saveSettings: settings image not published: " + published.reason(),
              log::Level::kWarning);
  }
  return true;
}

std::string PrefHandler::settingsPathForApp(const SNTFirewall* firewall) {
  if (firewall == nullptr) return "Sentrel";
  const std::optional<std::string> bundleId = firewall->bundleId();
  const std::string id = bundleId ? *bundleId : "(null)";
  if (firewall->isHiddenApp()) return "Sentrel/HiddenApps/" + id;
  if (firewall->isSystemApp()) return "Sentrel/SystemApps/" + id;
  return "Sentrel/UserApps/" + id;
}

void PrefHandler::launchTweakSettingsForApp(const SNTFirewall* firewall) {
  notify::distributedCenter().post(kLaunchTweakSettingsNotification,
                                   makeLaunchTweakSettingsPayload(settingsPathForApp(firewall)));
}

std::string PrefHandler::getPrefsUrlStringFromPathString(std::string_view path) {
  std::vector<std::string_view> parts;
  size_t start = 0;
  while (true) {
    const size_t slash = path.find('/', start);
    parts.push_back(path.substr(start, slash == std::string_view::npos ? slash : slash - start));
    if (slash == std::string_view::npos) break;
    start = slash + 1;
  }
  std::string text = "prefs:root=";
  text += parts[0];
  if (parts.size() >= 2) {
    text += "&path=";
    text += parts[1];
  }
  if (parts.size() >= 3) {
    text += "/";
    text += parts[2];
  }
  return percentEncodeForURLFragment(text);
}

void PrefHandler::springBoardLaunchSettingsWithPath(std::string_view path) {
  const std::string text = getPrefsUrlStringFromPathString(path);
  log::line("Should open " + text);
  std::optional<URL> url = URL::URLWithString(text);
  runloop::asyncGlobal([url = std::move(url)]() mutable {
    SNT_kill_process("Preferences");
    // The delay is the only ordering between the kill and the open; it does
    // not wait for the Settings app to be gone.
    runloop::afterMain(kSettingsRelaunchDelay, [url = std::move(url)] { openURL(url); });
  });
}

plist::Value getAppSettingsFromCache(const plist::Value& document,
                                     std::optional<std::string_view> bundleId) {
  if (!document.isDict()) {
    log::line("WARNING: settingsCache returning a new dictionary (1)...", log::Level::kWarning);
    return plist::Value::dict({});
  }
  const plist::Value apps = document.get(key::kApps);
  if (!apps.isDict()) {
    log::line("WARNING: getAppSettingsFromCache() returning a new dictionary (2)...",
              log::Level::kWarning);
    return plist::Value::dict({});
  }
  if (!bundleId) return plist::Value::dict({});
  plist::Value entry = apps.get(*bundleId);
  if (!entry.isDict()) return plist::Value::dict({});
  return entry;
}

}  // namespace sentrel
