#include "platform/uikit/text/text_layout.h"

#include <cmath>
#include <cstdint>
#include <memory>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/log_capture.h"

namespace sentrel::uikit {
namespace {

using ::testing::HasSubstr;

class ATextLayout : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string error;
    auto paths = findSystemFontFiles(&error);
    ASSERT_TRUE(paths) << error;
    fonts_ = new FontLibrary(*paths);
    ASSERT_TRUE(fonts_->ok()) << fonts_->error();
  }
  static void TearDownTestSuite() {
    delete fonts_;
    fonts_ = nullptr;
  }

  static TextLayout layout(const AttributedText& text, double width = 0, int max_lines = 0) {
    return layoutText(text, LayoutOptions{.width = width, .max_lines = max_lines}, *fonts_);
  }
  static TextLayout layout(const std::string& text, double width = 0, int max_lines = 0) {
    return layout(AttributedText(text, body_), width, max_lines);
  }
  static double width(const std::string& text, const Font& font = body_) {
    return textWidth(text, font, *fonts_);
  }
  static std::string lineText(const TextLayout& laid, size_t index) {
    const LayoutLine& line = laid.lines.at(index);
    return laid.text.substr(line.begin, line.end - line.begin);
  }
  // Lines follow each other without gaps, cover the text, hold at least one
  // byte, never start inside a UTF-8 sequence, and stack without overlap.
  static void expectWellFormed(const TextLayout& laid) {
    size_t next = 0;
    double top = 0;
    for (const LayoutLine& line : laid.lines) {
      EXPECT_EQ(line.begin, next);
      EXPECT_LT(line.begin, line.end);
      if (line.begin < laid.text.size()) {
        EXPECT_NE(static_cast<unsigned char>(laid.text[line.begin]) & 0xC0, 0x80) << line.begin;
      }
      EXPECT_DOUBLE_EQ(line.top, top);
      EXPECT_GT(line.baseline, line.top);
      top += line.height;
      next = line.end;
    }
    if (!laid.truncated) {
      EXPECT_EQ(next, laid.text.size());
    }
  }

  static inline const Font body_ = Font::preferredFont(TextStyle::kBody);
  static FontLibrary* fonts_;
};
FontLibrary* ATextLayout::fonts_ = nullptr;

TEST_F(ATextLayout, SizesOneLineLikeALabel) {
  TextLayout laid = layout("Allow");
  ASSERT_EQ(laid.lines.size(), 1u);
  double line_height = fonts_->metrics(body_).line_height;
  EXPECT_EQ(laid.size.width, std::ceil(width("Allow")));
  EXPECT_EQ(laid.size.height, std::ceil(line_height));
  EXPECT_NEAR(laid.lines[0].baseline, fonts_->metrics(body_).ascender, 1e-9);
  EXPECT_FALSE(laid.truncated);
}

TEST_F(ATextLayout, RoundsSizesUpToTheScreenScale) {
  LayoutOptions options{.scale = 3};
  TextSize size = sizeThatFits(AttributedText("Allow", body_), options, *fonts_);
  EXPECT_GE(size.width, width("Allow"));
  EXPECT_LT(size.width - width("Allow"), 1.0 / 3);
  EXPECT_NEAR(size.width * 3, std::round(size.width * 3), 1e-9);
}

TEST_F(ATextLayout, WidthsScaleWithTheFontSize) {
  const std::string text = "Sentrel blocked example.com";
  EXPECT_NEAR(width(text, Font::systemFont(34)), 2 * width(text, Font::systemFont(17)), 1e-6);
  EXPECT_GT(width(text, Font::systemFont(15)), width(text, Font::systemFont(13)));
}

TEST_F(ATextLayout, BoldRangesMakeTheirRunWider) {
  const std::string text = "Allow example.com";
  AttributedText part(text, body_);
  part.setBold(6, 11);
  AttributedText all(text, Font::boldSystemFont(17));
  double plain = layout(text).lines[0].width;
  double mixed = layout(part).lines[0].width;
  double bold = layout(all).lines[0].width;
  EXPECT_GT(mixed, plain);
  EXPECT_LT(mixed, bold);
  EXPECT_NEAR(
      mixed,
      fonts_->width("Allow ", body_) + fonts_->width("example.com", Font::boldSystemFont(17)), 0.5);
}

TEST_F(ATextLayout, ClipsFontRangesToTheText) {
  const std::string text = "Allow example.com";
  const double plain = layout(text).lines[0].width;
  for (auto [location, length] :
       {std::pair<size_t, size_t>{17, 1}, {1000, 5}, {SIZE_MAX, SIZE_MAX}, {SIZE_MAX, 1}, {3, 0}}) {
    AttributedText attributed(text, body_);
    attributed.setBold(location, length);
    EXPECT_DOUBLE_EQ(layout(attributed).lines[0].width, plain) << location << "+" << length;
  }
  // Running past the end (even overflowing) covers the rest of the text.
  AttributedText tail(text, body_);
  tail.setBold(6, SIZE_MAX);
  EXPECT_NEAR(
      layout(tail).lines[0].width,
      fonts_->width("Allow ", body_) + fonts_->width("example.com", Font::boldSystemFont(17)), 0.5);
}

TEST_F(ATextLayout, WidensARangeThatSplitsACharacter) {
  // "é" is two bytes; a range over its second byte alone takes the whole
  // character, so both layouts measure the same.
  AttributedText split("Café", body_);
  split.setBold(4, 1);
  AttributedText whole("Café", body_);
  whole.setBold(3, 2);
  EXPECT_DOUBLE_EQ(layout(split).lines[0].width, layout(whole).lines[0].width);
  EXPECT_GT(layout(split).lines[0].width, layout("Café").lines[0].width);
}

TEST_F(ATextLayout, TallerFontsMakeTallerLines) {
  AttributedText text("small BIG small", Font::systemFont(13));
  text.setFont(Font::systemFont(40), 6, 3);
  TextLayout laid = layout(text);
  ASSERT_EQ(laid.lines.size(), 1u);
  EXPECT_NEAR(laid.lines[0].height, fonts_->metrics(Font::systemFont(40)).line_height, 1e-9);
}

TEST_F(ATextLayout, WrapsAtWordsForTheWidth) {
  // Two words and a space fit a line, three do not.
  const double two = width("word word");
  const std::string text = "word word word word word";
  TextLayout laid = layout(text, two + 1);
  expectWellFormed(laid);
  ASSERT_EQ(laid.lines.size(), 3u);
  EXPECT_EQ(lineText(laid, 0), "word word ");
  EXPECT_EQ(lineText(laid, 1), "word word ");
  EXPECT_EQ(lineText(laid, 2), "word");
  for (const LayoutLine& line : laid.lines) EXPECT_LE(line.width, two + 1);
  // Trailing space takes no room: the widest line is two words wide.
  EXPECT_NEAR(laid.lines[0].width, two, 1e-9);
  EXPECT_EQ(laid.size.height, std::ceil(3 * fonts_->metrics(body_).line_height));
  // Without a width, one line.
  EXPECT_EQ(layout(text).lines.size(), 1u);
  EXPECT_EQ(layout(text, std::nan("")).lines.size(), 1u);
}

TEST_F(ATextLayout, HonoursTheMaximumNumberOfLines) {
  const double two = width("word word");
  const std::string text = "word word word word word";
  TextLayout laid = layout(text, two + 1, 2);
  expectWellFormed(laid);
  ASSERT_EQ(laid.lines.size(), 2u);
  EXPECT_TRUE(laid.truncated);
  EXPECT_EQ(laid.size.height, std::ceil(2 * fonts_->metrics(body_).line_height));
  // Enough lines: nothing cut.
  EXPECT_FALSE(layout(text, two + 1, 3).truncated);
  EXPECT_EQ(layout(text, two + 1, 3).lines.size(), 3u);
}

TEST_F(ATextLayout, BreaksAtNewlines) {
  TextLayout laid = layout("one\n\ntwo\n");
  expectWellFormed(laid);
  ASSERT_EQ(laid.lines.size(), 3u);
  EXPECT_EQ(lineText(laid, 0), "one\n");
  EXPECT_EQ(lineText(laid, 1), "\n");
  EXPECT_EQ(lineText(laid, 2), "two\n");
  EXPECT_EQ(laid.lines[1].width, 0);
  EXPECT_NEAR(laid.lines[0].width, width("one"), 1e-9);
  EXPECT_EQ(layout("one\r\ntwo").lines.size(), 2u);
  EXPECT_EQ(layout("one\xE2\x80\xA8two").lines.size(), 2u);  // U+2028
}

TEST_F(ATextLayout, LaysOutEmptyTextAsNothing) {
  TextLayout laid = layout("", 100, 2);
  EXPECT_TRUE(laid.lines.empty());
  EXPECT_EQ(laid.size, (TextSize{0, 0}));
  EXPECT_FALSE(laid.truncated);
  EXPECT_FALSE(laid.replaced_invalid_utf8);
}

TEST_F(ATextLayout, SplitsAWordTooLongForALine) {
  const std::string word(200, 'm');
  TextLayout laid = layout("to " + word, 50);
  expectWellFormed(laid);
  EXPECT_GT(laid.lines.size(), 10u);
  EXPECT_EQ(lineText(laid, 0), "to ");  // the word starts a new line first
  for (const LayoutLine& line : laid.lines) EXPECT_LE(line.width, 50);
  EXPECT_LE(laid.size.width, 50);
}

TEST_F(ATextLayout, PutsOneCharacterOnALineNarrowerThanIt) {
  // Every line holds a character even when none fits, so layout ends.
  TextLayout laid = layout("abc de\xCC\x81", 1);  // "é" as e + combining acute
  expectWellFormed(laid);
  ASSERT_EQ(laid.lines.size(), 5u);
  EXPECT_EQ(lineText(laid, 2), "c ");
  EXPECT_EQ(lineText(laid, 4), "e\xCC\x81");      // the accent stays with its letter
  EXPECT_EQ(layout("abc", -5).lines.size(), 1u);  // a negative width does not wrap
}

TEST_F(ATextLayout, MeasuresAndWrapsNonAsciiText) {
  const std::string text = "Grüße aus Zürich — 東京の天気 ☀️";
  TextLayout laid = layout(text);
  ASSERT_EQ(laid.lines.size(), 1u);
  EXPECT_FALSE(laid.replaced_invalid_utf8);
  EXPECT_EQ(laid.text, text);
  EXPECT_GT(laid.lines[0].width, width("Grusse aus Zurich"));
  TextLayout wrapped = layout(text, 60);
  expectWellFormed(wrapped);
  EXPECT_GT(wrapped.lines.size(), 3u);
  for (const LayoutLine& line : wrapped.lines) EXPECT_LE(line.width, 60);
}

TEST_F(ATextLayout, ShowsInvalidUtf8AsReplacementCharacters) {
  testing::LogCapture log;
  const std::string bad = std::string("ok \xFF\xFE then \xE2\x82", 13);
  TextLayout laid = layout(bad, 40);
  expectWellFormed(laid);
  EXPECT_TRUE(laid.replaced_invalid_utf8);
  EXPECT_EQ(laid.text, "ok \xEF\xBF\xBD\xEF\xBF\xBD then \xEF\xBF\xBD");
  EXPECT_FALSE(laid.lines.empty());
  EXPECT_TRUE(log.contains("not valid UTF-8"));
  // Same measure as the repaired text itself.
  EXPECT_DOUBLE_EQ(layout(bad).lines[0].width, layout(laid.text).lines[0].width);
}

TEST_F(ATextLayout, KeepsFontRangesOnTheirCharactersAcrossRepairs) {
  // The bold range starts after an invalid byte; repair makes that byte
  // three, and the range still covers exactly "bold".
  AttributedText bad(std::string("\xFF bold", 6), body_);
  bad.setBold(2, 4);
  AttributedText good("\xEF\xBF\xBD bold", body_);
  good.setBold(4, 4);
  EXPECT_DOUBLE_EQ(layout(bad).lines[0].width, layout(good).lines[0].width);
}

TEST_F(ATextLayout, HandlesOnlyInvalidBytesAndNuls) {
  TextLayout laid = layout(std::string("\x80\x80\xC0\xAF\0", 5), 5, 1);
  EXPECT_TRUE(laid.replaced_invalid_utf8);
  EXPECT_EQ(laid.lines.size(), 1u);
  EXPECT_TRUE(laid.truncated);
}

}  // namespace
}  // namespace sentrel::uikit
