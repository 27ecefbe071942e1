#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/notify/bus_connection_linux.h"
#include "platform/notify/device_bus.h"
#include "platform/notify/notification_center.h"
#include "platform/runloop/run_loop.h"
#include "support/log_capture.h"
#include "support/test_bus.h"

namespace sentrel::notify {
namespace {

using plist::Value;

struct Received {
  std::string name;
  Value user_info;
};

std::span<const uint8_t> bytesOf(const std::string& s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

ObserverId record(NotificationCenter& center, const std::string& name,
                  std::vector<Received>& into) {
  return center.addObserver(name, [&into](const std::string& n, const Value& info) {
    into.push_back({n, info});
  });
}

class ABusCenter : public ::testing::Test {
 protected:
  void SetUp() override {
    SENTREL_ASSERT_BUS_STARTED(bus_);
    center_ = connect();
    ASSERT_NE(center_, nullptr);
  }

  std::unique_ptr<NotificationCenter> connect() {
    auto made = makeBusCenter(bus_.address(), loop_);
    EXPECT_TRUE(made.ok()) << made.reason();
    return made ? std::move(made).value() : nullptr;
  }

  ObserverId record(const std::string& name) { return notify::record(*center_, name, received_); }

  // A raw connection, as another (perhaps faulty) process would have.
  std::unique_ptr<internal::BusConnection> rawConnection() {
    auto opened = internal::BusConnection::open(bus_.address(), [](internal::ReceivedPost) {});
    EXPECT_TRUE(opened.ok()) << opened.reason();
    return opened ? std::move(opened).value() : nullptr;
  }

  bool waitFor(const std::function<bool()>& done) {
    return loop_.runUntil(done, std::chrono::seconds(20));
  }

  testing::TestBus bus_;
  runloop::RunLoop loop_;
  std::unique_ptr<NotificationCenter> center_;
  std::vector<Received> received_;
};

TEST_F(ABusCenter, DeliversAPostToItsOwnObserverWithTheUserInfo) {
  record("SNT_NEW_SETTINGS");
  Value settings =
      Value::dictOf({{"snt_enabled", Value::boolean(true)},
                     {"apps", Value::dictOf({{"com.example.app", Value::dictOf({})}})}});
  center_->post("SNT_NEW_SETTINGS", settings);
  ASSERT_TRUE(waitFor([&] { return !received_.empty(); }));
  EXPECT_EQ(received_[0].name, "SNT_NEW_SETTINGS");
  EXPECT_EQ(received_[0].user_info, settings);
}

TEST_F(ABusCenter, DeliversNullUserInfoAsNullAndAnEmptyDictionaryAsOne) {
  record("N");
  center_->post("N", Value());
  center_->post("N", Value::dictOf({}));
  ASSERT_TRUE(waitFor([&] { return received_.size() == 2; }));
  EXPECT_TRUE(received_[0].user_info.isNull());
  EXPECT_EQ(received_[1].user_info, Value::dictOf({}));
}

TEST_F(ABusCenter, DeliversBetweenTwoConnectionsInPostOrder) {
  auto other = connect();
  std::vector<Received> theirs;
  notify::record(*other, "SNT_SB_SAVE_SETTINGS", theirs);
  for (int i = 0; i < 50; ++i) {
    center_->post("SNT_SB_SAVE_SETTINGS", Value::dictOf({{"i", Value::integer(i)}}));
  }
  ASSERT_TRUE(waitFor([&] { return theirs.size() == 50; }));
  for (int i = 0; i < 50; ++i) EXPECT_EQ(theirs[i].user_info.get("i"), Value::integer(i));
}

TEST_F(ABusCenter, MatchesANameEndingInABundleIdentifierExactly) {
  auto other = connect();
  std::vector<Received> theirs;
  notify::record(*other, "SNT_ALERT_CALLBACK_com.example.app", theirs);
  notify::record(*other, "SNT_ALERT_CALLBACK_com.example.ap", theirs);
  notify::record(*other, "SNT_ALERT_CALLBACK_com.example.app.widget", theirs);
  notify::record(*other, "SNT_ALERT_CALLBACK_comXexampleXapp", theirs);  // a dot is no wildcard
  notify::record(*other, "SNT_END", theirs);
  Value answer = Value::dictOf({{"alert_id", Value::string("A1")}, {"allow", Value::integer(1)}});
  center_->post("SNT_ALERT_CALLBACK_com.example.app", answer);
  center_->post("SNT_END", Value());
  ASSERT_TRUE(waitFor([&] { return !theirs.empty() && theirs.back().name == "SNT_END"; }));
  ASSERT_EQ(theirs.size(), 2u);
  EXPECT_EQ(theirs[0].name, "SNT_ALERT_CALLBACK_com.example.app");
  EXPECT_EQ(theirs[0].user_info, answer);
}

TEST_F(ABusCenter, IsNotWokenForNamesItDoesNotObserve) {
  // The bus filters: a connection never even receives the names it does not watch.
  std::vector<internal::ReceivedPost> seen;
  auto opened = internal::BusConnection::open(
      bus_.address(), [&](internal::ReceivedPost post) { seen.push_back(std::move(post)); });
  ASSERT_TRUE(opened.ok()) << opened.reason();
  internal::BusConnection& watcher = *opened.value();
  ASSERT_TRUE(watcher.watch("SNT_NEW_APP_SETTINGS_com.example.app").ok());
  center_->post("SNT_NEW_APP_SETTINGS_com.example.other", Value());
  center_->post("SNT_NEW_SETTINGS", Value());
  center_->post("SNT_NEW_APP_SETTINGS_com.example.app", Value());
  runloop::WatchId watch =
      loop_.watchFd(watcher.fd(), POLLIN, [&](short) { (void)watcher.processPending(); });
  ASSERT_TRUE(waitFor([&] { return !seen.empty(); }));
  loop_.unwatchFd(watch);
  EXPECT_EQ(seen[0].name, "SNT_NEW_APP_SETTINGS_com.example.app");
  EXPECT_EQ(watcher.postsRoutedHereForTesting(), 1u);
}

TEST_F(ABusCenter, StopsDeliveringANameOnceItsLastObserverIsRemoved) {
  auto other = connect();
  std::vector<Received> theirs;
  ObserverId first = notify::record(*other, "N", theirs);
  ObserverId second = notify::record(*other, "N", theirs);
  notify::record(*other, "SNT_END", theirs);
  other->removeObserver(first);
  center_->post("N", Value());
  center_->post("SNT_END", Value());
  ASSERT_TRUE(waitFor([&] { return theirs.size() == 2; }));
  EXPECT_EQ(theirs[0].name, "N");  // the second observer still hears it

  other->removeObserver(second);
  theirs.clear();
  center_->post("N", Value());
  center_->post("SNT_END", Value());
  ASSERT_TRUE(waitFor([&] { return !theirs.empty(); }));
  ASSERT_EQ(theirs.size(), 1u);
  EXPECT_EQ(theirs[0].name, "SNT_END");
}

TEST_F(ABusCenter, DropsAndLogsMalformedNotificationsAndKeepsDelivering) {
  testing::LogCapture log;
  record("SNT_NEW_SPRINGBOARD_ALERT");
  auto raw = rawConnection();
  ASSERT_NE(raw, nullptr);
  const std::string garbage("\x00\x01not a property list\xff", 22);
  ASSERT_TRUE(raw->post("SNT_NEW_SPRINGBOARD_ALERT", bytesOf(garbage)).ok());
  ASSERT_TRUE(raw->postNameOnlyForTesting("SNT_NEW_SPRINGBOARD_ALERT").ok());
  Result<std::string> good = encodePayload(Value::dictOf({{"host", Value::string("example.com")}}));
  ASSERT_TRUE(good.ok());
  ASSERT_TRUE(raw->post("SNT_NEW_SPRINGBOARD_ALERT", bytesOf(*good)).ok());
  ASSERT_TRUE(waitFor([&] { return !received_.empty(); }));
  ASSERT_EQ(received_.size(), 1u);
  EXPECT_EQ(received_[0].user_info.get("host"), Value::string("example.com"));
  EXPECT_EQ(log.count("Dropped notification SNT_NEW_SPRINGBOARD_ALERT"), 2u);
  EXPECT_TRUE(log.contains("not a dictionary"));
  EXPECT_TRUE(log.contains("signature"));
}

// A send the bus refuses while the connection stays up: the post is logged
// as not sent (never reported as delivered), and the center keeps working.
TEST_F(ABusCenter, LogsAFailingSendAndKeepsPostingAfterIt) {
  testing::LogCapture log;
  record("SNT_NEW_SETTINGS");
  {
    const internal::BusCalls saved = internal::busCalls();
    internal::busCalls().send = [](sd_bus*, sd_bus_message*, uint64_t*) { return -ENOBUFS; };
    center_->post("SNT_NEW_SETTINGS", Value::dictOf({{"lost", Value::boolean(true)}}));
    internal::busCalls() = saved;
  }
  EXPECT_TRUE(log.contains("Not posting notification SNT_NEW_SETTINGS: cannot send: " +
                           std::string(strerror(ENOBUFS))));
  center_->post("SNT_NEW_SETTINGS", Value::dictOf({{"sent", Value::boolean(true)}}));
  ASSERT_TRUE(waitFor([&] { return !received_.empty(); }));
  ASSERT_EQ(received_.size(), 1u);
  EXPECT_TRUE(received_[0].user_info.get("sent").isBool());
}

TEST_F(ABusCenter, DeliversNamesThatNoMatchRuleCanSpellExactlyOnce) {
  const std::string quoted = "SNT_it's_a\\name";
  const std::string long_name = "SNT_" + std::string(2000, 'x');
  auto other = connect();
  std::vector<Received> theirs;
  notify::record(*other, quoted, theirs);
  notify::record(*other, long_name, theirs);
  notify::record(*other, "SNT_END", theirs);
  center_->post(quoted, Value());
  center_->post("SNT_it's_a\\nam", Value());  // unobserved, but shares the catch-all rule
  center_->post(long_name, Value());
  center_->post("SNT_END", Value());
  ASSERT_TRUE(waitFor([&] { return !theirs.empty() && theirs.back().name == "SNT_END"; }));
  ASSERT_EQ(theirs.size(), 3u);
  EXPECT_EQ(theirs[0].name, quoted);
  EXPECT_EQ(theirs[1].name, long_name);
}

TEST_F(ABusCenter, RefusesUserInfoThatIsNotADictionaryWithALogLine) {
  testing::LogCapture log;
  record("N");
  record("SNT_END");
  center_->post("N", Value::integer(3));
  center_->post("SNT_END", Value());
  ASSERT_TRUE(waitFor([&] { return !received_.empty(); }));
  EXPECT_EQ(received_.size(), 1u);
  EXPECT_EQ(log.count("Not posting notification N: user info is a"), 1u);
}

TEST_F(ABusCenter, PostsWithoutARunningLoop) {
  // A command-line tool posts and exits without ever running its loop.
  auto other = connect();
  std::vector<Received> theirs;
  notify::record(*other, "SNT_LAUNCH_TWEAK_SETTINGS", theirs);
  {
    runloop::RunLoop never_run;
    auto made = makeBusCenter(bus_.address(), never_run);
    ASSERT_TRUE(made.ok()) << made.reason();
    made.value()->post("SNT_LAUNCH_TWEAK_SETTINGS",
                       Value::dictOf({{"path", Value::string("Sentrel")}}));
  }
  ASSERT_TRUE(waitFor([&] { return !theirs.empty(); }));
  EXPECT_EQ(theirs[0].user_info.get("path"), Value::string("Sentrel"));
}

TEST_F(ABusCenter, KeepsWorkingInAForkedChildWithoutDisturbingTheParent) {
  std::vector<Received> heard;
  notify::record(*center_, "SNT_FROM_CHILD", heard);

  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // The inherited center opens its own connection, keeps its observers and
    // hears its own post through the loop.
    bool self = false;
    center_->addObserver("SNT_CHILD_SELF", [&](const std::string&, const Value& info) {
      if (info.get("pid") == Value::integer(getpid())) self = true;
    });
    center_->post("SNT_CHILD_SELF", Value::dictOf({{"pid", Value::integer(getpid())}}));
    bool ok = loop_.runUntil([&] { return self; }, std::chrono::seconds(20));
    center_->post("SNT_FROM_CHILD", Value::dictOf({{"heard_itself", Value::boolean(ok)}}));
    _exit(ok ? 0 : 3);
  }

  ASSERT_TRUE(waitFor([&] { return !heard.empty(); }));
  EXPECT_EQ(heard[0].user_info.get("heard_itself"), Value::boolean(true));
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
  // The parent's own connection is intact after the child used and dropped its copy.
  heard.clear();
  center_->post("SNT_FROM_CHILD", Value::dictOf({{"pid", Value::integer(getpid())}}));
  ASSERT_TRUE(waitFor([&] { return !heard.empty(); }));
  EXPECT_EQ(heard[0].user_info.get("pid"), Value::integer(getpid()));
}

TEST(ABusCenterWithoutABus, FailsToConnectWithTheReason) {
  testing::TempDir root;
  runloop::RunLoop loop;
  auto made = makeBusCenter(busAddressForRoot(root.path()), loop);
  ASSERT_FALSE(made.ok());
  EXPECT_NE(made.reason().find("cannot connect"), std::string::npos) << made.reason();
}

TEST(AReconnectingBusCenter, DropsPostsWhileTheBusIsDownAndRecoversItsObservers) {
  testing::TempDir root;
  testing::LogCapture log;
  runloop::FakeClock clock;
  runloop::RunLoop loop(clock);
  auto center = makeReconnectingBusCenter(busAddressForRoot(root.path()), loop);
  std::vector<Received> received;
  record(*center, "SNT_NEW_SETTINGS", received);
  center->post("SNT_NEW_SETTINGS", Value());
  center->post("SNT_NEW_SETTINGS", Value());
  loop.runUntilIdle();
  EXPECT_EQ(log.count("Cannot reach the device bus"), 1u);  // once per outage

  testing::TestBus bus(root.path());
  SENTREL_ASSERT_BUS_STARTED(bus);
  clock.advance(std::chrono::seconds(2));  // the retry timer reconnects and re-adds the rule
  ASSERT_TRUE(loop.runUntil([&] { return log.contains("Reached the device bus"); }))
      << ::testing::PrintToString(log.lines());
  {
    auto poster = makeBusCenter(bus.address(), loop);
    ASSERT_TRUE(poster.ok()) << poster.reason();
    poster.value()->post("SNT_NEW_SETTINGS", Value::dictOf({{"n", Value::integer(1)}}));
    ASSERT_TRUE(loop.runUntil([&] { return !received.empty(); }));
  }

  // launchd restarts the bus: the observer comes back without any post.
  ASSERT_TRUE(bus.restart()) << bus.error();
  ASSERT_TRUE(loop.runUntil([&] { return log.contains("Lost the device bus"); }));
  log.clear();
  clock.advance(std::chrono::seconds(2));
  ASSERT_TRUE(loop.runUntil([&] { return log.contains("Reached the device bus"); }));
  received.clear();
  auto poster = makeBusCenter(bus.address(), loop);
  ASSERT_TRUE(poster.ok()) << poster.reason();
  poster.value()->post("SNT_NEW_SETTINGS", Value::dictOf({{"n", Value::integer(2)}}));
  ASSERT_TRUE(loop.runUntil([&] { return !received.empty(); }));
  EXPECT_EQ(received[0].user_info.get("n"), Value::integer(2));
}

}  // namespace
}  // namespace sentrel::notify

namespace sentrel::notify {
namespace {

// An observer that ignores the payload is called with null, and a payload
// that only such observers watch is never decoded: a garbage one reaches
// them as well. With a reading observer beside it, that one gets the value.
TEST_F(ABusCenter, CallsObserversThatIgnoreThePayloadWithoutDecodingIt) {
  std::vector<Received> ignoring;
  center_->addObserverIgnoringPayload("SNT_NEW_SETTINGS",
                                      [&](const std::string& n, const Value& info) {
                                        ignoring.push_back({n, info});
                                      });
  auto raw = rawConnection();
  ASSERT_NE(raw, nullptr);
  const std::string garbage("\x00\x01not a property list\xff", 22);
  ASSERT_TRUE(raw->post("SNT_NEW_SETTINGS", bytesOf(garbage)).ok());
  ASSERT_TRUE(waitFor([&] { return ignoring.size() == 1; }));
  EXPECT_TRUE(ignoring[0].user_info.isNull());

  record("SNT_NEW_SETTINGS");
  const Value settings = Value::dictOf({{"snt_enabled", Value::boolean(false)}});
  center_->post("SNT_NEW_SETTINGS", settings);
  ASSERT_TRUE(waitFor([&] { return ignoring.size() == 2 && received_.size() == 1; }));
  EXPECT_TRUE(ignoring[1].user_info.isNull());
  EXPECT_EQ(received_[0].user_info, settings);
}

// A document that arrived and is posted on (SpringBoard announcing a save
// request's document) reaches everyone as it arrived.
TEST_F(ABusCenter, PostsADeliveredDocumentOnUnchanged) {
  auto other = connect();
  std::vector<Received> announced;
  notify::record(*other, "SNT_NEW_SETTINGS", announced);
  std::vector<Value> delivered;
  center_->addObserver("SNT_SB_SAVE_SETTINGS_AND_NOTIFY",
                       [&](const std::string&, const Value& info) {
                         delivered.push_back(info);
                         center_->post("SNT_NEW_SETTINGS", info);
                       });
  record("SNT_NEW_SETTINGS");
  const Value first = Value::dictOf({{"snt_enabled", Value::boolean(true)}});
  const Value second = Value::dictOf({{"snt_enabled", Value::boolean(false)}});
  other->post("SNT_SB_SAVE_SETTINGS_AND_NOTIFY", first);
  ASSERT_TRUE(waitFor([&] { return announced.size() == 1 && received_.size() == 1; }));
  // The poster hears its own announcement as the value it was delivered,
  // not decoded a second time.
  EXPECT_TRUE(received_[0].user_info.sameObject(delivered[0]));
  // A value posted that is not the one delivered last is encoded afresh.
  center_->post("SNT_NEW_SETTINGS", second);
  other->post("SNT_SB_SAVE_SETTINGS_AND_NOTIFY", second);
  ASSERT_TRUE(waitFor([&] { return announced.size() == 3; }));
  EXPECT_EQ(announced[0].user_info, first);
  EXPECT_EQ(announced[1].user_info, second);
  EXPECT_EQ(announced[2].user_info, second);
}

// Sockets of this process.
std::vector<int> openSockets() {
  std::vector<int> fds;
  for (int fd = 0; fd < 1024; ++fd) {
    struct stat st {};
    if (fstat(fd, &st) == 0 && S_ISSOCK(st.st_mode)) fds.push_back(fd);
  }
  return fds;
}

// A daemon closes every descriptor and gets the bus socket's number back for
// a pipe of its own: no D-Bus message may land in it, and the center connects
// again and keeps delivering.
TEST_F(ABusCenter, NeverWritesToItsSocketsNumberOnceTheProgramReusedIt) {
  testing::LogCapture log;
  record("SNT_AFTER");
  const std::vector<int> before = openSockets();
  std::unique_ptr<NotificationCenter> poster = connect();
  ASSERT_NE(poster, nullptr);
  poster->post("SNT_BEFORE", Value());  // connected and used
  std::vector<int> mine;
  for (int fd : openSockets()) {
    if (std::find(before.begin(), before.end(), fd) == before.end()) mine.push_back(fd);
  }
  ASSERT_EQ(mine.size(), 1u);
  int ends[2];
  ASSERT_EQ(pipe2(ends, O_NONBLOCK), 0);
  ASSERT_EQ(dup2(ends[1], mine[0]), mine[0]);  // the program's pipe, at the socket's number
  close(ends[1]);

  poster->post("SNT_AFTER", Value::dictOf({{"n", Value::integer(1)}}));
  ASSERT_TRUE(waitFor([&] { return !received_.empty(); }));
  EXPECT_EQ(received_[0].name, "SNT_AFTER");
  char buffer[64];
  EXPECT_EQ(read(ends[0], buffer, sizeof buffer), -1) << "the program's pipe got bus bytes";
  EXPECT_TRUE(log.contains("The device bus's socket was closed under the library"));
  close(ends[0]);
  close(mine[0]);
}

}  // namespace
}  // namespace sentrel::notify
