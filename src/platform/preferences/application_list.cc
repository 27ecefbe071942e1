#include "platform/preferences/application_list.h"

#include "platform/log/system_log.h"
#include "platform/paths/device_paths.h"

namespace sentrel::preferences {

NSPredicate NSPredicate::predicateWithFormat(const std::string& format) {
  NSPredicate predicate;
  if (format == "isSystemApplication = TRUE") {
    predicate.kind_ = apps::AppKind::kSystem;
  } else if (format == "isSystemApplication = FALSE") {
    predicate.kind_ = apps::AppKind::kUser;
  } else if (format == "(isSystemApplication = TRUE) or (isSystemApplication = FALSE)") {
    predicate.kind_ = apps::AppKind::kAll;
  } else {
    log::line("ALApplicationList: unsupported predicate \"" + format + "\" matches nothing",
              log::Level::kWarning);
  }
  return predicate;
}

ALApplicationList& ALApplicationList::sharedApplicationList() {
  static auto* list = new ALApplicationList;  // lives as long as the process
  return *list;
}

std::map<std::string, std::string> ALApplicationList::applicationsFilteredUsingPredicate(
    const NSPredicate& predicate, bool onlyVisible,
    std::vector<std::string>* titleSortedIdentifiers) const {
  if (titleSortedIdentifiers) titleSortedIdentifiers->clear();
  if (!predicate.kind()) return {};
  apps::AppList list =
      apps::newDeviceCatalogue(paths::deviceRoot())->applications(*predicate.kind(), onlyVisible);
  if (titleSortedIdentifiers) *titleSortedIdentifiers = std::move(list.title_sorted_identifiers);
  return std::move(list.display_names);
}

uikit::UIImageRef ALApplicationList::iconOfSize(int size,
                                                const std::string& displayIdentifier) const {
  (void)size;  // one icon file per app; the view scales it
  std::optional<apps::AppRecord> app =
      apps::newDeviceCatalogue(paths::deviceRoot())->applicationWithIdentifier(displayIdentifier);
  if (!app || !app->icon_path) return nullptr;
  return uikit::UIImage::imageWithContentsOfFile(app->icon_path->string());
}

}  // namespace sentrel::preferences
