#include <cstdio>
#include <string>
#include <vector>

#include "platform/log/system_log.h"
#include "platform/uikit/alert_controller.h"
#include "tweak/common.h"
#include "tweak/sentrel_preferences/SNTPages.h"
#include "tweak/sentrel_preferences/page_support.h"

namespace sentrel {

using plist::Value;
using preferences::PSCellType;

namespace {

constexpr const char* kSupportAddress = "support@kelmora.ca";

std::string counted(const char* format, size_t count) {
  char text[128];
  std::snprintf(text, sizeof text, format, static_cast<unsigned long>(count));
  return text;
}

}  // namespace

// ---- SNTColoredTableCell ----

SNTColoredTableCell::SNTColoredTableCell(PSSpecifierRef specifier)
    : preferences::PSTableCell(std::move(specifier), uikit::UITableViewCellStyle::kDefault) {}

void SNTColoredTableCell::layoutSubviews() {
  preferences::PSTableCell::layoutSubviews();
  applyColours();
  const PSSpecifierRef& row = specifier();
  if (row && row->boolProperty("centerText", true)) {
    textLabel().setTextAlignment(uikit::NSTextAlignment::kCenter);
    const uikit::CGRect b = contentView().bounds();
    textLabel().setFrame(uikit::CGRectMake(0, 0, b.size.width, b.size.height));
  }
}

void SNTColoredTableCell::setHighlighted(bool highlighted) {
  preferences::PSTableCell::setHighlighted(highlighted);
  applyColours();
}

void SNTColoredTableCell::applyColours() {
  const PSSpecifierRef& row = specifier();
  if (!row) return;
  using uikit::UIColor;
  // Background: the row's colour, highlighted or not; else the system
  // background of the application's appearance, or the highlight.
  if (std::optional<UIColor> background = row->colorForKey("backgroundColor")) {
    setBackgroundColor(*background);
  } else if (!isHighlighted()) {
    setBackgroundColor(userInterfaceStyle() == uikit::UIUserInterfaceStyle::kDark
                           ? UIColor::secondarySystemBackgroundColor()
                           : UIColor::systemBackgroundColor());
  }
  const bool destructive = row->boolProperty(preferences::PSIsDestructiveKey, false);
  const bool enabled = row->boolProperty(preferences::PSEnabledKey, true);
  UIColor text = UIColor::systemBlueColor();
  if (std::optional<UIColor> own = row->colorForKey("textColor")) {
    text = *own;
  } else if (!row->hasProperty("backgroundColor") && destructive) {
    text = isHighlighted() ? UIColor::colorWithRed(0.9, 0, 0, 1) : UIColor::systemRedColor();
  }
  textLabel().setTextColor(enabled ? text : UIColor::secondaryLabelColor());
}

// ---- SNTRootListController ----

SNTRootListController::SNTRootListController() {
  registerAction("reloadBackBoard", [this](PSSpecifier&) { reloadBackBoard(); });
}

void SNTRootListController::initSettingsIfNeeded() {
  if (settingsCache_) return;
  settingsCache_ = std::make_unique<SNTSettings>();
  settingsCache_->reload();
}

std::vector<PSSpecifierRef>& SNTRootListController::specifiers() {
  log::line("SNTRootListController:: specifiers");
  if (!specifiers_.empty()) return specifiers_;
  initSettingsIfNeeded();
  std::vector<PSSpecifierRef> list = loadSpecifiersFromPlistName("Root", weakSelf());
  if (list.empty()) return specifiers_;
  const bool enabled = settingsCache_->firewallEnabled();
  addAdvancedLink(list, enabled);
  addGlobalRulesButton(list, enabled);
  addUserLink(list, enabled);
  addSystemAndHiddenLinks(list, enabled);
  const size_t uninstalled =
      SNTAppsController::uninstalledAppsWithRules(settingsCache_.get()).size();
  if (uninstalled > 0) {
    list.push_back(PSSpecifier::emptyGroupSpecifier());
    char name[64];
    std::snprintf(name, sizeof name, "Uninstalled Apps (%ld)", static_cast<long>(uninstalled));
    list.push_back(pages::link(*this, name, "SNTUninstalledAppsController"));
  }
  addRespringButton(list);
  specifiers_ = std::move(list);
  return specifiers_;
}

void SNTRootListController::addAdvancedLink(std::vector<PSSpecifierRef>& list, bool enabled) {
  PSSpecifierRef link = pages::link(*this, "Advanced Settings", "SNTMetaController");
  link->setProperty(Value::boolean(enabled), preferences::PSEnabledKey);
  list.push_back(link);
}

void SNTRootListController::addGlobalRulesButton(std::vector<PSSpecifierRef>& list, bool enabled) {
  list.push_back(PSSpecifier::groupSpecifierWithName("Global Rules"));
  const Value hostMap = settingsCache_->globalHosts();
  const plist::Dict* hosts = hostMap.asDict();
  PSSpecifierRef link =
      pages::link(*this, counted("Global Site Rules (%lu)", hosts ? hosts->size() : 0),
                  "SNTGlobalRulesController");
  link->setIdentifier("GlobalSites");
  link->setProperty(Value::boolean(enabled), preferences::PSEnabledKey);
  list.push_back(link);
}

void SNTRootListController::addUserLink(std::vector<PSSpecifierRef>& list, bool enabled) {
  list.push_back(PSSpecifier::groupSpecifierWithName("App-Specific Settings"));
  const size_t count = settingsCache_->shouldShowAppsWithNoNetworkActivity()
                           ? SNTAppsController::userApps().size()
                           : SNTAppsController::userAppsWithRules(settingsCache_.get()).size();
  PSSpecifierRef link =
      pages::link(*this, counted("User Apps (%lu)", count), "SNTUserAppsController");
  link->setIdentifier("UserApps");
  link->setProperty(Value::boolean(enabled), preferences::PSEnabledKey);
  list.push_back(link);
}

void SNTRootListController::addSystemAndHiddenLinks(std::vector<PSSpecifierRef>& list,
                                                    bool enabled) {
  list.push_back(PSSpecifier::groupSpecifierWithName("System & Hidden app Settings"));
  PSSpecifierRef toggle = PSSpecifier::preferenceSpecifierNamed(
      "Enable System App Firewall", weakSelf(),
      "setPreferenceValue:specifier:", "readPreferenceValue:", "", PSCellType::PSSwitchCell, "");
  toggle->setProperty(Value::string("snt_system_apps_enabled"), preferences::PSKeyNameKey);
  toggle->setProperty(Value::boolean(false), preferences::PSDefaultValueKey);
  toggle->setProperty(Value::boolean(enabled), preferences::PSEnabledKey);
  list.push_back(toggle);

  const bool all = settingsCache_->shouldShowAppsWithNoNetworkActivity();
  const bool systemOn = enabled && settingsCache_->systemSentrelEnabled();
  const size_t systemCount =
      all ? SNTAppsController::systemApps().size()
          : SNTAppsController::systemAppsWithRules(settingsCache_.get()).size();
  PSSpecifierRef system =
      pages::link(*this, counted("System Apps (%lu)", systemCount), "SNTSystemAppsController");
  system->setIdentifier("SystemApps");
  system->setProperty(Value::boolean(systemOn), preferences::PSEnabledKey);
  list.push_back(system);
  const size_t hiddenCount =
      all ? SNTAppsController::hiddenApps().size()
          : SNTAppsController::hiddenAppsWithRules(settingsCache_.get()).size();
  PSSpecifierRef hidden =
      pages::link(*this, counted("Hidden Apps (%lu)", hiddenCount), "SNTHiddenAppsController");
  hidden->setIdentifier("HiddenApps");
  hidden->setProperty(Value::boolean(systemOn), preferences::PSEnabledKey);
  list.push_back(hidden);
}

void SNTRootListController::addRespringButton(std::vector<PSSpecifierRef>& list) {
  list.push_back(PSSpecifier::emptyGroupSpecifier());
  PSSpecifierRef button = PSSpecifier::preferenceSpecifierNamed(
      "Respring/Reload", weakSelf(), "setPreferenceValue:specifier:", "readPreferenceValue:", "",
      PSCellType::PSButtonCell, "");
  button->setProperty(Value::string("SNTColoredTableCell"), preferences::PSCellClassKey);
  button->setButtonAction("reloadBackBoard");
  list.push_back(button);
}

Value SNTRootListController::readPreferenceValue(PSSpecifier& specifier) {
  initSettingsIfNeeded();
  return pages::valueFor(settingsCache_->settings(), specifier);
}

void SNTRootListController::setPreferenceValue(const Value& value, PSSpecifier& specifier) {
  initSettingsIfNeeded();
  const std::string key = pages::keyOf(specifier);
  if (key == "new_app_policy") {
    auto sheet = uikit::UIAlertController::alertControllerWithTitle(
        "Changing new app policy",
        "This will only apply to new requests from new apps. You can change this setting for "
        "existing apps at: \n\nUser Apps -> <name> -> New Site Policy",
        uikit::UIAlertControllerStyle::kActionSheet);
    std::weak_ptr<PSListController> weak = weakSelf();
    sheet->addAction(uikit::UIAlertAction::actionWithTitle(
        "OK", uikit::UIAlertActionStyle::kDefault, [weak, value, key](uikit::UIAlertAction&) {
          auto self = std::static_pointer_cast<SNTRootListController>(weak.lock());
          if (self) self->freezeAppsAndSetPolicy(value, key);
        }));
    sheet->addAction(uikit::UIAlertAction::actionWithTitle(
        "Cancel", uikit::UIAlertActionStyle::kCancel, [weak](uikit::UIAlertAction&) {
          if (auto self = weak.lock()) self->reloadSpecifiers();
        }));
    std::shared_ptr<SNTFirewall> current = SNTFirewall::current_raw();
    presentViewController(sheet,
                          current ? current->shouldAnimate() : settingsCache_->shouldAnimate());
    return;
  }
  plist::MutableDict document(settingsCache_->settings());
  document.set(key, value);
  settingsCache_->setSettings(std::move(document).build());
  settingsCache_->save(true);
  reloadSpecifiers();
}

void SNTRootListController::freezeAppsAndSetPolicy(const Value& value, const std::string& key) {
  initSettingsIfNeeded();
  // The policy in force until now, from the document this page holds.
  const Value stored = settingsCache_->settings().get("new_app_policy");
  const std::string oldPolicy = stored.isString() ? *stored.asString() : "3";
  plist::MutableDict document(settingsCache_->settings());
  const Value appMap = document.get("apps");
  if (const plist::Dict* apps = appMap.asDict()) {
    plist::MutableDict frozen(*apps);
    for (const auto& [bundleId, entry] : *apps) {
      if (!entry.isDict()) continue;
      plist::MutableDict app(entry);
      if (app.get("firewall_enabled").isNull())
        app.set("firewall_enabled", Value::boolean(oldPolicy != "0"));
      if (app.get("new_site_policy").isNull() && oldPolicy != "0")
        app.set("new_site_policy", Value::string(oldPolicy));
      frozen.set(bundleId, std::move(app).build());
    }
    document.set("apps", std::move(frozen).build());
  }
  document.set(key, value);
  settingsCache_->setSettings(std::move(document).build());
  settingsCache_->save(true);
  reloadSpecifiers();
}

void SNTRootListController::viewDidAppear(bool animated) {
  PSListController::viewDidAppear(animated);
  if (!showedBetaAlert_) {
    showedBetaAlert_ = true;
    showBetaAlert();
  }
  settingsCache_.reset();
  reloadSpecifiers();
}

void SNTRootListController::showBetaAlert() {
  const std::string message =
      std::string(
          "\nThis tweak is in active development. While data loss is unlikely, we won't be "
          "responsible if something goes wrong. Use at your own risk.\n\nThe following features "
          "are not supported at this time:\n\n- Root apps (Cydia etc.)\n- Daemons\n- "
          "SpringBoard\n- Inbound connections (SSH etc.)\n- Push Notifications\n\nPlease note "
          "that system-wide / kernel tweak issues can potentially prevent essential daemons "
          "from starting. If you have any issues re-jailbreaking, or any other issues or "
          "suggestions, please send an email to ") +
      kSupportAddress + ".\n\nEnjoy!";
  auto alert = uikit::UIAlertController::alertControllerWithTitle(
      "Thanks for downloading Sentrel!\n", message, uikit::UIAlertControllerStyle::kAlert);
  alert->addAction(uikit::UIAlertAction::actionWithTitle("OK", uikit::UIAlertActionStyle::kCancel));
  presentViewController(alert, true);
}

void SNTRootListController::reloadBackBoard() {
  runDeviceProgramAndWait("/usr/bin/killall", {"killall", "backboardd"});
}

// ---- Registration ----

void registerSentrelPreferencesClasses() {
  using preferences::registerControllerClass;
  registerControllerClass("SNTRootListController",
                          [] { return std::make_shared<SNTRootListController>(); });
  registerControllerClass("SNTUserAppsController",
                          [] { return std::make_shared<SNTUserAppsController>(); });
  registerControllerClass("SNTSystemAppsController",
                          [] { return std::make_shared<SNTSystemAppsController>(); });
  registerControllerClass("SNTHiddenAppsController",
                          [] { return std::make_shared<SNTHiddenAppsController>(); });
  registerControllerClass("SNTUninstalledAppsController",
                          [] { return std::make_shared<SNTUninstalledAppsController>(); });
  registerControllerClass("SNTAppSettingsController",
                          [] { return std::make_shared<SNTAppSettingsController>(); });
  registerControllerClass("SNTGlobalRulesController",
                          [] { return std::make_shared<SNTGlobalRulesController>(); });
  registerControllerClass("SNTMetaController",
                          [] { return std::make_shared<SNTMetaController>(); });
  preferences::registerCellClass("SNTColoredTableCell", [](const PSSpecifierRef& specifier) {
    return std::make_shared<SNTColoredTableCell>(specifier);
  });
}

}  // namespace sentrel
