#include "device/preferences/settings_app.h"

#include <dlfcn.h>

#include <algorithm>
#include <map>

#include "platform/log/system_log.h"
#include "platform/paths/device_paths.h"
#include "platform/plist/plist_codec.h"
#include "platform/uikit/alert_controller.h"

namespace sentrel::settings_app {

namespace fs = std::filesystem;
using plist::Value;
using preferences::PSCellType;
using preferences::PSSpecifier;
using preferences::PSSpecifierRef;

namespace {

std::string text(const Value& value) {
  return value.isString() ? *value.asString() : std::string();
}

bool safeName(const std::string& name) {
  return !name.empty() && name.find('/') == std::string::npos && name != "." && name != "..";
}

std::string lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
  return s;
}

// Handles of the bundles loaded so far; never closed (their classes stay
// registered).
std::map<std::string, void*>& loadedBundles() {
  static auto* loaded = new std::map<std::string, void*>;
  return *loaded;
}

}  // namespace

std::vector<BundleEntry> installedEntries() {
  std::vector<BundleEntry> entries;
  std::error_code ec;
  for (const fs::directory_entry& file :
       fs::directory_iterator(paths::resolve(kEntriesFolder), ec)) {
    if (file.path().extension() != ".plist") continue;
    Result<Value> read = plist::readDictionaryFile(file.path());
    const Value entry = read ? read->get("entry") : Value();
    BundleEntry e{text(entry.get("label")), text(entry.get("bundle")), text(entry.get("icon")),
                  text(entry.get("detail"))};
    if (e.label.empty() || !safeName(e.bundle)) {
      log::line("Preferences: skipping the settings entry " + file.path().filename().string() +
                    ": " + (read ? "it names no label or bundle" : read.reason()),
                log::Level::kWarning);
      continue;
    }
    entries.push_back(std::move(e));
  }
  std::sort(entries.begin(), entries.end(), [](const BundleEntry& a, const BundleEntry& b) {
    return lower(a.label) < lower(b.label);
  });
  return entries;
}

Result<std::shared_ptr<preferences::PSListController>> openBundle(const BundleEntry& entry) {
  using R = Result<std::shared_ptr<preferences::PSListController>>;
  const fs::path folder =
      paths::resolve(std::string(kBundlesFolder) + "/" + entry.bundle + ".bundle");
  Result<Value> info = plist::readDictionaryFile(folder / "Info.plist");
  if (!info) return R::Error("no bundle at " + folder.string() + ": " + info.reason());
  const std::string executable = text(info->get("CFBundleExecutable"));
  std::string principal = text(info->get("NSPrincipalClass"));
  if (principal.empty()) principal = entry.detail;
  if (!safeName(executable)) return R::Error("its Info.plist names no library");
  if (principal.empty()) return R::Error("it names no page class");
  auto& loaded = loadedBundles();
  if (!loaded.count(entry.bundle)) {
    const fs::path library = folder / executable;
    void* handle = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
      const char* why = dlerror();
      return R::Error("cannot load " + library.string() + ": " + (why ? why : "unknown error"));
    }
    loaded[entry.bundle] = handle;
  }
  std::shared_ptr<preferences::PSListController> page =
      preferences::newControllerOfClass(principal);
  if (!page) return R::Error("it has no page class " + principal);
  page->setBundlePath(folder);
  PSSpecifierRef row = PSSpecifier::preferenceSpecifierNamed(entry.label, {}, "", "", principal,
                                                             PSCellType::PSLinkCell, "");
  row->setIdentifier(entry.label);
  page->setSpecifier(row);
  page->setTitle(entry.label);
  return page;
}

void SettingsRootController::viewDidLoad() {
  PSListController::viewDidLoad();
  setTitle("Settings");
}

std::vector<PSSpecifierRef>& SettingsRootController::specifiers() {
  if (!specifiers_.empty()) return specifiers_;
  specifiers_.push_back(PSSpecifier::emptyGroupSpecifier());
  for (const BundleEntry& entry : installedEntries()) {
    PSSpecifierRef row = PSSpecifier::preferenceSpecifierNamed(entry.label, weakSelf(), "", "", "",
                                                               PSCellType::PSLinkCell, "");
    row->setIdentifier(entry.label);
    if (!entry.icon.empty() && safeName(entry.icon)) {
      row->setProperty(uikit::UIImage::imageWithContentsOfFile(
                           paths::resolve(std::string(kBundlesFolder) + "/" + entry.bundle +
                                          ".bundle/" + entry.icon)
                               .string()),
                       preferences::PSIconImageKey);
    }
    specifiers_.push_back(row);
  }
  return specifiers_;
}

bool SettingsRootController::openEntry(const std::string& label, bool animated) {
  for (const BundleEntry& entry : installedEntries()) {
    if (entry.label != label) continue;
    Result<std::shared_ptr<preferences::PSListController>> page = openBundle(entry);
    if (!page) {
      log::line(
          "Preferences: cannot open the settings bundle " + entry.bundle + ": " + page.reason(),
          log::Level::kError);
      auto alert = uikit::UIAlertController::alertControllerWithTitle(
          "Could not load " + entry.label, page.reason(), uikit::UIAlertControllerStyle::kAlert);
      alert->addAction(
          uikit::UIAlertAction::actionWithTitle("OK", uikit::UIAlertActionStyle::kCancel));
      presentViewController(alert, animated);
      return false;
    }
    pushController(*page, animated);
    return true;
  }
  log::line("Preferences: no settings entry named " + label, log::Level::kWarning);
  return false;
}

void SettingsRootController::didSelectRowAtIndexPath(uikit::UITableView& table,
                                                     const uikit::IndexPath& path) {
  table.deselectRowAtIndexPath(path, true);
  if (PSSpecifierRef row = specifierAtIndexPath(path)) openEntry(row->identifier(), true);
}

bool SettingsRootController::openURL(const PrefsLocation& url) {
  std::string opened = url.root;
  if (!openEntry(url.root, false)) return false;
  uikit::UINavigationController* navigation = navigationController();
  for (const std::string& component : url.path) {
    auto* page = navigation
                     ? dynamic_cast<preferences::PSListController*>(navigation->topViewController())
                     : nullptr;
    PSSpecifierRef row = page ? page->specifierForID(component) : nullptr;
    if (!row || !page->openSpecifier(row, false)) {
      log::line("Preferences: no page " + component + " under " + opened, log::Level::kWarning);
      break;
    }
    opened += "/" + component;
  }
  log::line("Preferences opened " + opened);
  return true;
}

}  // namespace sentrel::settings_app
