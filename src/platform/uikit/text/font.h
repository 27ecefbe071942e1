// A font description, as the platform's UIFont names one: the system font
// (Inter, from Debian's fonts-inter) at a weight and a point size.
//
// Font is a plain value: cheap to copy, comparable, usable from any thread.
// It loads nothing; FontLibrary (font_library.h) turns it into metrics and
// widths. A point is one CSS pixel on the page, so the page draws a Font as
// cssFont() with the file FontLibrary::webFont() names.
#pragma once

#include <string>
#include <string_view>

namespace sentrel::uikit {

enum class FontWeight : unsigned char { kRegular, kSemibold, kBold };

// The platform's preferred text styles at their default sizes.
enum class TextStyle : unsigned char {
  kHeadline,     // 17 points, semibold
  kSubheadline,  // 15 points, regular
  kBody,         // 17 points, regular
};

class Font {
 public:
  static constexpr double kDefaultPointSize = 17;  // the platform's body size
  static constexpr double kMaxPointSize = 4096;

  // The body font: 17 points, regular.
  Font() = default;

  // A size that is not a finite positive number reads as kDefaultPointSize;
  // sizes above kMaxPointSize are clamped to it.
  static Font systemFont(double point_size, FontWeight weight = FontWeight::kRegular);
  static Font boldSystemFont(double point_size);
  static Font preferredFont(TextStyle style);

  double pointSize() const { return point_size_; }
  FontWeight weight() const { return weight_; }
  Font withSize(double point_size) const { return systemFont(point_size, weight_); }
  Font withWeight(FontWeight weight) const { return systemFont(point_size_, weight); }

  // What the page uses to draw this font.
  static std::string_view cssFamily() { return "Inter"; }
  int cssWeight() const;        // 400, 600 or 700
  std::string cssFont() const;  // the CSS `font` shorthand, e.g. "600 17px Inter"

  bool operator==(const Font&) const = default;

 private:
  Font(double point_size, FontWeight weight) : point_size_(point_size), weight_(weight) {}

  double point_size_ = kDefaultPointSize;
  FontWeight weight_ = FontWeight::kRegular;
};

// "regular", "semibold" or "bold", for log lines and test names.
std::string_view weightName(FontWeight weight);

}  // namespace sentrel::uikit
