#include <string>
#include <vector>

#include "platform/log/system_log.h"
#include "platform/runloop/run_loop.h"
#include "platform/uikit/alert_controller.h"
#include "platform/uikit/text_field.h"
#include "tweak/common.h"
#include "tweak/host_input.h"
#include "tweak/preftools.h"
#include "tweak/sentrel_preferences/SNTPages.h"
#include "tweak/sentrel_preferences/page_support.h"

namespace sentrel {

using plist::Value;
using preferences::PSCellType;

namespace {
constexpr const char* kExampleHost = "ads.example.com";
}  // namespace

// ---- SNTGlobalRulesController ----

SNTGlobalRulesController::SNTGlobalRulesController() {
  registerAction("removedSpecifier:", [this](PSSpecifier& s) { removedSpecifier(s); });
  registerAction("clearGlobalHosts:", [this](PSSpecifier& s) { clearGlobalHosts(s); });
}

void SNTGlobalRulesController::loadSettings() {
  auto settings = std::make_unique<SNTSettings>();
  settings->reload();
  settingsCache_ = std::move(settings);
}

void SNTGlobalRulesController::loadSettingsIfNeeded() {
  if (!settingsCache_) loadSettings();
}

void SNTGlobalRulesController::setTitle() {
  UIViewController::setTitle("Global Firewall");
  navigationItem().setTitle("Global Firewall");
}

void SNTGlobalRulesController::viewDidLoad() {
  PSListController::viewDidLoad();
  loadSettingsIfNeeded();
  setTitle();
  std::weak_ptr<PSListController> weak = weakSelf();
  navigationItem().setRightBarButtonItem(uikit::UIBarButtonItem::initWithBarButtonSystemItem(
      uikit::UIBarButtonSystemItem::kAdd, [weak](uikit::UIBarButtonItem&) {
        if (auto self = std::static_pointer_cast<SNTGlobalRulesController>(weak.lock()))
          self->addHost();
      }));
}

void SNTGlobalRulesController::viewDidAppear(bool animated) {
  PSListController::viewDidAppear(animated);
  loadSettings();
  setTitle();
  reloadSpecifiers();
}

void SNTGlobalRulesController::reloadSpecifiers() {
  PSListController::reloadSpecifiers();
  setTitle();
}

std::vector<PSSpecifierRef>& SNTGlobalRulesController::specifiers() {
  if (!specifiers_.empty()) return specifiers_;
  loadSettingsIfNeeded();
  const bool enabled = settingsCache_->firewallEnabled();
  std::vector<PSSpecifierRef> list;
  PSSpecifierRef header = PSSpecifier::groupSpecifierWithName("Filtered Sites");
  header->setProperty(Value::string("On = Allow, Off = Block, Swipe to delete.\n\nNote: "
                                    "App-specific settings override global settings."),
                      preferences::PSFooterTextGroupKey);
  list.push_back(header);
  const Value hostMap = settingsCache_->globalHosts();  // held: the loop reads into it
  if (const plist::Dict* hosts = hostMap.asDict()) {
    for (const auto& [host, prefs] : *hosts)
      list.push_back(createHostSpecifier(host, prefs, enabled));
  }
  list.push_back(PSSpecifier::emptyGroupSpecifier());
  PSSpecifierRef clear = pages::editable(*this, "Clear All Global Sites", PSCellType::PSButtonCell,
                                         "setPreferenceValue:specifier:", "readPreferenceValue:");
  clear->setProperty(Value::string("_dummy"), preferences::PSKeyNameKey);
  clear->setProperty(Value::boolean(true), preferences::PSIsDestructiveKey);
  clear->setProperty(Value::string("SNTColoredTableCell"), preferences::PSCellClassKey);
  clear->setButtonAction("clearGlobalHosts:");
  list.push_back(clear);
  list.push_back(PSSpecifier::emptyGroupSpecifier());
  specifiers_ = std::move(list);
  return specifiers_;
}

PSSpecifierRef SNTGlobalRulesController::createHostSpecifier(const std::string& host,
                                                             const Value& prefs, bool enabled) {
  PSSpecifierRef row = pages::editable(*this, host, PSCellType::PSSwitchCell,
                                       "setPreferenceValue:specifier:", "readPreferenceValue:");
  row->setProperty(Value::string(host), "host");
  row->setProperty(Value::boolean(enabled), preferences::PSEnabledKey);
  row->setProperty(Value::string("removedSpecifier:"), preferences::PSDeletionActionKey);
  row->setProperty(Value::boolean(prefs.asDict() && prefs.asDict()->contains("allowed")),
                   preferences::PSDefaultValueKey);
  row->setProperty(Value::string("allowed"), preferences::PSKeyNameKey);
  return row;
}

Value SNTGlobalRulesController::readPreferenceValue(PSSpecifier& specifier) {
  loadSettingsIfNeeded();
  const Value host = specifier.propertyForKey("host");
  if (!host.isString()) return Value::boolean(false);
  return Value::boolean(settingsCache_->explicitGlobalRuleForHost(*host.asString()) == 1);
}

void SNTGlobalRulesController::setPreferenceValue(const Value& value, PSSpecifier& specifier) {
  loadSettingsIfNeeded();
  const Value host = specifier.propertyForKey("host");
  if (!host.isString()) return;
  settingsCache_->setGlobalHostBool(*host.asString(), std::nullopt,
                                    value.numberAsBool().value_or(false));
}

bool SNTGlobalRulesController::canEditRowAtIndexPath(uikit::UITableView&,
                                                     const uikit::IndexPath& path) {
  PSSpecifierRef row = specifierAtIndexPath(path);
  return row && row->cellType() == PSCellType::PSSwitchCell;
}

uikit::UITableViewCellEditingStyle SNTGlobalRulesController::editingStyleForRowAtIndexPath(
    uikit::UITableView& table, const uikit::IndexPath& path) {
  return canEditRowAtIndexPath(table, path) ? uikit::UITableViewCellEditingStyle::kDelete
                                            : uikit::UITableViewCellEditingStyle::kNone;
}

void SNTGlobalRulesController::commitEditingStyle(uikit::UITableView&,
                                                  uikit::UITableViewCellEditingStyle style,
                                                  const uikit::IndexPath& path) {
  if (style != uikit::UITableViewCellEditingStyle::kDelete) return;
  loadSettingsIfNeeded();
  PSSpecifierRef row = specifierAtIndexPath(path);
  const Value host = row ? row->propertyForKey("host") : Value();
  if (host.isString()) {
    settingsCache_->removeGlobalHostRule(*host.asString());
    reloadSpecifiers();
    return;
  }
  auto alert = uikit::UIAlertController::alertControllerWithTitle(
      "Delete failed", "Failed to find host... please try reloading settings",
      uikit::UIAlertControllerStyle::kAlert);
  alert->addAction(
      uikit::UIAlertAction::actionWithTitle("OK", uikit::UIAlertActionStyle::kDefault));
  presentViewController(alert, settingsCache_->shouldAnimate());
}

void SNTGlobalRulesController::removedSpecifier(PSSpecifier& specifier) {
  loadSettingsIfNeeded();
  const Value host = specifier.propertyForKey("host");
  if (host.isString()) settingsCache_->removeGlobalHostRule(*host.asString());
  reloadSpecifiers();
}

void SNTGlobalRulesController::addHost() {
  loadSettingsIfNeeded();
  auto alert = uikit::UIAlertController::alertControllerWithTitle(
      "New Host", "Enter a domain, subdomain, or wildcard to allow or block",
      uikit::UIAlertControllerStyle::kAlert);
  alert->addTextFieldWithConfigurationHandler([](uikit::UITextField& field) {
    field.setKeyboardType(uikit::UIKeyboardType::kURL);
    field.setPlaceholder(std::string("i.e. ") + kExampleHost);
  });
  std::weak_ptr<PSListController> weak = weakSelf();
  std::weak_ptr<uikit::UIAlertController> weakAlert = alert;
  alert->addAction(uikit::UIAlertAction::actionWithTitle(
      "Add", uikit::UIAlertActionStyle::kDefault, [weak, weakAlert](uikit::UIAlertAction&) {
        auto self = std::static_pointer_cast<SNTGlobalRulesController>(weak.lock());
        auto shown = weakAlert.lock();
        if (!self || !shown || shown->textFields().empty()) return;
        self->addHostNamed(shown->textFields().front()->text());
      }));
  alert->addAction(
      uikit::UIAlertAction::actionWithTitle("Cancel", uikit::UIAlertActionStyle::kCancel));
  presentViewController(alert, settingsCache_->shouldAnimate());
}

void SNTGlobalRulesController::addHostNamed(const std::string& host) {
  loadSettingsIfNeeded();
  // A rule decides for the exact host text a connection has: a URL or a
  // port is reduced to its host and capitals are lowered; a text no
  // connection could have (a wildcard, a range, spaces) is refused with why,
  // rather than stored as a rule that matches nothing.
  Result<HostInput> input = normalizeHostInput(host);
  if (!input) {
    auto alert = uikit::UIAlertController::alertControllerWithTitle(
        "Not a Host", input.reason(), uikit::UIAlertControllerStyle::kAlert);
    alert->addAction(
        uikit::UIAlertAction::actionWithTitle("OK", uikit::UIAlertActionStyle::kDefault));
    presentViewController(alert, settingsCache_->shouldAnimate());
    return;
  }
  settingsCache_->setGlobalHostRule(input->host, std::nullopt, 2);
  reloadSpecifiers();
}

void SNTGlobalRulesController::clearGlobalHosts(PSSpecifier&) {
  loadSettingsIfNeeded();
  auto sheet = uikit::UIAlertController::alertControllerWithTitle(
      "", "Are you sure? This cannot be undone.", uikit::UIAlertControllerStyle::kActionSheet);
  std::weak_ptr<PSListController> weak = weakSelf();
  sheet->addAction(uikit::UIAlertAction::actionWithTitle(
      "Clear all sites", uikit::UIAlertActionStyle::kDestructive, [weak](uikit::UIAlertAction&) {
        auto self = std::static_pointer_cast<SNTGlobalRulesController>(weak.lock());
        if (!self) return;
        self->settingsCache_->clearGlobalHosts(true);
        // SpringBoard writes the cleared document later: the file may not
        // show it yet, so the page takes the file with the clear applied.
        self->loadSettings();
        plist::MutableDict cleared(self->settingsCache_->settings());
        cleared.set("global_hosts", Value::dict({}));
        self->settingsCache_->setSettings(std::move(cleared).build());
        self->reloadSpecifiers();
      }));
  sheet->addAction(
      uikit::UIAlertAction::actionWithTitle("Cancel", uikit::UIAlertActionStyle::kCancel));
  presentViewController(sheet, settingsCache_->shouldAnimate());
}

// ---- SNTMetaController ----

SNTMetaController::SNTMetaController() {
  registerAction("rebootUserspace", [this](PSSpecifier&) { rebootUserspace(); });
  registerAction("clearAllPreferences:", [this](PSSpecifier& s) { clearAllPreferences(s); });
}

std::vector<PSSpecifierRef>& SNTMetaController::specifiers() {
  if (!specifiers_.empty()) return specifiers_;
  std::vector<PSSpecifierRef> list = loadSpecifiersFromPlistName("Meta", weakSelf());
  list.push_back(PSSpecifier::emptyGroupSpecifier());
  PSSpecifierRef reboot = PSSpecifier::preferenceSpecifierNamed(
      "Reboot Userspace", weakSelf(), "setPreferenceValue:specifier:", "readPreferenceValue:", "",
      PSCellType::PSButtonCell, "");
  reboot->setButtonAction("rebootUserspace");
  reboot->setProperty(Value::string("SNTColoredTableCell"), preferences::PSCellClassKey);
  reboot->setProperty(Value::boolean(true), preferences::PSIsDestructiveKey);
  list.push_back(reboot);
  list.push_back(PSSpecifier::emptyGroupSpecifier());
  PSSpecifierRef clear =
      pages::editable(*this, "Delete All Sentrel Settings", PSCellType::PSButtonCell,
                      "setAppPreferenceValue:specifier:", "readAppPreferenceValue:");
  clear->setProperty(Value::string("_dummy"), preferences::PSKeyNameKey);
  clear->setProperty(Value::boolean(true), preferences::PSIsDestructiveKey);
  clear->setProperty(Value::string("SNTColoredTableCell"), preferences::PSCellClassKey);
  clear->setButtonAction("clearAllPreferences:");
  list.push_back(clear);
  specifiers_ = std::move(list);
  return specifiers_;
}

Value SNTMetaController::readPreferenceValue(PSSpecifier& specifier) {
  return pages::valueFor(PrefHandler::loadSettings(), specifier);
}

void SNTMetaController::setPreferenceValue(const Value& value, PSSpecifier& specifier) {
  plist::MutableDict document(PrefHandler::loadSettings());
  document.set(pages::keyOf(specifier), value);
  PrefHandler::saveSettings(std::move(document).build(), true);
}

void SNTMetaController::rebootUserspace() {
  auto alert = uikit::UIAlertController::alertControllerWithTitle(
      "Are you sure?",
      "This will reboot userspace. This may cause your device to boot jailed on some jailbreaks.",
      uikit::UIAlertControllerStyle::kActionSheet);
  alert->addAction(
      uikit::UIAlertAction::actionWithTitle("Cancel", uikit::UIAlertActionStyle::kCancel));
  alert->addAction(uikit::UIAlertAction::actionWithTitle(
      "Reboot", uikit::UIAlertActionStyle::kDestructive, [](uikit::UIAlertAction&) {
        runDeviceProgramAndWait("/sbin/launchctl", {"launchctl", "reboot", "userspace"});
      }));
  presentViewController(alert, true);
}

void SNTMetaController::clearAllPreferences(PSSpecifier&) {
  const bool animated = SNTSettings::loadFromFile()->shouldAnimate();
  std::weak_ptr<PSListController> weak = weakSelf();
  auto sheet = [](std::string message, uikit::UIAlertAction::Handler confirmed) {
    auto alert = uikit::UIAlertController::alertControllerWithTitle(
        "", std::move(message), uikit::UIAlertControllerStyle::kActionSheet);
    alert->addAction(uikit::UIAlertAction::actionWithTitle(
        "Clear all settings", uikit::UIAlertActionStyle::kDestructive, std::move(confirmed)));
    alert->addAction(
        uikit::UIAlertAction::actionWithTitle("Cancel", uikit::UIAlertActionStyle::kCancel));
    return alert;
  };
  auto second = [weak, animated, sheet](uikit::UIAlertAction&) {
    auto self = weak.lock();
    if (!self) return;
    self->presentViewController(
        sheet("",
              [weak](uikit::UIAlertAction&) {
                auto page = weak.lock();
                if (!page) return;
                std::make_unique<SNTSettings>()->clearAll(true);
                if (uikit::UINavigationController* navigation = page->navigationController())
                  navigation->popViewControllerAnimated(true);
              }),
        animated);
  };
  presentViewController(sheet("Are you sure? This cannot be undone.", second), animated);
}

}  // namespace sentrel
