// URLs as the standard parser reads them.
#include "platform/foundation/url.h"
#include "platform/env/environment.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/paths/device_paths.h"
#include "platform/runloop/run_loop.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace sentrel {
namespace {

TEST(AUrl, HasTheSchemeHostPortAndTextTheParserReturns) {
  std::optional<URL> url = URL::URLWithString("HTTPS://Example.COM:8443/a/b?q=1#top");
  ASSERT_TRUE(url);
  EXPECT_EQ(url->scheme(), "https");
  EXPECT_EQ(url->host(), "Example.COM");  // letter case kept: rules compare it exactly
  EXPECT_EQ(url->port(), 8443);
  EXPECT_EQ(url->path(), "/a/b");
  EXPECT_EQ(url->query(), "q=1");
  EXPECT_EQ(url->fragment(), "top");
  EXPECT_EQ(url->absoluteString(), "https://Example.COM:8443/a/b?q=1#top");
}

TEST(AUrl, HasOnlyAnExplicitPort) {
  EXPECT_EQ(URL::URLWithString("http://example.com/")->port(), std::nullopt);
  EXPECT_EQ(URL::URLWithString("http://example.com")->absoluteString(), "http://example.com/");
}

TEST(AUrl, KeepsTheBracketsOfAnIpv6HostAndDropsItsZone) {
  EXPECT_EQ(URL::URLWithString("http://[2001:db8::1]:80/")->host(), "[2001:db8::1]");
  EXPECT_EQ(URL::URLWithString("http://[fe80::1%25eth0]/")->host(), "[fe80::1]");
}

TEST(AUrl, IsRefusedForTextsTheParserRefuses) {
  EXPECT_FALSE(URL::URLWithString("http://blocked/a b"));
  EXPECT_FALSE(URL::URLWithString("example.com/path"));
  EXPECT_FALSE(URL::URLWithString("http://example.com:99999/"));
  EXPECT_FALSE(URL::URLWithString(""));
  EXPECT_FALSE(URL::URLWithString(std::string("http://a/\0b", 11)));
}

TEST(AUrl, AcceptsOpaqueUrlsWithoutAHost) {
  std::optional<URL> url = URL::URLWithString("prefs:root=Sentrel&path=UserApps/com.example.app");
  ASSERT_TRUE(url);
  EXPECT_EQ(url->scheme(), "prefs");
  EXPECT_EQ(url->host(), std::nullopt);
  EXPECT_EQ(url->absoluteString(), "prefs:root=Sentrel&path=UserApps/com.example.app");
  EXPECT_TRUE(URL::URLWithString("mailto:a@b.c"));
  EXPECT_FALSE(URL::URLWithString("prefs:root=a b"));
  EXPECT_FALSE(URL::URLWithString("prefs:root=%zz"));
  EXPECT_FALSE(URL::URLWithString("1abc:x"));
}

TEST(AUrl, PercentEncodesForAFragment) {
  EXPECT_EQ(percentEncodeForURLFragment("a-Z_0.~!$&'()*+,/:;=?@"), "a-Z_0.~!$&'()*+,/:;=?@");
  EXPECT_EQ(percentEncodeForURLFragment(" #%[]\"<>\\^`{|}"),
            "%20%23%25%5B%5D%22%3C%3E%5C%5E%60%7B%7C%7D");
  EXPECT_EQ(percentEncodeForURLFragment("\xC3\xA9\x01"), "%C3%A9%01");
}

class TheDeviceOpener : public ::testing::Test {
 protected:
  TheDeviceOpener() {
    program_ = paths::resolve("/usr/bin/open");
    std::filesystem::create_directories(program_.parent_path());
    std::ofstream(program_) << "#!/bin/sh\necho \"$@\" >> \"$0.log\"\n";
    chmod(program_.c_str(), 0755);
  }
  std::string requests() const {
    std::ifstream in(program_.string() + ".log");
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  testing::TempDir root_;
  env::ScopedEnvironment installed_{{.device_root = root_.path()}};
  std::filesystem::path program_;
  runloop::RunLoop loop_;
};

TEST_F(TheDeviceOpener, OpensSettingsUrlsInTheSettingsApp) {
  openURL(URL::URLWithString("prefs:root=Sentrel&path=UserApps/com.example.app"));
  EXPECT_TRUE(loop_.runUntil([&] {
    return requests() == "com.apple.Preferences prefs:root=Sentrel&path=UserApps/com.example.app\n";
  }));
}

TEST_F(TheDeviceOpener, OnlyLogsUrlsNoAppOpensAndMissingUrls) {
  testing::LogCapture log;
  openURL(URL::URLWithString("https://example.com/"));
  openURL(std::nullopt);
  EXPECT_TRUE(log.contains("openURL(https://example.com/): no app on this device opens it"));
  EXPECT_TRUE(log.contains("openURL((null))"));
  EXPECT_EQ(requests(), "");
}

}  // namespace
}  // namespace sentrel
