// Cancels and resumes racing transfers and each other: every task still
// starts at most once and completes exactly once.
#include <gtest/gtest.h>

#include <thread>

#include "platform/foundation/url_session.h"
#include "support.h"

namespace sentrel::foundation {
namespace {

using testing::CompletionRecorder;
using testing::LoopbackServer;
using testing::TaskOutcome;

TEST(DataTasks, CompleteExactlyOnceWhenCancelRacesTheEndOfTheTransfer) {
  LoopbackServer server;
  constexpr int kTasks = 40;
  std::vector<std::unique_ptr<CompletionRecorder>> recorders;
  std::vector<std::shared_ptr<URLSessionTask>> tasks;
  for (int i = 0; i < kTasks; ++i) {
    recorders.push_back(std::make_unique<CompletionRecorder>());
    tasks.push_back(URLSession::sharedSession().dataTaskWithURL(*URL::URLWithString(server.url()),
                                                                recorders.back()->handler()));
  }
  // From the back, while the front is being resumed: some tasks are cancelled
  // before they start, some while running, some after they finished.
  std::thread canceller([&] {
    for (int i = kTasks - 1; i >= 0; --i) tasks[i]->cancel();
  });
  for (auto& task : tasks) task->resume();
  canceller.join();
  for (auto& recorder : recorders) ASSERT_TRUE(recorder->waitFor(1));

  CompletionRecorder last;  // everything queued before it has been delivered
  URLSession::sharedSession()
      .dataTaskWithURL(*URL::URLWithString(server.url()), last.handler())
      ->resume();
  ASSERT_TRUE(last.waitFor(1));
  for (int i = 0; i < kTasks; ++i) {
    ASSERT_EQ(recorders[i]->count(), 1u) << "task " << i;
    const TaskOutcome outcome = recorders[i]->items()[0];
    EXPECT_TRUE(outcome.error ? outcome.error->code == -999 : outcome.data == "hello");
    EXPECT_EQ(tasks[i]->state(), URLSessionTaskState::kCompleted);
  }
}

TEST(DataTasks, StartOnceWhenResumedFromManyThreads) {
  LoopbackServer server;
  CompletionRecorder recorder;
  auto task = URLSession::sharedSession().dataTaskWithURL(*URL::URLWithString(server.url()),
                                                          recorder.handler());
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) threads.emplace_back([&] { task->resume(); });
  for (auto& thread : threads) thread.join();
  ASSERT_TRUE(recorder.waitFor(1));
  EXPECT_EQ(server.requests(), 1u);
  EXPECT_EQ(recorder.count(), 1u);
}

}  // namespace
}  // namespace sentrel::foundation
