// The settings bundle's pages: the root page, the app lists, the per-app
// page, the global rules page and the maintenance page, and the button cell
// they share. Each page is a list page of the Preferences framework, found
// by class name once the bundle is loaded (registerSentrelPreferencesClasses).
//
// Every page reads the settings document from the file and changes it only
// through the settings store (SNTSettings, PrefHandler, SNTFirewall), which
// asks SpringBoard to write it. Main thread only, like every page.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/plist/value.h"
#include "platform/preferences/preferences.h"
#include "tweak/SNTFirewall.h"
#include "tweak/SNTSettings.h"

namespace sentrel {

using preferences::PSListController;
using preferences::PSSpecifier;
using preferences::PSSpecifierRef;

// Registers every page and cell class of the bundle by name. Idempotent.
void registerSentrelPreferencesClasses();

// The domain every editable row names.
inline constexpr const char* kPreferencesDomain = "ca.kelmora.sentrel_preferences";

// A button cell styled from its row: centred text (unless "centerText" is
// false), the link colour, or red for a destructive row without a
// "backgroundColor", red 0.9 while highlighted.
class SNTColoredTableCell : public preferences::PSTableCell {
 public:
  explicit SNTColoredTableCell(PSSpecifierRef specifier);
  void layoutSubviews() override;
  // The row's colours follow the highlight at once: a destructive button's
  // text darkens, and a row's own background stays.
  void setHighlighted(bool highlighted) override;

 private:
  void applyColours();
};

class SNTRootListController : public PSListController {
 public:
  SNTRootListController();
  std::vector<PSSpecifierRef>& specifiers() override;
  plist::Value readPreferenceValue(PSSpecifier& specifier) override;
  void setPreferenceValue(const plist::Value& value, PSSpecifier& specifier) override;
  void viewDidAppear(bool animated) override;

  void initSettingsIfNeeded();
  void addAdvancedLink(std::vector<PSSpecifierRef>& list, bool enabled);
  void addGlobalRulesButton(std::vector<PSSpecifierRef>& list, bool enabled);
  void addUserLink(std::vector<PSSpecifierRef>& list, bool enabled);
  void addSystemAndHiddenLinks(std::vector<PSSpecifierRef>& list, bool enabled);
  void addRespringButton(std::vector<PSSpecifierRef>& list);
  void showBetaAlert();
  void reloadBackBoard();
  // The "OK" of the new-app-policy sheet: fills what existing apps' entries
  // leave to the old policy, then stores the new one.
  void freezeAppsAndSetPolicy(const plist::Value& value, const std::string& key);

  SNTSettings* settingsCache() const { return settingsCache_.get(); }
  bool showedBetaAlert() const { return showedBetaAlert_; }

 private:
  std::unique_ptr<SNTSettings> settingsCache_;
  bool showedBetaAlert_ = false;
};

// The app lists. The class-level queries answer bundle id -> display name
// (the uninstalled one: bundle id -> the app's settings entry).
class SNTAppsController : public PSListController {
 public:
  using AppMap = std::map<std::string, plist::Value>;

  static AppMap userApps();
  static AppMap systemApps();
  static AppMap hiddenApps();
  static AppMap userAppsWithRules(SNTSettings* settings);
  static AppMap systemAppsWithRules(SNTSettings* settings);
  static AppMap hiddenAppsWithRules(SNTSettings* settings);
  static AppMap uninstalledAppsWithRules(SNTSettings* settings);

  void viewDidLoad() override;
  void viewDidAppear(bool animated) override;
  void initSettingsIfNil();
  bool shouldShowAll() const;
  plist::Value readPreferenceValue(PSSpecifier& specifier) override;
  void setPreferenceValue(const plist::Value& value, PSSpecifier& specifier) override;

  PSSpecifierRef makeSpecifier(const std::string& bundleId, const AppMap* applications,
                               bool isSystemApp, bool isHiddenApp);
  PSSpecifierRef makeSpecifier(const std::string& bundleId, const AppMap* applications,
                               const std::string& customName, bool isSystemApp, bool isHiddenApp);

 protected:
  // The page's rows: the "Show all apps below" switch (unless `headless`),
  // then one row per app of `order` that makeSpecifier lists.
  void buildList(const char* className, const AppMap& apps, std::vector<std::string> order,
                 bool isSystemApp, bool isHiddenApp, bool headless);
  std::unique_ptr<SNTSettings> settingsCache_;
};

class SNTUserAppsController : public SNTAppsController {
 public:
  std::vector<PSSpecifierRef>& specifiers() override;
};
class SNTSystemAppsController : public SNTAppsController {
 public:
  std::vector<PSSpecifierRef>& specifiers() override;
};
class SNTHiddenAppsController : public SNTAppsController {
 public:
  std::vector<PSSpecifierRef>& specifiers() override;
};
class SNTUninstalledAppsController : public SNTAppsController {
 public:
  std::vector<PSSpecifierRef>& specifiers() override;
};

class SNTAppSettingsController : public PSListController {
 public:
  SNTAppSettingsController();
  std::vector<PSSpecifierRef>& specifiers() override;
  void viewDidLoad() override;
  void viewDidAppear(bool animated) override;
  void reloadSpecifiers() override;

  void initApp();
  void initAppIfNeeded();
  void setTitle();
  plist::Value readAppPreferenceValue(PSSpecifier& specifier);
  void setAppPreferenceValue(const plist::Value& value, PSSpecifier& specifier);
  PSSpecifierRef createHostSpecifier(const std::string& host, const plist::Value& prefs,
                                     bool enabled);
  void clearAppHosts(PSSpecifier& specifier);
  void clearAppPreferences(PSSpecifier& specifier);
  void restartApp(PSSpecifier& specifier);

  const std::string& appIdentifier() const { return appIdentifier_; }
  SNTFirewall* app() const { return app_.get(); }

 private:
  std::string appIdentifier_;
  bool isDaemon_ = false;
  std::shared_ptr<SNTFirewall> app_;
};

class SNTGlobalRulesController : public PSListController {
 public:
  SNTGlobalRulesController();
  std::vector<PSSpecifierRef>& specifiers() override;
  void viewDidLoad() override;
  void viewDidAppear(bool animated) override;
  void reloadSpecifiers() override;
  void loadSettings();
  void loadSettingsIfNeeded();
  plist::Value readPreferenceValue(PSSpecifier& specifier) override;
  void setPreferenceValue(const plist::Value& value, PSSpecifier& specifier) override;
  bool canEditRowAtIndexPath(uikit::UITableView& table, const uikit::IndexPath& path) override;
  uikit::UITableViewCellEditingStyle editingStyleForRowAtIndexPath(
      uikit::UITableView& table, const uikit::IndexPath& path) override;
  void commitEditingStyle(uikit::UITableView& table, uikit::UITableViewCellEditingStyle style,
                          const uikit::IndexPath& path) override;
  void removedSpecifier(PSSpecifier& specifier);
  void addHost();
  // "Add" of the add dialog with the text of its field.
  void addHostNamed(const std::string& host);
  void clearGlobalHosts(PSSpecifier& specifier);
  PSSpecifierRef createHostSpecifier(const std::string& host, const plist::Value& prefs,
                                     bool enabled);
  SNTSettings* settingsCache() const { return settingsCache_.get(); }

 private:
  void setTitle();
  std::unique_ptr<SNTSettings> settingsCache_;
};

class SNTMetaController : public PSListController {
 public:
  SNTMetaController();
  std::vector<PSSpecifierRef>& specifiers() override;
  plist::Value readPreferenceValue(PSSpecifier& specifier) override;
  void setPreferenceValue(const plist::Value& value, PSSpecifier& specifier) override;
  void rebootUserspace();
  void clearAllPreferences(PSSpecifier& specifier);
};

}  // namespace sentrel
