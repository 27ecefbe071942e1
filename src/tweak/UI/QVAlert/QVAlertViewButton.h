// The button of one alert action: a custom button 44 points high, 12
// points wider than its content, with a bordered variant. Main thread only.
#pragma once

#include <cstdint>

#include "platform/uikit/button.h"

namespace sentrel::qvalert {

class QVAlertViewButton : public uikit::UIButton {
 public:
  static constexpr std::int64_t kTypeBordered = 2;
  static constexpr double kHeight = 44;
  static constexpr double kExtraWidth = 12;

  QVAlertViewButton();

  // 2: bordered in the tint colour, clear unless highlighted.
  std::int64_t type() const { return type_; }
  void setType(std::int64_t type);

  // {0, 0} while hidden.
  uikit::CGSize intrinsicContentSize() const override;
  void setHidden(bool hidden) override;
  void touchesBegan(const uikit::UITouch& touch) override;
  void touchesMoved(const uikit::UITouch& touch) override;
  void touchesEnded(const uikit::UITouch& touch) override;
  void touchesCancelled(const uikit::UITouch& touch) override;
  void layoutSubviews() override;

  // Brings the border and the bordered type's colours up to date (what the
  // platform does when it draws the button).
  void redraw();

 protected:
  void stateDidChange() override;

 private:
  std::int64_t type_ = 0;
};

}  // namespace sentrel::qvalert
