// A view that lines up its arranged subviews along an axis, with
// constraints. Main thread only.
#pragma once

#include <vector>

#include "platform/uikit/view.h"

namespace sentrel::uikit {

enum class UIStackViewAlignment {
  kFill = 0,
  kLeading = 1,  // top on a horizontal stack
  kCenter = 3,
  kTrailing = 4,  // bottom on a horizontal stack
};
enum class UIStackViewDistribution { kFill = 0, kFillEqually = 1 };

// Arranged subviews run from the stack's leading (or top) edge to its
// trailing (or bottom) edge, `spacing` apart. Along the other axis they fill
// the stack or sit at its leading edge, centre or trailing edge; then the
// stack hugs its tallest (or widest) arranged view. Hidden arranged views
// take no space. Arranged views stop translating their autoresizing masks.
class UIStackView : public UIView {
 public:
  UIStackView();
  // initWithArrangedSubviews:
  static std::shared_ptr<UIStackView> create(const std::vector<UIViewRef>& arrangedSubviews);

  const std::vector<UIViewRef>& arrangedSubviews() const { return arranged_; }
  // Also adds the view as a subview when it is not one.
  void addArrangedSubview(const UIViewRef& view);
  void insertArrangedSubview(const UIViewRef& view, std::size_t index);
  // The view stays a subview, as on the platform.
  void removeArrangedSubview(const UIView* view);

  UILayoutConstraintAxis axis() const { return axis_; }
  void setAxis(UILayoutConstraintAxis axis);
  double spacing() const { return spacing_; }
  void setSpacing(double spacing);  // non-finite values are ignored
  UIStackViewAlignment alignment() const { return alignment_; }
  void setAlignment(UIStackViewAlignment alignment);
  UIStackViewDistribution distribution() const { return distribution_; }
  void setDistribution(UIStackViewDistribution distribution);

  // The constraints the stack made and keeps active.
  const std::vector<NSLayoutConstraint>& arrangementConstraints() const { return constraints_; }

 protected:
  void willRemoveSubview(UIView* subview) override;
  void subviewDidChangeHidden(UIView* subview) override;

 private:
  void rebuild();

  std::vector<UIViewRef> arranged_;
  std::vector<NSLayoutConstraint> constraints_;
  UILayoutConstraintAxis axis_ = UILayoutConstraintAxis::kHorizontal;
  double spacing_ = 0;
  UIStackViewAlignment alignment_ = UIStackViewAlignment::kFill;
  UIStackViewDistribution distribution_ = UIStackViewDistribution::kFill;
};

}  // namespace sentrel::uikit
