// The Preferences framework as settings bundles use it: rows described by
// specifiers, list pages that show them in a grouped table, the cells for
// each kind of row, and classes found by name.
//
// A specifier names its getter, setter and action by selector; the names
// are resolved on its target page, which keeps a table of the selectors it
// answers ("readPreferenceValue:" and "setPreferenceValue:specifier:" on
// every page; subclasses register their own). An unknown selector logs and
// does nothing (a getter reads null).
//
// A page (PSListController) builds its rows through specifiers() when its
// row list is empty; reloadSpecifiers() empties it and builds it again.
// Group rows start sections (their name is the header, "footerText" the
// footer). A link row pushes its detail page, made by class name, with the
// row set as the page's specifier; a link-list row pushes a
// PSListItemsController; a button row calls its action; a switch row shows
// its getter's value and calls its setter with the new one. A row whose
// "enabled" property is false is greyed out and takes no touches. A row
// with a deletion action can be swiped away.
//
// Row lists ("<name>.plist" in the bundle folder, an "items" array of row
// dictionaries) are read with loadSpecifiersFromPlistName; a missing or
// malformed list gives no rows and a log line.
//
// Main thread only. Pages and specifiers are shared objects (make_shared).
#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/plist/value.h"
#include "platform/uikit/color.h"
#include "platform/uikit/image.h"
#include "platform/uikit/navigation_controller.h"
#include "platform/uikit/table_view.h"
#include "platform/uikit/value_controls.h"

namespace sentrel::preferences {

using uikit::IndexPath;

enum class PSCellType {
  PSGroupCell = 0,
  PSLinkCell = 1,
  PSLinkListCell = 2,
  PSListItemCell = 3,
  PSTitleValueCell = 4,
  PSSliderCell = 5,
  PSSwitchCell = 6,
  PSStaticTextCell = 7,
  PSEditTextCell = 8,
  PSSegmentCell = 9,
  PSGiantIconCell = 10,
  PSGiantCell = 11,
  PSSecureEditTextCell = 12,
  PSButtonCell = 13,
  PSEditTextViewCell = 14,
};
// "PSSwitchCell" -> PSSwitchCell; nullopt for any other text.
std::optional<PSCellType> PSCellTypeFromString(std::string_view name);

// Property keys, as the platform spells them.
inline constexpr const char* PSDeletionActionKey = "deletionAction";
inline constexpr const char* PSKeyNameKey = "key";
inline constexpr const char* PSDefaultValueKey = "default";
inline constexpr const char* PSEnabledKey = "enabled";
inline constexpr const char* PSCellClassKey = "cellClass";
inline constexpr const char* PSDefaultsKey = "defaults";
inline constexpr const char* PSFooterTextGroupKey = "footerText";
inline constexpr const char* PSIDKey = "id";
inline constexpr const char* PSIsDestructiveKey = "isDestructive";
inline constexpr const char* PSStaticTextMessageKey = "staticTextMessage";
inline constexpr const char* PSIconImageKey = "iconImage";

class PSListController;
class PSSpecifier;
using PSSpecifierRef = std::shared_ptr<PSSpecifier>;

class PSSpecifier {
 public:
  // Empty selector or class names stand for none.
  static PSSpecifierRef preferenceSpecifierNamed(std::string name,
                                                 std::weak_ptr<PSListController> target,
                                                 std::string setSelector, std::string getSelector,
                                                 std::string detailClassName, PSCellType cell,
                                                 std::string editClassName);
  static PSSpecifierRef groupSpecifierWithName(std::string name);
  static PSSpecifierRef emptyGroupSpecifier() { return groupSpecifierWithName(""); }

  const std::string& name() const { return name_; }
  void setName(std::string name) { name_ = std::move(name); }
  // The name unless set.
  const std::string& identifier() const { return identifier_ ? *identifier_ : name_; }
  void setIdentifier(std::string identifier) { identifier_ = std::move(identifier); }
  PSCellType cellType() const { return cell_; }
  void setCellType(PSCellType cell) { cell_ = cell; }
  std::shared_ptr<PSListController> target() const { return target_.lock(); }
  void setTarget(std::weak_ptr<PSListController> target) { target_ = std::move(target); }
  const std::string& detailControllerClass() const { return detail_; }
  void setDetailControllerClass(std::string name) { detail_ = std::move(name); }
  const std::string& getSelector() const { return get_; }
  const std::string& setSelector() const { return set_; }
  void setGetSelector(std::string selector) { get_ = std::move(selector); }
  void setSetSelector(std::string selector) { set_ = std::move(selector); }
  const std::string& buttonAction() const { return action_; }
  void setButtonAction(std::string selector) { action_ = std::move(selector); }

  // A link list's choices: the stored values and the titles shown for them
  // (short ones on the row itself).
  void setValues(plist::Array values, std::vector<std::string> titles,
                 std::vector<std::string> shortTitles = {});
  const plist::Array& values() const { return values_; }
  const std::vector<std::string>& titles() const { return titles_; }
  const std::vector<std::string>& shortTitles() const { return shortTitles_; }
  // The title for `value`, short when asked and there is one; "" when none.
  std::string titleForValue(const plist::Value& value, bool shortTitle) const;

  void setProperty(plist::Value value, const std::string& key);  // null removes
  void setProperty(uikit::UIColor color, const std::string& key);
  void setProperty(uikit::UIImageRef image, const std::string& key);
  // Null when absent or not a property-list value.
  plist::Value propertyForKey(const std::string& key) const;
  std::optional<uikit::UIColor> colorForKey(const std::string& key) const;
  uikit::UIImageRef imageForKey(const std::string& key) const;
  bool hasProperty(const std::string& key) const { return properties_.count(key) != 0; }
  void removePropertyForKey(const std::string& key) { properties_.erase(key); }
  // A boolean property (numbers count), `fallback` when absent.
  bool boolProperty(const std::string& key, bool fallback) const;

 private:
  using Property = std::variant<plist::Value, uikit::UIColor, uikit::UIImageRef>;
  std::string name_;
  std::optional<std::string> identifier_;
  PSCellType cell_ = PSCellType::PSGroupCell;
  std::weak_ptr<PSListController> target_;
  std::string detail_;
  std::string get_;
  std::string set_;
  std::string action_;
  plist::Array values_;
  std::vector<std::string> titles_;
  std::vector<std::string> shortTitles_;
  std::map<std::string, Property> properties_;
};

// A cell showing one row; subclasses found by name style themselves from
// their row's properties in layoutSubviews.
class PSTableCell : public uikit::UITableViewCell {
 public:
  explicit PSTableCell(PSSpecifierRef specifier,
                       uikit::UITableViewCellStyle style = uikit::UITableViewCellStyle::kValue1);
  const PSSpecifierRef& specifier() const { return specifier_; }
  // Shows the row's title, value and enabled state again.
  virtual void refreshCellContentsWithSpecifier(const PSSpecifierRef& specifier);
  // The switch of a switch row, else null.
  uikit::UISwitch* control() const { return switch_.get(); }

 private:
  friend class PSListController;
  PSSpecifierRef specifier_;
  std::shared_ptr<uikit::UISwitch> switch_;
};

// Classes made by name: pages (detail pages, a bundle's principal class)
// and cells ("cellClass"). One registry per process, shared by the
// Settings app and the bundles it loads.
using ControllerFactory = std::function<std::shared_ptr<PSListController>()>;
using CellFactory = std::function<std::shared_ptr<PSTableCell>(const PSSpecifierRef&)>;
void registerControllerClass(std::string name, ControllerFactory factory);
// Null (logged) for a name nobody registered.
std::shared_ptr<PSListController> newControllerOfClass(std::string_view name);
void registerCellClass(std::string name, CellFactory factory);
CellFactory cellClassNamed(std::string_view name);  // empty when unknown

class PSListController : public uikit::UIViewController,
                         public uikit::UITableViewDataSource,
                         public uikit::UITableViewDelegate {
 public:
  using Getter = std::function<plist::Value(PSSpecifier&)>;
  using Setter = std::function<void(const plist::Value&, PSSpecifier&)>;
  using Action = std::function<void(PSSpecifier&)>;

  PSListController();
  ~PSListController() override;

  // This page as rows take it for their target. REQUIRES: made by make_shared.
  std::weak_ptr<PSListController> weakSelf();

  // The rows; subclasses build them here when specifiers_ is empty.
  virtual std::vector<PSSpecifierRef>& specifiers();
  // Empties the rows, builds them again and shows them.
  virtual void reloadSpecifiers();
  virtual void reload() { reloadSpecifiers(); }

  // The row list "<name>.plist" of this page's bundle, its rows targeting
  // `target` (getter and setter default to the page's
  // readPreferenceValue:/setPreferenceValue:specifier:).
  std::vector<PSSpecifierRef> loadSpecifiersFromPlistName(
      const std::string& name, const std::weak_ptr<PSListController>& target);
  // The same from a decoded list (the fuzz target's door).
  static std::vector<PSSpecifierRef> specifiersFromPlist(
      const plist::Value& list, const std::weak_ptr<PSListController>& target);

  const std::filesystem::path& bundlePath() const { return bundlePath_; }
  void setBundlePath(std::filesystem::path path) { bundlePath_ = std::move(path); }
  // The row that pushed this page.
  const PSSpecifierRef& specifier() const { return specifier_; }
  void setSpecifier(PSSpecifierRef specifier) { specifier_ = std::move(specifier); }
  PSListController* parentListController() const { return parentList_.lock().get(); }

  PSSpecifierRef specifierForID(std::string_view identifier);
  std::optional<IndexPath> indexPathForSpecifier(const PSSpecifier* specifier);
  PSSpecifierRef specifierAtIndexPath(const IndexPath& indexPath);
  void removeSpecifier(const PSSpecifierRef& specifier, bool animated = false);
  void addSpecifier(PSSpecifierRef specifier, bool animated = false);

  void pushController(const std::shared_ptr<uikit::UIViewController>& controller, bool animated);
  // Follows a row as a tap would (the URL walk's step); false when the row
  // pushes nothing.
  bool openSpecifier(const PSSpecifierRef& specifier, bool animated);
  uikit::UITableView* table() { return table_.get(); }

  // The accessors every page answers.
  virtual plist::Value readPreferenceValue(PSSpecifier& specifier);
  virtual void setPreferenceValue(const plist::Value& value, PSSpecifier& specifier);
  // Calls the named selectors of this page.
  plist::Value performGetter(const std::string& selector, PSSpecifier& specifier);
  void performSetter(const std::string& selector, const plist::Value& value,
                     PSSpecifier& specifier);
  void performAction(const std::string& selector, PSSpecifier& specifier);
  bool respondsToSelector(const std::string& selector) const;

  // The table's questions, answered from the rows.
  long numberOfSectionsInTableView(uikit::UITableView& table) override;
  long numberOfRowsInSection(uikit::UITableView& table, long section) override;
  uikit::UITableViewCellRef cellForRowAtIndexPath(uikit::UITableView& table,
                                                  const IndexPath& indexPath) override;
  std::string titleForHeaderInSection(uikit::UITableView& table, long section) override;
  std::string titleForFooterInSection(uikit::UITableView& table, long section) override;
  bool canEditRowAtIndexPath(uikit::UITableView& table, const IndexPath& indexPath) override;
  uikit::UITableViewCellEditingStyle editingStyleForRowAtIndexPath(
      uikit::UITableView& table, const IndexPath& indexPath) override;
  void commitEditingStyle(uikit::UITableView& table, uikit::UITableViewCellEditingStyle style,
                          const IndexPath& indexPath) override;
  void didSelectRowAtIndexPath(uikit::UITableView& table, const IndexPath& indexPath) override;

  void loadView() override;
  void viewDidLoad() override;

 protected:
  void registerGetter(std::string selector, Getter getter);
  void registerSetter(std::string selector, Setter setter);
  void registerAction(std::string selector, Action action);
  // specifiers() through the sections: groups start them.
  struct Section {
    PSSpecifierRef group;  // null for rows before any group
    std::vector<PSSpecifierRef> rows;
  };
  std::vector<Section> sections();

  std::vector<PSSpecifierRef> specifiers_;  // empty: not built yet

 private:
  std::shared_ptr<uikit::UITableView> table_;
  std::filesystem::path bundlePath_;
  PSSpecifierRef specifier_;
  std::weak_ptr<PSListController> parentList_;
  std::map<std::string, Getter, std::less<>> getters_;
  std::map<std::string, Setter, std::less<>> setters_;
  std::map<std::string, Action, std::less<>> actions_;
  std::vector<Section> shown_;  // what the table shows
};

// The choices of a link-list row: one row per title, a checkmark on the
// current value (read through the row's getter on its target); a tap
// stores the value through the row's setter and goes back.
class PSListItemsController : public PSListController {
 public:
  std::vector<PSSpecifierRef>& specifiers() override;
  void didSelectRowAtIndexPath(uikit::UITableView& table, const IndexPath& indexPath) override;
  void viewDidLoad() override;
};

}  // namespace sentrel::preferences
