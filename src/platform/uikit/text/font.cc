#include "platform/uikit/text/font.h"

#include <cmath>
#include <cstdio>

namespace sentrel::uikit {

Font Font::systemFont(double point_size, FontWeight weight) {
  if (!std::isfinite(point_size) || point_size <= 0) point_size = kDefaultPointSize;
  if (point_size > kMaxPointSize) point_size = kMaxPointSize;
  return Font(point_size, weight);
}

Font Font::boldSystemFont(double point_size) {
  return systemFont(point_size, FontWeight::kBold);
}

Font Font::preferredFont(TextStyle style) {
  switch (style) {
    case TextStyle::kHeadline:
      return systemFont(17, FontWeight::kSemibold);
    case TextStyle::kSubheadline:
      return systemFont(15);
    case TextStyle::kBody:
      break;
  }
  return systemFont(17);
}

int Font::cssWeight() const {
  switch (weight_) {
    case FontWeight::kSemibold:
      return 600;
    case FontWeight::kBold:
      return 700;
    case FontWeight::kRegular:
      break;
  }
  return 400;
}

std::string Font::cssFont() const {
  char size[32];
  // %g keeps 17 as "17" and 15.5 as "15.5"; CSS reads both.
  std::snprintf(size, sizeof size, "%.6g", point_size_);
  return std::to_string(cssWeight()) + " " + size + "px " + std::string(cssFamily());
}

std::string_view weightName(FontWeight weight) {
  switch (weight) {
    case FontWeight::kSemibold:
      return "semibold";
    case FontWeight::kBold:
      return "bold";
    case FontWeight::kRegular:
      break;
  }
  return "regular";
}

}  // namespace sentrel::uikit
