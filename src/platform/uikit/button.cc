#include "platform/uikit/button.h"

#include <algorithm>
#include <cmath>

#include "platform/uikit/main_thread.h"

namespace sentrel::uikit {

std::shared_ptr<UIButton> UIButton::buttonWithType(UIButtonType type) {
  return std::make_shared<UIButton>(type);
}

UIButton::UIButton(UIButtonType type)
    : type_(type),
      titleLabel_(std::make_shared<UILabel>()),
      imageView_(std::make_shared<UIImageView>()) {
  titleLabel_->setFont(Font::systemFont(kDefaultFontSize));
  titleLabel_->setTextAlignment(NSTextAlignment::kCenter);
  addSubview(imageView_);
  addSubview(titleLabel_);
  refresh();
}

void UIButton::setTitle(std::optional<std::string> title, UIControlState state) {
  SENTREL_UIKIT_ASSERT_MAIN_THREAD();
  if (title)
    titles_[state] = std::move(*title);
  else
    titles_.erase(state);
  refresh();
}

std::optional<std::string> UIButton::titleForState(UIControlState state) const {
  auto it = titles_.find(state);
  if (it == titles_.end()) it = titles_.find(UIControlStateNormal);
  if (it == titles_.end()) return std::nullopt;
  return it->second;
}

void UIButton::setTitleColor(std::optional<UIColor> color, UIControlState state) {
  SENTREL_UIKIT_ASSERT_MAIN_THREAD();
  if (color)
    titleColors_[state] = *color;
  else
    titleColors_.erase(state);
  refresh();
}

UIColor UIButton::titleColorForState(UIControlState state) const {
  if (auto it = titleColors_.find(state); it != titleColors_.end()) return it->second;
  if (type_ == UIButtonType::kSystem) {
    // The platform's system button: grey when disabled, faded while pressed,
    // unless the normal colour was set.
    if (state & UIControlStateDisabled) return UIColor::systemGrayColor();
    const auto normal = titleColors_.find(UIControlStateNormal);
    const UIColor base = normal != titleColors_.end() ? normal->second : tintColor();
    return (state & UIControlStateHighlighted) ? base.colorWithAlphaComponent(0.2) : base;
  }
  if (auto it = titleColors_.find(UIControlStateNormal); it != titleColors_.end())
    return it->second;
  return UIColor::whiteColor();
}

void UIButton::setImage(UIImageRef image, UIControlState state) {
  SENTREL_UIKIT_ASSERT_MAIN_THREAD();
  if (image)
    images_[state] = std::move(image);
  else
    images_.erase(state);
  refresh();
}

UIImageRef UIButton::imageForState(UIControlState state) const {
  auto it = images_.find(state);
  if (it == images_.end()) it = images_.find(UIControlStateNormal);
  return it == images_.end() ? nullptr : it->second;
}

void UIButton::setTitleFont(const Font& font) {
  titleLabel_->setFont(font);
  refresh();
}

void UIButton::setContentEdgeInsets(const UIEdgeInsets& insets) {
  SENTREL_UIKIT_ASSERT_MAIN_THREAD();
  for (double v : {insets.top, insets.left, insets.bottom, insets.right})
    if (!std::isfinite(v)) return;
  contentEdgeInsets_ = insets;
  refresh();
}

void UIButton::refresh() {
  const std::string title = currentTitle();
  if (title != titleLabel_->text()) titleLabel_->setText(title);
  titleLabel_->setTextColor(currentTitleColor());
  imageView_->setImage(currentImage());
  markDirty(kDirtyAppearance);
  invalidateIntrinsicContentSize();
  setNeedsLayout();
}

UIEdgeInsets UIButton::effectiveInsets() const {
  UIEdgeInsets insets = contentEdgeInsets_;
  if (type_ == UIButtonType::kSystem && insets == UIEdgeInsets{}) {
    insets.top = kSystemVerticalPadding;
    insets.bottom = kSystemVerticalPadding;
  }
  return insets;
}

CGSize UIButton::contentSize() const {
  CGSize title{};
  if (!titleLabel_->text().empty()) title = titleLabel_->intrinsicContentSize();
  CGSize image{};
  if (const UIImageRef& img = imageView_->image()) image = img->size();
  return {title.width + image.width, std::max(title.height, image.height)};
}

CGSize UIButton::intrinsicContentSize() const {
  const CGSize content = contentSize();
  const UIEdgeInsets insets = effectiveInsets();
  CGSize size{content.width + insets.left + insets.right,
              content.height + insets.top + insets.bottom};
  if (type_ == UIButtonType::kSystem) size.width = std::max(size.width, kSystemMinimumWidth);
  return size;
}

void UIButton::layoutSubviews() {
  UIControl::layoutSubviews();
  // Content centred in the bounds less the insets: the image, then the title.
  const CGRect area = UIEdgeInsetsInsetRect(bounds(), effectiveInsets());
  const CGSize content = contentSize();
  CGSize image{};
  if (const UIImageRef& img = imageView_->image()) image = img->size();
  const CGSize title{content.width - image.width,
                     titleLabel_->text().empty() ? 0 : titleLabel_->intrinsicContentSize().height};
  const double left = area.origin.x + (area.size.width - content.width) / 2;
  const double midY = area.origin.y + area.size.height / 2;
  imageView_->setFrame(CGRectMake(left, midY - image.height / 2, image.width, image.height));
  titleLabel_->setFrame(
      CGRectMake(left + image.width, midY - title.height / 2, title.width, title.height));
}

}  // namespace sentrel::uikit
