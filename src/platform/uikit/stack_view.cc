#include "platform/uikit/stack_view.h"

#include <algorithm>
#include <cmath>

#include "platform/log/system_log.h"
#include "platform/uikit/main_thread.h"

namespace sentrel::uikit {

using layout::Attribute;

UIStackView::UIStackView() = default;

std::shared_ptr<UIStackView> UIStackView::create(const std::vector<UIViewRef>& arrangedSubviews) {
  auto stack = std::make_shared<UIStackView>();
  for (const UIViewRef& v : arrangedSubviews) stack->addArrangedSubview(v);
  return stack;
}

void UIStackView::addArrangedSubview(const UIViewRef& view) {
  insertArrangedSubview(view, arranged_.size());
}

void UIStackView::insertArrangedSubview(const UIViewRef& view, std::size_t index) {
  SENTREL_UIKIT_ASSERT_MAIN_THREAD();
  if (!view || view.get() == this) return;
  std::erase(arranged_, view);
  if (view->superview() != this && !addSubview(view)) return;
  view->setTranslatesAutoresizingMaskIntoConstraints(false);
  arranged_.insert(
      arranged_.begin() + static_cast<std::ptrdiff_t>(std::min(index, arranged_.size())), view);
  rebuild();
}

void UIStackView::removeArrangedSubview(const UIView* view) {
  const std::size_t before = arranged_.size();
  std::erase_if(arranged_, [&](const UIViewRef& v) { return v.get() == view; });
  if (arranged_.size() != before) rebuild();
}

void UIStackView::willRemoveSubview(UIView* subview) {
  // The view is still a subview here; its constraints go with the rebuild.
  const std::size_t before = arranged_.size();
  std::erase_if(arranged_, [&](const UIViewRef& v) { return v.get() == subview; });
  if (arranged_.size() != before) rebuild();
}

void UIStackView::subviewDidChangeHidden(UIView* subview) {
  if (std::any_of(arranged_.begin(), arranged_.end(),
                  [&](const UIViewRef& v) { return v.get() == subview; }))
    rebuild();
}

void UIStackView::setAxis(UILayoutConstraintAxis axis) {
  axis_ = axis;
  rebuild();
}

void UIStackView::setSpacing(double spacing) {
  if (!std::isfinite(spacing)) return;
  spacing_ = spacing;
  rebuild();
}

void UIStackView::setAlignment(UIStackViewAlignment alignment) {
  alignment_ = alignment;
  rebuild();
}

void UIStackView::setDistribution(UIStackViewDistribution distribution) {
  distribution_ = distribution;
  rebuild();
}

void UIStackView::rebuild() {
  NSLayoutConstraint::deactivateConstraints(constraints_);
  constraints_.clear();
  std::vector<UIViewRef> visible;
  for (const UIViewRef& v : arranged_) {
    if (!v->isHidden() && v->superview() == this) visible.push_back(v);
  }
  if (visible.empty()) return;
  const bool horizontal = axis_ == UILayoutConstraintAxis::kHorizontal;
  const Attribute leading = horizontal ? Attribute::kLeading : Attribute::kTop;
  const Attribute trailing = horizontal ? Attribute::kTrailing : Attribute::kBottom;
  const Attribute length = horizontal ? Attribute::kWidth : Attribute::kHeight;
  const Attribute crossLeading = horizontal ? Attribute::kTop : Attribute::kLeading;
  const Attribute crossTrailing = horizontal ? Attribute::kBottom : Attribute::kTrailing;
  const Attribute crossCenter = horizontal ? Attribute::kCenterY : Attribute::kCenterX;
  const Attribute crossLength = horizontal ? Attribute::kHeight : Attribute::kWidth;
  UIViewRef self = weak_from_this().lock();
  if (!self) {
    log::line("stack view: not made with std::make_shared, cannot lay out", log::Level::kError);
    return;
  }
  auto add = [&](const UIViewRef& a, Attribute aa, NSLayoutRelation relation, const UIViewRef& b,
                 Attribute ba, double constant) {
    auto made = NSLayoutConstraint::constraintWithItem(a, aa, relation, b, ba, 1, constant);
    if (made.ok()) constraints_.push_back(std::move(made).value());
  };
  const auto eq = NSLayoutRelation::kEqual;
  const auto ge = NSLayoutRelation::kGreaterThanOrEqual;
  const auto le = NSLayoutRelation::kLessThanOrEqual;
  add(visible.front(), leading, eq, self, leading, 0);
  add(visible.back(), trailing, eq, self, trailing, 0);
  for (std::size_t i = 1; i < visible.size(); ++i) {
    add(visible[i], leading, eq, visible[i - 1], trailing, spacing_);
    if (distribution_ == UIStackViewDistribution::kFillEqually)
      add(visible[i], length, eq, visible[0], length, 0);
  }
  for (const UIViewRef& v : visible) {
    switch (alignment_) {
      case UIStackViewAlignment::kFill:
        add(v, crossLeading, eq, self, crossLeading, 0);
        add(v, crossTrailing, eq, self, crossTrailing, 0);
        break;
      case UIStackViewAlignment::kLeading:
        add(v, crossLeading, eq, self, crossLeading, 0);
        add(v, crossTrailing, le, self, crossTrailing, 0);
        break;
      case UIStackViewAlignment::kCenter:
        add(v, crossCenter, eq, self, crossCenter, 0);
        add(v, crossLeading, ge, self, crossLeading, 0);
        break;
      case UIStackViewAlignment::kTrailing:
        add(v, crossTrailing, eq, self, crossTrailing, 0);
        add(v, crossLeading, ge, self, crossLeading, 0);
        break;
    }
  }
  if (alignment_ != UIStackViewAlignment::kFill) {
    // Hug the largest arranged view across the axis, unless told otherwise.
    auto made = NSLayoutConstraint::constraintWithItem(self, crossLength, eq, nullptr,
                                                       Attribute::kNotAnAttribute, 1, 0);
    if (made.ok()) {
      NSLayoutConstraint hug = std::move(made).value();
      (void)hug.setPriority(UILayoutPriorityFittingSizeLevel);
      constraints_.push_back(hug);
    }
  }
  if (Status s = NSLayoutConstraint::activateConstraints(constraints_); !s.ok()) {
    log::line("stack view: " + s.reason(), log::Level::kError);
    constraints_.clear();
  }
  setNeedsLayout();
}

}  // namespace sentrel::uikit
