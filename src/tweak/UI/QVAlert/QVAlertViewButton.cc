#include "tweak/UI/QVAlert/QVAlertViewButton.h"

#include "platform/uikit/screen.h"

namespace sentrel::qvalert {

using namespace uikit;

QVAlertViewButton::QVAlertViewButton() : UIButton(UIButtonType::kCustom) {
  layer().setShouldRasterize(true);
  layer().setRasterizationScale(UIScreen::mainScreen().scale());
  layer().setBorderWidth(1);
  layer().setCornerRadius(4);
  setClipsToBounds(true);
  redraw();
}

void QVAlertViewButton::setType(std::int64_t type) {
  type_ = type;
  redraw();
}

CGSize QVAlertViewButton::intrinsicContentSize() const {
  if (isHidden()) return {0, 0};
  return {UIButton::intrinsicContentSize().width + kExtraWidth, kHeight};
}

void QVAlertViewButton::setHidden(bool hidden) {
  UIButton::setHidden(hidden);
  invalidateIntrinsicContentSize();
}

void QVAlertViewButton::touchesBegan(const UITouch& touch) {
  UIButton::touchesBegan(touch);
  redraw();
}
void QVAlertViewButton::touchesMoved(const UITouch& touch) {
  UIButton::touchesMoved(touch);
  redraw();
}
void QVAlertViewButton::touchesEnded(const UITouch& touch) {
  UIButton::touchesEnded(touch);
  redraw();
}
void QVAlertViewButton::touchesCancelled(const UITouch& touch) {
  UIButton::touchesCancelled(touch);
  redraw();
}

void QVAlertViewButton::layoutSubviews() {
  UIButton::layoutSubviews();
  redraw();
}

void QVAlertViewButton::stateDidChange() {
  UIButton::stateDidChange();
  redraw();
}

void QVAlertViewButton::redraw() {
  const UIColor tint = tintColor();
  layer().setBorderColor(tint);
  const bool bordered = type_ == kTypeBordered;
  layer().setBorderWidth(bordered ? 1 : 0);
  if (bordered && !isHighlighted()) {
    setBackgroundColor(UIColor::clearColor());
    setTitleColor(tint, UIControlStateNormal);
  }
}

}  // namespace sentrel::qvalert
