// The backend-independent part of the app catalogue: validation and the list
// queries built on allApplications().
#include <algorithm>
#include <cctype>

#include "platform/apps/installed_apps.h"
#include "platform/base/mutex.h"

namespace sentrel::apps {

const char* applicationTypeName(AppType type) {
  return type == AppType::kSystem ? "System" : "User";
}

bool AppRecord::hasTag(std::string_view tag) const {
  return std::find(tags.begin(), tags.end(), tag) != tags.end();
}

Status validateIdentifier(std::string_view identifier) {
  if (identifier.empty()) return Status::Error("the bundle identifier is empty");
  std::string quoted = "\"" + std::string(identifier.substr(0, 64)) + "\"";
  if (identifier.size() > 255) return Status::Error("the bundle identifier is too long");
  for (unsigned char c : identifier) {
    if (!(std::isalnum(c) || c == '.' || c == '-' || c == '_') || c >= 0x80) {
      return Status::Error("the bundle identifier " + quoted +
                           " may only hold letters, digits, '.', '-' and '_'");
    }
  }
  if (identifier.front() == '.' || identifier.front() == '-') {
    return Status::Error("the bundle identifier " + quoted + " starts with '" + identifier.front() +
                         "'");
  }
  if (identifier.find("..") != std::string_view::npos) {
    return Status::Error("the bundle identifier " + quoted + " holds \"..\"");
  }
  return Status::Ok();
}

std::optional<AppRecord> AppCatalogue::applicationWithIdentifier(
    std::string_view identifier) const {
  for (AppRecord& r : allApplications()) {
    if (r.identifier == identifier) return std::move(r);
  }
  return std::nullopt;
}

std::vector<AppRecord> AppCatalogue::visibleApplications() const {
  std::vector<AppRecord> all = allApplications();
  std::erase_if(all, [](const AppRecord& r) { return !r.isVisible(); });
  return all;
}

namespace {

// Byte-wise, ASCII letters folded: display names of other scripts keep their
// code-point order.
bool lessIgnoringCase(const std::string& a, const std::string& b) {
  return std::lexicographical_compare(
      a.begin(), a.end(), b.begin(), b.end(),
      [](unsigned char x, unsigned char y) { return std::tolower(x) < std::tolower(y); });
}

}  // namespace

AppList AppCatalogue::applications(AppKind kind, bool only_visible) const {
  AppList list;
  for (const AppRecord& r : allApplications()) {
    if (kind == AppKind::kSystem && !r.isSystemApplication()) continue;
    if (kind == AppKind::kUser && r.isSystemApplication()) continue;
    if (only_visible && !r.isVisible()) continue;
    list.display_names.emplace(r.identifier, r.display_name);  // the first bundle wins
  }
  list.title_sorted_identifiers.reserve(list.display_names.size());
  for (const auto& [id, name] : list.display_names) list.title_sorted_identifiers.push_back(id);
  std::stable_sort(list.title_sorted_identifiers.begin(), list.title_sorted_identifiers.end(),
                   [&](const std::string& a, const std::string& b) {
                     const std::string& na = list.display_names.at(a);
                     const std::string& nb = list.display_names.at(b);
                     if (lessIgnoringCase(na, nb)) return true;
                     if (lessIgnoringCase(nb, na)) return false;
                     return a < b;
                   });
  return list;
}

std::vector<AppRecord> InMemoryAppCatalogue::allApplications() const {
  MutexLock lock(mutex_);
  return records_;
}

void InMemoryAppCatalogue::add(AppRecord record) {
  MutexLock lock(mutex_);
  records_.push_back(std::move(record));
}

void InMemoryAppCatalogue::remove(std::string_view identifier) {
  MutexLock lock(mutex_);
  std::erase_if(records_, [&](const AppRecord& r) { return r.identifier == identifier; });
}

}  // namespace sentrel::apps
