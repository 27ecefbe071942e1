// ICU is used here only.
#include <unicode/ubrk.h>
#include <unicode/uchar.h>
#include <unicode/utext.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <memory>

#include "platform/log/system_log.h"
#include "platform/uikit/text/internal/unicode.h"

namespace sentrel::uikit::internal {
namespace {

struct BreakIteratorCloser {
  void operator()(UBreakIterator* iterator) const { ubrk_close(iterator); }
};
using BreakIterator = std::unique_ptr<UBreakIterator, BreakIteratorCloser>;

// Opening an iterator loads its rules; each thread keeps one of each kind.
UBreakIterator* iteratorFor(UBreakIteratorType type) {
  thread_local BreakIterator line;
  thread_local BreakIterator character;
  BreakIterator& slot = type == UBRK_LINE ? line : character;
  if (!slot) {
    UErrorCode status = U_ZERO_ERROR;
    slot.reset(ubrk_open(type, "", nullptr, 0, &status));
    if (U_FAILURE(status)) {
      log::linef("UI text: ICU break iterator unavailable (%s)", u_errorName(status));
      slot.reset();
    }
  }
  return slot.get();
}

// Runs `visit(offset, rule_status)` for every boundary after 0.
template <typename Visit>
bool forEachBoundary(UBreakIteratorType type, std::string_view text, Visit visit) {
  if (text.size() > static_cast<size_t>(INT32_MAX)) return false;
  UBreakIterator* iterator = iteratorFor(type);
  if (iterator == nullptr) return false;
  UErrorCode status = U_ZERO_ERROR;
  UText* utext = utext_openUTF8(nullptr, text.data(), static_cast<int64_t>(text.size()), &status);
  if (U_FAILURE(status)) return false;
  ubrk_setUText(iterator, utext, &status);
  if (U_SUCCESS(status)) {
    // With UTF-8 text, ICU's positions are byte offsets.
    for (int32_t at = ubrk_next(iterator); at != UBRK_DONE; at = ubrk_next(iterator)) {
      visit(static_cast<size_t>(at), ubrk_getRuleStatus(iterator));
    }
  }
  // Detach before closing the text the iterator points at.
  UErrorCode ignored = U_ZERO_ERROR;
  ubrk_setText(iterator, nullptr, 0, &ignored);
  utext_close(utext);
  return U_SUCCESS(status);
}

UChar32 characterAt(std::string_view text, size_t offset) {
  int32_t i = static_cast<int32_t>(offset);
  UChar32 c = 0;
  U8_NEXT(text.data(), i, static_cast<int32_t>(text.size()), c);
  return c;
}

bool isLineSeparator(UChar32 c) {
  return c == 0x0A || c == 0x0B || c == 0x0C || c == 0x0D || c == 0x85 || c == 0x2028 ||
         c == 0x2029;
}

}  // namespace

RepairedText repairUtf8(std::string_view input) {
  RepairedText out;
  const auto length = static_cast<int64_t>(input.size());
  int64_t i = 0;
  // Fast path: valid text is copied as is.
  while (i < length) {
    int32_t start = static_cast<int32_t>(i);
    UChar32 c = 0;
    if (length > INT32_MAX) break;
    U8_NEXT(input.data(), start, static_cast<int32_t>(length), c);
    if (c < 0) break;
    i = start;
  }
  if (i == length) {
    out.text.assign(input);
    return out;
  }
  out.replaced = true;
  out.offsets.assign(input.size() + 1, 0);
  out.text.reserve(input.size() + 8);
  int32_t at = 0;
  const int32_t end = static_cast<int32_t>(std::min<int64_t>(length, INT32_MAX));
  while (at < end) {
    int32_t start = at;
    UChar32 c = 0;
    U8_NEXT(input.data(), at, end, c);  // an invalid sequence yields c < 0
    for (int32_t k = start; k < at; ++k) out.offsets[k] = out.text.size();
    if (c < 0) {
      out.text += "\xEF\xBF\xBD";
    } else {
      out.text.append(input.data() + start, static_cast<size_t>(at - start));
    }
  }
  // Anything past what ICU can index is dropped, not passed on unchecked.
  for (size_t k = static_cast<size_t>(end); k <= input.size(); ++k)
    out.offsets[k] = out.text.size();
  return out;
}

std::vector<LineBreak> lineBreaks(std::string_view text) {
  std::vector<LineBreak> breaks;
  if (text.empty()) return breaks;
  bool ok = forEachBoundary(UBRK_LINE, text, [&](size_t offset, int32_t status) {
    breaks.push_back(LineBreak{.offset = offset, .hard = status >= UBRK_LINE_HARD});
  });
  if (!ok || breaks.empty() || breaks.back().offset != text.size()) {
    // Without ICU the text is one unbreakable run; layout still ends.
    if (!ok) breaks.clear();
    breaks.push_back(LineBreak{.offset = text.size(), .hard = false});
  }
  return breaks;
}

std::vector<size_t> graphemeBoundaries(std::string_view text) {
  std::vector<size_t> boundaries{0};
  if (text.empty()) return boundaries;
  bool ok = forEachBoundary(UBRK_CHARACTER, text,
                            [&](size_t offset, int32_t) { boundaries.push_back(offset); });
  if (!ok) {
    // Code points, then: still never inside a UTF-8 sequence.
    boundaries.resize(1);
    for (size_t i = 1; i < text.size(); ++i) {
      if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) boundaries.push_back(i);
    }
    boundaries.push_back(text.size());
  }
  if (boundaries.back() != text.size()) boundaries.push_back(text.size());
  return boundaries;
}

size_t trimTrailingSpace(std::string_view text, size_t begin, size_t end) {
  while (end > begin) {
    int32_t i = static_cast<int32_t>(end);
    UChar32 c = 0;
    U8_PREV(text.data(), static_cast<int32_t>(begin), i, c);
    if (c < 0 || !(u_isUWhiteSpace(c) || isLineSeparator(c))) break;
    // A no-break space holds its place, as on the platform.
    if (c == 0xA0 || c == 0x202F || c == 0x2007) break;
    end = static_cast<size_t>(i);
  }
  return end;
}

bool isLineSeparatorAt(std::string_view text, size_t offset) {
  if (offset >= text.size()) return false;
  return isLineSeparator(characterAt(text, offset));
}

}  // namespace sentrel::uikit::internal
