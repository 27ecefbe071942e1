#include "platform/layout/visual_format.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace sentrel::layout {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

constexpr double kTolerance = 1e-6;

LayoutItemRef child(const std::string& name, const LayoutItemRef& super) {
  auto item = std::make_shared<LayoutItem>(name);
  item->setSuperitem(super);
  return item;
}

std::vector<std::string> describe(const std::vector<LayoutConstraint>& constraints) {
  std::vector<std::string> out;
  for (const LayoutConstraint& c : constraints) out.push_back(c.description());
  return out;
}

std::vector<LayoutConstraint> parse(std::string_view format, const Views& views,
                                    const Metrics& metrics = {}, std::uint32_t options = 0) {
  auto result = constraintsWithVisualFormat(format, options, metrics, views);
  EXPECT_TRUE(result.ok()) << format << ": " << result.reason();
  return result.ok() ? *result : std::vector<LayoutConstraint>{};
}

LayoutConstraint make(LayoutItemRef a, Attribute aa, Relation r, LayoutItemRef b, Attribute ba,
                      double m = 1, double c = 0, double p = kPriorityRequired) {
  return *LayoutConstraint::make(std::move(a), aa, r, std::move(b), ba, m, c, p);
}

void expectFrame(const LayoutItemRef& item, Rect want) {
  Rect f = item->frame();
  EXPECT_NEAR(f.x, want.x, kTolerance) << item->name();
  EXPECT_NEAR(f.y, want.y, kTolerance) << item->name();
  EXPECT_NEAR(f.width, want.width, kTolerance) << item->name();
  EXPECT_NEAR(f.height, want.height, kTolerance) << item->name();
}

// The alert card: a title, a message, an empty content container and text
// field container, and a vertical stack of four buttons.
class AnAlertCard : public ::testing::Test {
 protected:
  void SetUp() override {
    root = std::make_shared<LayoutItem>("root");
    card = child("card", root);
    for (const char* name : {"_contentViewContainerView", "_titleLabel", "_messageTextView",
                             "_textFieldContainerView", "_actionButtonContainerView"}) {
      views[name] = child(name, card);
    }
    buttons = child("buttons", card);
  }

  // The card's own formats, exactly as the alert view writes them.
  std::vector<LayoutConstraint> cardFormats() {
    std::vector<LayoutConstraint> all;
    for (const char* format :
         {"H:|-[_titleLabel]-|", "H:|-[_messageTextView]-|", "H:|[_contentViewContainerView]|",
          "H:|[_textFieldContainerView]|", "H:|[_actionButtonContainerView]|",
          "V:|[_contentViewContainerView(0@250)]-[_titleLabel]-2-[_messageTextView]"
          "[_textFieldContainerView(0@250)]-8-[_actionButtonContainerView]|"}) {
      auto part = parse(format, views);
      all.insert(all.end(), part.begin(), part.end());
    }
    return all;
  }

  void buildCard(double screenWidth, double screenHeight) {
    ASSERT_TRUE(engine.setFrame(root, {0, 0, screenWidth, screenHeight}).ok());
    ASSERT_TRUE(engine.setIntrinsicContentSize(views["_titleLabel"], {120, 20.5}).ok());
    ASSERT_TRUE(engine
                    .setContentCompressionResistancePriority(views["_titleLabel"], Axis::kVertical,
                                                             kPriorityRequired)
                    .ok());
    ASSERT_TRUE(
        engine.setContentHuggingPriority(views["_messageTextView"], Axis::kVertical, 0).ok());
    ASSERT_TRUE(
        engine
            .activate({make(card, Attribute::kCenterX, Relation::kEqual, root, Attribute::kCenterX),
                       make(card, Attribute::kCenterY, Relation::kEqual, root, Attribute::kCenterY),
                       make(card, Attribute::kWidth, Relation::kEqual, nullptr,
                            Attribute::kNotAnAttribute, 1, 300),
                       make(card, Attribute::kHeight, Relation::kLessThanOrEqual, root,
                            Attribute::kHeight, 0.9),
                       make(views["_messageTextView"], Attribute::kHeight, Relation::kEqual,
                            nullptr, Attribute::kNotAnAttribute, 1, 40, kPriorityDefaultHigh)})
            .ok());
    ASSERT_TRUE(engine.activate(cardFormats()).ok());
    // Four buttons stacked in the action container.
    Views stack{{"c", views["_actionButtonContainerView"]}};
    for (int i = 0; i < 4; ++i) {
      auto b = child("b" + std::to_string(i), views["_actionButtonContainerView"]);
      ASSERT_TRUE(engine.setIntrinsicContentSize(b, {80, 44}).ok());
      ASSERT_TRUE(
          engine.setContentCompressionResistancePriority(b, Axis::kVertical, kPriorityRequired)
              .ok());
      stack["b" + std::to_string(i)] = b;
      ASSERT_TRUE(engine.activate(parse("H:|[b" + std::to_string(i) + "]|", stack)).ok());
    }
    ASSERT_TRUE(engine.activate(parse("V:|[b0][b1(==b0)][b2(==b1)][b3(==b2)]|", stack)).ok());
    stackViews = stack;
  }

  LayoutEngine engine;
  LayoutItemRef root, card, buttons;
  Views views, stackViews;
};

TEST_F(AnAlertCard, TurnsEveryFormatOfTheAlertViewIntoThePlatformsConstraints) {
  EXPECT_THAT(describe(parse("H:|-[_titleLabel]-|", views)),
              ElementsAre("_titleLabel.leading == card.leadingMargin",
                          "card.trailingMargin == _titleLabel.trailing"));
  EXPECT_THAT(describe(parse("H:|-[_messageTextView]-|", views)),
              ElementsAre("_messageTextView.leading == card.leadingMargin",
                          "card.trailingMargin == _messageTextView.trailing"));
  for (const char* name :
       {"_contentViewContainerView", "_textFieldContainerView", "_actionButtonContainerView"}) {
    EXPECT_THAT(describe(parse(std::string("H:|[") + name + "]|", views)),
                ElementsAre(std::string(name) + ".leading == card.leading",
                            std::string("card.trailing == ") + name + ".trailing"));
  }
  EXPECT_THAT(
      describe(parse("V:|[_contentViewContainerView(0@250)]-[_titleLabel]-2-[_messageTextView]"
                     "[_textFieldContainerView(0@250)]-8-[_actionButtonContainerView]|",
                     views)),
      ElementsAre("_contentViewContainerView.height == 0 @250",
                  "_textFieldContainerView.height == 0 @250",
                  "_contentViewContainerView.top == card.top",
                  "_titleLabel.top == _contentViewContainerView.bottom + 8",
                  "_messageTextView.top == _titleLabel.bottom + 2",
                  "_textFieldContainerView.top == _messageTextView.bottom",
                  "_actionButtonContainerView.top == _textFieldContainerView.bottom + 8",
                  "card.bottom == _actionButtonContainerView.bottom"));

  // The text-field formats.
  auto container = views["_textFieldContainerView"];
  Views fields{{"previousTextField", child("previousTextField", container)},
               {"textField", child("textField", container)}};
  EXPECT_THAT(describe(parse("H:|-[textField]-|", fields)),
              ElementsAre("textField.leading == _textFieldContainerView.leadingMargin",
                          "_textFieldContainerView.trailingMargin == textField.trailing"));
  EXPECT_THAT(describe(parse("V:[previousTextField]-[textField]", fields)),
              ElementsAre("textField.top == previousTextField.bottom + 8"));
  EXPECT_THAT(describe(parse("V:[textField]|", fields)),
              ElementsAre("_textFieldContainerView.bottom == textField.bottom"));
}

TEST_F(AnAlertCard, LaysOutAsThePlatformDoes) {
  buildCard(375, 667);
  engine.layout();
  // Height: 0 + 8 + 20.5 + 2 + 40 + 0 + 8 + 4 * 44 = 254.5, centred.
  expectFrame(card, {37.5, 206.25, 300, 254.5});
  expectFrame(views["_contentViewContainerView"], {37.5, 206.25, 300, 0});
  expectFrame(views["_titleLabel"], {45.5, 214.25, 284, 20.5});
  expectFrame(views["_messageTextView"], {45.5, 236.75, 284, 40});
  expectFrame(views["_textFieldContainerView"], {37.5, 276.75, 300, 0});
  expectFrame(views["_actionButtonContainerView"], {37.5, 284.75, 300, 176});
  for (int i = 0; i < 4; ++i) {
    expectFrame(stackViews["b" + std::to_string(i)], {37.5, 284.75 + 44 * i, 300, 44});
  }

  // The swipe moves the card through its centring constant.
  auto centring = engine.activeConstraints()[1];
  ASSERT_EQ(centring.firstAttribute(), Attribute::kCenterY);
  ASSERT_TRUE(engine.setConstant(centring, -100).ok());
  engine.layout();
  EXPECT_NEAR(card->frame().y, 106.25, kTolerance);
  EXPECT_NEAR(stackViews["b3"]->frame().y, 106.25 + 254.5 - 44, kTolerance);
}

TEST_F(AnAlertCard, StacksTextFieldsUnderTheContainerMargin) {
  ASSERT_TRUE(engine.setFrame(root, {0, 0, 300, 500}).ok());
  auto container = views["_textFieldContainerView"];
  container->setSuperitem(root);
  Views fields{{"first", child("first", container)}, {"second", child("second", container)}};
  for (const auto& [name, field] : fields) {
    ASSERT_TRUE(engine.setIntrinsicContentSize(field, {100, 30}).ok());
  }
  ASSERT_TRUE(
      engine
          .activate(
              {make(container, Attribute::kLeading, Relation::kEqual, root, Attribute::kLeading),
               make(container, Attribute::kTop, Relation::kEqual, root, Attribute::kTop),
               make(container, Attribute::kWidth, Relation::kEqual, root, Attribute::kWidth),
               make(fields["first"], Attribute::kTop, Relation::kEqual, container,
                    Attribute::kTopMargin)})
          .ok());
  for (const char* format :
       {"H:|-[first]-|", "H:|-[second]-|", "V:[first]-[second]", "V:[second]|"}) {
    ASSERT_TRUE(engine.activate(parse(format, fields)).ok()) << format;
  }
  engine.layout();
  expectFrame(fields["first"], {8, 8, 284, 30});
  expectFrame(fields["second"], {8, 46, 284, 30});
  expectFrame(container, {0, 0, 300, 76});
}

class AVisualFormat : public ::testing::Test {
 protected:
  void SetUp() override {
    super = std::make_shared<LayoutItem>("super");
    for (const char* name : {"a", "b", "c", "label", "button"}) views[name] = child(name, super);
  }
  LayoutEngine engine;
  LayoutItemRef super;
  Views views;
};

TEST_F(AVisualFormat, ParsesPredicatesAndInequalities) {
  EXPECT_THAT(describe(parse("V:|-8-[a(>=44@750)]-(>=0)-[b(==a)]|", views)),
              ElementsAre("a.height >= 44 @750", "b.height == a.height", "a.top == super.top + 8",
                          "b.top >= a.bottom", "super.bottom == b.bottom"));
  EXPECT_THAT(describe(parse("H:[button]-(12)-|", views)),
              ElementsAre("super.trailing == button.trailing + 12"));
  EXPECT_THAT(describe(parse("[a(>=50,<=100@999)] - ( >= 4 , <=20) - [b(-5)]", views)),
              ElementsAre("a.width >= 50", "a.width <= 100 @999", "b.width == -5",
                          "b.leading >= a.trailing + 4", "b.leading <= a.trailing + 20"));

  ASSERT_TRUE(engine.setFrame(super, {0, 0, 100, 200}).ok());
  ASSERT_TRUE(engine.setIntrinsicContentSize(views["a"], {kNoIntrinsicMetric, 44}).ok());
  ASSERT_TRUE(engine.activate(parse("V:|-8-[a(>=44@750)]-(>=0)-[b(==a)]|", views)).ok());
  engine.layout();
  EXPECT_NEAR(views["a"]->frame().y, 8, kTolerance);
  EXPECT_NEAR(views["a"]->frame().height, 44, kTolerance);
  EXPECT_NEAR(views["b"]->frame().y, 156, kTolerance);
  EXPECT_NEAR(views["b"]->frame().height, 44, kTolerance);
}

TEST_F(AVisualFormat, UsesMetrics) {
  Metrics metrics{{"pad", 20}, {"w", 50}, {"gap", 4}, {"p", 500}};
  EXPECT_THAT(describe(parse("H:|-pad-[a(w)]-(>=gap@p)-[b]-pad-|", views, metrics)),
              ElementsAre("a.width == 50", "a.leading == super.leading + 20",
                          "b.leading >= a.trailing + 4 @500", "super.trailing == b.trailing + 20"));
}

TEST_F(AVisualFormat, AlignsAcrossTheAxisAndHonoursDirection) {
  EXPECT_THAT(
      describe(parse("H:[a]-[b]-[c]", views, {}, kAlignAllCenterY | kAlignAllTop)),
      ElementsAre("b.leading == a.trailing + 8", "c.leading == b.trailing + 8", "b.top == a.top",
                  "c.top == b.top", "b.centerY == a.centerY", "c.centerY == b.centerY"));
  auto along = constraintsWithVisualFormat("H:[a]-[b]", kAlignAllLeading, {}, views);
  ASSERT_FALSE(along.ok());
  EXPECT_THAT(along.reason(), HasSubstr("cannot align all leading in a horizontal format"));
  EXPECT_FALSE(constraintsWithVisualFormat("H:[a]", kDirectionMask, {}, views).ok());
  EXPECT_FALSE(constraintsWithVisualFormat("H:[a]", 1u << 20, {}, views).ok());

  // Right to left: the first view sits at the right edge.
  ASSERT_TRUE(engine.setFrame(super, {0, 0, 200, 100}).ok());
  ASSERT_TRUE(
      engine.activate(parse("H:|-10-[a(30)]-[b(40)]", views, {}, kDirectionRightToLeft)).ok());
  engine.layout();
  EXPECT_NEAR(views["a"]->frame().x, 160, kTolerance);
  EXPECT_NEAR(views["b"]->frame().x, 112, kTolerance);
}

TEST_F(AVisualFormat, ReportsMalformedFormatsWithTheirPosition) {
  views["orphan"] = std::make_shared<LayoutItem>("orphan");
  Metrics metrics{{"m", 3}};
  struct Case {
    const char* format;
    const char* message;
  };
  const Case cases[] = {
      {"", "expected '[' at position 0"},
      {"|", "expected '[' at position 1"},
      {"X:[a]", "expected '[' at position 0"},
      {"H:|-[label-|", "expected ']' at position 10"},
      {"H:|-[nope]-|", "unknown view 'nope' at position 5"},
      {"H:[a]-[b", "expected ']' at position 8"},
      {"H:[a]-", "expected a spacing, '(', '[' or '|' after '-' at position 6"},
      {"H:[a(>=)]", "expected a number at position 7"},
      {"H:[a(44@2000)]", "priority must be in (0, 1000] at position 8"},
      {"H:[a(44@0)]", "priority must be in (0, 1000] at position 8"},
      {"H:[a]-(==b)-[b]", "unknown metric 'b' at position 9"},
      {"H:[a]-x-[b]", "unknown metric 'x' at position 6"},
      {"H:[a]]", "expected '[', '-' or '|' at position 5"},
      {"H:[a(1e999)]", "bad number at position 5"},
      {"H:[a(nan)]", "unknown metric or view 'nan' at position 5"},
      {"H:[a]-(-)-[b]", "expected a number at position 7"},
      {"H:[a]--5-[b]", "cannot have a sign at position 6"},
      {"H:[a][b]|x", "unexpected characters after the format at position 9"},
      {"H:|[orphan]", "view 'orphan' has no superview for '|' at position 2"},
      {"H:[a(m", "expected ')' at position 6"},
      {"H:[a]-m", "expected '-' at position 7"},
      {"H:[]", "expected a name at position 3"},
  };
  for (const Case& c : cases) {
    auto result = constraintsWithVisualFormat(c.format, 0, metrics, views);
    ASSERT_FALSE(result.ok()) << c.format;
    EXPECT_THAT(result.reason(), HasSubstr(c.message)) << c.format;
    EXPECT_THAT(result.reason(), HasSubstr(std::string("\"") + c.format + "\"")) << c.format;
  }
}

}  // namespace
}  // namespace sentrel::layout
