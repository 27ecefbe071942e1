#include <cstdio>
#include <string>
#include <vector>

#include "platform/log/system_log.h"
#include "tweak/common.h"
#include "tweak/preftools.h"
#include "tweak/sentrel_preferences/SNTPages.h"
#include "tweak/sentrel_preferences/page_support.h"

namespace sentrel {

using plist::Value;
using preferences::PSCellType;

namespace {
constexpr const char* kSetApp = "setAppPreferenceValue:specifier:";
constexpr const char* kGetApp = "readAppPreferenceValue:";

std::string textOf(const Value& value) {
  return value.isString() ? *value.asString() : std::string();
}
}  // namespace

SNTAppSettingsController::SNTAppSettingsController() {
  registerGetter(kGetApp, [this](PSSpecifier& s) { return readAppPreferenceValue(s); });
  registerSetter(kSetApp, [this](const Value& v, PSSpecifier& s) { setAppPreferenceValue(v, s); });
  registerAction("clearAppHosts:", [this](PSSpecifier& s) { clearAppHosts(s); });
  registerAction("clearAppPreferences:", [this](PSSpecifier& s) { clearAppPreferences(s); });
  registerAction("restartApp:", [this](PSSpecifier& s) { restartApp(s); });
}

void SNTAppSettingsController::viewDidLoad() {
  PSListController::viewDidLoad();
  appIdentifier_ = specifier() ? textOf(specifier()->propertyForKey("identifier")) : "";
  isDaemon_ = determineIfDaemon(appIdentifier_);
  if (!app_) initApp();
  setTitle();
}

void SNTAppSettingsController::initApp() {
  const PSSpecifierRef& row = specifier();
  const std::string identifier = row ? textOf(row->propertyForKey("identifier")) : "";
  appIdentifier_ = identifier;
  const bool isSystem = row && row->boolProperty("is_system_app", false);
  const bool isHidden = row && row->boolProperty("is_hidden_app", false);
  isDaemon_ = determineIfDaemon(identifier);
  const Value document = PrefHandler::loadSettings();
  const Value appSettings = getAppSettingsFromCache(document, identifier);
  app_ = SNTFirewall::pooledFirewallForBundle(
      identifier.empty() ? std::nullopt : std::optional<std::string_view>(identifier),
      row ? std::optional<std::string_view>(row->name()) : std::nullopt, isSystem, isHidden,
      isDaemon_, document, appSettings);
}

void SNTAppSettingsController::initAppIfNeeded() {
  if (!app_) initApp();
}

void SNTAppSettingsController::setTitle() {
  initAppIfNeeded();
  UIViewController::setTitle(app_->name().value_or("") + " Firewall");
  navigationItem().setTitle(title());
}

void SNTAppSettingsController::viewDidAppear(bool animated) {
  PSListController::viewDidAppear(animated);
  initApp();
  setTitle();
  reloadSpecifiers();
}

void SNTAppSettingsController::reloadSpecifiers() {
  PSListController::reloadSpecifiers();
  setTitle();
}

std::vector<PSSpecifierRef>& SNTAppSettingsController::specifiers() {
  if (!specifiers_.empty()) return specifiers_;
  std::vector<PSSpecifierRef> list = loadSpecifiersFromPlistName("App", weakSelf());
  initAppIfNeeded();
  const bool enabled = app_->enabled();
  log::linef("snt app %s enabled? %d", appIdentifier_.c_str(), enabled ? 1 : 0);
  const bool allowAll = app_->allowAllOutbound();
  const bool denyAll = app_->denyAllOutbound();
  const bool editable = !allowAll && !denyAll;
  log::linef("snt app %s hosts editable? %d appAllowAll ? %d appDenyAll? %d",
             appIdentifier_.c_str(), editable ? 1 : 0, allowAll ? 1 : 0, denyAll ? 1 : 0);

  auto toggle = [&](const char* name, const char* key, bool fallback, std::optional<bool> usable) {
    PSSpecifierRef row = pages::editable(*this, name, PSCellType::PSSwitchCell, kSetApp, kGetApp);
    row->setProperty(Value::string(key), preferences::PSKeyNameKey);
    row->setProperty(Value::boolean(fallback), preferences::PSDefaultValueKey);
    if (usable) row->setProperty(Value::boolean(*usable), preferences::PSEnabledKey);
    list.push_back(row);
  };
  toggle("Firewall Enabled", "firewall_enabled", enabled, std::nullopt);
  toggle("Allow All Connections", "allow_all_outbound", false, enabled && !denyAll);
  toggle("Block All Connections", "deny_all_outbound", false, enabled && !allowAll);

  PSSpecifierRef policy =
      pages::editable(*this, "New Site Policy", PSCellType::PSLinkListCell, kSetApp, kGetApp);
  policy->setDetailControllerClass("PSListItemsController");
  policy->setProperty(Value::string("new_site_policy"), preferences::PSKeyNameKey);
  policy->setProperty(Value::string(app_->appPolicy()), preferences::PSDefaultValueKey);
  policy->setProperty(Value::boolean(enabled && editable), preferences::PSEnabledKey);
  policy->setValues({Value::string("1"), Value::string("2"), Value::string("3")},
                    {"Allow", "Block", "Prompt (default)"}, {"Allow", "Block", "Prompt"});
  policy->setProperty(Value::string("How new connections will be handled"),
                      preferences::PSStaticTextMessageKey);
  list.push_back(policy);

  list.push_back(PSSpecifier::groupSpecifierWithName("Connection types"));
  toggle("Filter WebViews", "filter_webviews", true, enabled && editable);
  toggle("Filter Streams", "filter_streams", true, enabled && editable);

  list.push_back(PSSpecifier::groupSpecifierWithName("Allowed Sites"));
  const Value hostMap = app_->hosts();  // held: the loop reads into it
  if (const plist::Dict* hosts = hostMap.asDict()) {
    for (const auto& [host, prefs] : *hosts)
      list.push_back(createHostSpecifier(host, prefs, enabled && editable));
  }
  list.push_back(PSSpecifier::emptyGroupSpecifier());
  for (const auto& [name, action] : {std::pair{"Clear All Sites", "clearAppHosts:"},
                                     std::pair{"Delete app settings", "clearAppPreferences:"}}) {
    PSSpecifierRef button =
        pages::editable(*this, name, PSCellType::PSButtonCell, kSetApp, kGetApp);
    button->setProperty(Value::string("_dummy"), preferences::PSKeyNameKey);
    button->setProperty(Value::boolean(true), preferences::PSIsDestructiveKey);
    button->setProperty(Value::string("SNTColoredTableCell"), preferences::PSCellClassKey);
    button->setButtonAction(action);
    list.push_back(button);
  }
  list.push_back(PSSpecifier::emptyGroupSpecifier());
  specifiers_ = std::move(list);
  return specifiers_;
}

PSSpecifierRef SNTAppSettingsController::createHostSpecifier(const std::string& host,
                                                             const Value& prefs, bool enabled) {
  PSSpecifierRef row = pages::editable(*this, host, PSCellType::PSSwitchCell, kSetApp, kGetApp);
  row->setProperty(Value::string(host), "host");
  row->setProperty(Value::boolean(enabled), preferences::PSEnabledKey);
  row->setProperty(Value::boolean(prefs.asDict() && prefs.asDict()->contains("allowed")),
                   preferences::PSDefaultValueKey);
  row->setProperty(Value::string("allowed"), preferences::PSKeyNameKey);
  return row;
}

Value SNTAppSettingsController::readAppPreferenceValue(PSSpecifier& specifier) {
  initAppIfNeeded();
  const Value host = specifier.propertyForKey("host");
  if (host.isString()) return Value::boolean(app_->allowHost(*host.asString()));
  const Value entry = app_->appSettings();
  if (entry.isDict()) return pages::valueFor(entry, specifier);
  return specifier.propertyForKey(preferences::PSDefaultValueKey);
}

void SNTAppSettingsController::setAppPreferenceValue(const Value& value, PSSpecifier& specifier) {
  initAppIfNeeded();
  const Value host = specifier.propertyForKey("host");
  if (host.isString()) {
    app_->setAppHostBool(app_->name(), *host.asString(), std::nullopt,
                         value.numberAsBool().value_or(false));
    return;
  }
  plist::MutableDict entry(app_->appSettings());
  entry.set(pages::keyOf(specifier), value);
  app_->saveAppSettings(std::move(entry).build(), true);
  reloadSpecifiers();
}

void SNTAppSettingsController::clearAppHosts(PSSpecifier&) {
  initAppIfNeeded();
  app_->clearAllHosts(true);
  reloadSpecifiers();
}

void SNTAppSettingsController::clearAppPreferences(PSSpecifier&) {
  initAppIfNeeded();
  app_->deleteApp(true);
  if (uikit::UINavigationController* navigation = navigationController())
    navigation->popViewControllerAnimated(true);
}

void SNTAppSettingsController::restartApp(PSSpecifier&) {
  initAppIfNeeded();
  const std::optional<std::string> name = app_->name();
  SNT_kill_process(name);
  if (name) runDeviceProgramAndWait("/usr/bin/open", {"open", *name});
}

}  // namespace sentrel
