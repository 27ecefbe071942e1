// The socket hook called directly, on an isolated device: what it passes
// on, what it refuses and what it asks about.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include <gtest/gtest.h>

#include "firewall_test_env.h"
#include "tweak/CHooks.h"

namespace sentrel {
namespace {

using plist::Value;
using testing::FirewallTestEnv;
using testing::PostRecorder;

sockaddr_in v4(const char* address, uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  inet_pton(AF_INET, address, &a.sin_addr);
  return a;
}

sockaddr_in6 v6(const char* address, uint16_t port) {
  sockaddr_in6 a{};
  a.sin6_family = AF_INET6;
  a.sin6_port = htons(port);
  inet_pton(AF_INET6, address, &a.sin6_addr);
  return a;
}

TEST(ThePeerHelpers, ReadBothFamiliesAndNothingElse) {
  sockaddr_in a = v4("192.0.2.7", 443);
  sockaddr_in6 b = v6("2001:db8::1", 8080);
  EXPECT_EQ(getSockaddrPeer(reinterpret_cast<sockaddr*>(&a)), "192.0.2.7");
  EXPECT_EQ(getSockaddrPort(reinterpret_cast<sockaddr*>(&a)), 443);
  EXPECT_EQ(getSockaddrPeer(reinterpret_cast<sockaddr*>(&b)), "2001:db8::1");
  EXPECT_EQ(getSockaddrPort(reinterpret_cast<sockaddr*>(&b)), 8080);
  sockaddr local{};
  local.sa_family = AF_UNIX;
  EXPECT_EQ(getSockaddrPeer(&local), std::nullopt);
  EXPECT_EQ(getSockaddrPort(&local), 0);
  EXPECT_EQ(getSockaddrPeer(nullptr), std::nullopt);
}

class TheConnectHook : public ::testing::Test {
 protected:
  TheConnectHook() {
    env_.writeSettings(Value::dictOf(
        {{"apps",
          Value::dictOf(
              {{"com.example.app",
                Value::dictOf({{"domains", Value::dictOf({{"127.0.0.1", testing::rule(1)},
                                                          {"::1", testing::rule(2)}})}})}})}}));
    SNTFirewall::current();
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    fd6_ = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  }
  ~TheConnectHook() override {
    close(fd_);
    close(fd6_);
  }

  FirewallTestEnv env_;
  PostRecorder requests_{env_.center(), "SNT_NEW_SPRINGBOARD_ALERT"};
  int fd_ = -1;
  int fd6_ = -1;
};

TEST_F(TheConnectHook, PassesAnAllowedAddressOnWithThePreviousResultAndErrno) {
  // Port 1 on loopback: nobody listens, so the real connect is refused.
  sockaddr_in allowed = v4("127.0.0.1", 1);
  errno = 0;
  EXPECT_EQ(replaced_connect(fd_, reinterpret_cast<sockaddr*>(&allowed), sizeof allowed), -1);
  EXPECT_EQ(errno, ECONNREFUSED);
  env_.runUntilIdle();
  EXPECT_EQ(requests_.count(), 0u);
}

TEST_F(TheConnectHook, RefusesADeniedIPv6AddressWithoutAsking) {
  sockaddr_in6 denied = v6("::1", 443);
  errno = 0;
  EXPECT_EQ(replaced_connect(fd6_, reinterpret_cast<sockaddr*>(&denied), sizeof denied), -1);
  EXPECT_EQ(errno, ENETUNREACH);
  env_.runUntilIdle();
  EXPECT_EQ(requests_.count(), 0u);
}

TEST_F(TheConnectHook, RefusesAnUndecidedAddressAndAsksOnceWithItsPort) {
  sockaddr_in unknown = v4("192.0.2.44", 443);
  EXPECT_EQ(replaced_connect(fd_, reinterpret_cast<sockaddr*>(&unknown), sizeof unknown), -1);
  EXPECT_EQ(errno, ENETUNREACH);
  env_.runUntilIdle();
  ASSERT_EQ(requests_.count(), 1u);
  EXPECT_EQ(*requests_.payloads()[0].get("host").asString(), "192.0.2.44");
  EXPECT_EQ(requests_.payloads()[0].get("port").asInteger(), 443);
}

TEST_F(TheConnectHook, PassesEverythingWhenTheProcessHasNoFirewall) {
  SNTFirewall::unregister();
  sockaddr_in6 denied = v6("::1", 1);
  EXPECT_EQ(replaced_connect(fd6_, reinterpret_cast<sockaddr*>(&denied), sizeof denied), -1);
  EXPECT_EQ(errno, ECONNREFUSED);
}

TEST_F(TheConnectHook, PassesNullAndShortAddressesOnUnread) {
  errno = 0;
  EXPECT_EQ(replaced_connect(fd_, nullptr, 0), -1);
  EXPECT_NE(errno, ENETUNREACH);
  sockaddr_in allowed = v4("192.0.2.44", 80);
  EXPECT_EQ(replaced_connect(fd_, reinterpret_cast<sockaddr*>(&allowed), 1), -1);
  EXPECT_NE(errno, ENETUNREACH);
}

}  // namespace
}  // namespace sentrel
