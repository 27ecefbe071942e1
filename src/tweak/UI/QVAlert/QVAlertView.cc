#include "tweak/UI/QVAlert/QVAlertView.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <string>
#include <utility>

#include "platform/log/system_log.h"
#include "platform/uikit/screen.h"
#include "platform/uikit/window.h"
#include "tweak/UI/QVAlert/UIView+Additions.h"

namespace sentrel::qvalert {

using namespace uikit;

namespace {

using ViewMap = std::map<std::string, UIViewRef, std::less<>>;

void activate(const std::vector<NSLayoutConstraint>& constraints, std::string_view what) {
  Status s = NSLayoutConstraint::activateConstraints(constraints);
  if (!s.ok())
    log::line("alert view: " + std::string(what) + " refused: " + s.reason(), log::Level::kError);
}

void activateFormat(std::string_view format, const ViewMap& views) {
  auto constraints = NSLayoutConstraint::constraintsWithVisualFormat(format, 0, {}, views);
  if (!constraints.ok()) {
    log::line("alert view: " + constraints.status().reason(), log::Level::kError);
    return;
  }
  activate(*constraints, format);
}

double hairline() {
  return 1.0 / UIScreen::mainScreen().scale();
}

UIViewRef plainView() {
  auto view = std::make_shared<UIView>();
  view->setTranslatesAutoresizingMaskIntoConstraints(false);
  return view;
}

}  // namespace

QVAlertView::QVAlertView(QVAlertViewControllerConfigurationRef configuration)
    : UIView(UIScreen::mainScreen().bounds()),
      configuration_(configuration ? std::move(configuration)
                                   : QVAlertViewControllerConfiguration::create()) {}

std::shared_ptr<QVAlertView> QVAlertView::create(
    QVAlertViewControllerConfigurationRef configuration) {
  auto view = std::make_shared<QVAlertView>(std::move(configuration));
  view->build();
  return view;
}

void QVAlertView::build() {
  const QVAlertViewControllerConfiguration& c = *configuration_;

  alertBackgroundView_ = plainView();
  alertBackgroundView_->setClipsToBounds(true);
  alertBackgroundView_->layer().setCornerRadius(c.alertViewCornerRadius());
  alertBackgroundView_->setBackgroundColor(c.alertViewBackgroundColor());
  addSubview(alertBackgroundView_);

  titleLabel_ = std::make_shared<UILabel>();
  titleLabel_->setTranslatesAutoresizingMaskIntoConstraints(false);
  titleLabel_->setNumberOfLines(0);
  titleLabel_->setTextAlignment(NSTextAlignment::kCenter);
  titleLabel_->setFont(c.titleFont());
  titleLabel_->setTextColor(c.titleTextColor());
  titleLabel_->setContentCompressionResistancePriority(UILayoutPriorityRequired,
                                                       UILayoutConstraintAxis::kVertical);
  titleLabel_->setText("Title Label");

  messageTextView_ = std::make_shared<QVAlertTextView>();
  messageTextView_->setTranslatesAutoresizingMaskIntoConstraints(false);
  messageTextView_->setBackgroundColor(UIColor::clearColor());
  messageTextView_->setTextAlignment(NSTextAlignment::kCenter);
  messageTextView_->setTextColor(c.messageTextColor());
  messageTextView_->setFont(c.messageFont());
  messageTextView_->setContentHuggingPriority(0, UILayoutConstraintAxis::kVertical);
  messageTextView_->setContentCompressionResistancePriority(UILayoutPriorityDefaultHigh,
                                                            UILayoutConstraintAxis::kVertical);
  messageTextView_->setText("Message Text View");

  contentViewContainer_ = plainView();
  textFieldContainer_ = plainView();
  actionButtonContainer_ = plainView();
  stack_ = std::make_shared<UIStackView>();
  actionButtonContainer_->addSubview(stack_);
  qv_pinEdgesToSuperviewEdges(*stack_);

  for (const UIViewRef& v :
       {contentViewContainer_, UIViewRef(titleLabel_), UIViewRef(messageTextView_),
        textFieldContainer_, actionButtonContainer_})
    alertBackgroundView_->addSubview(v);

  if (c.showsSeparators()) {
    separator_ = plainView();
    separator_->setBackgroundColor(c.separatorColor());
    alertBackgroundView_->addSubview(separator_);
    activate(
        {separator_->leadingAnchor().constraintEqualToAnchor(alertBackgroundView_->leadingAnchor()),
         separator_->trailingAnchor().constraintEqualToAnchor(
             alertBackgroundView_->trailingAnchor()),
         separator_->bottomAnchor().constraintEqualToAnchor(actionButtonContainer_->topAnchor()),
         separator_->heightAnchor().constraintEqualToConstant(hairline())},
        "separator");
  }

  verticalCentering_ =
      alertBackgroundView_->centerYAnchor().constraintEqualToAnchor(centerYAnchor());
  width_ = alertBackgroundView_->widthAnchor().constraintEqualToConstant(preferredAlertWidth());
  activate({alertBackgroundView_->centerXAnchor().constraintEqualToAnchor(centerXAnchor()),
            verticalCentering_,
            alertBackgroundView_->heightAnchor().constraintLessThanOrEqualToAnchor(
                heightAnchor(), kMaximumHeightShare, 0),
            width_},
           "card");

  const ViewMap views{{"_titleLabel", titleLabel_},
                      {"_messageTextView", messageTextView_},
                      {"_contentViewContainerView", contentViewContainer_},
                      {"_textFieldContainerView", textFieldContainer_},
                      {"_actionButtonContainerView", actionButtonContainer_}};
  for (std::string_view format :
       {"H:|-[_titleLabel]-|", "H:|-[_messageTextView]-|", "H:|[_contentViewContainerView]|",
        "H:|[_textFieldContainerView]|", "H:|[_actionButtonContainerView]|",
        "V:|[_contentViewContainerView(0@250)]-[_titleLabel]-2-[_messageTextView]"
        "[_textFieldContainerView(0@250)]-8-[_actionButtonContainerView]|"})
    activateFormat(format, views);

  messageTextView_->updateHeightConstraint();
  activate({messageTextView_->heightConstraint()}, "message height");
}

double QVAlertView::preferredAlertWidth() const {
  UIWindow* key = UIApplication::sharedApplication().keyWindow();
  const CGRect bounds = key ? key->bounds() : UIScreen::mainScreen().bounds();
  const double side = std::min(bounds.size.width, bounds.size.height);
  const double width = side * kScreenShare;
  if (maximumWidth_ < width) return maximumWidth_;
  // The minimum never makes the card wider than a tiny screen.
  return std::min(std::max(width, kMinimumWidth), side);
}

void QVAlertView::setMaximumWidth(double width) {
  if (!(width > 0) || !std::isfinite(width)) return;
  maximumWidth_ = width;
  if (width_) (void)width_.setConstant(preferredAlertWidth());
}

void QVAlertView::setContentView(UIViewRef contentView) {
  if (contentView_) contentView_->removeFromSuperview();
  contentView_ = std::move(contentView);
  contentViewContainer_->setLayoutMargins(configuration_->contentViewInset());
  if (!contentView_) return;
  contentViewContainer_->addSubview(contentView_);
  qv_pinEdgesToSuperviewMargins(*contentView_);
}

void QVAlertView::setActionButtons(std::vector<std::shared_ptr<QVAlertViewButton>> buttons) {
  const std::vector<UIViewRef> old = stack_->arrangedSubviews();
  for (const UIViewRef& view : old) {
    stack_->removeArrangedSubview(view.get());
    view->removeFromSuperview();
  }
  actionButtons_ = std::move(buttons);
  const bool horizontal =
      actionButtons_.size() == 2 && !configuration_->alwaysArrangesActionButtonsVertically();
  const UILayoutConstraintAxis axis =
      horizontal ? UILayoutConstraintAxis::kHorizontal : UILayoutConstraintAxis::kVertical;
  stack_->setAxis(axis);
  for (std::size_t i = 0; i < actionButtons_.size(); ++i) {
    const auto& button = actionButtons_[i];
    if (configuration_->showsSeparators() && i > 0) {
      auto separator = plainView();
      separator->setBackgroundColor(configuration_->separatorColor());
      stack_->addArrangedSubview(separator);
      activate({horizontal ? separator->widthAnchor().constraintEqualToConstant(hairline())
                           : separator->heightAnchor().constraintEqualToConstant(hairline())},
               "button separator");
    }
    button->setContentCompressionResistancePriority(UILayoutPriorityRequired,
                                                    UILayoutConstraintAxis::kVertical);
    stack_->addArrangedSubview(button);
    if (i > 0) {
      const auto& previous = actionButtons_[i - 1];
      activate({button->widthAnchor().constraintEqualToAnchor(previous->widthAnchor(), 1, 0),
                button->heightAnchor().constraintEqualToAnchor(previous->heightAnchor(), 1, 0)},
               "button sizes");
    }
  }
}

void QVAlertView::setTextFields(std::vector<std::shared_ptr<UITextField>> fields) {
  for (const auto& field : textFields_) field->removeFromSuperview();
  textFields_ = std::move(fields);
  std::shared_ptr<UITextField> previous;
  for (const auto& field : textFields_) {
    field->setTranslatesAutoresizingMaskIntoConstraints(false);
    textFieldContainer_->addSubview(field);
    activateFormat("H:|-[textField]-|", {{"textField", field}});
    if (!previous) {
      activate({field->topAnchor().constraintEqualToAnchor(
                   textFieldContainer_->layoutMarginsGuide().topAnchor())},
               "first text field");
    } else {
      activateFormat("V:[previousTextField]-[textField]",
                     {{"previousTextField", previous}, {"textField", field}});
    }
    previous = field;
  }
  if (previous) activateFormat("V:[textField]|", {{"textField", previous}});
}

bool QVAlertView::pointInside(CGPoint point) const {
  for (const UIViewRef& sub : subviews()) {
    if (sub->hitTest(convertPoint(point, sub.get()))) return true;
  }
  return false;
}

}  // namespace sentrel::qvalert
