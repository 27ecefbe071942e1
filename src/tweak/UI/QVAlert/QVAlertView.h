// The alert's view: a full-size view holding the card, which stacks an
// optional content view, the title, the message, text fields and the action
// buttons. Touches outside the card pass through it. Main thread only.
// Create with QVAlertView::create.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/uikit/label.h"
#include "platform/uikit/stack_view.h"
#include "platform/uikit/text_field.h"
#include "platform/uikit/view.h"
#include "tweak/UI/QVAlert/QVAlertTextView.h"
#include "tweak/UI/QVAlert/QVAlertViewButton.h"
#include "tweak/UI/QVAlert/QVAlertViewControllerConfiguration.h"

namespace sentrel::qvalert {

class QVAlertView : public uikit::UIView {
 public:
  static constexpr double kDefaultMaximumWidth = 480;
  static constexpr double kMinimumWidth = 300;
  static constexpr double kScreenShare = 0.8;
  static constexpr double kMaximumHeightShare = 0.9;

  // initWithConfiguration:
  static std::shared_ptr<QVAlertView> create(QVAlertViewControllerConfigurationRef configuration);

  const QVAlertViewControllerConfigurationRef& configuration() const { return configuration_; }
  uikit::UILabel& titleLabel() { return *titleLabel_; }
  QVAlertTextView& messageTextView() { return *messageTextView_; }

  const uikit::UIViewRef& contentView() const { return contentView_; }
  void setContentView(uikit::UIViewRef contentView);

  // The card is as wide as 0.8 times the shorter side of the key window (or
  // of the screen), no wider than this and, within it, no narrower than 300
  // unless the screen itself is.
  double maximumWidth() const { return maximumWidth_; }
  void setMaximumWidth(double width);
  // The card's width for the key window's (or the screen's) current size.
  double preferredAlertWidth() const;

  const std::vector<std::shared_ptr<QVAlertViewButton>>& actionButtons() const {
    return actionButtons_;
  }
  void setActionButtons(std::vector<std::shared_ptr<QVAlertViewButton>> buttons);
  const std::vector<std::shared_ptr<uikit::UITextField>>& textFields() const { return textFields_; }
  void setTextFields(std::vector<std::shared_ptr<uikit::UITextField>> fields);

  const uikit::NSLayoutConstraint& backgroundViewVerticalCenteringConstraint() const {
    return verticalCentering_;
  }
  const uikit::NSLayoutConstraint& alertBackgroundWidthConstraint() const { return width_; }
  const uikit::UIViewRef& alertBackgroundView() const { return alertBackgroundView_; }
  const uikit::UIViewRef& contentViewContainerView() const { return contentViewContainer_; }
  const uikit::UIViewRef& textFieldContainerView() const { return textFieldContainer_; }
  const uikit::UIViewRef& actionButtonContainerView() const { return actionButtonContainer_; }
  const std::shared_ptr<uikit::UIStackView>& actionButtonStackView() const { return stack_; }
  // The hairline above the buttons (null without separators).
  const uikit::UIViewRef& separatorView() const { return separator_; }

  // Only points on the card (or another subview) are inside.
  bool pointInside(uikit::CGPoint point) const override;

  explicit QVAlertView(QVAlertViewControllerConfigurationRef configuration);

 private:
  void build();

  QVAlertViewControllerConfigurationRef configuration_;
  double maximumWidth_ = kDefaultMaximumWidth;
  std::shared_ptr<uikit::UILabel> titleLabel_;
  std::shared_ptr<QVAlertTextView> messageTextView_;
  uikit::UIViewRef contentView_;
  uikit::UIViewRef alertBackgroundView_;
  uikit::UIViewRef contentViewContainer_;
  uikit::UIViewRef textFieldContainer_;
  uikit::UIViewRef actionButtonContainer_;
  uikit::UIViewRef separator_;
  std::shared_ptr<uikit::UIStackView> stack_;
  std::vector<std::shared_ptr<QVAlertViewButton>> actionButtons_;
  std::vector<std::shared_ptr<uikit::UITextField>> textFields_;
  uikit::NSLayoutConstraint verticalCentering_;
  uikit::NSLayoutConstraint width_;
};

}  // namespace sentrel::qvalert
