#include "platform/uikit/text_field.h"

#include <algorithm>
#include <cmath>

#include "platform/log/system_log.h"
#include "platform/uikit/main_thread.h"
#include "platform/uikit/screen.h"
#include "platform/uikit/text/text_layout.h"
#include "platform/uikit/window.h"

namespace sentrel::uikit {
namespace {

// The length of the UTF-8 sequence starting at s[i], or 0 when it is not a
// valid one (overlong forms, surrogates and values above U+10FFFF included).
size_t utf8SequenceLength(const std::string& s, size_t i) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char c = byte(i);
  size_t n;
  std::uint32_t cp;
  if (c < 0x80) return 1;
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2;
    cp = c & 0x1F;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
    cp = c & 0x0F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
    cp = c & 0x07;
  } else {
    return 0;
  }
  if (s.size() - i < n) return 0;
  for (size_t k = 1; k < n; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (byte(i + k) & 0x3F);
  }
  if ((n == 3 && cp < 0x800) || (n == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
      (cp >= 0xD800 && cp <= 0xDFFF))
    return 0;
  return n;
}

bool validUtf8(const std::string& s) {
  for (size_t i = 0; i < s.size();) {
    const size_t n = utf8SequenceLength(s, i);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

}  // namespace

UITextField::UITextField() = default;

void UITextField::setText(std::string text) {
  SENTREL_UIKIT_ASSERT_MAIN_THREAD();
  if (text.size() > kMaxTextBytes) {
    log::line("UITextField: text cut to the field's limit", log::Level::kWarning);
    text.resize(kMaxTextBytes);
    while (!text.empty() && !validUtf8(text)) text.pop_back();  // no half character
  }
  text_ = std::move(text);
  markDirty(kDirtyAppearance);
  invalidateIntrinsicContentSize();
}

void UITextField::setPlaceholder(std::string placeholder) {
  placeholder_ = std::move(placeholder);
  markDirty(kDirtyAppearance);
  invalidateIntrinsicContentSize();
}

void UITextField::setFont(const Font& font) {
  font_ = font;
  markDirty(kDirtyAppearance);
  invalidateIntrinsicContentSize();
}

void UITextField::setTextColor(const UIColor& color) {
  textColor_ = color;
  markDirty(kDirtyAppearance);
}

void UITextField::setBorderStyle(UITextBorderStyle style) {
  borderStyle_ = style;
  markDirty(kDirtyAppearance);
  invalidateIntrinsicContentSize();
}

void UITextField::setSecureTextEntry(bool secure) {
  secure_ = secure;
  markDirty(kDirtyAppearance);
  invalidateIntrinsicContentSize();
}

std::string UITextField::displayText() const {
  if (!secure_) return text_;
  std::string out;
  for (size_t i = 0; i < text_.size();) {
    const size_t n = utf8SequenceLength(text_, i);
    i += n == 0 ? 1 : n;
    out += "\u2022";
  }
  return out;
}

bool UITextField::isFirstResponder() const {
  const UIWindow* w = window();
  return w && w->firstResponder() == this;
}

bool UITextField::becomeFirstResponder() {
  SENTREL_UIKIT_ASSERT_MAIN_THREAD();
  UIWindow* w = window();
  if (!w || !isEnabled() || isHidden()) return false;
  if (w->firstResponder() == this) return true;
  if (delegate_.shouldBeginEditing && !delegate_.shouldBeginEditing(*this)) return false;
  if (auto* other = dynamic_cast<UITextField*>(w->firstResponder()))
    if (!other->resignFirstResponder()) return false;
  w->firstResponder_ = weak_from_this();
  markDirty(kDirtyAppearance);
  sendActionsForControlEvents(UIControlEventEditingDidBegin);
  return true;
}

bool UITextField::resignFirstResponder() {
  SENTREL_UIKIT_ASSERT_MAIN_THREAD();
  if (!isFirstResponder()) return true;
  window()->firstResponder_.reset();
  markDirty(kDirtyAppearance);
  sendActionsForControlEvents(UIControlEventEditingDidEnd);
  return true;
}

bool UITextField::canType(const char* what) const {
  if (isFirstResponder() && isEnabled()) return true;
  log::linef("UITextField: %s ignored: the field is not editing", what);
  return false;
}

bool UITextField::replace(NSRange range, const std::string& replacement) {
  if (delegate_.shouldChangeCharacters &&
      !delegate_.shouldChangeCharacters(*this, range, replacement))
    return false;
  // The delegate may have changed the text itself: the range must still fit.
  if (range.location > text_.size() || range.length > text_.size() - range.location) return false;
  text_.replace(range.location, range.length, replacement);
  markDirty(kDirtyAppearance);
  invalidateIntrinsicContentSize();
  sendActionsForControlEvents(UIControlEventEditingChanged);
  return true;
}

void UITextField::insertText(const std::string& text) {
  SENTREL_UIKIT_ASSERT_MAIN_THREAD();
  if (!canType("insertText") || text.empty()) return;
  if (text == "\n") {
    if (!delegate_.shouldReturn || delegate_.shouldReturn(*this))
      sendActionsForControlEvents(UIControlEventEditingDidEndOnExit);
    return;
  }
  if (!validUtf8(text)) {
    log::line("UITextField: refusing typed text that is not valid UTF-8", log::Level::kWarning);
    return;
  }
  if (text.size() > kMaxTextBytes - text_.size()) {
    log::line("UITextField: refusing typed text past the field's limit", log::Level::kWarning);
    return;
  }
  std::string line = text;  // one line: breaks become spaces
  std::replace_if(
      line.begin(), line.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
  replace({text_.size(), 0}, line);
}

void UITextField::deleteBackward() {
  SENTREL_UIKIT_ASSERT_MAIN_THREAD();
  if (!canType("deleteBackward") || text_.empty()) return;
  // The last character: back over continuation bytes to a lead byte whose
  // sequence ends the text; a stray byte goes on its own.
  size_t start = text_.size() - 1;
  for (size_t k = 0;
       k < 3 && start > 0 && (static_cast<unsigned char>(text_[start]) & 0xC0) == 0x80; ++k)
    --start;
  if (utf8SequenceLength(text_, start) != text_.size() - start) start = text_.size() - 1;
  replace({start, text_.size() - start}, "");
}

void UITextField::endTrackingWithTouch(const UITouch& touch) {
  UIControl::endTrackingWithTouch(touch);
  if (isTouchInside()) becomeFirstResponder();
}

UIEdgeInsets UITextField::padding() const {
  switch (borderStyle_) {
    case UITextBorderStyle::kNone:
      return {};
    case UITextBorderStyle::kLine:
    case UITextBorderStyle::kBezel:
      return {4, 4, 4, 4};
    case UITextBorderStyle::kRoundedRect:
      return {7, 7, 7, 7};
  }
  return {};
}

CGRect UITextField::textRectForBounds(const CGRect& bounds) const {
  return UIEdgeInsetsInsetRect(bounds, padding());
}

CGSize UITextField::intrinsicContentSize() const {
  const double scale = UIScreen::mainScreen().scale();
  const std::string shown = text_.empty() ? placeholder_ : displayText();
  const double width = std::ceil(textWidth(shown, font_) * scale) / scale;
  const double line = std::ceil(FontLibrary::shared().metrics(font_).line_height * scale) / scale;
  const UIEdgeInsets p = padding();
  return {width + p.left + p.right, line + p.top + p.bottom};
}

}  // namespace sentrel::uikit
