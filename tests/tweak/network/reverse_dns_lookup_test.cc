// ReverseDNSLookup over an in-memory resolver (and once over the C
// library's): what the handler gets, where and how often.
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "gtest/gtest.h"
#include "platform/env/environment.h"
#include "platform/resolve/resolver.h"
#include "platform/runloop/run_loop.h"
#include "support/log_capture.h"
#include "tweak/Network/ReverseDNSLookup.h"

namespace sentrel {
namespace {

using std::chrono::seconds;

constexpr auto kWait = seconds(30);

TEST(ReverseDNSLookupIsValidIP, AcceptsIPv4AndIPv6TextsAndNothingElse) {
  EXPECT_TRUE(ReverseDNSLookup::isValidIP("93.184.216.34"));
  EXPECT_TRUE(ReverseDNSLookup::isValidIP("::1"));
  EXPECT_TRUE(ReverseDNSLookup::isValidIP("2606:2800:220:1:248:1893:25c8:1946"));

  EXPECT_FALSE(ReverseDNSLookup::isValidIP(std::nullopt));
  EXPECT_FALSE(ReverseDNSLookup::isValidIP(""));
  EXPECT_FALSE(ReverseDNSLookup::isValidIP("www.example.com"));
  EXPECT_FALSE(ReverseDNSLookup::isValidIP("256.1.1.1"));
  EXPECT_FALSE(ReverseDNSLookup::isValidIP("1.2.3.4:80"));
  // A view that is not NUL-terminated must be read only up to its size.
  const std::string longer = "10.0.0.12";
  EXPECT_TRUE(ReverseDNSLookup::isValidIP(std::string_view(longer).substr(0, 8)));
  EXPECT_FALSE(ReverseDNSLookup::isValidIP(std::string_view(longer).substr(0, 3)));
}

// The test thread runs a loop; lookups answer from a table.
class AReverseDNSLookup : public ::testing::Test {
 protected:
  AReverseDNSLookup() {
    names->setNames("192.0.2.10", {"one.example"});
    names->setNames("192.0.2.20", {"first.example", "second.example"});
    names->setNames("2001:db8::5", {"six.example"});
  }

  struct Outcome {
    int calls = 0;
    std::optional<std::string> host;
    std::thread::id thread;
  };

  // The handler records into `outcome`, which must outlive the lookup.
  static ReverseDNSLookup::CompletionHandler recordInto(Outcome& outcome) {
    return [&outcome](std::optional<std::string> host) {
      ++outcome.calls;
      outcome.host = std::move(host);
      outcome.thread = std::this_thread::get_id();
    };
  }

  // Resolves `address` from inside a task of the test loop and waits for the
  // handler.
  Outcome resolve(std::optional<std::string> address) {
    Outcome outcome;
    ReverseDNSLookup lookup(std::move(address));
    loop.post([&] { lookup.resolveWithCompletionHandler(recordInto(outcome)); });
    EXPECT_TRUE(loop.runUntil([&] { return outcome.calls > 0; }, kWait));
    loop.runUntilIdle();
    return outcome;
  }

  std::shared_ptr<resolve::InMemoryResolver> names = std::make_shared<resolve::InMemoryResolver>();
  env::ScopedEnvironment installed_{{.resolver = names}};
  runloop::RunLoop loop;
};

TEST_F(AReverseDNSLookup, GivesTheOneNameOfAnAddress) {
  Outcome outcome = resolve("192.0.2.10");
  EXPECT_EQ(outcome.calls, 1);
  EXPECT_EQ(outcome.host, "one.example");
}

TEST_F(AReverseDNSLookup, ResolvesIPv6Addresses) {
  Outcome outcome = resolve("2001:db8::5");
  EXPECT_EQ(outcome.calls, 1);
  EXPECT_EQ(outcome.host, "six.example");
}

TEST_F(AReverseDNSLookup, GivesNoHostForNoNameOrSeveralNames) {
  Outcome none = resolve("192.0.2.99");
  EXPECT_EQ(none.calls, 1);
  EXPECT_EQ(none.host, std::nullopt);

  Outcome several = resolve("192.0.2.20");
  EXPECT_EQ(several.calls, 1);
  EXPECT_EQ(several.host, std::nullopt);
}

TEST_F(AReverseDNSLookup, GivesNoHostForTextThatIsNotAnAddressOrNoText) {
  names->setNames("one.example", {"should-not-be-asked.example"});
  Outcome word = resolve("one.example");
  EXPECT_EQ(word.calls, 1);
  EXPECT_EQ(word.host, std::nullopt);

  Outcome missing = resolve(std::nullopt);
  EXPECT_EQ(missing.calls, 1);
  EXPECT_EQ(missing.host, std::nullopt);
}

TEST_F(AReverseDNSLookup, ReturnsAtOnceLogsTheStartAndAnswersOnTheStartingLoop) {
  testing::LogCapture log;
  Outcome outcome;
  bool calledBeforeReturn = true;
  ReverseDNSLookup lookup("192.0.2.10");
  loop.post([&] {
    lookup.resolveWithCompletionHandler(recordInto(outcome));
    calledBeforeReturn = outcome.calls > 0;
  });

  ASSERT_TRUE(loop.runUntil([&] { return outcome.calls > 0; }, kWait));
  EXPECT_FALSE(calledBeforeReturn);
  EXPECT_EQ(outcome.thread, std::this_thread::get_id());
  EXPECT_EQ(log.count("started: 1"), 1u);
}

TEST_F(AReverseDNSLookup, ResolvesTheAddressItHasWhenStarted) {
  Outcome outcome;
  ReverseDNSLookup lookup("192.0.2.99");
  EXPECT_EQ(lookup.address(), "192.0.2.99");
  lookup.setAddress("192.0.2.10");
  loop.post([&] {
    lookup.resolveWithCompletionHandler(recordInto(outcome));
    lookup.setAddress("2001:db8::5");  // too late for the lookup under way
  });

  ASSERT_TRUE(loop.runUntil([&] { return outcome.calls > 0; }, kWait));
  EXPECT_EQ(outcome.host, "one.example");
  EXPECT_EQ(lookup.address(), "2001:db8::5");
}

TEST_F(AReverseDNSLookup, RunsTwoLookupsOfOneAddressIndependently) {
  Outcome first;
  Outcome second;
  ReverseDNSLookup a("192.0.2.10");
  ReverseDNSLookup b("192.0.2.10");
  loop.post([&] {
    a.resolveWithCompletionHandler(recordInto(first));
    b.resolveWithCompletionHandler(recordInto(second));
  });

  ASSERT_TRUE(loop.runUntil([&] { return first.calls > 0 && second.calls > 0; }, kWait));
  loop.runUntilIdle();
  EXPECT_EQ(first.calls, 1);
  EXPECT_EQ(second.calls, 1);
  EXPECT_EQ(first.host, "one.example");
  EXPECT_EQ(second.host, "one.example");
  EXPECT_EQ(names->lookupCount(), 2u);
}

TEST_F(AReverseDNSLookup, MayBeDestroyedBeforeItsHandlerIsCalled) {
  Outcome outcome;
  auto lookup = std::make_unique<ReverseDNSLookup>("192.0.2.10");
  loop.post([&] {
    lookup->resolveWithCompletionHandler(recordInto(outcome));
    lookup.reset();
  });

  ASSERT_TRUE(loop.runUntil([&] { return outcome.calls > 0; }, kWait));
  loop.runUntilIdle();
  EXPECT_EQ(lookup, nullptr);
  EXPECT_EQ(outcome.calls, 1);
  EXPECT_EQ(outcome.host, "one.example");
}

TEST_F(AReverseDNSLookup, ReleasesItsHandlerOnceItHasBeenCalled) {
  auto token = std::make_shared<int>(0);
  std::weak_ptr<int> watched = token;
  int calls = 0;
  ReverseDNSLookup lookup("192.0.2.10");
  loop.post([&, token = std::move(token)]() mutable {
    lookup.resolveWithCompletionHandler([&calls, token](std::optional<std::string>) { ++calls; });
    token.reset();
  });

  ASSERT_TRUE(loop.runUntil([&] { return calls > 0; }, kWait));
  loop.runUntilIdle();
  EXPECT_TRUE(watched.expired());
}

// The C library's resolver: 127.0.0.1 may or may not have a name on this
// machine, and nothing here needs the network; what must hold is one call.
TEST(AReverseDNSLookupOfTheCLibrary, CallsItsHandlerExactlyOnceForTheLoopback) {
  auto loop = std::make_unique<runloop::RunLoop>();
  int calls = 0;
  std::optional<std::string> host;
  ReverseDNSLookup lookup("127.0.0.1");
  loop->post([&] {
    lookup.resolveWithCompletionHandler([&](std::optional<std::string> name) {
      ++calls;
      host = std::move(name);
    });
  });
  if (!loop->runUntil([&] { return calls > 0; }, seconds(120))) {
    (void)loop.release();  // a late completion must not find the loop gone
    FAIL() << "no completion";
  }
  loop->runUntilIdle();
  EXPECT_EQ(calls, 1);
  EXPECT_TRUE(!host || !host->empty());
}

}  // namespace
}  // namespace sentrel
