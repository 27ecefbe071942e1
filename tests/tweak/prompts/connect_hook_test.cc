// The socket hook called directly, on an isolated device: what it passes
// on, what it refuses and what it asks about.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "firewall_test_env.h"
#include "platform/netdb/netdb.h"
#include "tweak/CHooks.h"

namespace sentrel {
namespace {

using plist::Value;
using testing::FirewallTestEnv;
using testing::ipv4Peer;
using testing::PostRecorder;

sockaddr_in6 v6(const char* address, uint16_t port) {
  sockaddr_in6 a{};
  a.sin6_family = AF_INET6;
  a.sin6_port = htons(port);
  inet_pton(AF_INET6, address, &a.sin6_addr);
  return a;
}

TEST(ThePeerHelpers, ReadBothFamiliesAndNothingElse) {
  sockaddr_in a = ipv4Peer("192.0.2.7", 443);
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

// The hook writes the peer's text itself (inet_ntop() is not async-signal-
// safe); rule keys depend on it being exactly the C library's text.
TEST(ThePeerHelpers, WriteEveryAddressAsItsRuleKey) {
  std::vector<in6_addr> addresses;
  for (const char* text :
       {"::", "::1", "::2", "1::", "::ffff:1.2.3.4", "::1.2.3.4", "::ffff", "::ffff:0:1.2.3.4",
        "::fffe:1.2.3.4", "1:0:0:1::1", "0:0:1::", "1:0:0:2:0:0:0:3", "1:0:0:0:2:0:0:3",
        "fe80::1:2", "2001:db8::ff00:42:8329", "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff",
        "::0.0.1.2", "0:0:0:0:0:1:0:0"}) {
    in6_addr a{};
    ASSERT_EQ(inet_pton(AF_INET6, text, &a), 1) << text;
    addresses.push_back(a);
  }
  // Words drawn from {0, 1, 0xffff, 0xabc}: every pattern of zero runs.
  uint32_t seed = 12345;
  for (int i = 0; i < 20000; ++i) {
    in6_addr a{};
    for (int w = 0; w < 8; ++w) {
      seed = seed * 1103515245u + 12345u;
      static constexpr uint16_t kWords[] = {0, 0, 0, 1, 0xffff, 0xabc};
      const uint16_t word = kWords[(seed >> 16) % 6];
      a.s6_addr[2 * w] = static_cast<uint8_t>(word >> 8);
      a.s6_addr[2 * w + 1] = static_cast<uint8_t>(word);
    }
    addresses.push_back(a);
  }
  for (const in6_addr& a : addresses) {
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = a;
    // inet_ntop's text, but an IPv4-mapped address as the IPv4 text it
    // reaches: one rule key per destination.
    char expected[INET6_ADDRSTRLEN];
    ASSERT_TRUE(netdb::ipv6KeyText(a, expected));
    char text[INET6_ADDRSTRLEN];
    const size_t length = formatSockaddrPeer(reinterpret_cast<sockaddr*>(&address), text);
    ASSERT_EQ(std::string(text, length), expected);
  }
  for (uint32_t value : {0u, 1u, 0x7f000001u, 0x0a000001u, 0xc0a80a64u, 0xffffffffu, 0x01020304u}) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(value);
    char expected[INET_ADDRSTRLEN];
    ASSERT_NE(inet_ntop(AF_INET, &address.sin_addr, expected, sizeof expected), nullptr);
    char text[INET6_ADDRSTRLEN];
    const size_t length = formatSockaddrPeer(reinterpret_cast<sockaddr*>(&address), text);
    EXPECT_EQ(std::string(text, length), expected);
  }
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
  sockaddr_in allowed = ipv4Peer("127.0.0.1", 1);
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
  sockaddr_in unknown = ipv4Peer("192.0.2.44", 443);
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
  sockaddr_in allowed = ipv4Peer("192.0.2.44", 80);
  EXPECT_EQ(replaced_connect(fd_, reinterpret_cast<sockaddr*>(&allowed), 1), -1);
  EXPECT_NE(errno, ENETUNREACH);
}

}  // namespace
}  // namespace sentrel
