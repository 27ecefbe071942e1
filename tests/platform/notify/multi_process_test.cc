// Two processes on one device bus: this test and the notify_peer program.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <vector>

#include "platform/notify/bus_connection_linux.h"
#include "platform/notify/notification_center.h"
#include "platform/runloop/run_loop.h"
#include "support/test_bus.h"

extern char** environ;

namespace sentrel::notify {
namespace {

using plist::Value;

std::span<const uint8_t> bytesOf(const std::string& s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

// The peer process; killed if a failing test leaves it running.
class Peer {
 public:
  explicit Peer(const std::string& address) {
    std::string path = NOTIFY_PEER_PATH;
    std::vector<char*> argv = {path.data(), const_cast<char*>(address.c_str()), nullptr};
    if (posix_spawn(&pid_, path.c_str(), nullptr, nullptr, argv.data(), environ) != 0) pid_ = -1;
  }
  ~Peer() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  pid_t pid() const { return pid_; }
  int wait() {
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return status;
  }

 private:
  pid_t pid_ = -1;
};

TEST(TwoProcesses, ExchangeNotificationsAndTheReceiverSurvivesMalformedOnes) {
  testing::TestBus bus;
  SENTREL_ASSERT_BUS_STARTED(bus);
  runloop::RunLoop loop;
  auto made = makeBusCenter(bus.address(), loop);
  ASSERT_TRUE(made.ok()) << made.reason();
  NotificationCenter& center = *made.value();

  Value ready;
  std::vector<Value> echoes;
  bool bye = false;
  center.addObserver("SNT_TEST_PEER_READY", [&](const std::string&, const Value& v) { ready = v; });
  center.addObserver("SNT_TEST_ECHO",
                     [&](const std::string&, const Value& v) { echoes.push_back(v); });
  center.addObserver("SNT_TEST_BYE", [&](const std::string&, const Value&) { bye = true; });

  Peer peer(bus.address());
  ASSERT_GT(peer.pid(), 0) << "cannot start " << NOTIFY_PEER_PATH;
  ASSERT_TRUE(loop.runUntil([&] { return !ready.isNull(); }, std::chrono::seconds(20)));
  EXPECT_EQ(ready.get("pid"), Value::integer(peer.pid()));

  // A faulty sender: garbage bytes, then arguments of the wrong kind, then a
  // good answer, in that order on one connection.
  const std::string name = "SNT_ALERT_CALLBACK_com.example.app";
  auto raw = internal::BusConnection::open(bus.address(), [](internal::ReceivedPost) {});
  ASSERT_TRUE(raw.ok()) << raw.reason();
  ASSERT_TRUE(raw.value()->post(name, bytesOf("bplist00 but not really")).ok());
  ASSERT_TRUE(raw.value()->postNameOnlyForTesting(name).ok());
  Value answer = Value::dictOf({{"alert_id", Value::string("7E57")}, {"allow", Value::integer(1)}});
  Result<std::string> encoded = encodePayload(answer);
  ASSERT_TRUE(encoded.ok());
  ASSERT_TRUE(raw.value()->post(name, bytesOf(*encoded)).ok());
  ASSERT_TRUE(loop.runUntil([&] { return echoes.size() == 1; }, std::chrono::seconds(20)));
  EXPECT_EQ(echoes[0].get("echo"), answer);

  // The peer is still alive and answering; a post without user info arrives as null.
  center.post(name, Value());
  ASSERT_TRUE(loop.runUntil([&] { return echoes.size() == 2; }, std::chrono::seconds(20)));
  EXPECT_TRUE(echoes[1].get("echo").isNull());
  EXPECT_EQ(echoes[1], Value::dictOf({}));

  // Names for another app never reach it.
  center.post("SNT_ALERT_CALLBACK_com.example.other", answer);
  center.post("SNT_TEST_QUIT", Value());
  ASSERT_TRUE(loop.runUntil([&] { return bye; }, std::chrono::seconds(20)));
  EXPECT_EQ(echoes.size(), 2u);
  int status = peer.wait();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "peer status " << status;
}

}  // namespace
}  // namespace sentrel::notify
