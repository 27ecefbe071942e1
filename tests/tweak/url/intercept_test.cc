// The placeholder URL and request, and the default port of a scheme.
#include "tweak/intercept.h"

#include <gtest/gtest.h>

namespace sentrel {
namespace {

TEST(APlaceholder, IsTheBlockedHost) {
  std::optional<URL> url = makeDummyUrl();
  ASSERT_TRUE(url);
  EXPECT_EQ(url->absoluteString(), "http://blocked/");
  EXPECT_EQ(url->host(), "blocked");
}

TEST(APlaceholder, CarriesTheHostTextAsItsPath) {
  std::optional<URL> url = makeDummyUrlWithDomain("ads.example.com");
  ASSERT_TRUE(url);
  EXPECT_EQ(url->host(), "blocked");
  EXPECT_EQ(url->path(), "/ads.example.com");
  EXPECT_EQ(makeDummyUrlWithDomain(std::nullopt)->absoluteString(), "http://blocked/(null)");
}

TEST(APlaceholder, RequestHasNoUrlWhenTheHostTextDoesNotParse) {
  EXPECT_FALSE(makeDummyUrlWithDomain("two words"));
  EXPECT_FALSE(makeDummyRequestWithDomain("two words").url());
  URLRequest request = makeDummyRequestWithDomain("example.com");
  ASSERT_TRUE(request.url());
  EXPECT_EQ(request.url()->absoluteString(), "http://blocked/example.com");
}

TEST(ASchemePort, ComesFromTheServicesDatabase) {
  EXPECT_EQ(SNTGetPortFromUrlScheme(URL::URLWithString("https://a/")), 443);
  EXPECT_EQ(SNTGetPortFromUrlScheme(URL::URLWithString("http://a/")), 80);
  // The explicit port is not the scheme's.
  EXPECT_EQ(SNTGetPortFromUrlScheme(URL::URLWithString("http://a:8080/")), 80);
}

TEST(ASchemePort, IsAbsentForUnlistedSchemesAndMissingUrls) {
  EXPECT_EQ(SNTGetPortFromUrlScheme(URL::URLWithString("sentrel-no-such-scheme://a/")),
            std::nullopt);
  EXPECT_EQ(SNTGetPortFromUrlScheme(std::nullopt), std::nullopt);
}

}  // namespace
}  // namespace sentrel
