// Controls holding a value: the on/off switch and the segmented control.
// Both send valueChanged only when a touch changes the value; setting it in
// code sends nothing, as on the platform. Each draws itself with subviews of
// its own (the switch's knob, the segments' titles and the selection), laid
// out with the control, so the screen shows them like any other view.
//
// Main thread only. Create with std::make_shared.
#pragma once

#include <string>
#include <vector>

#include "platform/uikit/control.h"
#include "platform/uikit/text/font.h"

namespace sentrel::uikit {

class UISwitch : public UIControl {
 public:
  static constexpr CGSize kSize{51, 31};  // its intrinsic size, whatever the content

  UISwitch();

  bool isOn() const { return on_; }
  void setOn(bool on) { setOn(on, false); }
  // `animated` is recorded for the display link (the knob slides).
  void setOn(bool on, bool animated);
  bool lastChangeAnimated() const { return animated_; }

  std::optional<UIColor> onTintColor() const { return onTint_; }
  void setOnTintColor(std::optional<UIColor> color);

  CGSize intrinsicContentSize() const override { return kSize; }
  CGSize sizeThatFits(CGSize) const { return kSize; }

  // A touch that ends inside toggles the switch and sends valueChanged.
  void endTrackingWithTouch(const UITouch& touch) override;

  void layoutSubviews() override;

 private:
  void changed();

  UIViewRef knob_;
  bool on_ = false;
  bool animated_ = false;
  std::optional<UIColor> onTint_;
};

class UISegmentedControl : public UIControl {
 public:
  static constexpr long kNoSegment = -1;
  static constexpr double kHeight = 32;
  static constexpr double kSegmentPadding = 12;  // each side of the widest title
  static constexpr double kFontSize = 13;

  UISegmentedControl();
  explicit UISegmentedControl(std::vector<std::string> items);

  long numberOfSegments() const { return static_cast<long>(items_.size()); }
  // Out of range: "" (logged).
  std::string titleForSegmentAtIndex(long index) const;
  void setTitle(std::string title, long index);  // out of range: ignored, logged
  // At `index` clamped to [0, numberOfSegments]. Selection stays on the
  // same segment.
  void insertSegmentWithTitle(std::string title, long index, bool animated = false);
  void removeSegmentAtIndex(long index, bool animated = false);
  void removeAllSegments();

  // The font of the segment titles (the platform's title text attributes'
  // font); the system font of kFontSize points unless set.
  const Font& titleFont() const { return titleFont_; }
  void setTitleFont(Font font);

  // kNoSegment when none is selected. Out-of-range values other than
  // kNoSegment are ignored with a log line.
  long selectedSegmentIndex() const { return selected_; }
  void setSelectedSegmentIndex(long index);

  // Which segment x (in the control's coordinates) falls in, by equal
  // widths; kNoSegment without segments or outside the bounds.
  long segmentIndexAtX(double x) const;

  // Equal segments as wide as the widest title plus padding; 32 high.
  CGSize intrinsicContentSize() const override;

  // A tap that ends inside selects the segment under it, sending
  // valueChanged when the selection changes.
  void endTrackingWithTouch(const UITouch& touch) override;

  void layoutSubviews() override;

 private:
  void changed();

  UIViewRef selection_;
  std::vector<std::shared_ptr<class UILabel>> titles_;
  std::vector<std::string> items_;
  long selected_ = kNoSegment;
  Font titleFont_ = Font::systemFont(kFontSize);
};

}  // namespace sentrel::uikit
