// The device's Settings app ("Preferences", com.apple.Preferences): a list
// of the installed settings bundles, each opened as a plug-in, and "prefs:"
// URLs that open it at a page of a bundle.
//
// A bundle's entry is "/Library/PreferenceLoader/Preferences/<name>.plist"
// ({"entry": {"bundle", "label", "icon", "detail"}}); the bundle itself is
// "/Library/PreferenceBundles/<bundle>.bundle" with an Info.plist naming its
// library (CFBundleExecutable) and principal page class (NSPrincipalClass).
// A bundle that is missing or does not load leaves the app working: a log
// line and an alert name it.
//
// Main thread only.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "device/preferences/prefs_url.h"
#include "platform/base/status.h"
#include "platform/preferences/preferences.h"

namespace sentrel::settings_app {

inline constexpr const char* kEntriesFolder = "/Library/PreferenceLoader/Preferences";
inline constexpr const char* kBundlesFolder = "/Library/PreferenceBundles";

struct BundleEntry {
  std::string label;   // the row's title, and the root of its URLs
  std::string bundle;  // "<bundle>.bundle" in kBundlesFolder
  std::string icon;    // a file of the bundle folder, may be empty
  std::string detail;  // the page class when the bundle names none
};

// The entries of the device's settings bundles, by label (case-insensitive).
// Malformed entry files are logged and skipped.
std::vector<BundleEntry> installedEntries();

// Loads the entry's bundle (once per process) and makes its principal page,
// with the bundle folder and a row for the entry set on it.
Result<std::shared_ptr<preferences::PSListController>> openBundle(const BundleEntry& entry);

// The root list: one link row per entry; a tap opens the bundle's page.
class SettingsRootController : public preferences::PSListController {
 public:
  std::vector<preferences::PSSpecifierRef>& specifiers() override;
  void didSelectRowAtIndexPath(uikit::UITableView& table, const uikit::IndexPath& path) override;
  void viewDidLoad() override;

  // Opens the entry `label` and follows `path` page by page, as taps would
  // (without animation). False when the entry cannot be opened; a path
  // component with no matching row stops the walk there (logged).
  bool openURL(const PrefsLocation& url);
  bool openEntry(const std::string& label, bool animated);
};

}  // namespace sentrel::settings_app
