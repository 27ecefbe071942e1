// Buttons: per-state titles, title colours and images with the platform's
// fallback to the normal state, a title label, content insets, and an
// intrinsic size from the content. Highlighted while a touch is inside.
//
// Main thread only. Create with UIButton::buttonWithType (shared).
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>

#include "platform/uikit/control.h"
#include "platform/uikit/image.h"
#include "platform/uikit/label.h"

namespace sentrel::uikit {

enum class UIButtonType { kCustom = 0, kSystem = 1 };

class UIButton : public UIControl {
 public:
  // A system button draws its title in the tint colour (faded while
  // highlighted, grey when disabled) and, like the platform's, pads its
  // content by 6 points above and below and is at least 30 points wide. A
  // custom button's title is white and it has no padding of its own.
  static constexpr double kSystemVerticalPadding = 6;
  static constexpr double kSystemMinimumWidth = 30;
  static constexpr double kDefaultFontSize = 15;

  static std::shared_ptr<UIButton> buttonWithType(UIButtonType type);
  explicit UIButton(UIButtonType type = UIButtonType::kCustom);

  UIButtonType buttonType() const { return type_; }

  // Per state; a state with none set falls back to the normal state's.
  void setTitle(std::optional<std::string> title, UIControlState state);
  std::optional<std::string> titleForState(UIControlState state) const;
  void setTitleColor(std::optional<UIColor> color, UIControlState state);
  // With the type's defaults when neither the state nor normal has one.
  UIColor titleColorForState(UIControlState state) const;
  void setImage(UIImageRef image, UIControlState state);
  UIImageRef imageForState(UIControlState state) const;

  // For the current state.
  std::string currentTitle() const { return titleForState(state()).value_or(""); }
  UIColor currentTitleColor() const { return titleColorForState(state()); }
  UIImageRef currentImage() const { return imageForState(state()); }

  // The label showing the current title (its font is the button's font) and
  // the view showing the current image.
  UILabel& titleLabel() { return *titleLabel_; }
  UIImageView& imageView() { return *imageView_; }
  // Sets the title label's font and resizes the button.
  void setTitleFont(const Font& font);

  const UIEdgeInsets& contentEdgeInsets() const { return contentEdgeInsets_; }
  void setContentEdgeInsets(const UIEdgeInsets& insets);  // non-finite values are ignored

  // Image then title side by side, plus insets (and a system button's
  // padding).
  CGSize intrinsicContentSize() const override;
  CGSize sizeThatFits(CGSize) const { return intrinsicContentSize(); }
  void layoutSubviews() override;

 protected:
  void stateDidChange() override { refresh(); }

 private:
  void refresh();
  CGSize contentSize() const;
  UIEdgeInsets effectiveInsets() const;

  UIButtonType type_;
  std::map<std::uint32_t, std::string> titles_;
  std::map<std::uint32_t, UIColor> titleColors_;
  std::map<std::uint32_t, UIImageRef> images_;
  UIEdgeInsets contentEdgeInsets_{};
  std::shared_ptr<UILabel> titleLabel_;
  std::shared_ptr<UIImageView> imageView_;
};

}  // namespace sentrel::uikit
