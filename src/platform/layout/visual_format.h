// The visual format language of Auto Layout, e.g.
//   "H:|-[label]-|"   "V:|-8-[a(>=44@750)]-(>=0)-[b(==a)]|"   "H:[button]-(12)-|"
//
// Grammar (as on the platform; blanks between tokens are ignored):
//   format     ::= (("H"|"V") ":")? ("|" connection)? view (connection view)* (connection "|")?
//   view       ::= "[" name ("(" predicate ("," predicate)* ")")? "]"
//   connection ::= ""  (flush)  |  "-"  (standard)  |  "-" simple "-"
//                  |  "-" "(" predicate ("," predicate)* ")" "-"
//   simple     ::= metric name | non-negative number
//   predicate  ::= ("==" | "<=" | ">=")? (number | metric name | view name) ("@" (number | metric
//   name))?
//
// "-" between two views is the standard spacing (8); "-" to the superitem's
// edge relates to its layout margin (leadingMargin, topMargin, ...), as the
// platform does. A name in a size predicate is a metric if the metrics hold
// it, else a view. The horizontal axis runs leading to trailing unless the
// options say left to right or right to left.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/status.h"
#include "platform/layout/layout.h"

namespace sentrel::layout {

// Options, with the platform's values.
enum FormatOptions : std::uint32_t {
  kAlignAllLeft = 1u << 1,
  kAlignAllRight = 1u << 2,
  kAlignAllTop = 1u << 3,
  kAlignAllBottom = 1u << 4,
  kAlignAllLeading = 1u << 5,
  kAlignAllTrailing = 1u << 6,
  kAlignAllCenterX = 1u << 9,
  kAlignAllCenterY = 1u << 10,
  kAlignAllLastBaseline = 1u << 11,
  kAlignAllFirstBaseline = 1u << 12,
  kAlignmentMask = 0xFFFF,
  kDirectionLeadingToTrailing = 0u << 16,
  kDirectionLeftToRight = 1u << 16,
  kDirectionRightToLeft = 2u << 16,
  kDirectionMask = 0x3u << 16,
};

using Metrics = std::map<std::string, double, std::less<>>;
using Views = std::map<std::string, LayoutItemRef, std::less<>>;

// The constraints the format describes, not yet active. Errors name the
// problem and its position: "visual format: expected ']' at 9 in
// \"H:|-[label-|\"". Also refused: unknown view or metric names, "|" for views
// without a superitem, priorities outside (0, 1000], numbers that are not
// finite, and alignment options along the format's own axis.
Result<std::vector<LayoutConstraint>> constraintsWithVisualFormat(std::string_view format,
                                                                  std::uint32_t options,
                                                                  const Metrics& metrics,
                                                                  const Views& views);

}  // namespace sentrel::layout
