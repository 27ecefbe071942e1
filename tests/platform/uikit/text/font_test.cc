#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/uikit/text/font.h"
#include "platform/uikit/text/font_files.h"
#include "platform/uikit/text/font_library.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace sentrel::uikit {
namespace {

using ::testing::EndsWith;
using ::testing::HasSubstr;

TEST(AFont, HasThePlatformsPreferredStyles) {
  EXPECT_EQ(Font::preferredFont(TextStyle::kHeadline), Font::systemFont(17, FontWeight::kSemibold));
  EXPECT_EQ(Font::preferredFont(TextStyle::kSubheadline), Font::systemFont(15));
  EXPECT_EQ(Font::preferredFont(TextStyle::kBody), Font::systemFont(17));
  EXPECT_EQ(Font(), Font::systemFont(17));
  EXPECT_EQ(Font::boldSystemFont(13).weight(), FontWeight::kBold);
}

TEST(AFont, ReadsASizeThatIsNoSizeAsTheDefault) {
  for (double size : {0.0, -4.0, std::nan(""), std::numeric_limits<double>::infinity()}) {
    EXPECT_EQ(Font::systemFont(size).pointSize(), Font::kDefaultPointSize) << size;
  }
  EXPECT_EQ(Font::systemFont(1e9).pointSize(), Font::kMaxPointSize);
  EXPECT_EQ(Font::systemFont(12.5).withSize(-1).pointSize(), Font::kDefaultPointSize);
}

TEST(AFont, NamesWhatThePageDraws) {
  EXPECT_EQ(Font::systemFont(17).cssFont(), "400 17px Inter");
  EXPECT_EQ(Font::preferredFont(TextStyle::kHeadline).cssFont(), "600 17px Inter");
  EXPECT_EQ(Font::boldSystemFont(15.5).cssFont(), "700 15.5px Inter");
}

class AFontLibrary : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string error;
    auto paths = findSystemFontFiles(&error);
    ASSERT_TRUE(paths) << error;
    paths_ = *paths;
  }
  static FontFilePaths paths_;
};
FontFilePaths AFontLibrary::paths_;

TEST_F(AFontLibrary, FindsInterAtEachWeight) {
  EXPECT_THAT(paths_.regular, EndsWith("/Inter-Regular.otf"));
  EXPECT_THAT(paths_.semibold, EndsWith("/Inter-SemiBold.otf"));
  EXPECT_THAT(paths_.bold, EndsWith("/Inter-Bold.otf"));
  FontLibrary fonts(paths_);
  ASSERT_TRUE(fonts.ok()) << fonts.error();
  WebFont web = fonts.webFont(Font::preferredFont(TextStyle::kHeadline));
  EXPECT_EQ(web.path, paths_.semibold);
  EXPECT_EQ(web.family, "Inter");
  EXPECT_EQ(web.weight, 600);

  // The faces backboardd serves the page are the ones webFont() names, one
  // per weight; a weight without a file is not served.
  std::vector<WebFont> served = systemWebFonts(paths_);
  ASSERT_EQ(served.size(), 3u);
  for (FontWeight weight : {FontWeight::kRegular, FontWeight::kSemibold, FontWeight::kBold}) {
    WebFont expected = fonts.webFont(Font::systemFont(17, weight));
    EXPECT_TRUE(std::any_of(served.begin(), served.end(), [&](const WebFont& f) {
      return f.path == expected.path && f.family == expected.family && f.weight == expected.weight;
    })) << weightName(weight);
  }
  FontFilePaths partial = paths_;
  partial.bold.clear();
  EXPECT_EQ(systemWebFonts(partial).size(), 2u);
}

TEST_F(AFontLibrary, ReportsMetricsOfTheRealFontScaledBySize) {
  FontLibrary fonts(paths_);
  FontMetrics m17 = fonts.metrics(Font::systemFont(17));
  FontMetrics m34 = fonts.metrics(Font::systemFont(34));
  EXPECT_GT(m17.ascender, 0);
  EXPECT_LT(m17.descender, 0);
  EXPECT_GT(m17.cap_height, m17.x_height);
  EXPECT_GT(m17.x_height, 0);
  EXPECT_LT(m17.cap_height, m17.ascender);
  EXPECT_DOUBLE_EQ(m17.line_height, m17.ascender - m17.descender + m17.leading);
  // Inter's line is about 1.2 em, as the platform's system font.
  EXPECT_GT(m17.line_height, 17 * 1.1);
  EXPECT_LT(m17.line_height, 17 * 1.35);
  EXPECT_DOUBLE_EQ(m34.line_height, 2 * m17.line_height);
  EXPECT_DOUBLE_EQ(m34.cap_height, 2 * m17.cap_height);
}

TEST_F(AFontLibrary, MeasuresWiderTextWithHeavierWeightsAndLargerSizes) {
  FontLibrary fonts(paths_);
  const std::string text = "Allow connections to example.com";
  double regular = fonts.width(text, Font::systemFont(17));
  EXPECT_GT(regular, 0);
  EXPECT_GT(fonts.width(text, Font::systemFont(17, FontWeight::kSemibold)), regular);
  EXPECT_GT(fonts.width(text, Font::boldSystemFont(17)),
            fonts.width(text, Font::systemFont(17, FontWeight::kSemibold)));
  EXPECT_NEAR(fonts.width(text, Font::systemFont(34)), 2 * regular, 1e-6);
  EXPECT_EQ(fonts.width("", Font::systemFont(17)), 0);
}

TEST_F(AFontLibrary, MeasuresTheSameFromItsWordCacheAsAfresh) {
  FontLibrary fonts(paths_);
  const std::string text = "Allow Weather to connect";
  const double first = fonts.width(text, Font::systemFont(17));
  EXPECT_DOUBLE_EQ(fonts.width(text, Font::systemFont(17)), first);
  // Cached words are per weight, and good for any size.
  EXPECT_GT(fonts.width(text, Font::boldSystemFont(17)), first);
  EXPECT_NEAR(fonts.width(text, Font::systemFont(8.5)), first / 2, 1e-9);
  // Past the cache's capacity it starts over and still measures right.
  for (int i = 0; i < 5000; ++i) fonts.width("w" + std::to_string(i), Font::systemFont(17));
  EXPECT_DOUBLE_EQ(fonts.width(text, Font::systemFont(17)), first);
  FontLibrary fresh(paths_);
  EXPECT_DOUBLE_EQ(fresh.width(text, Font::systemFont(17)), first);
}

TEST_F(AFontLibrary, SaysWhichFileIsMissingAndMeasuresNothing) {
  testing::LogCapture log;
  FontFilePaths paths = paths_;
  paths.bold = "/nonexistent/Inter-Bold.otf";
  FontLibrary fonts(paths);
  EXPECT_FALSE(fonts.ok());
  EXPECT_THAT(fonts.error(), HasSubstr("/nonexistent/Inter-Bold.otf"));
  EXPECT_TRUE(log.contains("/nonexistent/Inter-Bold.otf"));
  EXPECT_EQ(fonts.metrics(Font::boldSystemFont(17)).line_height, 0);
  EXPECT_EQ(fonts.width("Bold", Font::boldSystemFont(17)), 0);
  // The weights that loaded still work.
  EXPECT_GT(fonts.width("Regular", Font::systemFont(17)), 0);
}

TEST_F(AFontLibrary, RefusesAFileThatIsNotAFont) {
  testing::TempDir dir;
  std::string path = (dir.path() / "Inter-SemiBold.otf").string();
  std::ofstream(path) << "not a font at all";
  FontFilePaths paths = paths_;
  paths.semibold = path;
  FontLibrary fonts(paths);
  EXPECT_FALSE(fonts.ok());
  EXPECT_THAT(fonts.error(), HasSubstr(path));
  EXPECT_THAT(fonts.error(), HasSubstr("not a font"));
  EXPECT_EQ(fonts.width("Semibold", Font::systemFont(17, FontWeight::kSemibold)), 0);
}

}  // namespace
}  // namespace sentrel::uikit
