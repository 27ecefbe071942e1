#include "platform/uikit/text/text_layout.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "platform/log/system_log.h"
#include "platform/uikit/text/internal/unicode.h"

namespace sentrel::uikit {
namespace {

constexpr double kFitSlack = 1e-9;  // sums of advances are not exact

bool isContinuationByte(char byte) {
  return (static_cast<unsigned char>(byte) & 0xC0) == 0x80;
}

double roundUp(double value, double scale) {
  if (!std::isfinite(scale) || scale <= 0) scale = 1;
  return std::ceil(value * scale - 1e-7) / scale;
}

// Which font each byte is drawn in: an index into `fonts`.
struct FontMap {
  std::vector<Font> fonts;
  std::vector<uint16_t> of_byte;

  uint16_t indexOf(const Font& font) {
    for (size_t i = 0; i < fonts.size(); ++i) {
      if (fonts[i] == font) return static_cast<uint16_t>(i);
    }
    if (fonts.size() == UINT16_MAX) return 0;  // absurdly many fonts: the rest draw in the base
    fonts.push_back(font);
    return static_cast<uint16_t>(fonts.size() - 1);
  }
};

FontMap mapFonts(const AttributedText& input, const internal::RepairedText& repaired) {
  const std::string& text = repaired.text;
  FontMap map;
  map.fonts.push_back(input.font);
  map.of_byte.assign(text.size(), 0);
  const size_t input_size = input.text.size();
  for (const FontRange& range : input.ranges) {
    if (range.location >= input_size || range.length == 0) continue;
    size_t begin = range.location;
    size_t end = begin + std::min(range.length, input_size - begin);  // cannot overflow
    if (repaired.replaced) {
      begin = repaired.offsets[begin];
      end = repaired.offsets[end];
    }
    while (begin > 0 && isContinuationByte(text[begin])) --begin;
    while (end < text.size() && isContinuationByte(text[end])) ++end;
    if (begin >= end) continue;
    uint16_t index = map.indexOf(range.font);
    std::fill(map.of_byte.begin() + static_cast<ptrdiff_t>(begin),
              map.of_byte.begin() + static_cast<ptrdiff_t>(end), index);
  }
  return map;
}

bool mayStartLineSeparator(unsigned char byte) {
  return byte < 0x20 || byte == 0xC2 || byte == 0xE2;
}

}  // namespace

AttributedText& AttributedText::setFont(const Font& range_font, size_t location, size_t length) {
  ranges.push_back(FontRange{.location = location, .length = length, .font = range_font});
  return *this;
}

AttributedText& AttributedText::setBold(size_t location, size_t length) {
  return setFont(font.withWeight(FontWeight::kBold), location, length);
}

TextLayout layoutText(const AttributedText& input, const LayoutOptions& options,
                      const FontLibrary& fonts) {
  TextLayout layout;
  internal::RepairedText repaired = internal::repairUtf8(input.text);
  if (repaired.replaced) {
    log::linef("UI text: text of %zu bytes is not valid UTF-8; invalid bytes shown as U+FFFD",
               input.text.size());
  }
  layout.replaced_invalid_utf8 = repaired.replaced;
  const std::string& text = repaired.text;
  const size_t n = text.size();
  if (n == 0) {
    layout.text = std::move(repaired.text);
    return layout;
  }

  // Shape each run of one font, with the whole text as context.
  FontMap map = mapFonts(input, repaired);
  std::vector<double> advances(n + 1, 0.0);
  for (size_t begin = 0; begin < n;) {
    size_t end = begin + 1;
    while (end < n && map.of_byte[end] == map.of_byte[begin]) ++end;
    fonts.addAdvances(text, begin, end, map.fonts[map.of_byte[begin]], advances);
    begin = end;
  }
  for (size_t i = 0; i < n; ++i) {
    if (mayStartLineSeparator(static_cast<unsigned char>(text[i])) &&
        internal::isLineSeparatorAt(text, i)) {
      advances[i] = 0;
    }
  }
  std::vector<double> before(n + 1, 0.0);  // before[i]: width of text[0, i)
  for (size_t i = 0; i < n; ++i) before[i + 1] = before[i] + advances[i];
  auto widthOf = [&](size_t begin, size_t end) {
    return before[internal::trimTrailingSpace(text, begin, end)] - before[begin];
  };

  const bool wrap = std::isfinite(options.width) && options.width > 0;
  const double limit = wrap ? options.width + kFitSlack : 0;
  const size_t max_lines = options.max_lines > 0 ? static_cast<size_t>(options.max_lines) : 0;
  const std::vector<internal::LineBreak> breaks = internal::lineBreaks(text);
  std::vector<size_t> graphemes;  // found only when a word must be split

  std::vector<FontMetrics> metrics;
  for (const Font& font : map.fonts) metrics.push_back(fonts.metrics(font));

  size_t start = 0;
  size_t next_break = 0;  // the first break after `start`
  double top = 0;
  double widest = 0;
  while (start < n) {
    while (next_break < breaks.size() && breaks[next_break].offset <= start) ++next_break;
    size_t end = 0;
    for (size_t k = next_break; k < breaks.size(); ++k) {
      size_t offset = breaks[k].offset;
      if (wrap && widthOf(start, offset) > limit) break;
      end = offset;
      if (breaks[k].hard) break;
    }
    if (end == 0) {
      // The first word alone is too wide: as many characters as fit, at
      // least one.
      if (graphemes.empty()) graphemes = internal::graphemeBoundaries(text);
      size_t word_end = next_break < breaks.size() ? breaks[next_break].offset : n;
      auto g = std::upper_bound(graphemes.begin(), graphemes.end(), start);
      end = g != graphemes.end() ? *g : n;
      for (++g; g != graphemes.end() && *g <= word_end && widthOf(start, *g) <= limit; ++g) {
        end = *g;
      }
      // Space after the last character that fit stays on this line.
      if (internal::trimTrailingSpace(text, start, word_end) <= end) end = word_end;
    }

    LayoutLine line{.begin = start, .end = end, .width = widthOf(start, end), .top = top};
    double ascender = 0;
    double below = 0;
    double line_height = 0;
    uint16_t last = UINT16_MAX;
    for (size_t i = start; i < end; ++i) {
      if (map.of_byte[i] == last) continue;
      last = map.of_byte[i];
      const FontMetrics& m = metrics[last];
      ascender = std::max(ascender, m.ascender);
      below = std::max(below, m.line_height - m.ascender);
      line_height = std::max(line_height, m.line_height);
    }
    line.height = std::max(line_height, ascender + below);
    line.baseline = top + ascender;
    layout.lines.push_back(line);
    top += line.height;
    widest = std::max(widest, line.width);
    start = end;
    if (max_lines != 0 && layout.lines.size() == max_lines && start < n) {
      layout.truncated = true;
      break;
    }
  }
  layout.size =
      TextSize{.width = roundUp(widest, options.scale), .height = roundUp(top, options.scale)};
  layout.text = std::move(repaired.text);
  return layout;
}

TextSize sizeThatFits(const AttributedText& text, const LayoutOptions& options,
                      const FontLibrary& fonts) {
  return layoutText(text, options, fonts).size;
}

double textWidth(std::string_view text, const Font& font, const FontLibrary& fonts) {
  TextLayout layout = layoutText(AttributedText(std::string(text), font), LayoutOptions{}, fonts);
  double widest = 0;
  for (const LayoutLine& line : layout.lines) widest = std::max(widest, line.width);
  return widest;
}

}  // namespace sentrel::uikit
