#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "platform/log/system_log.h"
#include "platform/preferences/application_list.h"
#include "tweak/preftools.h"
#include "tweak/sentrel_preferences/SNTPages.h"
#include "tweak/sentrel_preferences/page_support.h"

namespace sentrel {

using plist::Value;
using preferences::ALApplicationList;
using preferences::NSPredicate;
using preferences::PSCellType;

namespace {

constexpr const char* kUserFormat = "isSystemApplication = FALSE";
constexpr const char* kSystemFormat = "isSystemApplication = TRUE";
constexpr const char* kAllFormat = "(isSystemApplication = TRUE) or (isSystemApplication = FALSE)";

SNTAppsController::AppMap query(const char* format, bool onlyVisible,
                                std::vector<std::string>* order = nullptr) {
  SNTAppsController::AppMap out;
  for (auto& [id, name] :
       ALApplicationList::sharedApplicationList().applicationsFilteredUsingPredicate(
           NSPredicate::predicateWithFormat(format), onlyVisible, order)) {
    out.emplace(id, Value::string(name));
  }
  return out;
}

// The hidden apps: every app, minus the visible system and user ones; with
// `order`, in the title order of all apps.
SNTAppsController::AppMap hidden(std::vector<std::string>* order) {
  std::vector<std::string> all_order;
  SNTAppsController::AppMap all = query(kAllFormat, false, &all_order);
  std::set<std::string> visible;
  for (const char* format : {kSystemFormat, kUserFormat}) {
    for (const auto& [id, name] : query(format, true)) visible.insert(id);
  }
  for (const std::string& id : visible) all.erase(id);
  if (order) {
    order->clear();
    for (const std::string& id : all_order) {
      if (!visible.count(id)) order->push_back(id);
    }
  }
  return all;
}

SNTAppsController::AppMap withRules(SNTAppsController::AppMap apps, SNTSettings* settings) {
  const Value held = settings ? settings->settings().get("apps") : Value();
  const plist::Dict* entries = held.asDict();
  SNTAppsController::AppMap out;
  if (entries == nullptr) return out;
  for (auto& [id, name] : apps) {
    if (entries->contains(id)) out.emplace(id, std::move(name));
  }
  return out;
}

bool lessIgnoringCase(const std::string& a, const std::string& b) {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) <
           std::tolower(static_cast<unsigned char>(y));
  });
}

}  // namespace

SNTAppsController::AppMap SNTAppsController::userApps() {
  return query(kUserFormat, true);
}
SNTAppsController::AppMap SNTAppsController::systemApps() {
  return query(kSystemFormat, true);
}
SNTAppsController::AppMap SNTAppsController::hiddenApps() {
  return hidden(nullptr);
}
SNTAppsController::AppMap SNTAppsController::userAppsWithRules(SNTSettings* settings) {
  return withRules(userApps(), settings);
}
SNTAppsController::AppMap SNTAppsController::systemAppsWithRules(SNTSettings* settings) {
  return withRules(systemApps(), settings);
}
SNTAppsController::AppMap SNTAppsController::hiddenAppsWithRules(SNTSettings* settings) {
  return withRules(hiddenApps(), settings);
}

SNTAppsController::AppMap SNTAppsController::uninstalledAppsWithRules(SNTSettings* settings) {
  AppMap out;
  const Value held = settings ? settings->settings().get("apps") : Value();
  const plist::Dict* entries = held.asDict();
  if (entries == nullptr) return out;
  const AppMap installed = query(kAllFormat, false);
  for (const auto& [id, entry] : *entries) {
    if (id == "com.apple.springboard" || installed.count(id)) continue;
    out.emplace(id, entry);
  }
  return out;
}

void SNTAppsController::viewDidLoad() {
  PSListController::viewDidLoad();
  initSettingsIfNil();
}

void SNTAppsController::viewDidAppear(bool animated) {
  PSListController::viewDidAppear(animated);
  settingsCache_.reset();
  reloadSpecifiers();
}

void SNTAppsController::initSettingsIfNil() {
  if (settingsCache_ && !settingsCache_->settings().isNull()) return;
  settingsCache_ = std::make_unique<SNTSettings>();
  if (std::shared_ptr<SNTFirewall> firewall = SNTFirewall::current_raw()) {
    log::line("Initializing User apps with Preferences' SNTFirewall");
    settingsCache_->initWithDictionary(firewall->globalSettings());
  } else {
    log::line("Initializing user apps with pref file");
    settingsCache_->reload();
  }
}

bool SNTAppsController::shouldShowAll() const {
  if (!settingsCache_) return false;
  return settingsCache_->settings()
      .get("snt_no_network_apps_enabled")
      .numberAsBool()
      .value_or(false);
}

Value SNTAppsController::readPreferenceValue(PSSpecifier& specifier) {
  initSettingsIfNil();
  return pages::valueFor(settingsCache_->settings(), specifier);
}

void SNTAppsController::setPreferenceValue(const Value& value, PSSpecifier& specifier) {
  initSettingsIfNil();
  plist::MutableDict document(settingsCache_->settings());
  document.set(pages::keyOf(specifier), value);
  settingsCache_->setSettings(std::move(document).build());
  settingsCache_->save(true);
  reloadSpecifiers();
}

PSSpecifierRef SNTAppsController::makeSpecifier(const std::string& bundleId,
                                                const AppMap* applications, bool isSystemApp,
                                                bool isHiddenApp) {
  std::string name = bundleId;
  if (applications) {
    auto it = applications->find(bundleId);
    if (it != applications->end() && it->second.isString()) name = *it->second.asString();
  }
  return makeSpecifier(bundleId, applications, name, isSystemApp, isHiddenApp);
}

PSSpecifierRef SNTAppsController::makeSpecifier(const std::string& bundleId, const AppMap*,
                                                const std::string& customName, bool isSystemApp,
                                                bool isHiddenApp) {
  initSettingsIfNil();
  const bool isDaemon = determineIfDaemon(bundleId);
  const Value document = settingsCache_->settings();
  const Value appSettings = getAppSettingsFromCache(document, bundleId);
  std::shared_ptr<SNTFirewall> firewall = SNTFirewall::pooledFirewallForBundle(
      bundleId, customName, isSystemApp, isHiddenApp, isDaemon, document, appSettings);
  const plist::Dict* entry = appSettings.asDict();
  const Value hostMap = firewall ? firewall->hosts() : Value();
  const plist::Dict* hosts = hostMap.asDict();
  if (!shouldShowAll() && !(entry && !entry->empty()) && !(hosts && !hosts->empty()))
    return nullptr;
  PSSpecifierRef row = pages::link(*this, firewall ? firewall->ruleDescription() : customName,
                                   "SNTAppSettingsController");
  row->setProperty(Value::string(bundleId), "identifier");
  row->setIdentifier(bundleId);
  row->setProperty(Value::boolean(isSystemApp), "is_system_app");
  row->setProperty(Value::boolean(isHiddenApp), "is_hidden_app");
  row->setProperty(Value::string(customName), "process_name");
  row->setProperty(Value::boolean(settingsCache_->firewallEnabled()), preferences::PSEnabledKey);
  row->setProperty(ALApplicationList::sharedApplicationList().iconOfSize(29, bundleId),
                   preferences::PSIconImageKey);
  return row;
}

void SNTAppsController::buildList(const char* className, const AppMap& apps,
                                  std::vector<std::string> order, bool isSystemApp,
                                  bool isHiddenApp, bool headless) {
  (void)className;
  std::vector<PSSpecifierRef> list;
  if (!headless) {
    PSSpecifierRef all = PSSpecifier::preferenceSpecifierNamed(
        "Show all apps below", weakSelf(),
        "setPreferenceValue:specifier:", "readPreferenceValue:", "", PSCellType::PSSwitchCell, "");
    all->setProperty(Value::string("snt_no_network_apps_enabled"), preferences::PSKeyNameKey);
    all->setProperty(Value::boolean(false), preferences::PSDefaultValueKey);
    all->setProperty(Value::boolean(settingsCache_->firewallEnabled()), preferences::PSEnabledKey);
    list.push_back(all);
    list.push_back(PSSpecifier::emptyGroupSpecifier());
  }
  if (headless || settingsCache_->shouldShowOnlyBundleIds()) {
    order.clear();
    for (const auto& [id, value] : apps) order.push_back(id);
    std::stable_sort(order.begin(), order.end(), lessIgnoringCase);
  }
  for (const std::string& id : order) {
    if (headless && id == "com.apple.springboard") continue;
    if (PSSpecifierRef row =
            makeSpecifier(id, headless ? nullptr : &apps, isSystemApp, isHiddenApp))
      list.push_back(row);
  }
  specifiers_ = std::move(list);
}

std::vector<PSSpecifierRef>& SNTUserAppsController::specifiers() {
  log::line("SNTUserAppsController:: specifiers");
  if (!specifiers_.empty()) return specifiers_;
  initSettingsIfNil();
  std::vector<std::string> order;
  const AppMap apps = query(kUserFormat, true, &order);
  buildList("SNTUserAppsController", apps, order, false, false, false);
  return specifiers_;
}

std::vector<PSSpecifierRef>& SNTSystemAppsController::specifiers() {
  log::line("SNTSystemAppsController:: specifiers");
  if (!specifiers_.empty()) return specifiers_;
  initSettingsIfNil();
  std::vector<std::string> order;
  const AppMap apps = query(kSystemFormat, true, &order);
  buildList("SNTSystemAppsController", apps, order, true, false, false);
  return specifiers_;
}

std::vector<PSSpecifierRef>& SNTHiddenAppsController::specifiers() {
  log::line("SNTHiddenAppsController:: specifiers");
  if (!specifiers_.empty()) return specifiers_;
  initSettingsIfNil();
  std::vector<std::string> order;
  const AppMap apps = hidden(&order);
  buildList("SNTHiddenAppsController", apps, order, true, true, false);
  return specifiers_;
}

std::vector<PSSpecifierRef>& SNTUninstalledAppsController::specifiers() {
  log::line("SNTUninstalledAppsController:: specifiers");
  if (!specifiers_.empty()) return specifiers_;
  initSettingsIfNil();
  buildList("SNTUninstalledAppsController", uninstalledAppsWithRules(settingsCache_.get()), {},
            false, false, true);
  return specifiers_;
}

}  // namespace sentrel
