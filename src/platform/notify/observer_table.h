// The observers of one center, shared by its backends.
//
// Thread-safe. Handlers are never called with the table's lock held, so a
// handler may post, add or remove observers, its own included.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/base/mutex.h"
#include "platform/notify/notification_center.h"

namespace sentrel::notify::internal {

class ObserverTable {
 public:
  struct Added {
    ObserverId id;
    bool first_for_name;  // nobody observed this name before
  };
  Added add(const std::string& name, Handler handler);
  // The observer's name when it was the last one of that name; nullopt
  // otherwise (and for unknown ids).
  std::optional<std::string> remove(ObserverId id);

  // The observers of `name` now, in the order they were added.
  std::vector<ObserverId> observersOf(const std::string& name) const;
  // Every observed name, once.
  std::vector<std::string> names() const;
  bool empty() const;

  // Calls each of `ids` that is still registered, in order. A handler that
  // throws is logged; the others still run.
  void deliver(const std::vector<ObserverId>& ids, const std::string& name,
               const plist::Value& user_info) const;

  // Held across fork() by the center that owns the table, so a child never
  // inherits it locked by a thread that does not exist there.
  void lockForFork() const ACQUIRE(mutex_) { mutex_.lock(); }
  void unlockAfterFork() const RELEASE(mutex_) { mutex_.unlock(); }

 private:
  struct Entry {
    std::string name;
    std::shared_ptr<const Handler> handler;  // shared so a call survives removal mid-call
  };
  mutable Mutex mutex_;
  ObserverId next_id_ GUARDED_BY(mutex_) = 1;
  std::map<ObserverId, Entry> entries_ GUARDED_BY(mutex_);
  std::map<std::string, size_t> name_count_ GUARDED_BY(mutex_);
};

}  // namespace sentrel::notify::internal
