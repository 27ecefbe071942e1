// Text laid out as a label or a read-only text view lays it out: shaped runs
// of one or more fonts, broken into lines at word boundaries for a width.
//
// Offsets are UTF-8 byte offsets. Text that is not valid UTF-8 is never
// refused: each invalid sequence is measured as U+FFFD (what the page shows
// for it, and what layout.text holds), layout.replaced_invalid_utf8 says it
// happened, and a line is logged.
//
// Threads: main thread only (it measures with a FontLibrary).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/uikit/text/font.h"
#include "platform/uikit/text/font_library.h"

namespace sentrel::uikit {

struct TextSize {
  double width{};
  double height{};
  bool operator==(const TextSize&) const = default;
};

// `font` over text[location, location + length), as an attributed string's
// font attribute over a range.
struct FontRange {
  size_t location{};
  size_t length{};
  Font font{};
};

// Text in a base font with font ranges on top; a later range wins where
// ranges overlap. A range is clipped to the text (one past the end, or
// overflowing, is ignored or cut, never read out of bounds), and a range
// edge inside a UTF-8 sequence widens to cover the whole character.
struct AttributedText {
  std::string text{};
  Font font{};
  std::vector<FontRange> ranges{};

  AttributedText() = default;
  AttributedText(std::string text_in, Font font_in) : text(std::move(text_in)), font(font_in) {}

  // Shorthands for the usual case: part of the text in bold.
  AttributedText& setFont(const Font& range_font, size_t location, size_t length);
  AttributedText& setBold(size_t location, size_t length);  // base size, bold weight
};

struct LayoutOptions {
  double width{};    // the width to wrap at; 0, negative or not finite: no wrapping
  int max_lines{};   // 0: as many as needed
  double scale = 1;  // sizes are rounded up to 1/scale, as on a screen of that scale
};

struct LayoutLine {
  size_t begin{};     // in TextLayout::text
  size_t end{};       // past the line's last byte, its trailing space included
  double width{};     // without trailing space
  double top{};       // from the top of the text
  double baseline{};  // from the top of the text
  double height{};    // the tallest font's line height on this line
};

struct TextLayout {
  std::string text{};               // what was laid out: the input, invalid UTF-8 repaired
  std::vector<LayoutLine> lines{};  // none for empty text
  TextSize size{};                  // widest line by total height, rounded up to the scale
  bool truncated{};                 // max_lines cut text off
  bool replaced_invalid_utf8{};
};

// Lays out `text`. A word wider than the width is broken between
// characters (grapheme clusters); every line holds at least one character,
// so any width terminates. Empty text has no lines and size {0, 0}.
TextLayout layoutText(const AttributedText& text, const LayoutOptions& options,
                      const FontLibrary& fonts = FontLibrary::shared());

// The size a label or text view needs for `text` (layoutText()'s size).
TextSize sizeThatFits(const AttributedText& text, const LayoutOptions& options,
                      const FontLibrary& fonts = FontLibrary::shared());

// The width of plain text in one font, unwrapped and unrounded (the widest
// line when the text has line breaks).
double textWidth(std::string_view text, const Font& font,
                 const FontLibrary& fonts = FontLibrary::shared());

}  // namespace sentrel::uikit
