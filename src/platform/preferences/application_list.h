// The installed-app list settings pages ask (libapplist's ALApplicationList),
// over the device's app catalogue: apps filtered by a predicate on
// "isSystemApplication", visible only or all, with display names, the
// identifiers in title order, and icons.
//
// Thread-safe; reads the catalogue afresh on every query.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/apps/installed_apps.h"
#include "platform/uikit/image.h"

namespace sentrel::preferences {

// The predicates the pages build: "isSystemApplication = TRUE",
// "isSystemApplication = FALSE" and "(isSystemApplication = TRUE) or
// (isSystemApplication = FALSE)". Any other format matches nothing and is
// logged.
class NSPredicate {
 public:
  static NSPredicate predicateWithFormat(const std::string& format);
  std::optional<apps::AppKind> kind() const { return kind_; }  // none: matches nothing

 private:
  std::optional<apps::AppKind> kind_;
};

class ALApplicationList {
 public:
  // The list of the process's device (paths::deviceRoot()).
  static ALApplicationList& sharedApplicationList();

  // Bundle id -> display name; `titleSortedIdentifiers`, when given, gets
  // the same ids by display name.
  std::map<std::string, std::string> applicationsFilteredUsingPredicate(
      const NSPredicate& predicate, bool onlyVisible,
      std::vector<std::string>* titleSortedIdentifiers) const;
  // The app's icon file, or null when it has none.
  uikit::UIImageRef iconOfSize(int size, const std::string& displayIdentifier) const;
};

}  // namespace sentrel::preferences
