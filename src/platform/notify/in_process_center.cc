// The in-process center: what the bus does, without the bus. Posts are
// delivered to this object's own observers through its main queue, and the
// user info travels through the bus payload encoding, so observers see
// exactly what they would see from another process (null entries of
// containers left out, and so on).
#include <memory>

#include "platform/log/system_log.h"
#include "platform/notify/notification_center.h"
#include "platform/notify/observer_table.h"
#include "platform/runloop/run_loop.h"

namespace sentrel::notify {
namespace {

class InProcessCenter final : public NotificationCenter {
 public:
  explicit InProcessCenter(runloop::RunLoop& main_queue)
      : main_queue_(main_queue), table_(std::make_shared<internal::ObserverTable>()) {}

  void post(const std::string& name, const plist::Value& user_info) override {
    Result<std::string> payload = encodePayload(user_info);
    if (!payload) {
      log::line("Not posting notification " + name + ": " + payload.reason(), log::Level::kWarning);
      return;
    }
    Result<plist::Value> received = decodePayload(*payload);
    if (!received) {
      log::line("Not posting notification " + name + ": " + received.reason(),
                log::Level::kWarning);
      return;
    }
    // Like a bus match rule: whoever observes the name when it is posted,
    // and is still observing when it arrives, gets it.
    std::vector<ObserverId> ids = table_->observersOf(name);
    if (ids.empty()) return;
    std::weak_ptr<internal::ObserverTable> weak = table_;
    main_queue_.post([weak, ids = std::move(ids), name, info = std::move(received).value()] {
      if (auto table = weak.lock()) table->deliver(ids, name, info);
    });
  }

  ObserverId addObserver(const std::string& name, Handler handler) override {
    return table_->add(name, std::move(handler)).id;
  }

  void removeObserver(ObserverId id) override { table_->remove(id); }

 private:
  runloop::RunLoop& main_queue_;
  std::shared_ptr<internal::ObserverTable> table_;
};

}  // namespace

std::unique_ptr<NotificationCenter> makeInProcessCenter(runloop::RunLoop& main_queue) {
  return std::make_unique<InProcessCenter>(main_queue);
}

}  // namespace sentrel::notify
