// ReverseDNSLookup used from several threads: the address is read and
// written while lookups start, and every handler comes back on its own
// thread's loop.
#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "platform/env/environment.h"
#include "platform/resolve/resolver.h"
#include "platform/runloop/run_loop.h"
#include "tweak/Network/ReverseDNSLookup.h"

namespace sentrel {
namespace {

TEST(ASharedReverseDNSLookup, KeepsItsAddressWholeWhileThreadsSetItAndResolve) {
  auto names = std::make_shared<resolve::InMemoryResolver>();
  names->setNames("192.0.2.1", {"a.example"});
  names->setNames("2001:db8::2", {"b.example"});
  env::ScopedEnvironment installed({.resolver = names});
  ReverseDNSLookup shared("192.0.2.1");

  constexpr int kThreads = 3;
  constexpr int kRounds = 40;
  std::atomic<int> bad{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      runloop::RunLoop loop;
      const std::thread::id self = std::this_thread::get_id();
      int calls = 0;
      loop.post([&] {
        for (int i = 0; i < kRounds; ++i) {
          shared.setAddress((i + t) % 2 ? "192.0.2.1" : "2001:db8::2");
          const std::optional<std::string> seen = shared.address();
          if (seen != "192.0.2.1" && seen != "2001:db8::2") ++bad;
          shared.resolveWithCompletionHandler([&, self](std::optional<std::string> host) {
            if (std::this_thread::get_id() != self) ++bad;
            if (host != "a.example" && host != "b.example") ++bad;
            ++calls;
          });
        }
      });
      EXPECT_TRUE(loop.runUntil([&] { return calls >= kRounds; }, std::chrono::seconds(60)));
      loop.runUntilIdle();
      EXPECT_EQ(calls, kRounds);
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(bad.load(), 0);
}

}  // namespace
}  // namespace sentrel
