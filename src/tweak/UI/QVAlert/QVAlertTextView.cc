#include "tweak/UI/QVAlert/QVAlertTextView.h"

#include <limits>

namespace sentrel::qvalert {

using namespace uikit;

QVAlertTextView::QVAlertTextView() {
  setTextContainerInset({});
}

void QVAlertTextView::setText(std::string text) {
  UITextView::setText(std::move(text));
  updateHeightConstraint();
}

void QVAlertTextView::setAttributedText(AttributedText text) {
  UITextView::setAttributedText(std::move(text));
  updateHeightConstraint();
}

void QVAlertTextView::setFont(const Font& font) {
  UITextView::setFont(font);
  updateHeightConstraint();
}

CGSize QVAlertTextView::intrinsicContentSize() const {
  return {UIViewNoIntrinsicMetric, UIViewNoIntrinsicMetric};
}

void QVAlertTextView::layoutSubviews() {
  UITextView::layoutSubviews();
  if (bounds().size == laidOutSize_) return;
  laidOutSize_ = bounds().size;
  updateHeightConstraint();
}

void QVAlertTextView::updateHeightConstraint() {
  const double width = bounds().size.width;
  const double height = sizeThatFits({width, std::numeric_limits<double>::infinity()}).height;
  if (!heightConstraint_) {
    heightConstraint_ = heightAnchor().constraintEqualToConstant(height);
    if (heightConstraint_) (void)heightConstraint_.setPriority(UILayoutPriorityDefaultHigh);
    return;
  }
  if (heightConstraint_.constant() != height) (void)heightConstraint_.setConstant(height);
}

}  // namespace sentrel::qvalert
