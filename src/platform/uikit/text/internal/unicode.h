// The Unicode rules text layout needs (ICU behind one file): UTF-8 repair,
// line-break opportunities, grapheme boundaries, white space.
// Any thread; each thread keeps its own break iterators.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace sentrel::uikit::internal {

struct RepairedText {
  std::string text{};             // valid UTF-8
  bool replaced{};                // some bytes were not valid UTF-8
  std::vector<size_t> offsets{};  // when replaced: input offset -> offset in text (size + 1)
};

// Copies `input`, each maximal invalid sequence replaced by U+FFFD, as
// browsers decode it. `offsets` stays empty when nothing was replaced.
RepairedText repairUtf8(std::string_view input);

struct LineBreak {
  size_t offset{};  // a line may end just before this byte
  bool hard{};      // and must: after a newline or another mandatory break
};

// Break opportunities of valid UTF-8 text (Unicode line breaking rules),
// ascending, ending with text.size(). Empty for empty text.
std::vector<LineBreak> lineBreaks(std::string_view text);

// Offsets that start a grapheme cluster, ascending, with 0 and text.size().
std::vector<size_t> graphemeBoundaries(std::string_view text);

// `end` moved back over white space and line-break characters at the end of
// text[begin, end). REQUIRES: valid UTF-8, begin <= end <= text.size().
size_t trimTrailingSpace(std::string_view text, size_t begin, size_t end);

// True when the character at `offset` is a line separator (LF, CR, VT, FF,
// NEL, LS, PS), which takes no width.
bool isLineSeparatorAt(std::string_view text, size_t offset);

}  // namespace sentrel::uikit::internal
