// Controls: state, target-action, touch tracking, and each control's value.
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/uikit/button.h"
#include "platform/uikit/text_field.h"
#include "platform/uikit/value_controls.h"
#include "platform/uikit/window.h"
#include "support/log_capture.h"

namespace sentrel::uikit {
namespace {

UITouch touch(double x, double y, UITouchPhase phase) {
  UITouch t;
  t.locationInWindow = {x, y};
  t.phase = phase;
  return t;
}

// A tap as the window hands it over: down at one point, up at another.
void tap(UIControl& control, CGPoint down, CGPoint up) {
  control.handleTouch(touch(down.x, down.y, UITouchPhase::kBegan));
  control.handleTouch(touch(up.x, up.y, UITouchPhase::kEnded));
}

// Records the events a control sends.
struct Recorder {
  std::vector<UIControlEvents> events;
  void attach(UIControl& control, UIControlEvents mask = UIControlEventAllEvents) {
    control.addTarget(
        this, [this](UIControl&, UIControlEvents e) { events.push_back(e); }, mask);
  }
  int count(UIControlEvents e) const {
    int n = 0;
    for (UIControlEvents x : events) n += x == e;
    return n;
  }
};

class AControl : public ::testing::Test {
 protected:
  void SetUp() override { root_ = std::make_shared<UIView>(CGRectMake(0, 0, 320, 480)); }
  template <class T>
  std::shared_ptr<T> place(std::shared_ptr<T> control, const CGRect& frame) {
    control->setFrame(frame);
    root_->addSubview(control);
    return control;
  }
  UIViewRef root_;
};

TEST_F(AControl, SendsTouchUpInsideOrOutsideByWhereTheTouchEnds) {
  auto button = place(UIButton::buttonWithType(UIButtonType::kSystem), CGRectMake(10, 10, 100, 40));
  Recorder r;
  r.attach(*button);

  button->handleTouch(touch(50, 30, UITouchPhase::kBegan));
  EXPECT_TRUE(button->isHighlighted());
  EXPECT_TRUE(button->isTracking());
  button->handleTouch(touch(200, 30, UITouchPhase::kMoved));
  EXPECT_FALSE(button->isHighlighted()) << "dragged out";
  button->handleTouch(touch(60, 30, UITouchPhase::kMoved));
  EXPECT_TRUE(button->isHighlighted()) << "back in";
  button->handleTouch(touch(60, 30, UITouchPhase::kEnded));
  EXPECT_FALSE(button->isHighlighted());
  EXPECT_EQ(r.events, (std::vector<UIControlEvents>{
                          UIControlEventTouchDown, UIControlEventTouchDragOutside,
                          UIControlEventTouchDragExit, UIControlEventTouchDragInside,
                          UIControlEventTouchDragEnter, UIControlEventTouchUpInside}));

  r.events.clear();
  tap(*button, {50, 30}, {300, 300});
  EXPECT_EQ(r.count(UIControlEventTouchUpOutside), 1);
  EXPECT_EQ(r.count(UIControlEventTouchUpInside), 0);

  r.events.clear();
  button->handleTouch(touch(50, 30, UITouchPhase::kBegan));
  button->handleTouch(touch(50, 30, UITouchPhase::kCancelled));
  EXPECT_EQ(r.count(UIControlEventTouchCancel), 1);
  EXPECT_FALSE(button->isHighlighted());

  // Disabled: touches send nothing; code still can.
  r.events.clear();
  button->setEnabled(false);
  tap(*button, {50, 30}, {50, 30});
  EXPECT_TRUE(r.events.empty());
  button->sendActionsForControlEvents(UIControlEventTouchUpInside);
  EXPECT_EQ(r.count(UIControlEventTouchUpInside), 1);

  // Disabled halfway through a touch: nothing more.
  button->setEnabled(true);
  r.events.clear();
  button->handleTouch(touch(50, 30, UITouchPhase::kBegan));
  button->setEnabled(false);
  button->handleTouch(touch(50, 30, UITouchPhase::kEnded));
  EXPECT_EQ(r.events, (std::vector<UIControlEvents>{UIControlEventTouchDown}));
  EXPECT_FALSE(button->isHighlighted());
}

TEST_F(AControl, AddsAndRemovesActionsByTargetAndByKey) {
  auto control = place(std::make_shared<UIControl>(), CGRectMake(0, 0, 50, 50));
  int a = 0, b = 0, c = 0;
  int ownerA = 0, ownerB = 0;
  control->addTarget(
      &ownerA, [&](UIControl&, UIControlEvents) { ++a; },
      UIControlEventTouchUpInside | UIControlEventValueChanged);
  const auto key = control->addTarget(
      &ownerB, [&](UIControl&, UIControlEvents) { ++b; }, UIControlEventTouchUpInside);
  control->addTarget(
      &ownerB, [&](UIControl&, UIControlEvents) { ++c; }, UIControlEventValueChanged);
  EXPECT_EQ(control->addTarget(&ownerA, nullptr, UIControlEventValueChanged), 0u);
  EXPECT_EQ(control->allControlEvents(), UIControlEventTouchUpInside | UIControlEventValueChanged);

  control->sendActionsForControlEvents(UIControlEventTouchUpInside | UIControlEventValueChanged);
  EXPECT_EQ(a, 2);  // once per event
  EXPECT_EQ(b, 1);
  EXPECT_EQ(c, 1);

  control->removeTarget(&ownerA, UIControlEventValueChanged);  // keeps touch up inside
  control->removeAction(key);
  control->sendActionsForControlEvents(UIControlEventTouchUpInside | UIControlEventValueChanged);
  EXPECT_EQ(a, 3);
  EXPECT_EQ(b, 1);
  EXPECT_EQ(c, 2);

  control->removeTarget(nullptr, UIControlEventAllEvents);
  EXPECT_EQ(control->allControlEvents(), 0u);
}

TEST_F(AControl, SurvivesActionsThatRemoveActionsOrTheControl) {
  auto control = place(std::make_shared<UIControl>(), CGRectMake(0, 0, 50, 50));
  int later = 0;
  UIControl::ActionKey laterKey = 0;
  int owner = 0;
  control->addTarget(
      &owner,
      [&](UIControl& sender, UIControlEvents) {
        sender.removeAction(laterKey);
        sender.removeFromSuperview();  // the last reference but ours
      },
      UIControlEventTouchUpInside);
  laterKey = control->addTarget(
      &owner, [&](UIControl&, UIControlEvents) { ++later; }, UIControlEventTouchUpInside);
  std::weak_ptr<UIControl> weak = control;
  control.reset();
  auto strong = weak.lock();
  ASSERT_TRUE(strong);
  strong.reset();
  weak.lock()->sendActionsForControlEvents(UIControlEventTouchUpInside);
  EXPECT_EQ(later, 0) << "removed by the action before it";
  EXPECT_TRUE(weak.expired());
}

TEST_F(AControl, ButtonTitlesFallBackToTheNormalState) {
  auto button = place(UIButton::buttonWithType(UIButtonType::kCustom), CGRectMake(10, 10, 100, 40));
  EXPECT_FALSE(button->titleForState(UIControlStateNormal));
  button->setTitle("Add", UIControlStateNormal);
  button->setTitle("Adding", UIControlStateHighlighted);
  EXPECT_EQ(button->titleForState(UIControlStateSelected), "Add");
  EXPECT_EQ(button->titleForState(UIControlStateDisabled), "Add");
  EXPECT_EQ(button->titleForState(UIControlStateHighlighted), "Adding");
  EXPECT_EQ(button->titleLabel().text(), "Add");

  button->handleTouch(touch(20, 20, UITouchPhase::kBegan));
  EXPECT_EQ(button->currentTitle(), "Adding");
  EXPECT_EQ(button->titleLabel().text(), "Adding");
  button->handleTouch(touch(20, 20, UITouchPhase::kEnded));
  EXPECT_EQ(button->titleLabel().text(), "Add");

  // Colours: the state's, else normal's, else the type's default.
  EXPECT_EQ(button->titleColorForState(UIControlStateNormal), UIColor::whiteColor());
  button->setTitleColor(UIColor::redColor(), UIControlStateNormal);
  button->setTitleColor(UIColor::blueColor(), UIControlStateSelected);
  EXPECT_EQ(button->titleColorForState(UIControlStateHighlighted), UIColor::redColor());
  button->setSelected(true);
  EXPECT_EQ(button->titleLabel().textColor(), UIColor::blueColor());

  auto system = UIButton::buttonWithType(UIButtonType::kSystem);
  EXPECT_EQ(system->titleColorForState(UIControlStateNormal), system->tintColor());
  EXPECT_EQ(system->titleColorForState(UIControlStateDisabled), UIColor::systemGrayColor());

  // Images likewise.
  EXPECT_FALSE(button->currentImage());
}

TEST_F(AControl, ButtonSizeComesFromTitleImageAndInsets) {
  auto button = UIButton::buttonWithType(UIButtonType::kCustom);
  EXPECT_EQ(button->intrinsicContentSize(), (CGSize{0, 0}));
  button->setTitle("Allow", UIControlStateNormal);
  const CGSize title = button->titleLabel().intrinsicContentSize();
  EXPECT_GT(title.width, 20);
  EXPECT_EQ(button->intrinsicContentSize(), title);

  button->setContentEdgeInsets({4, 10, 6, 12});
  EXPECT_EQ(button->intrinsicContentSize(), (CGSize{title.width + 22, title.height + 10}));

  button->setTitleFont(Font::boldSystemFont(30));
  EXPECT_GT(button->intrinsicContentSize().height, title.height * 1.5);

  // A system button pads its content and is never narrower than 30 points.
  auto system = UIButton::buttonWithType(UIButtonType::kSystem);
  system->setTitle("i", UIControlStateNormal);
  const CGSize small = system->intrinsicContentSize();
  EXPECT_DOUBLE_EQ(small.width, UIButton::kSystemMinimumWidth);
  EXPECT_DOUBLE_EQ(small.height, system->titleLabel().intrinsicContentSize().height + 12);
}

TEST_F(AControl, SwitchTogglesOnATapInsideAndReportsTheChange) {
  auto sw = place(std::make_shared<UISwitch>(), CGRectMake(100, 100, 51, 31));
  EXPECT_EQ(sw->intrinsicContentSize(), (CGSize{51, 31}));
  Recorder r;
  r.attach(*sw, UIControlEventValueChanged);

  sw->setOn(true, true);
  EXPECT_TRUE(sw->isOn());
  EXPECT_TRUE(r.events.empty()) << "set in code: no event";
  sw->setOn(false);

  tap(*sw, {120, 110}, {125, 115});
  EXPECT_TRUE(sw->isOn());
  EXPECT_EQ(r.count(UIControlEventValueChanged), 1);
  tap(*sw, {120, 110}, {10, 10});  // released outside
  EXPECT_TRUE(sw->isOn());
  EXPECT_EQ(r.count(UIControlEventValueChanged), 1);
  tap(*sw, {120, 110}, {120, 110});
  EXPECT_FALSE(sw->isOn());
  EXPECT_EQ(r.count(UIControlEventValueChanged), 2);
}

TEST_F(AControl, SegmentedControlSelectsTheTappedSegment) {
  auto seg =
      place(std::make_shared<UISegmentedControl>(std::vector<std::string>{"Allow", "Deny", "Ask"}),
            CGRectMake(10, 0, 300, 32));
  EXPECT_EQ(seg->selectedSegmentIndex(), UISegmentedControl::kNoSegment);
  EXPECT_EQ(seg->intrinsicContentSize().height, 32);
  EXPECT_GT(seg->intrinsicContentSize().width, 3 * 24);
  Recorder r;
  r.attach(*seg, UIControlEventValueChanged);

  tap(*seg, {160, 10}, {160, 10});  // x 150 in the control: the middle third
  EXPECT_EQ(seg->selectedSegmentIndex(), 1);
  EXPECT_EQ(r.events.size(), 1u);
  tap(*seg, {170, 10}, {170, 10});
  EXPECT_EQ(r.events.size(), 1u) << "the same segment: no change";
  tap(*seg, {305, 10}, {305, 10});
  EXPECT_EQ(seg->selectedSegmentIndex(), 2);
  tap(*seg, {15, 10}, {15, 100});  // released outside
  EXPECT_EQ(seg->selectedSegmentIndex(), 2);
  EXPECT_EQ(r.events.size(), 2u);

  testing::LogCapture log;
  seg->setSelectedSegmentIndex(3);
  EXPECT_EQ(seg->selectedSegmentIndex(), 2);
  EXPECT_EQ(log.lines().size(), 1u);
  seg->insertSegmentWithTitle("Once", 0);
  EXPECT_EQ(seg->selectedSegmentIndex(), 3) << "selection stays on Ask";
  EXPECT_EQ(seg->titleForSegmentAtIndex(3), "Ask");
  seg->removeSegmentAtIndex(3);
  EXPECT_EQ(seg->selectedSegmentIndex(), UISegmentedControl::kNoSegment);
  EXPECT_EQ(r.events.size(), 2u);
}

TEST(AWindow, RoutesATouchSequenceToTheControlItBeganOn) {
  auto window = std::make_shared<UIWindow>(CGRectMake(0, 0, 320, 480));
  EXPECT_FALSE(window->sendTouch(touch(10, 10, UITouchPhase::kBegan))) << "hidden";
  window->setHidden(false);
  auto row = std::make_shared<UIView>(CGRectMake(0, 100, 320, 44));
  window->addSubview(row);
  auto sw = std::make_shared<UISwitch>();
  sw->setFrame(CGRectMake(250, 6, 51, 31));
  row->addSubview(sw);
  auto icon = std::make_shared<UIView>(CGRectMake(10, 5, 20, 20));  // a plain subview
  auto button = UIButton::buttonWithType(UIButtonType::kSystem);
  button->setFrame(CGRectMake(10, 200, 100, 40));
  button->addSubview(icon);
  window->addSubview(button);
  Recorder switchEvents, buttonEvents;
  switchEvents.attach(*sw, UIControlEventValueChanged);
  buttonEvents.attach(*button, UIControlEventTouchUpInside | UIControlEventTouchUpOutside);

  EXPECT_TRUE(window->sendTouch(touch(270, 120, UITouchPhase::kBegan)));
  EXPECT_TRUE(window->sendTouch(touch(272, 121, UITouchPhase::kEnded)));
  EXPECT_TRUE(sw->isOn());
  EXPECT_EQ(switchEvents.events.size(), 1u);

  // On the button's plain subview: the button takes it, and keeps it when
  // the finger moves off.
  EXPECT_TRUE(window->sendTouch(touch(25, 215, UITouchPhase::kBegan)));
  EXPECT_TRUE(window->sendTouch(touch(25, 400, UITouchPhase::kMoved)));
  EXPECT_TRUE(window->sendTouch(touch(25, 400, UITouchPhase::kEnded)));
  EXPECT_EQ(buttonEvents.events, (std::vector<UIControlEvents>{UIControlEventTouchUpOutside}));

  // On no control: the window's own view takes it, and no control acts.
  window->sendTouch(touch(100, 400, UITouchPhase::kBegan));
  window->sendTouch(touch(100, 400, UITouchPhase::kEnded));
  EXPECT_EQ(buttonEvents.events.size(), 1u);
  EXPECT_EQ(switchEvents.events.size(), 1u);

  // A text field tapped becomes first responder.
  auto field = std::make_shared<UITextField>();
  field->setFrame(CGRectMake(0, 300, 200, 34));
  window->addSubview(field);
  window->sendTouch(touch(20, 310, UITouchPhase::kBegan));
  window->sendTouch(touch(20, 310, UITouchPhase::kEnded));
  EXPECT_EQ(window->firstResponder(), field.get());
  window->setHidden(true);
}

class ATextField : public ::testing::Test {
 protected:
  void SetUp() override {
    window_ = std::make_shared<UIWindow>(CGRectMake(0, 0, 320, 480));
    field_ = std::make_shared<UITextField>();
    field_->setFrame(CGRectMake(10, 10, 200, 34));
    window_->addSubview(field_);
    recorder_.attach(*field_);
  }
  std::shared_ptr<UIWindow> window_;
  std::shared_ptr<UITextField> field_;
  Recorder recorder_;
};

TEST_F(ATextField, TypesAndDeletesWhileFirstResponder) {
  testing::LogCapture log;
  field_->insertText("x");
  EXPECT_EQ(field_->text(), "") << "not editing";
  EXPECT_TRUE(log.contains("not editing"));

  ASSERT_TRUE(field_->becomeFirstResponder());
  EXPECT_EQ(window_->firstResponder(), field_.get());
  field_->insertText("ab");
  field_->insertText("\xc3\xa9");          // é
  field_->insertText("\xf0\x9f\x94\x92");  // a four-byte emoji
  EXPECT_EQ(field_->text(), "ab\xc3\xa9\xf0\x9f\x94\x92");
  EXPECT_EQ(recorder_.count(UIControlEventEditingChanged), 3);

  field_->deleteBackward();
  EXPECT_EQ(field_->text(), "ab\xc3\xa9");
  field_->deleteBackward();
  EXPECT_EQ(field_->text(), "ab") << "a whole character at a time";
  field_->insertText("c\nd");
  EXPECT_EQ(field_->text(), "abc d");
  field_->insertText("\xc3");  // half a character from the page
  EXPECT_EQ(field_->text(), "abc d");
  field_->setText("ok\xff");
  field_->deleteBackward();
  EXPECT_EQ(field_->text(), "ok") << "a stray byte goes alone";
  field_->setText("");
  const int changes = recorder_.count(UIControlEventEditingChanged);
  field_->deleteBackward();
  EXPECT_EQ(recorder_.count(UIControlEventEditingChanged), changes) << "nothing to delete";

  field_->insertText("\n");
  EXPECT_EQ(recorder_.count(UIControlEventEditingDidEndOnExit), 1);

  field_->setSecureTextEntry(true);
  field_->setText("p\xc3\xa9w");
  EXPECT_EQ(field_->displayText(), "\u2022\u2022\u2022");
}

TEST_F(ATextField, DrawsItsTextInsideTheBorderStylesPaddingWhichItsSizeIncludes) {
  const CGRect bounds = CGRectMake(0, 0, 200, 34);
  EXPECT_EQ(field_->textRectForBounds(bounds), bounds) << "no border, no padding";
  field_->setPlaceholder("Type a note");
  const CGSize bare = field_->intrinsicContentSize();
  for (auto [style, pad] :
       {std::pair{UITextBorderStyle::kLine, 4.0}, std::pair{UITextBorderStyle::kBezel, 4.0},
        std::pair{UITextBorderStyle::kRoundedRect, 7.0}}) {
    field_->setBorderStyle(style);
    EXPECT_EQ(field_->textRectForBounds(bounds), CGRectMake(pad, pad, 200 - 2 * pad, 34 - 2 * pad))
        << static_cast<int>(style);
    // Sized to its content, the text rect is just the text's size.
    const CGSize sized = field_->intrinsicContentSize();
    EXPECT_EQ(sized, (CGSize{bare.width + 2 * pad, bare.height + 2 * pad}));
  }
}

TEST_F(ATextField, AsksItsDelegateBeforeEachChange) {
  std::vector<std::pair<NSRange, std::string>> asked;
  UITextFieldDelegate delegate;
  delegate.shouldChangeCharacters = [&](UITextField&, NSRange range, const std::string& s) {
    asked.emplace_back(range, s);
    return s.find_first_of("0123456789") == std::string::npos;
  };
  field_->setDelegate(delegate);
  field_->setText("port");
  ASSERT_TRUE(field_->becomeFirstResponder());
  field_->insertText("s");
  field_->insertText("8");
  field_->deleteBackward();
  EXPECT_EQ(field_->text(), "port");
  ASSERT_EQ(asked.size(), 3u);
  EXPECT_EQ(asked[0], (std::pair<NSRange, std::string>{{4, 0}, "s"}));
  EXPECT_EQ(asked[1], (std::pair<NSRange, std::string>{{5, 0}, "8"}));
  EXPECT_EQ(asked[2], (std::pair<NSRange, std::string>{{4, 1}, ""}));
  EXPECT_EQ(recorder_.count(UIControlEventEditingChanged), 2) << "the refused digit sent nothing";
}

TEST_F(ATextField, HandsFirstResponderOverWithinItsWindow) {
  auto loose = std::make_shared<UITextField>();
  EXPECT_FALSE(loose->becomeFirstResponder()) << "not in a window";

  auto other = std::make_shared<UITextField>();
  window_->addSubview(other);
  ASSERT_TRUE(field_->becomeFirstResponder());
  EXPECT_EQ(recorder_.count(UIControlEventEditingDidBegin), 1);
  ASSERT_TRUE(other->becomeFirstResponder());
  EXPECT_FALSE(field_->isFirstResponder());
  EXPECT_EQ(recorder_.count(UIControlEventEditingDidEnd), 1);
  EXPECT_EQ(window_->firstResponder(), other.get());

  other->removeFromSuperview();
  EXPECT_EQ(window_->firstResponder(), nullptr);
  other.reset();
  EXPECT_EQ(window_->firstResponder(), nullptr);

  field_->setBorderStyle(UITextBorderStyle::kRoundedRect);
  field_->setKeyboardType(UIKeyboardType::kURL);
  EXPECT_EQ(static_cast<int>(field_->keyboardType()), 3);
  field_->setPlaceholder("host name");
  const CGSize placeholder = field_->intrinsicContentSize();
  EXPECT_GT(placeholder.width, 14);
  EXPECT_GT(placeholder.height, 14 + 15);
}

}  // namespace
}  // namespace sentrel::uikit
