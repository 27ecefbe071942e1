// Installed apps: the device's stand-in for the platform's application
// workspace and its app-list library.
//
// An installed app is an app bundle in the device root, as on the phone:
//   /Applications/<Name>.app                                   a system app
//   /var/containers/Bundle/Application/<UUID>/<Name>.app       a user app
// each with an Info.plist (XML or binary) holding:
//   CFBundleIdentifier   string, required: the bundle id
//   CFBundleDisplayName  string, else CFBundleName, else the folder name
//                        without ".app": the display name
//   CFBundleExecutable   string: the executable's file name inside the bundle
//   CFBundleIconFile     string, optional: the icon's file name inside the
//                        bundle ("Icon" also finds "Icon.png")
//   SBAppTags            array of strings, optional: tags such as "hidden"
// An app is visible unless it is tagged "hidden".
//
// Reads rescan the bundle folders on every call: there is no cache to go
// stale, installs by other processes are seen at once, and a device holds a
// few dozen apps. A bundle whose Info.plist is missing or broken, or whose
// identifier is not valid, is skipped and logged once (until the file
// changes). Folders whose name begins with "." are never read: installs and
// removals stage their work there and rename it into place, so a reader sees
// a bundle whole or not at all.
#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/mutex.h"
#include "platform/base/status.h"

namespace sentrel::apps {

enum class AppType { kSystem, kUser };

// "System" or "User", the workspace's applicationType.
const char* applicationTypeName(AppType type);

inline constexpr const char* kHiddenTag = "hidden";

struct AppRecord {
  std::string identifier;                 // CFBundleIdentifier
  AppType type = AppType::kUser;          // from where the bundle lies
  std::vector<std::string> tags;          // SBAppTags, in file order
  std::string display_name;               // never empty
  std::filesystem::path bundle_path;      // on this machine: "<root>/Applications/Foo.app"
  std::string device_bundle_path;         // inside the device: "/Applications/Foo.app"
  std::filesystem::path executable_path;  // on this machine; empty without CFBundleExecutable
  std::optional<std::filesystem::path> icon_path;  // on this machine, only when the file exists

  const char* applicationType() const { return applicationTypeName(type); }
  bool isSystemApplication() const { return type == AppType::kSystem; }
  bool hasTag(std::string_view tag) const;
  bool isVisible() const { return !hasTag(kHiddenTag); }

  bool operator==(const AppRecord&) const = default;
};

// Which apps a list query takes.
enum class AppKind { kAll, kSystem, kUser };

// The answer of a list query: identifier -> display name, and the same
// identifiers ordered by display name (case-insensitive; equal names by
// identifier).
struct AppList {
  std::map<std::string, std::string> display_names;
  std::vector<std::string> title_sorted_identifiers;
};

// Ok when `identifier` can name a bundle: 1 to 255 characters of ASCII
// letters, digits, '.', '-' and '_', not starting with '.' or '-' and without
// "..". The error says what is wrong.
Status validateIdentifier(std::string_view identifier);

// The catalogue of installed apps. Thread-safe; every query may be called
// from any thread.
class AppCatalogue {
 public:
  virtual ~AppCatalogue() = default;

  // Every installed app, hidden ones included: system apps by folder name,
  // then user apps by container and folder name. Two bundles may carry the
  // same identifier; both are listed, lookups take the first.
  virtual std::vector<AppRecord> allApplications() const = 0;

  std::optional<AppRecord> applicationWithIdentifier(std::string_view identifier) const;
  std::vector<AppRecord> visibleApplications() const;  // not tagged "hidden"
  AppList applications(AppKind kind, bool only_visible) const;
};

// The catalogue of the device at `root` (a folder on this machine), read from
// its bundle folders.
std::unique_ptr<AppCatalogue> newDeviceCatalogue(std::filesystem::path root);

// A catalogue held in memory, for tests of code that asks about apps.
class InMemoryAppCatalogue final : public AppCatalogue {
 public:
  std::vector<AppRecord> allApplications() const override;
  void add(AppRecord record);                // appended after the others
  void remove(std::string_view identifier);  // every record with that identifier

 private:
  mutable Mutex mutex_;
  std::vector<AppRecord> records_ GUARDED_BY(mutex_);
};

struct InstallOptions {
  std::string identifier;            // must pass validateIdentifier(), not yet installed
  std::string display_name;          // CFBundleDisplayName; empty: the bundle name
  std::filesystem::path executable;  // any program on this machine; absolute or relative to cwd
  AppType type = AppType::kUser;
  std::vector<std::string> tags;              // SBAppTags
  std::string bundle_name;                    // "<bundle_name>.app" and its executable's name;
                                              // empty: made from the display name or identifier
  std::optional<std::filesystem::path> icon;  // copied into the bundle as CFBundleIconFile
};

// Creates an app bundle in the device at `root` (which must exist; the app
// folders are created as needed) and returns its record. The bundle's
// executable is a symbolic link to `executable`, named like the bundle, so a
// process started through it has argv[0] inside the bundle and the bundle's
// name as its command name, while running the real program. A user app gets a
// fresh UUID container. Fails, leaving no bundle behind, on an invalid
// identifier, an identifier already installed, a system bundle folder of the
// same name, a missing or non-executable program, or names with '/', control
// characters or a leading '.'. Installs and removals of one
// device are serialised across processes (a lock file in the device's run
// folder).
Result<AppRecord> installApp(const std::filesystem::path& root, const InstallOptions& options);

// Removes every bundle with `identifier` (a user app's container with it).
// The program a bundle wraps is never touched. Fails when no such app exists.
Status removeApp(const std::filesystem::path& root, std::string_view identifier);

}  // namespace sentrel::apps
