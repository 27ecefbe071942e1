// Decisions on several threads while listeners swap documents, concurrent
// learning rules, and the first current() racing on several threads.
// Labelled "concurrency": CI also runs these under ThreadSanitizer.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "tweak/SNTMessagingCenter.h"
#include "tweak/firewall/firewall_test_env.h"

namespace sentrel::testing {
namespace {

using plist::Value;

constexpr const char* kHost = "api.example.com";

TEST(DecisionsOnSeveralThreads, AlwaysSeeAWholeDocumentWhileListenersSwapThem) {
  FirewallTestEnv env;
  // Each entry gives its own description; a reader that saw part of one and
  // part of the other would give some third text.
  const Value allowing = Value::dictOf({{"domains", Value::dictOf({{kHost, rule(1)}})}});
  const Value denying =
      Value::dictOf({{"deny_all_outbound", yes()}, {"domains", Value::dictOf({{kHost, rule(2)}})}});
  const Value global_a = Value::dictOf({{"snt_animations", no()}});
  const Value global_b = Value::dictOf({{"snt_animations", yes()}});
  env.writeSettings(Value::dictOf({{"apps", Value::dictOf({{kAppId, allowing}})}}));
  std::shared_ptr<SNTFirewall> firewall = SNTFirewall::current();

  // Lockstep, so that nothing depends on how the threads are scheduled:
  // before each swap every reader has finished one more round of decisions
  // since the previous swap, and the readers keep deciding until the last
  // swap is done. Each reader's rounds interleave with all the swaps, and
  // the test ends the same way however the threads run.
  constexpr int kThreads = 4;
  constexpr int kSwaps = 200;
  std::atomic<bool> swapping{true};
  std::atomic<int> torn{0};
  std::vector<std::atomic<int>> rounds(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      do {
        (void)firewall->shouldAllow(kHost);
        (void)firewall->shouldDeny(kHost);
        (void)firewall->filterStreams();
        const std::string description = firewall->ruleDescription();
        if (description != "Example (1/1 allowed)" && description != "Example (all blocked)") {
          ++torn;
        }
        ++rounds[t];
      } while (swapping.load());
    });
  }
  std::vector<int> seen(kThreads, 0);
  for (int swap = 0; swap < kSwaps; ++swap) {
    for (int t = 0; t < kThreads; ++t) {
      while (rounds[t].load() == seen[t]) std::this_thread::yield();
      seen[t] = rounds[t].load();
    }
    const bool even = swap % 2 == 0;
    env.center().post("SNT_NEW_APP_SETTINGS_com.example.app", even ? denying : allowing);
    env.center().post(kNewSettingsNotification, even ? global_b : global_a);
    env.runUntilIdle();
  }
  swapping = false;
  for (std::thread& thread : threads) thread.join();

  EXPECT_EQ(torn.load(), 0);
  for (int t = 0; t < kThreads; ++t) EXPECT_GE(rounds[t].load(), kSwaps) << "reader " << t;
  // The last swap (an odd one) put the allowing entry back for good.
  EXPECT_EQ(firewall->ruleDescription(), "Example (1/1 allowed)");
}

TEST(LearningRulesOnSeveralThreads, AreAllKept) {
  FirewallTestEnv env;
  env.writeSettings(Value::dictOf({{"new_app_policy", str("1")}}));
  std::shared_ptr<SNTFirewall> firewall = SNTFirewall::current();

  constexpr int kThreads = 4;
  constexpr int kHostsPerThread = 25;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kHostsPerThread; ++i) {
        EXPECT_TRUE(firewall->shouldAllow("h" + std::to_string(t) + "-" + std::to_string(i)));
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  env.runUntilIdle();

  const Value hosts = firewall->hosts();
  ASSERT_TRUE(hosts.isDict());
  EXPECT_EQ(hosts.asDict()->size(), static_cast<size_t>(kThreads * kHostsPerThread));
}

TEST(TheFirstCurrent, CreatesOneFirewallForAllThreads) {
  FirewallTestEnv env;
  constexpr int kThreads = 6;
  std::vector<std::shared_ptr<SNTFirewall>> seen(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&seen, t] { seen[t] = SNTFirewall::current(); });
  }
  for (std::thread& thread : threads) thread.join();
  for (const auto& firewall : seen) EXPECT_EQ(firewall, seen[0]);
  EXPECT_EQ(env.logs().count("SNTFirewall init("), 1u);
}

TEST(UnregisterOnOneThread, LeavesOtherThreadsWithAFirewallOrNone) {
  FirewallTestEnv env;
  SNTFirewall::current();
  std::atomic<bool> stop{false};
  std::thread reader([&] {
    while (!stop.load()) {
      if (auto firewall = SNTFirewall::current_raw()) (void)firewall->shouldAllow(kHost);
    }
  });
  SNTFirewall::unregister();
  stop = true;
  reader.join();
  EXPECT_EQ(SNTFirewall::current_raw(), nullptr);
}

}  // namespace
}  // namespace sentrel::testing
