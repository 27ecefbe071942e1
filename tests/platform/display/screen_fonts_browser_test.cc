// The screen page draws text with the very font files the toolkit measures
// with: backboardd serves them as web fonts, and a run's width in a real
// headless chromium is the width the toolkit's text layout gave it.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/display/screen_server.h"
#include "platform/uikit/text/font.h"
#include "platform/uikit/text/font_files.h"
#include "platform/uikit/text/font_library.h"
#include "platform/uikit/text/text_layout.h"
#include "support/browser/headless_browser.h"

namespace sentrel::display {
namespace {

using nlohmann::json;
using testing::BrowserPage;
using testing::HeadlessBrowser;
using uikit::Font;
using uikit::FontWeight;

// A run as a UI process commits it for `font`.
TextRun runIn(const std::string& text, const Font& font) {
  return TextRun{text, std::string(Font::cssFamily()), font.cssWeight(), font.pointSize(),
                 Color{0, 0, 0, 1}};
}

struct Sample {
  std::string text;
  Font font;
};

class TheScreenPageFonts : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    std::optional<uikit::FontFilePaths> found = uikit::findSystemFontFiles(&error);
    ASSERT_TRUE(found) << error;
    paths = *found;
    ScreenOptions options;
    for (const uikit::WebFont& font : uikit::systemWebFonts(paths)) {
      options.fonts.push_back(WebFontFile{.family = font.family,
                                          .weight = font.weight,
                                          .style = FontStyle::kNormal,
                                          .path = font.path});
    }
    ASSERT_EQ(options.fonts.size(), 3u);
    uikit::FontLibrary library(paths);
    ASSERT_TRUE(library.ok()) << library.error();
    options.line_height_ems = library.metrics(Font::systemFont(100)).line_height / 100;
    Result<std::unique_ptr<ScreenServer>> started = ScreenServer::start(loop, {}, options);
    ASSERT_TRUE(started.ok()) << started.reason();
    server = std::move(*started);
    Result<std::unique_ptr<HeadlessBrowser>> launched = HeadlessBrowser::launch();
    ASSERT_TRUE(launched.ok()) << launched.reason();
    browser = std::move(*launched);
  }

  json eval(BrowserPage& page, const std::string& expression) {
    Result<json> value = page.evaluate(expression);
    EXPECT_TRUE(value.ok()) << value.reason();
    return value.ok() ? *value : json();
  }

  runloop::RunLoop loop;
  uikit::FontFilePaths paths;
  std::unique_ptr<ScreenServer> server;
  std::unique_ptr<HeadlessBrowser> browser;
};

TEST_F(TheScreenPageFonts, LoadsTheToolkitsFilesAndDrawsRunsAtTheWidthsTheToolkitMeasured) {
  const std::vector<Sample> samples = {
      {"Allow connection", Font::preferredFont(uikit::TextStyle::kHeadline)},
      {"curl wants to connect to api.example.com:443", Font::systemFont(13)},
      {"Wi-Fi  \xe2\x80\x94 \xc3\x9c"
       "bersicht, fi ffl 1/4 \xe2\x86\x92 AVAWAY",
       Font::systemFont(15)},
      {"Deny", Font::boldSystemFont(20)},
      {"Always allow www.example.org", Font::systemFont(31.5, FontWeight::kSemibold)},
  };
  WindowTree window;
  window.window_id = 1;
  window.frame = Rect{0, 0, 390, 844};
  for (size_t i = 0; i < samples.size(); ++i) {
    Node label;
    label.id = static_cast<int64_t>(i + 1);
    label.frame = Rect{0, 60.0 * static_cast<double>(i), 1000, 50};
    label.lines = 0;
    label.text = {runIn(samples[i].text, samples[i].font)};
    window.nodes.push_back(label);
  }
  server->showWindows({window});

  Result<std::unique_ptr<BrowserPage>> opened = browser->openPage(server->pageUrl());
  ASSERT_TRUE(opened.ok()) << opened.reason();
  BrowserPage& page = **opened;
  eval(page, "sentrelScreen.waitForFrames(1)");

  // Every weight the runs carry is a face of the page's own, loaded from
  // backboardd (not a font the browser found on this machine).
  json faces = eval(page,
                    "document.fonts.ready.then(() => [...document.fonts]"
                    ".map(f => [f.family.replace(/\"/g, ''), f.weight, f.style, f.status])"
                    ".sort())");
  EXPECT_EQ(faces, json::parse(R"([["Inter", "400", "normal", "loaded"],
                                   ["Inter", "600", "normal", "loaded"],
                                   ["Inter", "700", "normal", "loaded"]])"));
  json fetched = eval(page,
                      "performance.getEntriesByType('resource')"
                      ".map(e => new URL(e.name).pathname.split('/').slice(2).join('/'))"
                      ".filter(p => p.startsWith('fonts/')).sort()");
  std::vector<std::string> expected;
  for (FontWeight weight : {FontWeight::kBold, FontWeight::kRegular, FontWeight::kSemibold}) {
    expected.push_back("fonts/" +
                       std::filesystem::path(paths.forWeight(weight)).filename().string());
  }
  // Preloaded with the page: each file is fetched once.
  EXPECT_EQ(fetched, json(expected));

  uikit::FontLibrary library(paths);
  ASSERT_TRUE(library.ok()) << library.error();
  for (size_t i = 0; i < samples.size(); ++i) {
    const double measured = library.width(samples[i].text, samples[i].font);
    const json drawn = eval(page, "document.querySelector('[data-node=\"" + std::to_string(i + 1) +
                                      "\"] span').getBoundingClientRect().width");
    ASSERT_TRUE(drawn.is_number()) << drawn;
    EXPECT_NEAR(drawn.get<double>(), measured, 1.0)
        << samples[i].text << " in " << samples[i].font.cssFont();
  }
}

// Lines are as tall on the page as the toolkit measured them, whatever the
// size: a label sized to its text shows all of its lines.
TEST_F(TheScreenPageFonts, DrawsTheLinesOfALabelAtTheHeightTheToolkitMeasured) {
  const std::string text = "Use at your own risk.\n\nNot supported:\n- Daemons\n- SpringBoard";
  const std::vector<Font> fonts = {Font::systemFont(11), Font::systemFont(13),
                                   Font::boldSystemFont(17), Font::systemFont(24)};
  uikit::FontLibrary library(paths);
  ASSERT_TRUE(library.ok()) << library.error();
  WindowTree window;
  window.window_id = 1;
  window.frame = Rect{0, 0, 390, 844};
  std::vector<double> measured;
  for (size_t i = 0; i < fonts.size(); ++i) {
    measured.push_back(
        uikit::sizeThatFits(uikit::AttributedText(text, fonts[i]), {}, library).height);
    Node label;
    label.id = static_cast<int64_t>(i + 1);
    label.frame = Rect{0, 200.0 * static_cast<double>(i), 390, measured.back()};
    label.text = {runIn(text, fonts[i])};
    window.nodes.push_back(label);
  }
  server->showWindows({window});
  Result<std::unique_ptr<BrowserPage>> opened = browser->openPage(server->pageUrl());
  ASSERT_TRUE(opened.ok()) << opened.reason();
  BrowserPage& page = **opened;
  eval(page, "sentrelScreen.waitForFrames(1).then(() => document.fonts.ready).then(() => 0)");
  for (size_t i = 0; i < fonts.size(); ++i) {
    const json drawn = eval(page, "document.querySelector('[data-node=\"" + std::to_string(i + 1) +
                                      "\"] p').scrollHeight");
    ASSERT_TRUE(drawn.is_number()) << drawn;
    EXPECT_NEAR(drawn.get<double>(), measured[i], 1.0) << fonts[i].cssFont();
  }
}

TEST_F(TheScreenPageFonts, GivesNothingOutsideTheServedFilesNorUnderAWrongToken) {
  Result<std::unique_ptr<BrowserPage>> opened = browser->openPage(server->pageUrl());
  ASSERT_TRUE(opened.ok()) << opened.reason();
  BrowserPage& page = **opened;
  const std::string regular = std::filesystem::path(paths.regular).filename().string();
  const std::string sibling =
      (std::filesystem::path(paths.regular).parent_path() / "Inter-Italic.otf").string();
  const std::string wrong = std::string(server->token().size(), 'f');
  auto status = [&](const std::string& url) {
    return eval(page, "fetch('" + url + "').then(r => r.status)");
  };
  EXPECT_EQ(status("fonts/" + regular), 200);
  EXPECT_EQ(eval(page, "fetch('fonts/" + regular + "').then(r => r.headers.get('content-type'))"),
            "font/otf");
  // A file beside the served ones, and paths that try to reach them.
  EXPECT_EQ(status("fonts/Inter-Italic.otf"), 404);
  EXPECT_EQ(status("fonts/" + sibling), 404);
  EXPECT_EQ(status("fonts/%2e%2e%2f" + regular), 404);
  EXPECT_EQ(status("fonts/..%2f..%2f..%2fetc%2fpasswd"), 404);
  EXPECT_EQ(status("fonts/"), 404);
  EXPECT_EQ(status("/" + wrong + "/fonts/" + regular), 404);
  EXPECT_EQ(status("/fonts/" + regular), 404);
}

}  // namespace
}  // namespace sentrel::display
