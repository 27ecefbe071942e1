#include "tweak/UI/QVAlert/QVAlertViewControllerConfiguration.h"

namespace sentrel::qvalert {

using namespace uikit;

QVAlertActionConfiguration::QVAlertActionConfiguration()
    : titleFont_(Font::preferredFont(TextStyle::kBody)),
      titleColor_(UIColor::darkGrayColor()),
      disabledTitleColor_(UIColor::grayColor()) {}

QVAlertViewControllerConfiguration::QVAlertViewControllerConfiguration()
    : alertViewBackgroundColor_(UIColor::whiteColor()),
      titleTextColor_(UIColor::darkGrayColor()),
      messageTextColor_(UIColor::darkGrayColor()),
      separatorColor_(UIColor::lightGrayColor()),
      titleFont_(Font::preferredFont(TextStyle::kHeadline)),
      messageFont_(Font::preferredFont(TextStyle::kSubheadline)),
      button_(std::make_shared<QVAlertActionConfiguration>()),
      destructive_(std::make_shared<QVAlertActionConfiguration>()),
      cancel_(std::make_shared<QVAlertActionConfiguration>()) {
  // The destructive red's green and blue are single-precision values.
  destructive_->setTitleColor(
      UIColor::colorWithRed(1.0, static_cast<double>(0.23f), static_cast<double>(0.21f), 1.0));
  cancel_->setTitleFont(Font::preferredFont(TextStyle::kHeadline));
}

}  // namespace sentrel::qvalert
