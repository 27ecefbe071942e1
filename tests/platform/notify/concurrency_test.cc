#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <thread>
#include <vector>

#include "platform/notify/notification_center.h"
#include "platform/runloop/run_loop.h"
#include "support/test_bus.h"

namespace sentrel::notify {
namespace {

using plist::Value;

TEST(ABusCenterUnderConcurrency, DeliversPostsFromManyThreadsInEachThreadsOrder) {
  testing::TestBus bus;
  SENTREL_ASSERT_BUS_STARTED(bus);
  runloop::RunLoop loop;
  auto made = makeBusCenter(bus.address(), loop);
  ASSERT_TRUE(made.ok()) << made.reason();
  NotificationCenter& center = *made.value();

  constexpr int kThreads = 4;
  constexpr int kPosts = 100;
  std::map<int64_t, std::vector<int64_t>> by_thread;  // loop thread only
  size_t total = 0;
  center.addObserver("SNT_NEW_SETTINGS", [&](const std::string&, const Value& info) {
    by_thread[*info.get("thread").asInteger()].push_back(*info.get("i").asInteger());
    ++total;
  });

  // Meanwhile other threads add and remove observers of other names, which
  // changes match rules on the same connection.
  std::atomic<bool> stop{false};
  std::thread churn([&] {
    while (!stop.load()) {
      ObserverId id = center.addObserver("SNT_SB_SAVE_SETTINGS", [](auto&, auto&) {});
      center.removeObserver(id);
    }
  });
  std::vector<std::thread> posters;
  for (int t = 0; t < kThreads; ++t) {
    posters.emplace_back([&center, t] {
      for (int i = 0; i < kPosts; ++i) {
        center.post("SNT_NEW_SETTINGS",
                    Value::dictOf({{"thread", Value::integer(t)}, {"i", Value::integer(i)}}));
      }
    });
  }
  bool all = loop.runUntil([&] { return total == kThreads * kPosts; }, std::chrono::seconds(60));
  for (auto& p : posters) p.join();
  stop = true;
  churn.join();
  ASSERT_TRUE(all) << "received " << total;
  for (int t = 0; t < kThreads; ++t) {
    std::vector<int64_t> expected(kPosts);
    for (int i = 0; i < kPosts; ++i) expected[i] = i;
    EXPECT_EQ(by_thread[t], expected) << "thread " << t;
  }
}

}  // namespace
}  // namespace sentrel::notify
