#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/un.h>

#include <cstring>
#include <fstream>
#include <utility>

#include <gtest/gtest.h>

#include "platform/netdb/netdb.h"
#include "support/temp_dir.h"

namespace sentrel::netdb {
namespace {

TEST(TheServicesDatabase, GivesTheTcpPortOfAScheme) {
  EXPECT_EQ(portForService("http"), 80);
  EXPECT_EQ(portForService("https"), 443);
  EXPECT_EQ(portForService("ftp"), 21);
  EXPECT_EQ(portForService("no-such-service"), 0);
  EXPECT_EQ(portForService(""), 0);
  EXPECT_EQ(portForService(std::string_view("http\0x", 6)), 0);
}

sockaddr_in ipv4(const char* text, uint16_t port) {
  sockaddr_in in{};
  in.sin_family = AF_INET;
  in.sin_port = htons(port);
  inet_pton(AF_INET, text, &in.sin_addr);
  return in;
}

sockaddr_in6 ipv6(const char* text, uint16_t port) {
  sockaddr_in6 in6{};
  in6.sin6_family = AF_INET6;
  in6.sin6_port = htons(port);
  inet_pton(AF_INET6, text, &in6.sin6_addr);
  return in6;
}

const sockaddr* asSockaddr(const void* p) {
  return static_cast<const sockaddr*>(p);
}

TEST(AnAddress, ReadsAsTextAndPortForBothFamilies) {
  const sockaddr_in in = ipv4("93.184.216.34", 443);
  EXPECT_EQ(addressText(asSockaddr(&in), sizeof in), "93.184.216.34");
  EXPECT_EQ(port(asSockaddr(&in), sizeof in), 443);
  const sockaddr_in6 in6 = ipv6("2001:db8::1", 8080);
  EXPECT_EQ(addressText(asSockaddr(&in6), sizeof in6), "2001:db8::1");
  EXPECT_EQ(port(asSockaddr(&in6), sizeof in6), 8080);
}

TEST(AnAddress, ReadsAnIPv4MappedAddressAsTheIPv4AddressItReaches) {
  const sockaddr_in6 mapped = ipv6("::ffff:10.0.0.1", 80);
  EXPECT_EQ(addressText(asSockaddr(&mapped), sizeof mapped), "10.0.0.1");
  EXPECT_EQ(port(asSockaddr(&mapped), sizeof mapped), 80);
  // Only the mapped prefix unmaps: an address that merely ends in the same
  // four bytes stays IPv6.
  const sockaddr_in6 other = ipv6("::fffe:10.0.0.1", 80);
  EXPECT_EQ(addressText(asSockaddr(&other), sizeof other), "::fffe:a00:1");
}

TEST(AHostText, NamesOneDestinationByOneKey) {
  const std::pair<const char*, const char*> keys[] = {
      {"::1", "::1"},
      {"[::1]", "::1"},
      {"0:0:0:0:0:0:0:1", "::1"},
      {"[0:0::1]", "::1"},
      {"2001:DB8:0:0:0:0:0:1", "2001:db8::1"},
      {"::ffff:127.0.0.1", "127.0.0.1"},
      {"[::FFFF:7f00:1]", "127.0.0.1"},
      // Everything that is not an IPv6 address stays as it is.
      {"Example.COM", "Example.COM"},
      {"127.0.0.1", "127.0.0.1"},
      {"", ""},
      {"[]", "[]"},
      {"fe80::1%eth0", "fe80::1%eth0"},
      {"[::1", "[::1"},
      {"host:8080", "host:8080"},
  };
  for (const auto& [text, key] : keys) EXPECT_EQ(canonicalHost(text), key) << text;
  // A NUL inside must not cut the text short into an address.
  EXPECT_EQ(canonicalHost(std::string_view("::1\0x", 5)), std::string_view("::1\0x", 5));
  const std::string long_text(200, ':');
  EXPECT_EQ(canonicalHost(long_text), long_text);
}

TEST(AnAddress, IsReadFromUnalignedBytes) {
  const sockaddr_in6 in6 = ipv6("fe80::1", 22);
  alignas(16) unsigned char bytes[sizeof in6 + 1];
  std::memcpy(bytes + 1, &in6, sizeof in6);
  EXPECT_EQ(addressText(asSockaddr(bytes + 1), sizeof in6), "fe80::1");
  EXPECT_EQ(port(asSockaddr(bytes + 1), sizeof in6), 22);
}

TEST(AnAddress, IsRefusedWhenTooShortOfAnotherFamilyOrMissing) {
  const sockaddr_in in = ipv4("127.0.0.1", 80);
  EXPECT_FALSE(addressText(asSockaddr(&in), sizeof in - 1));
  EXPECT_FALSE(port(asSockaddr(&in), sizeof in - 1));
  EXPECT_FALSE(addressText(asSockaddr(&in), 1));
  EXPECT_FALSE(addressText(asSockaddr(&in), 0));
  // An IPv6 family in an IPv4-sized buffer: the length is believed, not the family.
  sockaddr_in lying = in;
  lying.sin_family = AF_INET6;
  EXPECT_FALSE(addressText(asSockaddr(&lying), sizeof lying));
  EXPECT_FALSE(port(asSockaddr(&lying), sizeof lying));
  sockaddr_un un{};
  un.sun_family = AF_UNIX;
  std::strcpy(un.sun_path, "/tmp/socket");
  EXPECT_FALSE(addressText(asSockaddr(&un), sizeof un));
  EXPECT_FALSE(port(asSockaddr(&un), sizeof un));
  EXPECT_FALSE(addressText(nullptr, sizeof in));
  EXPECT_FALSE(port(nullptr, sizeof in));
}

TEST(TheResolverConfiguration, NamesItsNameServersByTheirKeyTexts) {
  testing::TempDir dir;
  const std::string path = (dir.path() / "resolv.conf").string();
  std::ofstream(path) << "# a comment\n"
                         "search example.org\n"
                         "nameserver 10.0.0.53\n"
                         "nameserver   0:0:0:0:0:0:0:1\n"
                         "nameserver fe80::1%eth0\n"
                         "nameserver not-an-address\n"
                         "nameserver\n"
                         "options ndots:2\n";
  EXPECT_EQ(configuredNameServers(path),
            (std::vector<std::string>{"10.0.0.53", "::1", "fe80::1"}));
  EXPECT_TRUE(configuredNameServers((dir.path() / "missing").string()).empty());
}

}  // namespace
}  // namespace sentrel::netdb
