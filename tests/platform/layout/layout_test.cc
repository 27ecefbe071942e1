#include "platform/layout/layout.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>

namespace sentrel::layout {
namespace {

constexpr double kTolerance = 1e-6;

LayoutConstraint make(LayoutItemRef a, Attribute aa, Relation r, LayoutItemRef b, Attribute ba,
                      double m = 1, double c = 0, double p = kPriorityRequired) {
  auto result = LayoutConstraint::make(std::move(a), aa, r, std::move(b), ba, m, c, p);
  EXPECT_TRUE(result.ok()) << result.reason();
  return result.ok() ? *result : LayoutConstraint();
}

void expectFrame(const LayoutItemRef& item, Rect want) {
  Rect f = item->frame();
  EXPECT_NEAR(f.x, want.x, kTolerance) << item->name();
  EXPECT_NEAR(f.y, want.y, kTolerance) << item->name();
  EXPECT_NEAR(f.width, want.width, kTolerance) << item->name();
  EXPECT_NEAR(f.height, want.height, kTolerance) << item->name();
}

class ALayoutEngine : public ::testing::Test {
 protected:
  void SetUp() override {
    root = std::make_shared<LayoutItem>("root");
    box = std::make_shared<LayoutItem>("box");
    ASSERT_TRUE(engine.setFrame(root, {0, 0, 320, 480}).ok());
  }
  LayoutEngine engine;
  LayoutItemRef root, box;
};

TEST(ALayoutItem, DerivesEveryAttributeFromItsFrameAndMargins) {
  LayoutEngine engine;
  auto item = std::make_shared<LayoutItem>("item");
  ASSERT_TRUE(engine.setFrame(item, {10, 20, 100, 50}).ok());
  ASSERT_TRUE(engine.setLayoutMargins(item, {1, 2, 3, 4}).ok());
  ASSERT_TRUE(engine.setBaselineOffsetFromBottom(item, 5).ok());
  engine.layout();
  auto value = [&](Attribute a, LayoutDirection d = LayoutDirection::kLeftToRight) {
    return item->expression(a, d).value();
  };
  EXPECT_EQ(value(Attribute::kRight), 110);
  EXPECT_EQ(value(Attribute::kBottom), 70);
  EXPECT_EQ(value(Attribute::kCenterX), 60);
  EXPECT_EQ(value(Attribute::kCenterY), 45);
  EXPECT_EQ(value(Attribute::kLeading), 10);
  EXPECT_EQ(value(Attribute::kLeading, LayoutDirection::kRightToLeft), 110);
  EXPECT_EQ(value(Attribute::kTrailing, LayoutDirection::kRightToLeft), 10);
  EXPECT_EQ(value(Attribute::kLeftMargin), 12);
  EXPECT_EQ(value(Attribute::kRightMargin), 106);
  EXPECT_EQ(value(Attribute::kTopMargin), 21);
  EXPECT_EQ(value(Attribute::kBottomMargin), 67);
  EXPECT_EQ(value(Attribute::kLeadingMargin, LayoutDirection::kRightToLeft), 106);
  EXPECT_EQ(value(Attribute::kCenterXWithinMargins), 59);
  EXPECT_EQ(value(Attribute::kCenterYWithinMargins), 44);
  EXPECT_EQ(value(Attribute::kLastBaseline), 65);
}

TEST(ALayoutConstraint, RefusesWhatThePlatformRefuses) {
  auto a = std::make_shared<LayoutItem>("a");
  auto b = std::make_shared<LayoutItem>("b");
  auto bad = [&](LayoutItemRef x, Attribute xa, LayoutItemRef y, Attribute ya, double m = 1,
                 double c = 0, double p = kPriorityRequired) {
    return !LayoutConstraint::make(x, xa, Relation::kEqual, y, ya, m, c, p).ok();
  };
  EXPECT_TRUE(bad(nullptr, Attribute::kWidth, nullptr, Attribute::kNotAnAttribute));
  EXPECT_TRUE(bad(a, Attribute::kLeft, nullptr, Attribute::kNotAnAttribute));
  EXPECT_TRUE(bad(a, Attribute::kWidth, b, Attribute::kLeft));
  EXPECT_TRUE(bad(a, Attribute::kTop, b, Attribute::kLeading));
  EXPECT_TRUE(bad(a, Attribute::kTop, b, Attribute::kBottom, 0));
  EXPECT_TRUE(bad(a, Attribute::kWidth, nullptr, Attribute::kNotAnAttribute, 1, INFINITY));
  EXPECT_TRUE(bad(a, Attribute::kWidth, nullptr, Attribute::kNotAnAttribute, 1, 0, 0));
  EXPECT_TRUE(bad(a, Attribute::kWidth, b, Attribute::kNotAnAttribute));
  // Sizes may relate across axes (aspect ratios).
  EXPECT_FALSE(bad(a, Attribute::kWidth, b, Attribute::kHeight, 2));
  EXPECT_FALSE(bad(a, Attribute::kWidth, nullptr, Attribute::kNotAnAttribute, 1, 44));
}

TEST_F(ALayoutEngine, SolvesAnchorsMultipliersAndConstants) {
  ASSERT_TRUE(
      engine
          .activate(
              {make(box, Attribute::kCenterX, Relation::kEqual, root, Attribute::kCenterX),
               make(box, Attribute::kWidth, Relation::kEqual, root, Attribute::kWidth, 0.5),
               make(box, Attribute::kTop, Relation::kEqual, root, Attribute::kTopMargin, 1, 12),
               make(box, Attribute::kHeight, Relation::kEqual, box, Attribute::kWidth, 0.25)})
          .ok());
  engine.layout();
  expectFrame(box, {80, 20, 160, 40});
  EXPECT_EQ(engine.activeConstraints().size(), 4u);
}

TEST_F(ALayoutEngine, RefusesAConflictingRequiredConstraintAndLeavesItInactive) {
  auto width =
      make(box, Attribute::kWidth, Relation::kEqual, nullptr, Attribute::kNotAnAttribute, 1, 100);
  auto inside = make(box, Attribute::kWidth, Relation::kLessThanOrEqual, root, Attribute::kWidth);
  ASSERT_TRUE(engine.activate({width, inside}).ok());
  auto wide = make(box, Attribute::kWidth, Relation::kGreaterThanOrEqual, nullptr,
                   Attribute::kNotAnAttribute, 1, 400);
  Status s = engine.activate(wide);
  ASSERT_FALSE(s.ok());
  EXPECT_NE(s.reason().find("box.width >= 400"), std::string::npos) << s.reason();
  EXPECT_FALSE(wide.isActive());

  // The list form is all or nothing.
  auto left = make(box, Attribute::kLeft, Relation::kEqual, root, Attribute::kLeft, 1, 5);
  ASSERT_FALSE(engine.activate({left, wide}).ok());
  EXPECT_FALSE(left.isActive());
  EXPECT_EQ(engine.activeConstraints().size(), 2u);

  // The same at a lower priority is simply outweighed.
  ASSERT_TRUE(engine.setPriority(wide, 999).ok());
  ASSERT_TRUE(engine.activate(wide).ok());
  engine.layout();
  EXPECT_NEAR(box->frame().width, 100, kTolerance);
  EXPECT_FALSE(engine.setPriority(wide, kPriorityRequired).ok());  // optional <-> required
}

TEST_F(ALayoutEngine, ChangesConstantsOfActiveConstraints) {
  auto top = make(box, Attribute::kTop, Relation::kEqual, root, Attribute::kTop, 1, 10);
  auto height =
      make(box, Attribute::kHeight, Relation::kEqual, nullptr, Attribute::kNotAnAttribute, 1, 50);
  auto inside = make(box, Attribute::kBottom, Relation::kLessThanOrEqual, root, Attribute::kBottom);
  ASSERT_TRUE(engine.activate({top, height, inside}).ok());
  ASSERT_TRUE(engine.setConstant(top, 200).ok());
  engine.layout();
  EXPECT_NEAR(box->frame().y, 200, kTolerance);

  Status s = engine.setConstant(top, 470);  // would push the bottom out of the root
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(top.constant(), 200);
  engine.layout();
  EXPECT_NEAR(box->frame().y, 200, kTolerance);

  engine.deactivate(top);
  EXPECT_FALSE(top.isActive());
  ASSERT_TRUE(engine.setConstant(top, 470).ok());  // inactive: just stored
  EXPECT_EQ(top.constant(), 470);
}

TEST_F(ALayoutEngine, SizesItemsByContentHuggingAndCompressionResistance) {
  auto label = std::make_shared<LayoutItem>("label");
  auto button = std::make_shared<LayoutItem>("button");
  ASSERT_TRUE(engine.setIntrinsicContentSize(label, {200, 20}).ok());
  ASSERT_TRUE(engine.setIntrinsicContentSize(button, {200, 44}).ok());
  ASSERT_TRUE(engine.setContentCompressionResistancePriority(button, Axis::kHorizontal, 760).ok());
  // label and button side by side in 320 points: something must give.
  ASSERT_TRUE(
      engine
          .activate(
              {make(label, Attribute::kLeading, Relation::kEqual, root, Attribute::kLeading),
               make(button, Attribute::kLeading, Relation::kEqual, label, Attribute::kTrailing),
               make(button, Attribute::kTrailing, Relation::kEqual, root, Attribute::kTrailing)})
          .ok());
  engine.layout();
  EXPECT_NEAR(button->frame().width, 200, kTolerance);  // resists harder
  EXPECT_NEAR(label->frame().width, 120, kTolerance);
  EXPECT_NEAR(button->frame().height, 44, kTolerance);

  // Changing the intrinsic size moves the layout.
  ASSERT_TRUE(engine.setIntrinsicContentSize(button, {100, 44}).ok());
  ASSERT_TRUE(engine.setContentHuggingPriority(button, Axis::kHorizontal, 260).ok());
  engine.layout();
  EXPECT_NEAR(button->frame().width, 100, kTolerance);
  EXPECT_NEAR(label->frame().width, 220, kTolerance);  // hugs less than the button
  ASSERT_TRUE(engine.setContentHuggingPriority(label, Axis::kHorizontal, 800).ok());
  engine.layout();
  EXPECT_NEAR(label->frame().width, 200, kTolerance);
  EXPECT_NEAR(button->frame().width, 120, kTolerance);

  EXPECT_FALSE(engine.setIntrinsicContentSize(label, {-5, 1}).ok());
  EXPECT_FALSE(engine.setContentHuggingPriority(label, Axis::kVertical, 1001).ok());
}

TEST_F(ALayoutEngine, FollowsLayoutMarginChanges) {
  ASSERT_TRUE(
      engine
          .activate(
              {make(box, Attribute::kLeading, Relation::kEqual, root, Attribute::kLeadingMargin),
               make(box, Attribute::kTrailing, Relation::kEqual, root, Attribute::kTrailingMargin),
               make(box, Attribute::kTop, Relation::kEqual, root, Attribute::kTopMargin),
               make(box, Attribute::kBottom, Relation::kEqual, root, Attribute::kBottomMargin)})
          .ok());
  engine.layout();
  expectFrame(box, {8, 8, 304, 464});
  ASSERT_TRUE(engine.setLayoutMargins(root, {20, 10, 30, 40}).ok());
  engine.layout();
  expectFrame(box, {10, 20, 270, 430});
}

TEST_F(ALayoutEngine, DropsEverythingNamingARemovedItem) {
  auto pinned = make(box, Attribute::kWidth, Relation::kEqual, root, Attribute::kWidth);
  ASSERT_TRUE(engine.activate(pinned).ok());
  ASSERT_TRUE(engine.setIntrinsicContentSize(box, {10, 10}).ok());
  engine.removeItem(box);
  EXPECT_FALSE(pinned.isActive());
  EXPECT_TRUE(engine.activeConstraints().empty());
  EXPECT_EQ(engine.solver().constraintCount(), 4u);  // the root's frame only
}

TEST(ALayoutEngineLifetime, DeactivatesItsConstraintsWhenDestroyed) {
  auto a = std::make_shared<LayoutItem>("a");
  auto c = make(a, Attribute::kWidth, Relation::kEqual, nullptr, Attribute::kNotAnAttribute, 1, 3);
  {
    LayoutEngine engine;
    ASSERT_TRUE(engine.activate(c).ok());
    LayoutEngine other;
    EXPECT_FALSE(other.activate(c).ok());  // active elsewhere
  }
  EXPECT_FALSE(c.isActive());
  LayoutEngine again;
  EXPECT_TRUE(again.activate(c).ok());
}

}  // namespace
}  // namespace sentrel::layout
