// Data tasks of the shared URL session against a loopback server.
#include "platform/foundation/url_session.h"

#include <gtest/gtest.h>

#include "platform/runtime/runtime.h"
#include "support.h"

namespace sentrel::foundation {
namespace {

using testing::CompletionRecorder;
using testing::LoopbackServer;
using testing::RefusingPort;
using testing::TaskOutcome;

std::shared_ptr<URLSessionTask> taskFor(const std::string& text, CompletionRecorder& recorder) {
  return URLSession::sharedSession().dataTaskWithURL(*URL::URLWithString(text), recorder.handler());
}

// Runs one more task to the end: whatever an earlier call would still have
// delivered has been queued before it.
void settle(const LoopbackServer& server) {
  CompletionRecorder recorder;
  taskFor(server.url("/settle"), recorder)->resume();
  ASSERT_TRUE(recorder.waitFor(1));
}

TEST(ADataTask, StartsSuspendedAndCompletesWithTheResponseOnceResumed) {
  LoopbackServer server("hello");
  CompletionRecorder recorder;
  auto task = taskFor(server.url("/page"), recorder);
  EXPECT_EQ(task->state(), URLSessionTaskState::kSuspended);
  EXPECT_EQ(server.requests(), 0u);

  task->resume();
  ASSERT_TRUE(recorder.waitFor(1));
  TaskOutcome outcome = recorder.items()[0];
  EXPECT_EQ(outcome.data, "hello");
  ASSERT_TRUE(outcome.response);
  EXPECT_EQ(outcome.response->statusCode, 200);
  EXPECT_EQ(outcome.response->contentType, "text/plain");
  EXPECT_EQ(outcome.response->url, URL::URLWithString(server.url("/page")));
  EXPECT_FALSE(outcome.error);
  EXPECT_EQ(task->state(), URLSessionTaskState::kCompleted);
  EXPECT_EQ(server.requestLines(), std::vector<std::string>{"GET /page HTTP/1.1"});
}

TEST(ADataTask, SendsItsRequestsMethodAndReportsThatRequest) {
  LoopbackServer server("body");
  CompletionRecorder recorder;
  URLRequest request(URL::URLWithString(server.url("/head")));
  request.setHTTPMethod("HEAD");
  auto task = URLSession::sharedSession().dataTaskWithRequest(request, recorder.handler());

  std::optional<URLRequest> current = task->currentRequest();
  ASSERT_TRUE(current);
  EXPECT_EQ(current->url(), request.url());
  EXPECT_EQ(current->HTTPMethod(), "HEAD");

  task->resume();
  ASSERT_TRUE(recorder.waitFor(1));
  EXPECT_EQ(recorder.items()[0].data, "");
  EXPECT_EQ(server.requestLines(), std::vector<std::string>{"HEAD /head HTTP/1.1"});
}

TEST(ADataTask, CompletesOnceAsCancelledWhenCancelledBeforeResume) {
  LoopbackServer server;
  CompletionRecorder recorder;
  auto task = taskFor(server.url(), recorder);
  task->cancel();
  ASSERT_TRUE(recorder.waitFor(1));
  ASSERT_TRUE(recorder.items()[0].error);
  EXPECT_EQ(recorder.items()[0].error->code, -999);
  EXPECT_EQ(recorder.items()[0].error->domain, "NSURLErrorDomain");
  EXPECT_EQ(recorder.items()[0].error->description, "cancelled");
  EXPECT_FALSE(recorder.items()[0].response);
  EXPECT_EQ(task->state(), URLSessionTaskState::kCompleted);

  task->resume();  // too late: nothing starts
  task->cancel();
  settle(server);
  EXPECT_EQ(recorder.count(), 1u);
  EXPECT_EQ(server.requestLines(), std::vector<std::string>{"GET /settle HTTP/1.1"});
}

TEST(ADataTask, CompletesOnceAsCancelledWhenCancelledWhileRunning) {
  LoopbackServer server;
  server.hold();
  CompletionRecorder recorder;
  auto task = taskFor(server.url(), recorder);
  task->resume();
  ASSERT_TRUE(server.waitForRequests(1));
  EXPECT_EQ(task->state(), URLSessionTaskState::kRunning);

  task->cancel();
  EXPECT_NE(task->state(), URLSessionTaskState::kRunning);
  ASSERT_TRUE(recorder.waitFor(1));
  ASSERT_TRUE(recorder.items()[0].error);
  EXPECT_EQ(recorder.items()[0].error->code, -999);

  server.release();  // the answer to the cancelled transfer goes nowhere
  settle(server);
  EXPECT_EQ(recorder.count(), 1u);
}

TEST(ADataTask, KeepsItselfAliveWhileRunning) {
  LoopbackServer server;
  server.hold();
  CompletionRecorder recorder;
  std::weak_ptr<URLSessionTask> weak;
  {
    auto task = taskFor(server.url(), recorder);
    weak = task;
    task->resume();
  }
  ASSERT_TRUE(server.waitForRequests(1));
  EXPECT_FALSE(weak.expired());
  server.release();
  ASSERT_TRUE(recorder.waitFor(1));
  EXPECT_EQ(recorder.items()[0].data, "hello");
}

TEST(ADataTask, FailsWithCannotConnectOnAPortNobodyListensOn) {
  RefusingPort port;
  CompletionRecorder recorder;
  taskFor("http://127.0.0.1:" + std::to_string(port.port()) + "/", recorder)->resume();
  ASSERT_TRUE(recorder.waitFor(1));
  const TaskOutcome outcome = recorder.items()[0];
  ASSERT_TRUE(outcome.error);
  EXPECT_EQ(outcome.error->code, -1004);
  EXPECT_EQ(outcome.error->domain, "NSURLErrorDomain");
  EXPECT_FALSE(outcome.error->description.empty());
  EXPECT_FALSE(outcome.response);
}

TEST(ADataTask, NeverFetchesOtherSchemesThePlaceholderHostOrABrokenMethod) {
  LoopbackServer server;
  CompletionRecorder recorder;
  taskFor("file:///etc/passwd", recorder)->resume();
  ASSERT_TRUE(recorder.waitFor(1));
  EXPECT_EQ(recorder.items()[0].error->code, -1002);
  EXPECT_EQ(recorder.items()[0].data, "");

  taskFor("http://BLOCKED/example.com", recorder)->resume();
  ASSERT_TRUE(recorder.waitFor(2));
  EXPECT_EQ(recorder.items()[1].error->code, -1003);
  EXPECT_EQ(recorder.items()[1].error->description, "blocked: host not found");

  URLRequest smuggling(URL::URLWithString(server.url()));
  smuggling.setHTTPMethod("GET / HTTP/1.1\r\nX-Injected: 1\r\n");
  URLSession::sharedSession().dataTaskWithRequest(smuggling, recorder.handler())->resume();
  ASSERT_TRUE(recorder.waitFor(3));
  EXPECT_TRUE(recorder.items()[2].error);
  EXPECT_EQ(server.requests(), 0u);
}

}  // namespace
}  // namespace sentrel::foundation
