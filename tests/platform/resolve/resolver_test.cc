// Reverse lookups through the resolver seam: where completions arrive, what
// reaches them, and who owns the backend while a lookup runs.
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "platform/resolve/resolver.h"
#include "platform/runloop/run_loop.h"
#include "support/log_capture.h"

namespace sentrel::resolve {
namespace {

using std::chrono::seconds;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr auto kWait = seconds(30);

TEST(AnAddressText, IsAnIPAddressOnlyInStrictNumericForm) {
  EXPECT_TRUE(isIPAddress("10.0.0.1"));
  EXPECT_TRUE(isIPAddress("::1"));
  EXPECT_TRUE(isIPAddress("2001:db8::7"));
  EXPECT_TRUE(isIPAddress("::ffff:192.0.2.1"));

  EXPECT_FALSE(isIPAddress(""));
  EXPECT_FALSE(isIPAddress("localhost"));
  EXPECT_FALSE(isIPAddress("127.1"));       // inet_aton's shorthand is not an address text
  EXPECT_FALSE(isIPAddress("0x7f.0.0.1"));  // nor its hexadecimal parts
  EXPECT_FALSE(isIPAddress("1.2.3.4 "));
  EXPECT_FALSE(isIPAddress("fe80::1%lo"));
  EXPECT_FALSE(isIPAddress(std::string_view("1.2.3.4\0junk", 12)));
}

// A loop on the test thread and an in-memory backend installed for the test.
class AReverseLookup : public ::testing::Test {
 protected:
  std::shared_ptr<InMemoryResolver> backend = std::make_shared<InMemoryResolver>();
  ScopedResolverOverride useBackend{backend};
  runloop::RunLoop loop;

  // Starts a lookup from inside a task of `loop`, as SpringBoard does, and
  // runs the loop until its completion came.
  Names lookUpOnLoop(const std::string& address) {
    int calls = 0;
    Names got;
    loop.post([&] {
      reverseLookup(address, [&](Names names) {
        ++calls;
        got = std::move(names);
      });
    });
    EXPECT_TRUE(loop.runUntil([&] { return calls > 0; }, kWait));
    loop.runUntilIdle();
    EXPECT_EQ(calls, 1);
    return got;
  }
};

TEST_F(AReverseLookup, DeliversTheBackendsNamesInOrder) {
  backend->setNames("192.0.2.1", {"a.example", "b.example"});

  EXPECT_THAT(lookUpOnLoop("192.0.2.1"), ElementsAre("a.example", "b.example"));
}

TEST_F(AReverseLookup, CompletesOnTheLoopThatStartedItAndNeverInsideTheCall) {
  backend->setNames("192.0.2.1", {"a.example"});
  bool calledInside = false;
  bool called = false;
  std::thread::id where;
  loop.post([&] {
    reverseLookup("192.0.2.1", [&](Names) {
      called = true;
      where = std::this_thread::get_id();
    });
    calledInside = called;
  });

  ASSERT_TRUE(loop.runUntil([&] { return called; }, kWait));
  EXPECT_FALSE(calledInside);
  EXPECT_EQ(where, std::this_thread::get_id());
}

TEST_F(AReverseLookup, CompletesOnTheMainQueueWhenTheCallerRunsNoLoop) {
  runloop::RunLoop mainLoop;
  runloop::MainQueue::ScopedOverride useMain(mainLoop);
  backend->setNames("192.0.2.1", {"a.example"});
  int calls = 0;

  reverseLookup("192.0.2.1", [&](Names names) {
    EXPECT_TRUE(mainLoop.isRunningOnCurrentThread());
    EXPECT_THAT(names, ElementsAre("a.example"));
    ++calls;
  });

  ASSERT_TRUE(mainLoop.runUntil([&] { return calls > 0; }, kWait));
  EXPECT_EQ(loop.runUntilIdle(), 0u);  // nothing went to the other loop
  mainLoop.runUntilIdle();
  EXPECT_EQ(calls, 1);
}

TEST_F(AReverseLookup, AnswersTextThatIsNotAnAddressWithNoNamesAndLogsWhy) {
  testing::LogCapture log;
  backend->setNames("not-an-address", {"x.example"});

  EXPECT_THAT(lookUpOnLoop("not-an-address"), IsEmpty());
  EXPECT_TRUE(log.contains("reverse lookup of \"not-an-address\" failed: not an IP address"));
}

TEST_F(AReverseLookup, DropsNamesThatAreThemselvesAddresses) {
  testing::LogCapture log;
  backend->setNames("192.0.2.1", {"198.51.100.7", "", "real.example"});

  EXPECT_THAT(lookUpOnLoop("192.0.2.1"), ElementsAre("real.example"));
  EXPECT_TRUE(log.contains("ignoring the name \"198.51.100.7\""));
}

TEST_F(AReverseLookup, KeepsControlCharactersOfTheAddressOutOfTheLog) {
  testing::LogCapture log;
  EXPECT_THAT(lookUpOnLoop("evil\nforged line"), IsEmpty());
  EXPECT_TRUE(log.contains("\"evil?forged line\""));
  for (const std::string& line : log.lines()) EXPECT_EQ(line.find('\n'), std::string::npos);
}

class ThrowingResolver final : public Resolver {
 public:
  Result<Names> namesForAddress(const std::string&) override {
    throw std::runtime_error("backend broke");
  }
};

TEST_F(AReverseLookup, AnswersABackendThatThrowsWithNoNames) {
  testing::LogCapture log;
  ScopedResolverOverride useThrowing(std::make_shared<ThrowingResolver>());

  EXPECT_THAT(lookUpOnLoop("192.0.2.1"), IsEmpty());
  EXPECT_TRUE(log.contains("the resolver threw: backend broke"));
}

TEST_F(AReverseLookup, KeepsItsBackendAliveAfterTheOverrideIsGone) {
  std::weak_ptr<InMemoryResolver> watched;
  int calls = 0;
  Names got;
  loop.post([&] {
    auto own = std::make_shared<InMemoryResolver>();
    own->setNames("192.0.2.1", {"kept.example"});
    watched = own;
    ScopedResolverOverride useOwn(std::move(own));
    reverseLookup("192.0.2.1", [&](Names names) {
      ++calls;
      got = std::move(names);
    });
  });
  // The guard is gone; the request still answers from the backend it took.
  ASSERT_TRUE(loop.runUntil([&] { return calls > 0; }, kWait));
  EXPECT_THAT(got, ElementsAre("kept.example"));
  EXPECT_TRUE(watched.expired());
  EXPECT_EQ(currentResolver(), backend);
}

TEST(TheSystemResolver, RefusesTextThatIsNotAnAddressWithoutAskingAnyone) {
  Result<Names> names = systemResolver()->namesForAddress("localhost");
  ASSERT_FALSE(names.ok());
  EXPECT_EQ(names.reason(), "not an IP address");
}

// The C library's own answer for the IPv6 loopback: a name or none, whatever
// this machine's hosts file says, but always exactly one completion.
TEST(TheSystemResolver, CompletesALoopbackLookupExactlyOnce) {
  auto loop = std::make_unique<runloop::RunLoop>();
  int calls = 0;
  Names got;
  loop->post([&] {
    reverseLookup("::1", [&](Names names) {
      ++calls;
      got = std::move(names);
    });
  });
  if (!loop->runUntil([&] { return calls > 0; }, seconds(120))) {
    // The completion may still come; it must not find the loop gone.
    (void)loop.release();
    FAIL() << "no completion";
  }
  loop->runUntilIdle();
  EXPECT_EQ(calls, 1);
  EXPECT_LE(got.size(), 1u);  // getnameinfo() gives at most one name
}

}  // namespace
}  // namespace sentrel::resolve
