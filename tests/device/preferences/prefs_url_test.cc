#include "device/preferences/prefs_url.h"

#include <gtest/gtest.h>

namespace sentrel::settings_app {
namespace {

using Path = std::vector<std::string>;

TEST(PrefsURL, RootAloneOpensTheEntrysRootPage) {
  EXPECT_EQ(parsePrefsURL("prefs:root=Sentrel"), (PrefsLocation{"Sentrel", {}}));
}

TEST(PrefsURL, PathComponentsAreSplitOnSlashes) {
  EXPECT_EQ(parsePrefsURL("prefs:root=Sentrel&path=UserApps/com.example.App"),
            (PrefsLocation{"Sentrel", Path{"UserApps", "com.example.App"}}));
}

TEST(PrefsURL, PercentEncodedTextIsDecodedAfterSplitting) {
  EXPECT_EQ(parsePrefsURL("prefs:root=My%20Firewall&path=Apps/A%2FB%26C"),
            (PrefsLocation{"My Firewall", Path{"Apps", "A/B&C"}}));
}

TEST(PrefsURL, EmptyPathComponentsAndUnknownKeysAreSkipped) {
  EXPECT_EQ(parsePrefsURL("prefs:path=/a//b/&root=X&junk&other=1"),
            (PrefsLocation{"X", Path{"a", "b"}}));
}

TEST(PrefsURL, JunkIsRefused) {
  EXPECT_EQ(parsePrefsURL(""), std::nullopt);
  EXPECT_EQ(parsePrefsURL("http:root=Sentrel"), std::nullopt);
  EXPECT_EQ(parsePrefsURL("prefs:path=UserApps"), std::nullopt);
  EXPECT_EQ(parsePrefsURL("prefs:root="), std::nullopt);
  EXPECT_EQ(parsePrefsURL("prefs:root=Sen%2"), std::nullopt);
  EXPECT_EQ(parsePrefsURL("prefs:root=Sen%zz"), std::nullopt);
  EXPECT_EQ(parsePrefsURL("prefs:root=A&path=x%00y"), std::nullopt);
}

TEST(PercentDecode, DecodesBothHexCasesAndKeepsPlainText) {
  EXPECT_EQ(percentDecode("a%2fb%2Fc+d"), "a/b/c+d");
  EXPECT_EQ(percentDecode("%"), std::nullopt);
  EXPECT_EQ(percentDecode("%4"), std::nullopt);
}

}  // namespace
}  // namespace sentrel::settings_app
