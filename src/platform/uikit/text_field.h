// A single-line text field. The display link types into the first
// responder: insertText and deleteBackward at the end of the text, as the
// page's key events arrive, each asking the delegate first and sending
// editingChanged when the text changed.
//
// Main thread only. Create with std::make_shared.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "platform/uikit/color.h"
#include "platform/uikit/control.h"
#include "platform/uikit/text/font.h"

namespace sentrel::uikit {

// The platform's values.
enum class UITextBorderStyle { kNone = 0, kLine = 1, kBezel = 2, kRoundedRect = 3 };

enum class UIKeyboardType {
  kDefault = 0,
  kASCIICapable = 1,
  kNumbersAndPunctuation = 2,
  kURL = 3,
  kNumberPad = 4,
  kPhonePad = 5,
  kNamePhonePad = 6,
  kEmailAddress = 7,
  kDecimalPad = 8,
  kTwitter = 9,
  kWebSearch = 10,
  kASCIICapableNumberPad = 11,
};

// UTF-8 byte offsets into the field's text.
struct NSRange {
  std::size_t location{};
  std::size_t length{};
  bool operator==(const NSRange&) const = default;
};

class UITextField;

// Each callback may be empty (allowed).
struct UITextFieldDelegate {
  std::function<bool(UITextField&)> shouldBeginEditing{};
  // The text in `range` is about to become `replacement`; false refuses it.
  std::function<bool(UITextField&, NSRange range, const std::string& replacement)>
      shouldChangeCharacters{};
  // The return key; editingDidEndOnExit is sent unless this refuses.
  std::function<bool(UITextField&)> shouldReturn{};
};

class UITextField : public UIControl {
 public:
  static constexpr std::size_t kMaxTextBytes = 64 * 1024;

  UITextField();

  // Setting the text in code sends nothing. Cut to kMaxTextBytes.
  const std::string& text() const { return text_; }
  void setText(std::string text);
  const std::string& placeholder() const { return placeholder_; }
  void setPlaceholder(std::string placeholder);
  const Font& font() const { return font_; }
  void setFont(const Font& font);
  const UIColor& textColor() const { return textColor_; }
  void setTextColor(const UIColor& color);
  UITextBorderStyle borderStyle() const { return borderStyle_; }
  void setBorderStyle(UITextBorderStyle style);
  UIKeyboardType keyboardType() const { return keyboardType_; }
  void setKeyboardType(UIKeyboardType type) { keyboardType_ = type; }
  bool isSecureTextEntry() const { return secure_; }
  void setSecureTextEntry(bool secure);
  void setDelegate(UITextFieldDelegate delegate) { delegate_ = std::move(delegate); }

  // What the page shows: the text, one bullet per character when secure.
  std::string displayText() const;

  // Only a field in a window can become first responder; the one before it
  // resigns. Sends editingDidBegin / editingDidEnd.
  bool becomeFirstResponder();
  bool resignFirstResponder();
  bool isFirstResponder() const;
  bool isEditing() const { return isFirstResponder(); }

  // Typing, for the first responder only (otherwise ignored, logged).
  // insertText appends; "\n" alone is the return key, other line breaks
  // become spaces. Text that is not valid UTF-8 or would pass kMaxTextBytes
  // is refused with a log line. deleteBackward removes the last character.
  void insertText(const std::string& text);
  void deleteBackward();

  // A tap that ends inside makes the field first responder.
  void endTrackingWithTouch(const UITouch& touch) override;

  // Where the text (or placeholder) is drawn within `bounds`: inside the
  // border style's padding. Subclasses may move it, as on the platform.
  virtual CGRect textRectForBounds(const CGRect& bounds) const;
  // The text (or placeholder) on one line plus the border style's padding.
  CGSize intrinsicContentSize() const override;

 private:
  bool canType(const char* what) const;
  bool replace(NSRange range, const std::string& replacement);
  UIEdgeInsets padding() const;

  std::string text_;
  std::string placeholder_;
  Font font_ = Font::systemFont(17);
  UIColor textColor_ = UIColor::labelColor();
  UITextBorderStyle borderStyle_ = UITextBorderStyle::kNone;
  UIKeyboardType keyboardType_ = UIKeyboardType::kDefault;
  bool secure_ = false;
  UITextFieldDelegate delegate_{};
};

}  // namespace sentrel::uikit
