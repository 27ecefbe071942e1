// The socket hook may run in a signal handler that interrupted malloc, so
// no path of its decision may allocate: this binary interposes malloc,
// calloc and realloc and counts what the calling thread allocates while a
// counter is armed. Sanitizer builds own the allocator; there the tests skip.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include <gtest/gtest.h>

#include "support/counting_allocator.h"

#include "firewall_test_env.h"
#include "platform/log/system_log.h"
#include "tweak/CHooks.h"

namespace sentrel {
namespace {

using plist::Value;
using testing::allocationsDuring;
using testing::FirewallTestEnv;
using testing::ipv4Peer;
using testing::PostRecorder;
using testing::rule;

// Every way through the decision: allowed, denied by rule, asked (a prompt
// request queued), learned (a rule queued), and a guarded step that fails on
// a value of the wrong kind. Lines go to the default log, not a test sink.
class TheConnectHookInAHandler : public ::testing::Test {
 protected:
  void SetUp() override {
#ifdef SENTREL_OWN_ALLOCATOR
    GTEST_SKIP() << "the sanitizer owns malloc in this build";
#endif
    void* (*volatile allocate)(size_t) = &malloc;
    ASSERT_EQ(allocationsDuring([&] { free(allocate(16)); }), 1);
  }

  // The connect's result and errno, and what it allocated.
  struct Run {
    int result;
    int error;
    long allocated;
  };
  Run connectTo(const char* address) {
    sockaddr_in target = ipv4Peer(address, 1);  // port 1 on loopback: refused
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    Run run{};
    log::Sink* capture = log::setSink(nullptr);
    run.allocated = allocationsDuring([&] {
      run.result = replaced_connect(fd, reinterpret_cast<sockaddr*>(&target), sizeof target);
      run.error = errno;
    });
    log::setSink(capture);
    close(fd);
    return run;
  }
};

TEST_F(TheConnectHookInAHandler, AllocatesNothingToAllowDenyOrAsk) {
  FirewallTestEnv env;
  env.writeSettings(Value::dictOf(
      {{"apps", Value::dictOf(
                    {{testing::kAppId,
                      Value::dictOf({{"domains", Value::dictOf({{"127.0.0.1", rule(1)},
                                                                {"127.0.0.2", rule(2)}})}})}})}}));
  SNTFirewall::current();
  PostRecorder requests(env.center(), "SNT_NEW_SPRINGBOARD_ALERT");
  Run allowed = connectTo("127.0.0.1");
  EXPECT_EQ(allowed.error, ECONNREFUSED);
  EXPECT_EQ(allowed.allocated, 0);
  Run denied = connectTo("127.0.0.2");
  EXPECT_EQ(denied.error, ENETUNREACH);
  EXPECT_EQ(denied.allocated, 0);
  Run asked = connectTo("127.0.0.3");
  EXPECT_EQ(asked.error, ENETUNREACH);
  EXPECT_EQ(asked.allocated, 0);
  // The main queue posts the prompt request the hook queued.
  env.runUntilIdle();
  ASSERT_EQ(requests.count(), 1u);
  EXPECT_EQ(*requests.payloads()[0].get("host").asString(), "127.0.0.3");
  EXPECT_EQ(requests.payloads()[0].get("port").asInteger(), 1);
}

TEST_F(TheConnectHookInAHandler, AllocatesNothingToLearnARuleWhichTheMainQueueWrites) {
  FirewallTestEnv env;
  env.writeSettings(Value::dictOf(
      {{"apps", Value::dictOf({{testing::kAppId,
                                Value::dictOf({{"new_site_policy", Value::string("1")}})}})}}));
  std::shared_ptr<SNTFirewall> firewall = SNTFirewall::current();
  Run learned = connectTo("127.0.0.4");
  EXPECT_EQ(learned.error, ECONNREFUSED);
  EXPECT_EQ(learned.allocated, 0);
  EXPECT_FALSE(firewall->isExplicitRuleForHostSet("127.0.0.4"));
  env.runUntilIdle();
  EXPECT_EQ(firewall->explicitRuleForHost("127.0.0.4"), 1);
}

TEST_F(TheConnectHookInAHandler, AllocatesNothingWhenAGuardedStepFailsAndStillBlocks) {
  FirewallTestEnv env;
  env.writeSettings(Value::dictOf(
      {{"apps", Value::dictOf({{testing::kAppId,
                                Value::dictOf({{"new_site_policy", Value::integer(2)}})}})}}));
  SNTFirewall::current();
  Run failed = connectTo("127.0.0.5");
  EXPECT_EQ(failed.error, ENETUNREACH);
  EXPECT_EQ(failed.allocated, 0);
}

}  // namespace
}  // namespace sentrel
