#include "tweak/sentrel_preferences/page_support.h"

#include "tweak/sentrel_preferences/SNTPages.h"

namespace sentrel::pages {

using preferences::PSCellType;
using preferences::PSSpecifier;
using preferences::PSSpecifierRef;

PSSpecifierRef link(preferences::PSListController& page, std::string name, std::string detail) {
  return PSSpecifier::preferenceSpecifierNamed(
      std::move(name), page.weakSelf(),
      "setPreferenceValue:specifier:", "readPreferenceValue:", std::move(detail),
      PSCellType::PSLinkCell, "");
}

PSSpecifierRef editable(preferences::PSListController& page, std::string name, PSCellType cell,
                        std::string setter, std::string getter) {
  PSSpecifierRef row = PSSpecifier::preferenceSpecifierNamed(
      std::move(name), page.weakSelf(), std::move(setter), std::move(getter), "", cell, "");
  row->setProperty(plist::Value::string(kPreferencesDomain), preferences::PSDefaultsKey);
  return row;
}

std::string keyOf(const PSSpecifier& specifier) {
  const plist::Value key = specifier.propertyForKey(preferences::PSKeyNameKey);
  return key.isString() ? *key.asString() : std::string();
}

plist::Value valueFor(const plist::Value& document, const PSSpecifier& specifier) {
  const std::string key = keyOf(specifier);
  plist::Value value = key.empty() ? plist::Value() : document.get(key);
  return value.isNull() ? specifier.propertyForKey(preferences::PSDefaultValueKey) : value;
}

PSSpecifierRef shared(preferences::PSListController& page, const PSSpecifier& specifier) {
  for (const PSSpecifierRef& row : page.specifiers()) {
    if (row.get() == &specifier) return row;
  }
  return nullptr;
}

}  // namespace sentrel::pages
