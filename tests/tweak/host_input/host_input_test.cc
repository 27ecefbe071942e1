// Hosts as people type them: every text either becomes the one key a
// connection to that host is decided by, or is refused with a reason.
#include "tweak/host_input.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace sentrel {
namespace {

struct Taken {
  const char* typed;
  const char* host;
  std::vector<std::string> changes;
};

class AHostTypedForARule : public ::testing::TestWithParam<Taken> {};

TEST_P(AHostTypedForARule, BecomesTheKeyItsConnectionsAreDecidedBy) {
  const Taken& row = GetParam();
  Result<HostInput> input = normalizeHostInput(row.typed);
  ASSERT_TRUE(input.ok()) << row.typed << ": " << input.reason();
  EXPECT_EQ(input->host, row.host) << row.typed;
  EXPECT_EQ(input->changes, row.changes) << row.typed;
  // What comes out goes in unchanged: a key is never changed twice.
  Result<HostInput> again = normalizeHostInput(input->host);
  ASSERT_TRUE(again.ok()) << input->host << ": " << again.reason();
  EXPECT_EQ(again->host, input->host);
  EXPECT_TRUE(again->changes.empty()) << input->host;
}

INSTANTIATE_TEST_SUITE_P(
    Table, AHostTypedForARule,
    ::testing::Values(Taken{"example.com", "example.com", {}}, Taken{"localhost", "localhost", {}},
                      Taken{"LOCALHOST", "localhost", {"lower-cased"}},
                      Taken{"WWW.Example.COM", "www.example.com", {"lower-cased"}},
                      Taken{"host:443", "host", {"dropped the port 443"}},
                      Taken{"127.0.0.1:8765", "127.0.0.1", {"dropped the port 8765"}},
                      Taken{"http://x/", "x", {"took the host of the URL"}},
                      Taken{"https://user:pw@Example.com:8443/a/b?c#d",
                            "example.com",
                            {"took the host of the URL", "dropped the user name",
                             "dropped the port 8443", "lower-cased"}},
                      Taken{"example.com/path", "example.com", {"dropped the path"}},
                      Taken{"example.com.", "example.com", {"dropped the trailing dot"}},
                      Taken{"10.1.0.7", "10.1.0.7", {}}, Taken{"0.0.0.0", "0.0.0.0", {}},
                      Taken{"255.255.255.255", "255.255.255.255", {}}, Taken{"::1", "::1", {}},
                      Taken{"[::1]", "::1", {}}, Taken{"[0:0:0:0:0:0:0:1]", "::1", {}},
                      Taken{"[::1]:53", "::1", {"dropped the port 53"}},
                      Taken{"::ffff:127.0.0.1", "127.0.0.1", {}},
                      Taken{"2001:DB8::1", "2001:db8::1", {}},
                      Taken{"http://[2001:db8::1]:8080/",
                            "2001:db8::1",
                            {"took the host of the URL", "dropped the port 8080"}},
                      Taken{"_service.example.com", "_service.example.com", {}},
                      Taken{"a-b.c-d.example", "a-b.c-d.example", {}},
                      Taken{"1password.com", "1password.com", {}}));

struct Refused {
  std::string typed;
  const char* reason;  // a part of the reason given
};

class AHostThatCannotBeOne : public ::testing::TestWithParam<Refused> {};

TEST_P(AHostThatCannotBeOne, IsRefusedSayingWhy) {
  const Refused& row = GetParam();
  Result<HostInput> input = normalizeHostInput(row.typed);
  ASSERT_FALSE(input.ok()) << row.typed << " became " << input->host;
  EXPECT_NE(input.reason().find(row.reason), std::string::npos)
      << row.typed.substr(0, 80) << ": " << input.reason();
}

INSTANTIATE_TEST_SUITE_P(
    Table, AHostThatCannotBeOne,
    ::testing::Values(
        Refused{"", "empty"}, Refused{"a b", "no spaces"}, Refused{" example.com", "no spaces"},
        Refused{"example.com\n", "control"}, Refused{"[::1", "not closed"},
        Refused{"[]", "no address"}, Refused{"[example.com]", "no IPv6 address"},
        Refused{"::1]", "closes no ["}, Refused{"[::1]x", "only a port"},
        Refused{"1.2.3.4/24", "not a range"}, Refused{"2001:db8::/32", "not a range"},
        Refused{"256.1.1.1", "256 is out of range"}, Refused{"1.2.3.999", "out of range"},
        Refused{"127.1", "four parts"}, Refused{"1.2.3.4.5", "four parts"},
        Refused{"0x7f000001", "decimal"}, Refused{"010.0.0.1", "leading zero"},
        Refused{"*.example.com", "wildcard"}, Refused{"*", "wildcard"},
        Refused{"host:0", "not a port"}, Refused{"host:65536", "not a port"},
        Refused{"host:http", "not a port"}, Refused{"host:", "port after : is empty"},
        Refused{":443", "host before the port is empty"}, Refused{"a..b", "empty label"},
        Refused{".example.com", "empty label"}, Refused{"exa$mple.com", "holds no \"$\""},
        Refused{"bücher.de", "xn--"}, Refused{std::string(64, 'a') + ".com", "longer than 63"},
        Refused{std::string(254, 'a'), "longer than 253"},
        Refused{std::string(100000, 'a'), "longer than 253"},
        Refused{"1:2:3", "not an IPv6 address"}, Refused{"ht tp://x/", "no spaces"},
        Refused{"1http://x/", "not a URL scheme"}, Refused{"http://", "no host"},
        Refused{"http://user@/", "no host"}));

TEST(HostChanges, AreDescribedInOneLineInTheOrderTheyWereMade) {
  EXPECT_EQ(describeHostChanges({}), "");
  EXPECT_EQ(describeHostChanges({"dropped the port 443", "lower-cased"}),
            "dropped the port 443, lower-cased");
}

}  // namespace
}  // namespace sentrel
