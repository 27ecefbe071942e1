#include "platform/uikit/label.h"

#include <cmath>
#include <utility>

#include "platform/log/system_log.h"
#include "platform/uikit/main_thread.h"
#include "platform/uikit/screen.h"

namespace sentrel::uikit {
namespace {

double screenScale() {
  return UIScreen::mainScreen().scale();
}

double roundUp(double value, double scale) {
  return std::ceil(value * scale - 1e-9) / scale;
}

bool usableWidth(double width) {
  return std::isfinite(width) && width > 0;
}

}  // namespace

// ---------------------------------------------------------------- UILabel

UILabel::UILabel() {
  setUserInteractionEnabled(false);
}

void UILabel::setText(std::string text) {
  SENTREL_UIKIT_ASSERT_MAIN_THREAD();
  text_.text = std::move(text);
  text_.ranges.clear();
  textChanged();
}

void UILabel::setAttributedText(AttributedText text) {
  SENTREL_UIKIT_ASSERT_MAIN_THREAD();
  text_ = std::move(text);
  textChanged();
}

void UILabel::setFont(const Font& font) {
  SENTREL_UIKIT_ASSERT_MAIN_THREAD();
  if (font == text_.font) return;
  text_.font = font;
  textChanged();
}

void UILabel::setTextColor(const UIColor& color) {
  textColor_ = color;
  markDirty(kDirtyAppearance);
}

void UILabel::setTextAlignment(NSTextAlignment alignment) {
  alignment_ = alignment;
  markDirty(kDirtyAppearance);
}

void UILabel::setNumberOfLines(int lines) {
  SENTREL_UIKIT_ASSERT_MAIN_THREAD();
  lines = lines < 0 ? 0 : lines;
  if (lines == numberOfLines_) return;
  numberOfLines_ = lines;
  textChanged();
}

void UILabel::setPreferredMaxLayoutWidth(double width) {
  SENTREL_UIKIT_ASSERT_MAIN_THREAD();
  width = usableWidth(width) ? width : 0;
  if (width == preferredMaxLayoutWidth_) return;
  preferredMaxLayoutWidth_ = width;
  textChanged();
}

void UILabel::textChanged() {
  cacheValid_ = false;
  markDirty(kDirtyAppearance);
  invalidateIntrinsicContentSize();
  setNeedsLayout();
}

TextLayout UILabel::measure(double width) const {
  if (!usableWidth(width)) width = 0;
  if (cacheValid_ && cacheWidth_ == width) return cache_;
  LayoutOptions options;
  options.width = width;
  options.max_lines = numberOfLines_;
  options.scale = screenScale();
  cache_ = layoutText(text_, options);
  cacheWidth_ = width;
  cacheValid_ = true;
  return cache_;
}

CGSize UILabel::intrinsicContentSize() const {
  double width = 0;
  if (numberOfLines_ != 1)
    width = preferredMaxLayoutWidth_ > 0 ? preferredMaxLayoutWidth_ : laidOutWidth_;
  const TextLayout layout = measure(width);
  return {layout.size.width, layout.size.height};
}

CGSize UILabel::sizeThatFits(CGSize size) const {
  const TextLayout layout = measure(numberOfLines_ != 1 ? size.width : 0);
  return {layout.size.width, layout.size.height};
}

TextLayout UILabel::textLayout() const {
  return measure(bounds().size.width);
}

void UILabel::layoutSubviews() {
  UIView::layoutSubviews();
  // A multi-line label without a preferred width wraps at the width layout
  // gave it: its height follows on the next pass.
  const double width = bounds().size.width;
  if (numberOfLines_ != 1 && preferredMaxLayoutWidth_ == 0 && width != laidOutWidth_) {
    laidOutWidth_ = width;
    invalidateIntrinsicContentSize();
  }
}

// ------------------------------------------------------------- UITextView

UITextView::UITextView() = default;

void UITextView::setText(std::string text) {
  SENTREL_UIKIT_ASSERT_MAIN_THREAD();
  text_.text = std::move(text);
  text_.ranges.clear();
  textChanged();
}

void UITextView::setAttributedText(AttributedText text) {
  SENTREL_UIKIT_ASSERT_MAIN_THREAD();
  text_ = std::move(text);
  textChanged();
}

void UITextView::setFont(const Font& font) {
  SENTREL_UIKIT_ASSERT_MAIN_THREAD();
  text_.font = font;
  textChanged();
}

void UITextView::setTextColor(const UIColor& color) {
  textColor_ = color;
  markDirty(kDirtyAppearance);
}

void UITextView::setTextAlignment(NSTextAlignment alignment) {
  alignment_ = alignment;
  markDirty(kDirtyAppearance);
}

void UITextView::setTextContainerInset(const UIEdgeInsets& inset) {
  SENTREL_UIKIT_ASSERT_MAIN_THREAD();
  for (double v : {inset.top, inset.left, inset.bottom, inset.right}) {
    if (!std::isfinite(v) || v < 0) {
      log::line("UITextView: ignoring an invalid text container inset", log::Level::kWarning);
      return;
    }
  }
  inset_ = inset;
  textChanged();
}

void UITextView::setEditable(bool editable) {
  if (editable) log::line("UITextView: only read-only text views exist", log::Level::kWarning);
}

void UITextView::setScrollEnabled(bool enabled) {
  if (enabled) log::line("UITextView: scrolling text views do not exist", log::Level::kWarning);
}

void UITextView::textChanged() {
  markDirty(kDirtyAppearance);
  invalidateIntrinsicContentSize();
  setNeedsLayout();
}

CGSize UITextView::sizeThatFits(CGSize size) const {
  const double scale = screenScale();
  const double horizontal = inset_.left + inset_.right + 2 * kLineFragmentPadding;
  const bool wrap = usableWidth(size.width);
  LayoutOptions options;
  options.width = wrap ? std::max(1.0, size.width - horizontal) : 0;
  options.scale = scale;
  const TextLayout layout = layoutText(text_, options);
  double textHeight = layout.size.height;
  if (layout.lines.empty())  // an empty text view is one line tall
    textHeight = roundUp(FontLibrary::shared().metrics(text_.font).line_height, scale);
  const double height = textHeight + inset_.top + inset_.bottom;
  return {wrap ? size.width : layout.size.width + horizontal, height};
}

CGSize UITextView::intrinsicContentSize() const {
  return sizeThatFits({laidOutWidth_, UIViewNoIntrinsicMetric});
}

void UITextView::layoutSubviews() {
  UIView::layoutSubviews();
  const double width = bounds().size.width;
  if (width != laidOutWidth_) {
    laidOutWidth_ = width;
    invalidateIntrinsicContentSize();
  }
}

}  // namespace sentrel::uikit
