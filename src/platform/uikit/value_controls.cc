#include "platform/uikit/value_controls.h"

#include <algorithm>
#include <cmath>

#include "platform/log/system_log.h"
#include "platform/uikit/main_thread.h"
#include "platform/uikit/text/text_layout.h"

namespace sentrel::uikit {

// ----------------------------------------------------------------- UISwitch

UISwitch::UISwitch() : UIControl(CGRect{{0, 0}, kSize}) {}

void UISwitch::setOn(bool on, bool animated) {
  SENTREL_UIKIT_ASSERT_MAIN_THREAD();
  if (on == on_) return;
  on_ = on;
  animated_ = animated;
  markDirty(kDirtyAppearance);
}

void UISwitch::setOnTintColor(std::optional<UIColor> color) {
  onTint_ = std::move(color);
  markDirty(kDirtyAppearance);
}

void UISwitch::endTrackingWithTouch(const UITouch& touch) {
  UIControl::endTrackingWithTouch(touch);
  if (!isTouchInside()) return;
  setOn(!on_, true);
  sendActionsForControlEvents(UIControlEventValueChanged);
}

// ------------------------------------------------------- UISegmentedControl

UISegmentedControl::UISegmentedControl(std::vector<std::string> items) : items_(std::move(items)) {}

std::string UISegmentedControl::titleForSegmentAtIndex(long index) const {
  if (index < 0 || index >= numberOfSegments()) {
    log::linef("UISegmentedControl: no segment %ld", index);
    return "";
  }
  return items_[static_cast<size_t>(index)];
}

void UISegmentedControl::setTitle(std::string title, long index) {
  SENTREL_UIKIT_ASSERT_MAIN_THREAD();
  if (index < 0 || index >= numberOfSegments()) {
    log::linef("UISegmentedControl: setTitle: no segment %ld", index);
    return;
  }
  items_[static_cast<size_t>(index)] = std::move(title);
  changed();
}

void UISegmentedControl::insertSegmentWithTitle(std::string title, long index, bool) {
  SENTREL_UIKIT_ASSERT_MAIN_THREAD();
  index = std::clamp(index, 0L, numberOfSegments());
  items_.insert(items_.begin() + index, std::move(title));
  if (selected_ != kNoSegment && selected_ >= index) ++selected_;
  changed();
}

void UISegmentedControl::removeSegmentAtIndex(long index, bool) {
  SENTREL_UIKIT_ASSERT_MAIN_THREAD();
  if (index < 0 || index >= numberOfSegments()) {
    log::linef("UISegmentedControl: remove: no segment %ld", index);
    return;
  }
  items_.erase(items_.begin() + index);
  if (selected_ == index)
    selected_ = kNoSegment;
  else if (selected_ > index)
    --selected_;
  changed();
}

void UISegmentedControl::removeAllSegments() {
  SENTREL_UIKIT_ASSERT_MAIN_THREAD();
  items_.clear();
  selected_ = kNoSegment;
  changed();
}

void UISegmentedControl::setSelectedSegmentIndex(long index) {
  SENTREL_UIKIT_ASSERT_MAIN_THREAD();
  if (index != kNoSegment && (index < 0 || index >= numberOfSegments())) {
    log::linef("UISegmentedControl: ignoring selected index %ld of %ld segments", index,
               numberOfSegments());
    return;
  }
  if (index == selected_) return;
  selected_ = index;
  markDirty(kDirtyAppearance);
}

long UISegmentedControl::segmentIndexAtX(double x) const {
  const double width = bounds().size.width;
  if (items_.empty() || !(width > 0) || !(x >= 0) || x >= width) return kNoSegment;
  const long index = static_cast<long>(std::floor(x / (width / numberOfSegments())));
  return std::clamp(index, 0L, numberOfSegments() - 1);
}

CGSize UISegmentedControl::intrinsicContentSize() const {
  const Font font = Font::systemFont(kFontSize);
  double widest = 0;
  for (const std::string& item : items_) widest = std::max(widest, textWidth(item, font));
  const double segment = std::ceil(widest) + 2 * kSegmentPadding;
  return {items_.empty() ? 0 : segment * static_cast<double>(items_.size()), kHeight};
}

void UISegmentedControl::endTrackingWithTouch(const UITouch& touch) {
  UIControl::endTrackingWithTouch(touch);
  if (!isTouchInside()) return;
  const long index = segmentIndexAtX(touch.locationInView(this).x);
  if (index == kNoSegment || index == selected_) return;
  selected_ = index;
  markDirty(kDirtyAppearance);
  sendActionsForControlEvents(UIControlEventValueChanged);
}

void UISegmentedControl::changed() {
  markDirty(kDirtyAppearance);
  invalidateIntrinsicContentSize();
}

}  // namespace sentrel::uikit
