#include "platform/notify/observer_table.h"

#include <exception>

#include "platform/base/mutex.h"
#include "platform/log/system_log.h"

namespace sentrel::notify::internal {

ObserverTable::Added ObserverTable::add(const std::string& name, Handler handler) {
  MutexLock lock(mutex_);
  ObserverId id = next_id_++;
  entries_.emplace(id, Entry{name, std::make_shared<const Handler>(std::move(handler))});
  return Added{id, ++name_count_[name] == 1};
}

std::optional<std::string> ObserverTable::remove(ObserverId id) {
  MutexLock lock(mutex_);
  auto it = entries_.find(id);
  if (it == entries_.end()) return std::nullopt;
  std::string name = std::move(it->second.name);
  entries_.erase(it);
  auto count = name_count_.find(name);
  if (--count->second > 0) return std::nullopt;
  name_count_.erase(count);
  return name;
}

std::vector<ObserverId> ObserverTable::observersOf(const std::string& name) const {
  MutexLock lock(mutex_);
  std::vector<ObserverId> ids;
  if (!name_count_.contains(name)) return ids;
  for (const auto& [id, entry] : entries_) {
    if (entry.name == name) ids.push_back(id);
  }
  return ids;
}

std::vector<std::string> ObserverTable::names() const {
  MutexLock lock(mutex_);
  std::vector<std::string> out;
  out.reserve(name_count_.size());
  for (const auto& [name, count] : name_count_) out.push_back(name);
  return out;
}

bool ObserverTable::empty() const {
  MutexLock lock(mutex_);
  return entries_.empty();
}

void ObserverTable::deliver(const std::vector<ObserverId>& ids, const std::string& name,
                            const plist::Value& user_info) const {
  for (ObserverId id : ids) {
    std::shared_ptr<const Handler> handler;
    {
      MutexLock lock(mutex_);
      auto it = entries_.find(id);
      if (it == entries_.end()) continue;  // removed since the notification arrived
      handler = it->second.handler;
    }
    // An observer's failure must not reach the run loop or starve the others.
    try {
      (*handler)(name, user_info);
    } catch (const std::exception& e) {
      log::line("Observer of notification " + name + " failed: " + e.what(), log::Level::kError);
    } catch (...) {
      log::line("Observer of notification " + name + " failed with an unknown exception",
                log::Level::kError);
    }
  }
}

}  // namespace sentrel::notify::internal
