#include "platform/uikit/value_controls.h"

#include <algorithm>
#include <cmath>

#include "platform/log/system_log.h"
#include "platform/uikit/label.h"
#include "platform/uikit/main_thread.h"
#include "platform/uikit/text/text_layout.h"

namespace sentrel::uikit {

// ----------------------------------------------------------------- UISwitch

namespace {
// A view drawn as part of a control: it never takes a touch itself.
UIViewRef partOfControl() {
  auto view = std::make_shared<UIView>();
  view->setUserInteractionEnabled(false);
  return view;
}
}  // namespace

UISwitch::UISwitch() : UIControl(CGRect{{0, 0}, kSize}) {}

void UISwitch::setOn(bool on, bool animated) {
  SENTREL_UIKIT_ASSERT_MAIN_THREAD();
  if (on == on_) return;
  on_ = on;
  animated_ = animated;
  changed();
}

void UISwitch::setOnTintColor(std::optional<UIColor> color) {
  onTint_ = std::move(color);
  changed();
}

void UISwitch::changed() {
  markDirty(kDirtyAppearance);
  setNeedsLayout();
}

// The track takes the tint when on; the knob sits at the end of the value.
void UISwitch::layoutSubviews() {
  UIControl::layoutSubviews();
  constexpr double kInset = 2;
  if (!knob_) {
    knob_ = partOfControl();
    knob_->setBackgroundColor(UIColor::whiteColor());
    addSubview(knob_);
  }
  const CGSize size = bounds().size;
  const double knob = std::max(0.0, size.height - 2 * kInset);
  layer().setCornerRadius(size.height / 2);
  setBackgroundColor(on_ ? onTint_.value_or(UIColor::systemGreenColor())
                         : UIColor::colorWithRed(0.47, 0.47, 0.5, 0.16));
  knob_->setFrame({{on_ ? size.width - kInset - knob : kInset, kInset}, {knob, knob}});
  knob_->layer().setCornerRadius(knob / 2);
}

void UISwitch::endTrackingWithTouch(const UITouch& touch) {
  UIControl::endTrackingWithTouch(touch);
  if (!isTouchInside()) return;
  setOn(!on_, true);
  sendActionsForControlEvents(UIControlEventValueChanged);
}

// ------------------------------------------------------- UISegmentedControl

UISegmentedControl::UISegmentedControl() {
  setBackgroundColor(UIColor::colorWithRed(0.46, 0.46, 0.5, 0.12));
  layer().setCornerRadius(9);
}

UISegmentedControl::UISegmentedControl(std::vector<std::string> items) : UISegmentedControl() {
  items_ = std::move(items);
}

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
  setNeedsLayout();
}

long UISegmentedControl::segmentIndexAtX(double x) const {
  const double width = bounds().size.width;
  if (items_.empty() || !(width > 0) || !(x >= 0) || x >= width) return kNoSegment;
  const long index = static_cast<long>(std::floor(x / (width / numberOfSegments())));
  return std::clamp(index, 0L, numberOfSegments() - 1);
}

void UISegmentedControl::setTitleFont(Font font) {
  titleFont_ = std::move(font);
  for (const auto& title : titles_) title->setFont(titleFont_);
  changed();
}

CGSize UISegmentedControl::intrinsicContentSize() const {
  const Font& font = titleFont_;
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
  setNeedsLayout();
  sendActionsForControlEvents(UIControlEventValueChanged);
}

void UISegmentedControl::changed() {
  markDirty(kDirtyAppearance);
  invalidateIntrinsicContentSize();
  setNeedsLayout();
}

// Equal segments, each with its title centred; the selected one sits on a
// raised white plate.
void UISegmentedControl::layoutSubviews() {
  UIControl::layoutSubviews();
  constexpr double kInset = 2;
  if (!selection_) {
    selection_ = partOfControl();
    selection_->setBackgroundColor(UIColor::whiteColor());
    selection_->layer().setCornerRadius(7);
    addSubview(selection_);
  }
  while (titles_.size() > items_.size()) {
    titles_.back()->removeFromSuperview();
    titles_.pop_back();
  }
  while (titles_.size() < items_.size()) {
    auto title = std::make_shared<UILabel>();
    title->setFont(titleFont_);
    title->setTextAlignment(NSTextAlignment::kCenter);
    addSubview(title);
    titles_.push_back(std::move(title));
  }
  const CGSize size = bounds().size;
  const double segment = items_.empty() ? 0 : size.width / static_cast<double>(items_.size());
  for (size_t i = 0; i < items_.size(); ++i) {
    if (titles_[i]->text() != items_[i]) titles_[i]->setText(items_[i]);
    titles_[i]->setFrame({{segment * static_cast<double>(i), 0}, {segment, size.height}});
  }
  selection_->setHidden(selected_ == kNoSegment);
  if (selected_ != kNoSegment) {
    selection_->setFrame(
        {{segment * static_cast<double>(selected_) + kInset, kInset},
         {std::max(0.0, segment - 2 * kInset), std::max(0.0, size.height - 2 * kInset)}});
  }
}

}  // namespace sentrel::uikit
