#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

#include "platform/notify/notification_center.h"
#include "platform/runloop/run_loop.h"
#include "support/log_capture.h"

namespace sentrel::notify {
namespace {

using plist::Value;

struct Received {
  std::string name;
  Value user_info;
};

class AnInProcessCenter : public ::testing::Test {
 protected:
  runloop::FakeClock clock_;
  runloop::RunLoop loop_{clock_};
  std::unique_ptr<NotificationCenter> center_ = makeInProcessCenter(loop_);
  std::vector<Received> received_;

  ObserverId record(const std::string& name) {
    return center_->addObserver(name, [this](const std::string& n, const Value& info) {
      received_.push_back({n, info});
    });
  }
};

TEST_F(AnInProcessCenter, DeliversOnTheMainQueueAndNotInsidePost) {
  record("SNT_NEW_SETTINGS");
  center_->post("SNT_NEW_SETTINGS", Value::dictOf({{"snt_enabled", Value::boolean(true)}}));
  EXPECT_TRUE(received_.empty());
  loop_.runUntilIdle();
  ASSERT_EQ(received_.size(), 1u);
  EXPECT_EQ(received_[0].name, "SNT_NEW_SETTINGS");
  EXPECT_EQ(received_[0].user_info, Value::dictOf({{"snt_enabled", Value::boolean(true)}}));
}

TEST_F(AnInProcessCenter, MatchesNamesEndingInABundleIdentifierExactly) {
  record("SNT_ALERT_CALLBACK_com.example.app");
  record("SNT_ALERT_CALLBACK_com.example.ap");
  record("SNT_ALERT_CALLBACK_com.example.app.extension");
  center_->post("SNT_ALERT_CALLBACK_com.example.app", Value());
  loop_.runUntilIdle();
  ASSERT_EQ(received_.size(), 1u);
  EXPECT_EQ(received_[0].name, "SNT_ALERT_CALLBACK_com.example.app");
  EXPECT_TRUE(received_[0].user_info.isNull());
}

TEST_F(AnInProcessCenter, CallsEveryObserverOfANameInTheOrderTheyWereAdded) {
  std::vector<int> order;
  center_->addObserver("N", [&](const std::string&, const Value&) { order.push_back(1); });
  center_->addObserver("N", [&](const std::string&, const Value&) { order.push_back(2); });
  center_->post("N", Value());
  center_->post("N", Value());
  loop_.runUntilIdle();
  EXPECT_EQ(order, (std::vector<int>{1, 2, 1, 2}));
}

TEST_F(AnInProcessCenter, DoesNotCallAnObserverRemovedBeforeDelivery) {
  ObserverId gone = record("N");
  center_->post("N", Value());
  center_->removeObserver(gone);
  center_->removeObserver(gone);  // twice is harmless
  loop_.runUntilIdle();
  EXPECT_TRUE(received_.empty());
}

TEST_F(AnInProcessCenter, DoesNotDeliverToAnObserverAddedAfterThePost) {
  center_->post("N", Value());
  record("N");
  loop_.runUntilIdle();
  EXPECT_TRUE(received_.empty());
}

TEST_F(AnInProcessCenter, LetsAHandlerRemoveItselfAndPostAgain) {
  ObserverId self = 0;
  int calls = 0;
  self = center_->addObserver("N", [&](const std::string&, const Value&) {
    ++calls;
    center_->removeObserver(self);
    center_->post("N", Value());
    record("M");
    center_->post("M", Value());
  });
  center_->post("N", Value());
  loop_.runUntilIdle();
  EXPECT_EQ(calls, 1);
  ASSERT_EQ(received_.size(), 1u);
  EXPECT_EQ(received_[0].name, "M");
}

TEST_F(AnInProcessCenter, DeliversWhatTheBusWouldCarry) {
  record("N");
  // A property list has no null: the bus leaves null entries out.
  center_->post("N", Value::dictOf({{"kept", Value::integer(1)},
                                    {"list", Value::array({Value(), Value::string("x")})}}));
  loop_.runUntilIdle();
  ASSERT_EQ(received_.size(), 1u);
  EXPECT_EQ(received_[0].user_info, Value::dictOf({{"kept", Value::integer(1)},
                                                   {"list", Value::array({Value::string("x")})}}));
}

TEST_F(AnInProcessCenter, RefusesUserInfoThatIsNotADictionaryWithALogLine) {
  testing::LogCapture log;
  record("N");
  center_->post("N", Value::string("not a dictionary"));
  loop_.runUntilIdle();
  EXPECT_TRUE(received_.empty());
  EXPECT_EQ(log.count("Not posting notification N"), 1u);
}

TEST_F(AnInProcessCenter, LogsAThrowingObserverAndStillCallsTheOthers) {
  testing::LogCapture log;
  center_->addObserver("N",
                       [](const std::string&, const Value&) { throw std::runtime_error("boom"); });
  record("N");
  center_->post("N", Value());
  loop_.runUntilIdle();
  EXPECT_EQ(received_.size(), 1u);
  EXPECT_TRUE(log.contains("boom"));
}

TEST_F(AnInProcessCenter, DropsPendingDeliveriesWhenDestroyed) {
  record("N");
  center_->post("N", Value());
  center_.reset();
  loop_.runUntilIdle();  // must not touch the destroyed center
  EXPECT_TRUE(received_.empty());
}

}  // namespace
}  // namespace sentrel::notify
