// Small helpers the bundle's pages share: building their usual rows and
// reading a row's key from a document.
#pragma once

#include <string>

#include "platform/plist/value.h"
#include "platform/preferences/preferences.h"

namespace sentrel::pages {

// A link row to the page class `detail`, with the page's own accessors.
preferences::PSSpecifierRef link(preferences::PSListController& page, std::string name,
                                 std::string detail);
// A row of kind `cell` with the named accessors and "defaults" set to the
// bundle's domain.
preferences::PSSpecifierRef editable(preferences::PSListController& page, std::string name,
                                     preferences::PSCellType cell, std::string setter,
                                     std::string getter);
// The row's "key", or "" when it has none.
std::string keyOf(const preferences::PSSpecifier& specifier);
// The document's value for the row's key, else the row's "default".
plist::Value valueFor(const plist::Value& document, const preferences::PSSpecifier& specifier);
// The page's own reference to `specifier`, or null when it is not one of
// its rows.
preferences::PSSpecifierRef shared(preferences::PSListController& page,
                                   const preferences::PSSpecifier& specifier);

}  // namespace sentrel::pages
