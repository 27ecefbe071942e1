// The alert's message: a text view whose height is held by a constraint
// (priority 750) at the height its text needs at its current width.
#pragma once

#include <string>

#include "platform/uikit/label.h"

namespace sentrel::qvalert {

class QVAlertTextView : public uikit::UITextView {
 public:
  QVAlertTextView();

  // Not active until the view is in the alert's card.
  const uikit::NSLayoutConstraint& heightConstraint() const { return heightConstraint_; }

  // The text changes keep the height constraint up to date.
  void setText(std::string text);
  void setAttributedText(uikit::AttributedText text);
  void setFont(const uikit::Font& font);

  // Height comes from the constraint alone.
  uikit::CGSize intrinsicContentSize() const override;
  void layoutSubviews() override;

  // Sets the constraint to the height the text needs at the current width.
  void updateHeightConstraint();

 private:
  uikit::NSLayoutConstraint heightConstraint_;
  uikit::CGSize laidOutSize_{};
};

}  // namespace sentrel::qvalert
