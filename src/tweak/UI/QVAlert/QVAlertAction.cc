#include "tweak/UI/QVAlert/QVAlertAction.h"

namespace sentrel::qvalert {

using namespace uikit;

QVAlertAction::QVAlertAction(std::string title, QVAlertActionStyle style, Handler handler,
                             QVAlertActionConfigurationRef configuration)
    : title_(std::move(title)),
      style_(style),
      handler_(std::move(handler)),
      configuration_(std::move(configuration)) {}

void QVAlertAction::setEnabled(bool enabled) {
  enabled_ = enabled;
  if (auto button = actionButton()) button->setEnabled(enabled);
}

void QVAlertAction::setTitle(std::string title) {
  title_ = std::move(title);
  if (auto button = actionButton()) button->setTitle(title_, UIControlStateNormal);
}

}  // namespace sentrel::qvalert
