#include "tweak/preftools.h"

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
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

// "20261210T135904Z": the time a damaged file was kept aside, in UTC.
std::string keptAsideTime() {
  const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  std::tm utc{};
  gmtime_r(&now, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &utc);
  return text;
}

constexpr const char* kDamagedSuffix = ".damaged-";

// Renames a damaged settings file out of the way of the save about to
// replace it; nothing for a file that reads (or is not there).
Status keepDamagedSettingsFileAside(const std::filesystem::path& file) {
  const std::optional<std::string> damage = settingsFileDamage(file);
  if (!damage) return Status::Ok();
  const std::string base = file.string() + kDamagedSuffix + keptAsideTime();
  std::filesystem::path aside = base;
  std::error_code ec;
  for (int n = 2; std::filesystem::exists(aside, ec) && n < 1000; ++n) {
    aside = base + "-" + std::to_string(n);
  }
  if (std::rename(file.c_str(), aside.c_str()) != 0) {
    return Status::FromErrno("the settings file is damaged (" + *damage +
                             ") and cannot be kept aside as " + aside.string() +
                             "; not saving over it");
  }
  log::line("preftools saveSettings: the settings file was damaged (" + *damage +
                "); kept it aside as " + aside.string() +
                " before saving; its rules are not in the new settings",
            log::Level::kError);
  return Status::Ok();
}

}  // namespace

std::optional<std::string> settingsFileDamage() {
  return settingsFileDamage(paths::resolve(kSettingsPath));
}

std::optional<std::string> settingsFileDamage(const std::filesystem::path& file) {
  Result<plist::Value> read = plist::readDictionaryFile(file);
  if (read.ok()) return std::nullopt;
  // A folder or a device node where the file belongs is no document that
  // was damaged; the write that follows fails and says so.
  std::error_code ec;
  if (!std::filesystem::is_regular_file(file, ec)) return std::nullopt;
  if (access(file.c_str(), R_OK) != 0) return std::nullopt;
  return read.reason();
}

std::vector<std::filesystem::path> damagedSettingsFiles(const std::filesystem::path& file) {
  std::vector<std::filesystem::path> found;
  const std::string prefix = file.filename().string() + kDamagedSuffix;
  std::error_code ec;
  for (std::filesystem::directory_iterator it(file.parent_path(), ec), end; !ec && it != end;
       it.increment(ec)) {
    if (it->path().filename().string().rfind(prefix, 0) == 0) found.push_back(it->path());
  }
  // The time in the name sorts as text.
  std::sort(found.begin(), found.end());
  return found;
}

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
  // The file as this process last left it: a file that still is that one
  // needs no check before it is replaced.
  static std::optional<SettingsFileIdentity> last_written;
  plist::Value written_document = document;
  Status written = [&] {
    MutexLock lock(encoder_lock);
    if (const std::optional<SettingsFileIdentity> now = settingsFileIdentity(file);
        now && now != last_written) {
      if (Status kept = keepDamagedSettingsFileAside(file); !kept.ok()) return kept;
    }
    Status status = plist::writeFileAtomically(file, document, *encoder, 0600);
    last_written = status.ok() ? settingsFileIdentity(file) : std::nullopt;
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
