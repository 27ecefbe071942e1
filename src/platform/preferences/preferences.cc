#include "platform/preferences/preferences.h"

#include <algorithm>
#include <utility>

#include "platform/base/mutex.h"
#include "platform/log/system_log.h"
#include "platform/paths/device_paths.h"
#include "platform/plist/plist_codec.h"
#include "platform/uikit/screen.h"

namespace sentrel::preferences {

namespace {

constexpr const char* kReadPreferenceValue = "readPreferenceValue:";
constexpr const char* kSetPreferenceValue = "setPreferenceValue:specifier:";
constexpr size_t kMaxRows = 10000;  // a row list longer than this is not one

constexpr std::pair<const char*, PSCellType> kCellNames[] = {
    {"PSGroupCell", PSCellType::PSGroupCell},
    {"PSLinkCell", PSCellType::PSLinkCell},
    {"PSLinkListCell", PSCellType::PSLinkListCell},
    {"PSListItemCell", PSCellType::PSListItemCell},
    {"PSTitleValueCell", PSCellType::PSTitleValueCell},
    {"PSSliderCell", PSCellType::PSSliderCell},
    {"PSSwitchCell", PSCellType::PSSwitchCell},
    {"PSStaticTextCell", PSCellType::PSStaticTextCell},
    {"PSEditTextCell", PSCellType::PSEditTextCell},
    {"PSSegmentCell", PSCellType::PSSegmentCell},
    {"PSGiantIconCell", PSCellType::PSGiantIconCell},
    {"PSGiantCell", PSCellType::PSGiantCell},
    {"PSSecureEditTextCell", PSCellType::PSSecureEditTextCell},
    {"PSButtonCell", PSCellType::PSButtonCell},
    {"PSEditTextViewCell", PSCellType::PSEditTextViewCell},
};

struct Registry {
  Mutex mu;
  std::map<std::string, ControllerFactory, std::less<>> controllers GUARDED_BY(mu);
  std::map<std::string, CellFactory, std::less<>> cells GUARDED_BY(mu);
};

Registry& registry() {
  static auto* r = new Registry;  // lives as long as the process
  return *r;
}

std::string textOf(const plist::Value& value) {
  const std::string* text = value.asString();
  return text ? *text : std::string();
}

std::vector<std::string> textsOf(const plist::Value& value) {
  std::vector<std::string> out;
  if (const plist::Array* items = value.asArray()) {
    for (const plist::Value& item : *items) out.push_back(textOf(item));
  }
  return out;
}

}  // namespace

std::optional<PSCellType> PSCellTypeFromString(std::string_view name) {
  for (const auto& [text, type] : kCellNames) {
    if (name == text) return type;
  }
  return std::nullopt;
}

// ---- PSSpecifier ----

PSSpecifierRef PSSpecifier::preferenceSpecifierNamed(std::string name,
                                                     std::weak_ptr<PSListController> target,
                                                     std::string setSelector,
                                                     std::string getSelector,
                                                     std::string detailClassName, PSCellType cell,
                                                     std::string editClassName) {
  (void)editClassName;  // no page here edits rows in a pane of its own
  auto s = std::make_shared<PSSpecifier>();
  s->name_ = std::move(name);
  s->target_ = std::move(target);
  s->set_ = std::move(setSelector);
  s->get_ = std::move(getSelector);
  s->detail_ = std::move(detailClassName);
  s->cell_ = cell;
  return s;
}

PSSpecifierRef PSSpecifier::groupSpecifierWithName(std::string name) {
  auto s = std::make_shared<PSSpecifier>();
  s->name_ = std::move(name);
  s->cell_ = PSCellType::PSGroupCell;
  return s;
}

void PSSpecifier::setValues(plist::Array values, std::vector<std::string> titles,
                            std::vector<std::string> shortTitles) {
  values_ = std::move(values);
  titles_ = std::move(titles);
  shortTitles_ = std::move(shortTitles);
}

std::string PSSpecifier::titleForValue(const plist::Value& value, bool shortTitle) const {
  for (size_t i = 0; i < values_.size(); ++i) {
    if (!(values_[i] == value)) continue;
    if (shortTitle && i < shortTitles_.size()) return shortTitles_[i];
    return i < titles_.size() ? titles_[i] : std::string();
  }
  return {};
}

void PSSpecifier::setProperty(plist::Value value, const std::string& key) {
  if (value.isNull()) {
    properties_.erase(key);
    return;
  }
  properties_[key] = std::move(value);
}

void PSSpecifier::setProperty(uikit::UIColor color, const std::string& key) {
  properties_[key] = color;
}

void PSSpecifier::setProperty(uikit::UIImageRef image, const std::string& key) {
  if (!image) {
    properties_.erase(key);
    return;
  }
  properties_[key] = std::move(image);
}

plist::Value PSSpecifier::propertyForKey(const std::string& key) const {
  auto it = properties_.find(key);
  if (it == properties_.end()) return {};
  const plist::Value* value = std::get_if<plist::Value>(&it->second);
  return value ? *value : plist::Value();
}

std::optional<uikit::UIColor> PSSpecifier::colorForKey(const std::string& key) const {
  auto it = properties_.find(key);
  if (it == properties_.end()) return std::nullopt;
  const uikit::UIColor* color = std::get_if<uikit::UIColor>(&it->second);
  return color ? std::optional<uikit::UIColor>(*color) : std::nullopt;
}

uikit::UIImageRef PSSpecifier::imageForKey(const std::string& key) const {
  auto it = properties_.find(key);
  if (it == properties_.end()) return nullptr;
  const uikit::UIImageRef* image = std::get_if<uikit::UIImageRef>(&it->second);
  return image ? *image : nullptr;
}

bool PSSpecifier::boolProperty(const std::string& key, bool fallback) const {
  return propertyForKey(key).numberAsBool().value_or(fallback);
}

// ---- The registry ----

void registerControllerClass(std::string name, ControllerFactory factory) {
  Registry& r = registry();
  MutexLock lock(r.mu);
  r.controllers[std::move(name)] = std::move(factory);
}

std::shared_ptr<PSListController> newControllerOfClass(std::string_view name) {
  ControllerFactory factory;
  {
    Registry& r = registry();
    MutexLock lock(r.mu);
    auto it = r.controllers.find(name);
    if (it != r.controllers.end()) factory = it->second;
  }
  if (!factory) {
    log::line("Preferences: no page class named " + std::string(name), log::Level::kWarning);
    return nullptr;
  }
  return factory();
}

void registerCellClass(std::string name, CellFactory factory) {
  Registry& r = registry();
  MutexLock lock(r.mu);
  r.cells[std::move(name)] = std::move(factory);
}

CellFactory cellClassNamed(std::string_view name) {
  Registry& r = registry();
  MutexLock lock(r.mu);
  auto it = r.cells.find(name);
  return it == r.cells.end() ? CellFactory() : it->second;
}

// ---- PSTableCell ----

PSTableCell::PSTableCell(PSSpecifierRef specifier, uikit::UITableViewCellStyle style)
    : uikit::UITableViewCell(style), specifier_(std::move(specifier)) {}

void PSTableCell::refreshCellContentsWithSpecifier(const PSSpecifierRef& specifier) {
  specifier_ = specifier;
  if (!specifier_) return;
  const bool enabled = specifier_->boolProperty(PSEnabledKey, true);
  textLabel().setText(specifier_->name());
  textLabel().setTextColor(enabled ? uikit::UIColor::labelColor()
                                   : uikit::UIColor::secondaryLabelColor());
  setUserInteractionEnabled(enabled);
  if (uikit::UIImageRef icon = specifier_->imageForKey(PSIconImageKey)) {
    imageView().setImage(icon);
  }
  switch (specifier_->cellType()) {
    case PSCellType::PSLinkCell:
    case PSCellType::PSLinkListCell:
      setAccessoryType(uikit::UITableViewCellAccessoryType::kDisclosureIndicator);
      break;
    case PSCellType::PSButtonCell:
      textLabel().setTextAlignment(uikit::NSTextAlignment::kCenter);
      textLabel().setTextColor(!enabled ? uikit::UIColor::secondaryLabelColor()
                               : specifier_->boolProperty(PSIsDestructiveKey, false)
                                   ? uikit::UIColor::systemRedColor()
                                   : tintColor());
      break;
    case PSCellType::PSListItemCell:
      setAccessoryType(specifier_->boolProperty("checked", false)
                           ? uikit::UITableViewCellAccessoryType::kCheckmark
                           : uikit::UITableViewCellAccessoryType::kNone);
      break;
    case PSCellType::PSStaticTextCell:
    case PSCellType::PSTitleValueCell:
      setSelectionStyle(uikit::UITableViewCellSelectionStyle::kNone);
      break;
    default:
      break;
  }
  setNeedsLayout();
}

// ---- PSListController ----

PSListController::PSListController() {
  registerGetter(kReadPreferenceValue,
                 [this](PSSpecifier& specifier) { return readPreferenceValue(specifier); });
  registerSetter(kSetPreferenceValue, [this](const plist::Value& value, PSSpecifier& specifier) {
    setPreferenceValue(value, specifier);
  });
}

PSListController::~PSListController() {
  if (table_) {
    table_->setDataSource(nullptr);
    table_->setDelegate(nullptr);
  }
}

std::weak_ptr<PSListController> PSListController::weakSelf() {
  return std::static_pointer_cast<PSListController>(shared_from_this());
}

std::vector<PSSpecifierRef>& PSListController::specifiers() {
  return specifiers_;
}

void PSListController::reloadSpecifiers() {
  specifiers_.clear();
  (void)specifiers();
  if (table_) table_->reloadData();
}

void PSListController::viewDidLoad() {
  // A pushed page is titled by the row that opened it unless it sets its own.
  if (title().empty() && specifier_) setTitle(specifier_->name());
}

void PSListController::loadView() {
  auto table = std::make_shared<uikit::UITableView>(uikit::UIScreen::mainScreen().bounds(),
                                                    uikit::UITableViewStyle::kGrouped);
  table->setDataSource(this);
  table->setDelegate(this);
  table_ = table;
  setView(table);
  table_->reloadData();
}

void PSListController::registerGetter(std::string selector, Getter getter) {
  getters_[std::move(selector)] = std::move(getter);
}
void PSListController::registerSetter(std::string selector, Setter setter) {
  setters_[std::move(selector)] = std::move(setter);
}
void PSListController::registerAction(std::string selector, Action action) {
  actions_[std::move(selector)] = std::move(action);
}

bool PSListController::respondsToSelector(const std::string& selector) const {
  return getters_.count(selector) || setters_.count(selector) || actions_.count(selector);
}

plist::Value PSListController::performGetter(const std::string& selector, PSSpecifier& specifier) {
  auto it = getters_.find(selector);
  if (it == getters_.end()) {
    log::line("Preferences: no getter " + selector + " for " + specifier.name(),
              log::Level::kWarning);
    return {};
  }
  return it->second(specifier);
}

void PSListController::performSetter(const std::string& selector, const plist::Value& value,
                                     PSSpecifier& specifier) {
  auto it = setters_.find(selector);
  if (it == setters_.end()) {
    log::line("Preferences: no setter " + selector + " for " + specifier.name(),
              log::Level::kWarning);
    return;
  }
  Setter setter = it->second;  // the setter may rebuild the rows
  setter(value, specifier);
}

void PSListController::performAction(const std::string& selector, PSSpecifier& specifier) {
  auto it = actions_.find(selector);
  if (it == actions_.end()) {
    log::line("Preferences: no action " + selector + " for " + specifier.name(),
              log::Level::kWarning);
    return;
  }
  Action action = it->second;
  action(specifier);
}

namespace {
// The preferences file of a row's "defaults" domain.
std::filesystem::path domainFile(const PSSpecifier& specifier) {
  const std::string domain = textOf(specifier.propertyForKey(PSDefaultsKey));
  if (domain.empty() || domain.find('/') != std::string::npos || domain[0] == '.') return {};
  return paths::resolve("/var/mobile/Library/Preferences/" + domain + ".plist");
}
}  // namespace

plist::Value PSListController::readPreferenceValue(PSSpecifier& specifier) {
  const std::string key = textOf(specifier.propertyForKey(PSKeyNameKey));
  const std::filesystem::path file = domainFile(specifier);
  if (!key.empty() && !file.empty()) {
    if (Result<plist::Value> stored = plist::readDictionaryFile(file); stored) {
      if (plist::Value value = stored->get(key); !value.isNull()) return value;
    }
  }
  return specifier.propertyForKey(PSDefaultValueKey);
}

void PSListController::setPreferenceValue(const plist::Value& value, PSSpecifier& specifier) {
  const std::string key = textOf(specifier.propertyForKey(PSKeyNameKey));
  const std::filesystem::path file = domainFile(specifier);
  if (key.empty() || file.empty()) return;
  Result<plist::Value> stored = plist::readDictionaryFile(file);
  plist::MutableDict next(stored ? *stored : plist::Value());
  next.set(key, value);
  if (Status written = plist::writeFileAtomically(file, std::move(next).build(), 0600); !written) {
    log::line("Preferences: cannot save " + key + ": " + written.reason(), log::Level::kError);
  }
}

std::vector<PSSpecifierRef> PSListController::loadSpecifiersFromPlistName(
    const std::string& name, const std::weak_ptr<PSListController>& target) {
  const std::filesystem::path file = bundlePath_ / (name + ".plist");
  Result<plist::Value> list = plist::readDictionaryFile(file);
  if (!list) {
    log::line("Preferences: cannot read the row list " + name + ": " + list.reason(),
              log::Level::kWarning);
    return {};
  }
  return specifiersFromPlist(*list, target);
}

std::vector<PSSpecifierRef> PSListController::specifiersFromPlist(
    const plist::Value& list, const std::weak_ptr<PSListController>& target) {
  const plist::Value held = list.get("items");
  const plist::Array* items = held.asArray();
  if (items == nullptr) {
    log::line("Preferences: a row list without an \"items\" array", log::Level::kWarning);
    return {};
  }
  std::vector<PSSpecifierRef> rows;
  for (const plist::Value& item : *items) {
    if (rows.size() >= kMaxRows) {
      log::line("Preferences: a row list of more than " + std::to_string(kMaxRows) +
                    " rows; the rest is left out",
                log::Level::kWarning);
      break;
    }
    const plist::Dict* row = item.asDict();
    if (row == nullptr) {
      log::line("Preferences: a row that is not a dictionary is left out", log::Level::kWarning);
      continue;
    }
    const std::string cellName = textOf(row->get("cell"));
    std::optional<PSCellType> cell = PSCellTypeFromString(cellName);
    if (!cell) {
      log::line("Preferences: a row of unknown kind \"" + cellName + "\" is left out",
                log::Level::kWarning);
      continue;
    }
    std::string get = textOf(row->get("get"));
    std::string set = textOf(row->get("set"));
    if (get.empty()) get = kReadPreferenceValue;
    if (set.empty()) set = kSetPreferenceValue;
    PSSpecifierRef s = PSSpecifier::preferenceSpecifierNamed(
        textOf(row->get("label")), target, *cell == PSCellType::PSGroupCell ? "" : set,
        *cell == PSCellType::PSGroupCell ? "" : get, textOf(row->get("detail")), *cell, "");
    for (const auto& [key, value] : *row) {
      if (key == "cell" || key == "label" || key == "get" || key == "set" || key == "detail")
        continue;
      if (key == "action") {
        s->setButtonAction(textOf(value));
      } else if (key == "id") {
        s->setIdentifier(textOf(value));
      } else if (key != "validValues" && key != "validTitles" && key != "shortTitles") {
        s->setProperty(value, key);
      }
    }
    const plist::Value choices = row->get("validValues");
    if (const plist::Array* values = choices.asArray()) {
      s->setValues(*values, textsOf(row->get("validTitles")), textsOf(row->get("shortTitles")));
    }
    rows.push_back(std::move(s));
  }
  return rows;
}

std::vector<PSListController::Section> PSListController::sections() {
  std::vector<Section> out;
  for (const PSSpecifierRef& s : specifiers()) {
    if (!s) continue;
    if (s->cellType() == PSCellType::PSGroupCell) {
      out.push_back(Section{s, {}});
      continue;
    }
    if (out.empty()) out.push_back(Section{});
    out.back().rows.push_back(s);
  }
  return out;
}

PSSpecifierRef PSListController::specifierForID(std::string_view identifier) {
  for (const PSSpecifierRef& s : specifiers()) {
    if (s && s->identifier() == identifier) return s;
  }
  return nullptr;
}

PSSpecifierRef PSListController::specifierAtIndexPath(const IndexPath& indexPath) {
  if (indexPath.section < 0 || indexPath.section >= static_cast<long>(shown_.size()))
    return nullptr;
  const auto& rows = shown_[static_cast<size_t>(indexPath.section)].rows;
  if (indexPath.row < 0 || indexPath.row >= static_cast<long>(rows.size())) return nullptr;
  return rows[static_cast<size_t>(indexPath.row)];
}

std::optional<IndexPath> PSListController::indexPathForSpecifier(const PSSpecifier* specifier) {
  for (size_t s = 0; s < shown_.size(); ++s) {
    for (size_t r = 0; r < shown_[s].rows.size(); ++r) {
      if (shown_[s].rows[r].get() == specifier)
        return IndexPath{static_cast<long>(s), static_cast<long>(r)};
    }
  }
  return std::nullopt;
}

void PSListController::removeSpecifier(const PSSpecifierRef& specifier, bool animated) {
  auto it = std::find(specifiers_.begin(), specifiers_.end(), specifier);
  if (it == specifiers_.end()) return;
  specifiers_.erase(it);
  if (table_) table_->deleteRowsAtIndexPaths({}, animated);
}

void PSListController::addSpecifier(PSSpecifierRef specifier, bool animated) {
  specifiers_.push_back(std::move(specifier));
  if (table_) table_->insertRowsAtIndexPaths({}, animated);
}

void PSListController::pushController(const std::shared_ptr<uikit::UIViewController>& controller,
                                      bool animated) {
  if (auto* list = dynamic_cast<PSListController*>(controller.get())) {
    list->parentList_ = weakSelf();
    if (list->bundlePath_.empty()) list->bundlePath_ = bundlePath_;
  }
  uikit::UINavigationController* navigation = navigationController();
  if (navigation == nullptr) {
    log::line("Preferences: a page outside a navigation controller cannot push",
              log::Level::kWarning);
    return;
  }
  navigation->pushViewController(controller, animated);
}

bool PSListController::openSpecifier(const PSSpecifierRef& specifier, bool animated) {
  if (!specifier) return false;
  std::shared_ptr<PSListController> page;
  if (specifier->cellType() == PSCellType::PSLinkListCell) {
    page = std::make_shared<PSListItemsController>();
  } else if (specifier->cellType() == PSCellType::PSLinkCell &&
             !specifier->detailControllerClass().empty()) {
    page = newControllerOfClass(specifier->detailControllerClass());
  }
  if (!page) return false;
  page->setSpecifier(specifier);
  pushController(page, animated);
  return true;
}

// ---- The table ----

long PSListController::numberOfSectionsInTableView(uikit::UITableView&) {
  shown_ = sections();
  return static_cast<long>(shown_.size());
}

long PSListController::numberOfRowsInSection(uikit::UITableView&, long section) {
  if (section < 0 || section >= static_cast<long>(shown_.size())) return 0;
  return static_cast<long>(shown_[static_cast<size_t>(section)].rows.size());
}

std::string PSListController::titleForHeaderInSection(uikit::UITableView&, long section) {
  if (section < 0 || section >= static_cast<long>(shown_.size())) return {};
  const PSSpecifierRef& group = shown_[static_cast<size_t>(section)].group;
  return group ? group->name() : std::string();
}

std::string PSListController::titleForFooterInSection(uikit::UITableView&, long section) {
  if (section < 0 || section >= static_cast<long>(shown_.size())) return {};
  const PSSpecifierRef& group = shown_[static_cast<size_t>(section)].group;
  return group ? textOf(group->propertyForKey(PSFooterTextGroupKey)) : std::string();
}

uikit::UITableViewCellRef PSListController::cellForRowAtIndexPath(uikit::UITableView&,
                                                                  const IndexPath& indexPath) {
  PSSpecifierRef s = specifierAtIndexPath(indexPath);
  if (!s) return nullptr;
  std::shared_ptr<PSTableCell> cell;
  const std::string cellClass = textOf(s->propertyForKey(PSCellClassKey));
  if (!cellClass.empty()) {
    if (CellFactory factory = cellClassNamed(cellClass)) cell = factory(s);
    if (!cell) {
      log::line("Preferences: no cell class named " + cellClass + "; a plain cell stands in",
                log::Level::kWarning);
    }
  }
  if (!cell) cell = std::make_shared<PSTableCell>(s);
  cell->refreshCellContentsWithSpecifier(s);
  PSSpecifier* row = s.get();
  std::weak_ptr<PSListController> weak = weakSelf();
  if (s->cellType() == PSCellType::PSSwitchCell) {
    auto toggle = std::make_shared<uikit::UISwitch>();
    std::shared_ptr<PSListController> target = s->target();
    const plist::Value value =
        target ? target->performGetter(s->getSelector(), *s) : plist::Value();
    toggle->setOn(value.numberAsBool().value_or(false));
    toggle->setEnabled(s->boolProperty(PSEnabledKey, true));
    toggle->addTarget(
        this,
        [weak, row](uikit::UIControl& control, uikit::UIControlEvents) {
          auto self = weak.lock();
          if (!self) return;
          PSSpecifierRef held = self->indexPathForSpecifier(row)
                                    ? self->specifierAtIndexPath(*self->indexPathForSpecifier(row))
                                    : nullptr;
          if (!held) return;
          std::shared_ptr<PSListController> owner = held->target();
          const bool on = static_cast<uikit::UISwitch&>(control).isOn();
          if (owner) owner->performSetter(held->setSelector(), plist::Value::boolean(on), *held);
        },
        uikit::UIControlEventValueChanged);
    cell->switch_ = toggle;
    cell->setAccessoryView(toggle);
    cell->setSelectionStyle(uikit::UITableViewCellSelectionStyle::kNone);
    // The row stays touchable for its switch; the switch itself is greyed.
    cell->setUserInteractionEnabled(true);
  } else if (s->cellType() == PSCellType::PSLinkListCell && cell->detailTextLabel()) {
    std::shared_ptr<PSListController> target = s->target();
    const plist::Value value =
        target ? target->performGetter(s->getSelector(), *s) : plist::Value();
    cell->detailTextLabel()->setText(s->titleForValue(value, true));
  }
  return cell;
}

bool PSListController::canEditRowAtIndexPath(uikit::UITableView&, const IndexPath& indexPath) {
  PSSpecifierRef s = specifierAtIndexPath(indexPath);
  return s && s->hasProperty(PSDeletionActionKey);
}

uikit::UITableViewCellEditingStyle PSListController::editingStyleForRowAtIndexPath(
    uikit::UITableView& table, const IndexPath& indexPath) {
  return canEditRowAtIndexPath(table, indexPath) ? uikit::UITableViewCellEditingStyle::kDelete
                                                 : uikit::UITableViewCellEditingStyle::kNone;
}

void PSListController::commitEditingStyle(uikit::UITableView&,
                                          uikit::UITableViewCellEditingStyle style,
                                          const IndexPath& indexPath) {
  if (style != uikit::UITableViewCellEditingStyle::kDelete) return;
  PSSpecifierRef s = specifierAtIndexPath(indexPath);
  if (!s) return;
  const std::string action = textOf(s->propertyForKey(PSDeletionActionKey));
  removeSpecifier(s, true);
  if (!action.empty()) {
    if (std::shared_ptr<PSListController> target = s->target()) target->performAction(action, *s);
  }
}

void PSListController::didSelectRowAtIndexPath(uikit::UITableView& table,
                                               const IndexPath& indexPath) {
  table.deselectRowAtIndexPath(indexPath, true);
  PSSpecifierRef s = specifierAtIndexPath(indexPath);
  if (!s || !s->boolProperty(PSEnabledKey, true)) return;
  if (s->cellType() == PSCellType::PSButtonCell) {
    std::shared_ptr<PSListController> target = s->target();
    if (target && !s->buttonAction().empty()) target->performAction(s->buttonAction(), *s);
    return;
  }
  openSpecifier(s, true);
}

// ---- PSListItemsController ----

void PSListItemsController::viewDidLoad() {
  if (specifier()) setTitle(specifier()->name());
}

std::vector<PSSpecifierRef>& PSListItemsController::specifiers() {
  if (!specifiers_.empty() || !specifier()) return specifiers_;
  const PSSpecifierRef& row = specifier();
  std::shared_ptr<PSListController> target = row->target();
  const plist::Value current =
      target ? target->performGetter(row->getSelector(), *row) : plist::Value();
  PSSpecifierRef group = PSSpecifier::emptyGroupSpecifier();
  if (const std::string message = textOf(row->propertyForKey(PSStaticTextMessageKey));
      !message.empty())
    group->setProperty(plist::Value::string(message), PSFooterTextGroupKey);
  specifiers_.push_back(group);
  for (size_t i = 0; i < row->values().size(); ++i) {
    const std::string title = i < row->titles().size() ? row->titles()[i] : std::string();
    PSSpecifierRef item = PSSpecifier::preferenceSpecifierNamed(title, weakSelf(), "", "", "",
                                                                PSCellType::PSListItemCell, "");
    item->setProperty(row->values()[i], "value");
    item->setProperty(plist::Value::boolean(row->values()[i] == current), "checked");
    specifiers_.push_back(item);
  }
  return specifiers_;
}

void PSListItemsController::didSelectRowAtIndexPath(uikit::UITableView& table,
                                                    const IndexPath& indexPath) {
  table.deselectRowAtIndexPath(indexPath, true);
  PSSpecifierRef item = specifierAtIndexPath(indexPath);
  const PSSpecifierRef& row = specifier();
  if (!item || !row) return;
  if (std::shared_ptr<PSListController> target = row->target())
    target->performSetter(row->setSelector(), item->propertyForKey("value"), *row);
  if (uikit::UINavigationController* navigation = navigationController())
    navigation->popViewControllerAnimated(true);
}

}  // namespace sentrel::preferences
