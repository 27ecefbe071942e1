// Text views: UILabel and the read-only UITextView. Both measure their text
// with the real font files (text/text_layout.h), so the sizes Auto Layout
// sees are the sizes the page draws.
//
// Main thread only.
#pragma once

#include <memory>
#include <string>

#include "platform/uikit/color.h"
#include "platform/uikit/text/text_layout.h"
#include "platform/uikit/view.h"

namespace sentrel::uikit {

// The platform's values.
enum class NSTextAlignment : int {
  kLeft = 0,
  kCenter = 1,
  kRight = 2,
  kJustified = 3,
  kNatural = 4
};

class UILabel : public UIView {
 public:
  UILabel();

  // Plain text in the label's font. Setting it drops the attributed ranges.
  const std::string& text() const { return text_.text; }
  void setText(std::string text);
  // Text with font ranges (e.g. a host name in bold). Its base font becomes
  // the label's font.
  const AttributedText& attributedText() const { return text_; }
  void setAttributedText(AttributedText text);

  // The base font; ranges keep their own fonts. Default: system 17 points.
  const Font& font() const { return text_.font; }
  void setFont(const Font& font);
  const UIColor& textColor() const { return textColor_; }
  void setTextColor(const UIColor& color);
  NSTextAlignment textAlignment() const { return alignment_; }
  void setTextAlignment(NSTextAlignment alignment);
  // 1 by default; 0 means as many lines as the text needs. Negative counts
  // read as 0.
  int numberOfLines() const { return numberOfLines_; }
  void setNumberOfLines(int lines);
  // The width a multi-line label wraps at when Auto Layout asks for its
  // size; 0 (the default) means the label's own width once laid out.
  double preferredMaxLayoutWidth() const { return preferredMaxLayoutWidth_; }
  void setPreferredMaxLayoutWidth(double width);  // negative or non-finite: 0

  // The measured text: wrapped at preferredMaxLayoutWidth, else at the width
  // once laid out (multi-line labels only); {0, 0} for empty text.
  CGSize intrinsicContentSize() const override;
  // The size the text needs within `size` (its width wraps multi-line text).
  CGSize sizeThatFits(CGSize size) const;
  // The lines as drawn in the current bounds.
  TextLayout textLayout() const;

  void layoutSubviews() override;

 private:
  void textChanged();
  TextLayout measure(double width) const;

  AttributedText text_{};
  UIColor textColor_ = UIColor::labelColor();
  NSTextAlignment alignment_ = NSTextAlignment::kNatural;
  int numberOfLines_ = 1;
  double preferredMaxLayoutWidth_ = 0;
  double laidOutWidth_ = 0;  // the width intrinsicContentSize last wrapped at
  // The last measurement, by wrapping width.
  mutable bool cacheValid_ = false;
  mutable double cacheWidth_ = 0;
  mutable TextLayout cache_{};
};

// A read-only, non-scrolling text view: its text wraps at its width inside
// textContainerInset and a line fragment padding of 5 points on each side,
// as on the platform.
class UITextView : public UIView {
 public:
  static constexpr double kLineFragmentPadding = 5;

  UITextView();

  const std::string& text() const { return text_.text; }
  void setText(std::string text);
  const AttributedText& attributedText() const { return text_; }
  void setAttributedText(AttributedText text);
  const Font& font() const { return text_.font; }
  void setFont(const Font& font);
  const UIColor& textColor() const { return textColor_; }
  void setTextColor(const UIColor& color);
  NSTextAlignment textAlignment() const { return alignment_; }
  void setTextAlignment(NSTextAlignment alignment);
  // Default {8, 0, 8, 0}; non-finite or negative values are ignored.
  const UIEdgeInsets& textContainerInset() const { return inset_; }
  void setTextContainerInset(const UIEdgeInsets& inset);

  // Only the read-only, non-scrolling kind exists: turning either on is
  // refused with a log line.
  bool isEditable() const { return false; }
  void setEditable(bool editable);
  bool isScrollEnabled() const { return false; }
  void setScrollEnabled(bool enabled);

  // For a finite positive width: that width and the height its wrapped text
  // needs (one line's height when empty). Otherwise the unwrapped size.
  CGSize sizeThatFits(CGSize size) const;
  // Unwrapped until laid out; then the height for the current width.
  CGSize intrinsicContentSize() const override;
  void layoutSubviews() override;

 private:
  void textChanged();

  AttributedText text_{};
  UIColor textColor_ = UIColor::labelColor();
  NSTextAlignment alignment_ = NSTextAlignment::kNatural;
  UIEdgeInsets inset_{8, 0, 8, 0};
  double laidOutWidth_ = 0;
};

}  // namespace sentrel::uikit
