// Lays out arbitrary bytes as a label would: any width, line limit and font
// ranges. Layout must never crash, never loop, and always give lines that
// cover the (repaired, valid UTF-8) text in order, one character at least
// each, within the line limit, with finite sizes.
//
// Input: byte 0 the width (0: no wrapping), byte 1 the line limit (0 to 4),
// byte 2 the number of font ranges (0 to 3), then 3 bytes per range
// (location, length, weight and size), then the text.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/uikit/text/text_layout.h"

namespace {

using namespace sentrel::uikit;

constexpr size_t kMaxInput = 4096;

void check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "text layout: %s\n", what);
    std::abort();
  }
}

bool validUtf8(const std::string& text) {
  // A second layout of the output must find nothing to repair.
  return !layoutText(AttributedText(text, Font()), LayoutOptions{}).replaced_invalid_utf8;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3 || size > kMaxInput) return 0;
  static const bool fonts_ok = FontLibrary::shared().ok();
  check(fonts_ok, "system font missing (install fonts-inter)");
  LayoutOptions options{.width = static_cast<double>(data[0]),
                        .max_lines = data[1] % 5,
                        .scale = static_cast<double>(1 + data[1] / 64)};
  size_t ranges = data[2] % 4;
  size_t at = 3;
  if (size < at + 3 * ranges) return 0;
  AttributedText text(std::string(), Font::systemFont(17));
  for (size_t i = 0; i < ranges; ++i, at += 3) {
    const uint8_t style = data[at + 2];
    Font font = Font::systemFont(8 + (style >> 2), static_cast<FontWeight>(style % 3));
    // Lengths near SIZE_MAX test the overflow guard.
    size_t length = data[at + 1] == 255 ? SIZE_MAX : data[at + 1];
    text.setFont(font, data[at], length);
  }
  text.text.assign(reinterpret_cast<const char*>(data + at), size - at);

  TextLayout layout = layoutText(text, options);
  check(validUtf8(layout.text), "laid-out text is not valid UTF-8");
  check(layout.replaced_invalid_utf8 || layout.text == text.text, "valid text was changed");
  if (options.max_lines > 0) {
    check(layout.lines.size() <= static_cast<size_t>(options.max_lines), "too many lines");
  }
  size_t next = 0;
  for (const LayoutLine& line : layout.lines) {
    check(line.begin == next && line.begin < line.end && line.end <= layout.text.size(),
          "lines do not follow each other");
    check(std::isfinite(line.width) && line.width >= 0 && line.height >= 0, "bad line size");
    next = line.end;
  }
  check(layout.truncated || next == layout.text.size(), "text lost without truncation");
  check(std::isfinite(layout.size.width) && std::isfinite(layout.size.height), "bad size");
  check(layout.text.empty() == layout.lines.empty(), "lines of empty text");
  return 0;
}
