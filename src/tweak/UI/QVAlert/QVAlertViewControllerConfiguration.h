// The alert's configuration: fonts, colours and behaviour, fixed when an
// alert is made. Configurations are shared objects: an alert keeps the one
// it is given (copying one gives the same object back).
#pragma once

#include <cstdint>
#include <memory>

#include "platform/uikit/color.h"
#include "platform/uikit/geometry.h"
#include "platform/uikit/text/font.h"

namespace sentrel::qvalert {

// How an alert comes on screen; other values present without animation.
enum class QVAlertViewTransitionStyle : std::int64_t {
  kFadeInShrink = 0,
  kSlideFromTop = 1,  // with a tilt
  kSlideFromBottom = 2,
  kNone = 3,
};

// How one action's button looks.
class QVAlertActionConfiguration {
 public:
  QVAlertActionConfiguration();

  // White title on a background of titleColor.
  bool invert() const { return invert_; }
  void setInvert(bool invert) { invert_ = invert; }
  const uikit::Font& titleFont() const { return titleFont_; }
  void setTitleFont(const uikit::Font& font) { titleFont_ = font; }
  const uikit::UIColor& titleColor() const { return titleColor_; }
  void setTitleColor(const uikit::UIColor& color) { titleColor_ = color; }
  const uikit::UIColor& disabledTitleColor() const { return disabledTitleColor_; }
  void setDisabledTitleColor(const uikit::UIColor& color) { disabledTitleColor_ = color; }

 private:
  bool invert_ = false;
  uikit::Font titleFont_;
  uikit::UIColor titleColor_;
  uikit::UIColor disabledTitleColor_;
};
using QVAlertActionConfigurationRef = std::shared_ptr<QVAlertActionConfiguration>;

class QVAlertViewControllerConfiguration {
 public:
  QVAlertViewControllerConfiguration();
  static std::shared_ptr<QVAlertViewControllerConfiguration> create() {
    return std::make_shared<QVAlertViewControllerConfiguration>();
  }
  // The same object, as the platform's copy of this immutable-by-habit
  // object is.
  static std::shared_ptr<QVAlertViewControllerConfiguration> copy(
      const std::shared_ptr<QVAlertViewControllerConfiguration>& configuration) {
    return configuration;
  }

  bool showsStatusBar() const { return showsStatusBar_; }
  void setShowsStatusBar(bool shows) { showsStatusBar_ = shows; }
  bool backgroundTapDismissalGestureEnabled() const { return backgroundTapDismissal_; }
  void setBackgroundTapDismissalGestureEnabled(bool enabled) { backgroundTapDismissal_ = enabled; }
  bool swipeDismissalGestureEnabled() const { return swipeDismissal_; }
  void setSwipeDismissalGestureEnabled(bool enabled) { swipeDismissal_ = enabled; }
  bool alwaysArrangesActionButtonsVertically() const { return alwaysVertical_; }
  void setAlwaysArrangesActionButtonsVertically(bool vertical) { alwaysVertical_ = vertical; }
  bool showsSeparators() const { return showsSeparators_; }
  void setShowsSeparators(bool shows) { showsSeparators_ = shows; }
  QVAlertViewTransitionStyle transitionStyle() const { return transitionStyle_; }
  void setTransitionStyle(QVAlertViewTransitionStyle style) { transitionStyle_ = style; }
  const uikit::UIColor& alertViewBackgroundColor() const { return alertViewBackgroundColor_; }
  void setAlertViewBackgroundColor(const uikit::UIColor& color) {
    alertViewBackgroundColor_ = color;
  }
  double alertViewCornerRadius() const { return alertViewCornerRadius_; }
  void setAlertViewCornerRadius(double radius) { alertViewCornerRadius_ = radius; }
  const uikit::UIColor& titleTextColor() const { return titleTextColor_; }
  void setTitleTextColor(const uikit::UIColor& color) { titleTextColor_ = color; }
  const uikit::UIColor& messageTextColor() const { return messageTextColor_; }
  void setMessageTextColor(const uikit::UIColor& color) { messageTextColor_ = color; }
  const uikit::UIColor& separatorColor() const { return separatorColor_; }
  void setSeparatorColor(const uikit::UIColor& color) { separatorColor_ = color; }
  const uikit::Font& titleFont() const { return titleFont_; }
  void setTitleFont(const uikit::Font& font) { titleFont_ = font; }
  const uikit::Font& messageFont() const { return messageFont_; }
  void setMessageFont(const uikit::Font& font) { messageFont_ = font; }
  // Never null: setting null keeps the current one.
  const QVAlertActionConfigurationRef& buttonConfiguration() const { return button_; }
  void setButtonConfiguration(QVAlertActionConfigurationRef c) { keep(button_, std::move(c)); }
  const QVAlertActionConfigurationRef& destructiveButtonConfiguration() const {
    return destructive_;
  }
  void setDestructiveButtonConfiguration(QVAlertActionConfigurationRef c) {
    keep(destructive_, std::move(c));
  }
  const QVAlertActionConfigurationRef& cancelButtonConfiguration() const { return cancel_; }
  void setCancelButtonConfiguration(QVAlertActionConfigurationRef c) {
    keep(cancel_, std::move(c));
  }
  const uikit::UIEdgeInsets& contentViewInset() const { return contentViewInset_; }
  void setContentViewInset(const uikit::UIEdgeInsets& inset) { contentViewInset_ = inset; }

 private:
  static void keep(QVAlertActionConfigurationRef& slot, QVAlertActionConfigurationRef c) {
    if (c) slot = std::move(c);
  }

  bool showsStatusBar_ = true;
  bool backgroundTapDismissal_ = false;
  bool swipeDismissal_ = false;
  bool alwaysVertical_ = false;
  bool showsSeparators_ = true;
  QVAlertViewTransitionStyle transitionStyle_ = QVAlertViewTransitionStyle::kSlideFromTop;
  uikit::UIColor alertViewBackgroundColor_;
  double alertViewCornerRadius_ = 6.0;
  uikit::UIColor titleTextColor_;
  uikit::UIColor messageTextColor_;
  uikit::UIColor separatorColor_;
  uikit::Font titleFont_;
  uikit::Font messageFont_;
  QVAlertActionConfigurationRef button_;
  QVAlertActionConfigurationRef destructive_;
  QVAlertActionConfigurationRef cancel_;
  uikit::UIEdgeInsets contentViewInset_{};
};
using QVAlertViewControllerConfigurationRef = std::shared_ptr<QVAlertViewControllerConfiguration>;

}  // namespace sentrel::qvalert
