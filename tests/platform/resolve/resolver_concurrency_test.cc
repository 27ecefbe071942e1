// Lookups started from several threads at once, each running its own loop.
#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "platform/resolve/resolver.h"
#include "platform/runloop/run_loop.h"

namespace sentrel::resolve {
namespace {

TEST(ConcurrentReverseLookups, EachCompleteOnceOnTheThreadWhoseLoopStartedThem) {
  auto backend = std::make_shared<InMemoryResolver>();
  for (int i = 0; i < 8; ++i) {
    backend->setNames("192.0.2." + std::to_string(i), {"host" + std::to_string(i) + ".example"});
  }
  ScopedResolverOverride useBackend(backend);

  constexpr int kThreads = 4;
  constexpr int kLookupsPerThread = 16;
  std::atomic<int> wrongThread{0};
  std::atomic<int> wrongName{0};
  std::vector<int> completed(kThreads, 0);  // each slot written by its own thread only
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      runloop::RunLoop loop;
      const std::thread::id self = std::this_thread::get_id();
      loop.post([&] {
        for (int i = 0; i < kLookupsPerThread; ++i) {
          const int n = i % 8;
          reverseLookup("192.0.2." + std::to_string(n), [&, n, self](Names names) {
            if (std::this_thread::get_id() != self) ++wrongThread;
            if (names != Names{"host" + std::to_string(n) + ".example"}) ++wrongName;
            ++completed[t];
          });
        }
      });
      EXPECT_TRUE(loop.runUntil([&] { return completed[t] >= kLookupsPerThread; },
                                std::chrono::seconds(60)));
      loop.runUntilIdle();
    });
  }
  for (auto& thread : threads) thread.join();

  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(completed[t], kLookupsPerThread) << "thread " << t;
  EXPECT_EQ(wrongThread.load(), 0);
  EXPECT_EQ(wrongName.load(), 0);
  EXPECT_EQ(backend->lookupCount(), size_t{kThreads * kLookupsPerThread});
}

}  // namespace
}  // namespace sentrel::resolve
