#include <gtest/gtest.h>

#include <cmath>
#include <memory>

#include "platform/uikit/stack_view.h"
#include "platform/uikit/view.h"

namespace sentrel::uikit {
namespace {

UIViewRef makeView(double x, double y, double w, double h) {
  return std::make_shared<UIView>(CGRectMake(x, y, w, h));
}

UIViewRef constrained() {
  auto v = std::make_shared<UIView>();
  v->setTranslatesAutoresizingMaskIntoConstraints(false);
  return v;
}

class SizedView : public UIView {
 public:
  explicit SizedView(CGSize size) : size_(size) {
    setTranslatesAutoresizingMaskIntoConstraints(false);
  }
  CGSize intrinsicContentSize() const override { return size_; }
  void setSize(CGSize size) {
    size_ = size;
    invalidateIntrinsicContentSize();
  }

 private:
  CGSize size_;
};

void expectFrame(const UIViewRef& v, double x, double y, double w, double h) {
  const CGRect f = v->frame();
  EXPECT_NEAR(f.origin.x, x, 1e-6) << "x";
  EXPECT_NEAR(f.origin.y, y, 1e-6) << "y";
  EXPECT_NEAR(f.size.width, w, 1e-6) << "width";
  EXPECT_NEAR(f.size.height, h, 1e-6) << "height";
}

TEST(AutoLayoutTest, NestedViewsGetFramesRelativeToTheirSuperviews) {
  auto root = makeView(0, 0, 400, 800);
  auto card = constrained();
  auto inner = constrained();
  root->addSubview(card);
  card->addSubview(inner);
  ASSERT_TRUE(NSLayoutConstraint::activateConstraints(
                  {
                      card->leadingAnchor().constraintEqualToAnchor(root->leadingAnchor(), 20),
                      card->trailingAnchor().constraintEqualToAnchor(root->trailingAnchor(), -20),
                      card->topAnchor().constraintEqualToAnchor(root->topAnchor(), 100),
                      card->heightAnchor().constraintEqualToAnchor(card->widthAnchor(), 0.5, 0),
                      inner->centerXAnchor().constraintEqualToAnchor(card->centerXAnchor()),
                      inner->centerYAnchor().constraintEqualToAnchor(card->centerYAnchor(), 10),
                      inner->widthAnchor().constraintEqualToConstant(60),
                      inner->heightAnchor().constraintGreaterThanOrEqualToConstant(30),
                      inner->heightAnchor().constraintLessThanOrEqualToConstant(30),
                  })
                  .ok());
  root->layoutIfNeeded();
  expectFrame(card, 20, 100, 360, 180);
  expectFrame(inner, 150, 85, 60, 30);  // in card's coordinates, not the root's

  // A frame change of the root follows through.
  root->setFrame(CGRectMake(0, 0, 200, 800));
  root->layoutIfNeeded();
  expectFrame(card, 20, 100, 160, 80);
  expectFrame(inner, 50, 35, 60, 30);
}

TEST(AutoLayoutTest, ConstantsEditActivationAndDeactivation) {
  auto root = makeView(0, 0, 300, 300);
  auto v = constrained();
  root->addSubview(v);
  auto left = v->leftAnchor().constraintEqualToAnchor(root->leftAnchor(), 10);
  auto top = v->topAnchor().constraintEqualToAnchor(root->topAnchor(), 10);
  auto width = v->widthAnchor().constraintEqualToConstant(50);
  auto height = v->heightAnchor().constraintEqualToConstant(50);
  ASSERT_TRUE(NSLayoutConstraint::activateConstraints({left, top, width, height}).ok());
  EXPECT_TRUE(left.isActive());
  // Installed on the nearest common ancestor: a size constant on the view.
  EXPECT_EQ(root->constraints().size(), 2u);
  EXPECT_EQ(v->constraints().size(), 2u);
  root->layoutIfNeeded();
  expectFrame(v, 10, 10, 50, 50);
  ASSERT_TRUE(left.setConstant(40).ok());
  root->layoutIfNeeded();
  expectFrame(v, 40, 10, 50, 50);

  // A required conflict is refused, all or nothing, and nothing changes.
  auto conflict = v->widthAnchor().constraintEqualToConstant(80);
  auto harmless = v->rightAnchor().constraintLessThanOrEqualToAnchor(root->rightAnchor());
  EXPECT_FALSE(NSLayoutConstraint::activateConstraints({harmless, conflict}).ok());
  EXPECT_FALSE(conflict.isActive());
  EXPECT_FALSE(harmless.isActive());
  // An optional one just loses.
  ASSERT_TRUE(conflict.setPriority(UILayoutPriorityDefaultHigh).ok());
  ASSERT_TRUE(conflict.setActive(true).ok());
  root->layoutIfNeeded();
  expectFrame(v, 40, 10, 50, 50);
  ASSERT_TRUE(width.setActive(false).ok());
  EXPECT_FALSE(width.isActive());
  root->layoutIfNeeded();
  expectFrame(v, 40, 10, 80, 50);
}

TEST(AutoLayoutTest, ViewsInDifferentTreesCannotBeRelated) {
  auto a = makeView(0, 0, 10, 10);
  auto b = makeView(0, 0, 10, 10);
  auto c = a->widthAnchor().constraintEqualToAnchor(b->widthAnchor());
  Status s = NSLayoutConstraint::activateConstraints({c});
  EXPECT_FALSE(s.ok());
  EXPECT_NE(s.reason().find("common ancestor"), std::string::npos);
  EXPECT_FALSE(NSLayoutConstraint::activateConstraints({NSLayoutConstraint()}).ok());
  // Not finite: a null constraint, refused on activation.
  EXPECT_FALSE(a->widthAnchor().constraintEqualToConstant(INFINITY));
}

TEST(AutoLayoutTest, RemovingASubtreeDropsOnlyTheConstraintsThatCrossIt) {
  auto root = makeView(0, 0, 300, 300);
  auto box = constrained();
  auto inner = constrained();
  root->addSubview(box);
  box->addSubview(inner);
  auto outer = box->widthAnchor().constraintEqualToAnchor(root->widthAnchor(), 0.5, 0);
  auto inside = inner->widthAnchor().constraintEqualToAnchor(box->widthAnchor(), 0.5, 0);
  ASSERT_TRUE(NSLayoutConstraint::activateConstraints({outer, inside}).ok());
  EXPECT_EQ(inside.layoutConstraint().isActive(), true);
  box->removeFromSuperview();
  EXPECT_FALSE(outer.isActive());
  EXPECT_TRUE(inside.isActive());
  EXPECT_TRUE(root->constraints().empty());

  // In its new tree the inside constraint still works.
  auto other = makeView(0, 0, 100, 100);
  other->addSubview(box);
  ASSERT_TRUE(NSLayoutConstraint::activateConstraints(
                  {
                      box->widthAnchor().constraintEqualToConstant(80),
                      box->leftAnchor().constraintEqualToAnchor(other->leftAnchor()),
                      box->topAnchor().constraintEqualToAnchor(other->topAnchor()),
                      box->heightAnchor().constraintEqualToConstant(10),
                      inner->leftAnchor().constraintEqualToAnchor(box->leftAnchor()),
                      inner->topAnchor().constraintEqualToAnchor(box->topAnchor()),
                      inner->heightAnchor().constraintEqualToConstant(5),
                  })
                  .ok());
  other->layoutIfNeeded();
  expectFrame(inner, 0, 0, 40, 5);
}

TEST(AutoLayoutTest, TranslatingViewsKeepTheirFramesAndAnchorOthers) {
  auto root = makeView(0, 0, 300, 300);
  auto fixed = makeView(30, 40, 100, 50);  // translates its frame
  auto follower = constrained();
  root->addSubview(fixed);
  fixed->addSubview(follower);
  ASSERT_TRUE(
      NSLayoutConstraint::activateConstraints(
          {
              follower->leadingAnchor().constraintEqualToAnchor(fixed->leadingAnchor(), 5),
              follower->trailingAnchor().constraintEqualToAnchor(fixed->trailingAnchor(), -5),
              follower->topAnchor().constraintEqualToAnchor(fixed->topAnchor(), 5),
              follower->bottomAnchor().constraintEqualToAnchor(fixed->bottomAnchor(), -5),
          })
          .ok());
  root->layoutIfNeeded();
  expectFrame(fixed, 30, 40, 100, 50);
  expectFrame(follower, 5, 5, 90, 40);
  fixed->setFrame(CGRectMake(0, 0, 60, 60));
  root->layoutIfNeeded();
  expectFrame(follower, 5, 5, 50, 50);
}

TEST(AutoLayoutTest, LayoutMarginsAndTheMarginsGuide) {
  auto root = makeView(0, 0, 200, 100);
  auto v = constrained();
  root->addSubview(v);
  root->setLayoutMargins({10, 20, 30, 40});
  UILayoutGuide& guide = root->layoutMarginsGuide();
  ASSERT_TRUE(NSLayoutConstraint::activateConstraints(
                  {
                      v->leadingAnchor().constraintEqualToAnchor(guide.leadingAnchor()),
                      v->trailingAnchor().constraintEqualToAnchor(guide.trailingAnchor()),
                      v->topAnchor().constraintEqualToAnchor(guide.topAnchor()),
                      v->bottomAnchor().constraintEqualToAnchor(guide.bottomAnchor()),
                  })
                  .ok());
  root->layoutIfNeeded();
  expectFrame(v, 20, 10, 140, 60);
  EXPECT_EQ(guide.layoutFrame(), CGRectMake(20, 10, 140, 60));
  root->setLayoutMargins({0, 0, 0, 0});
  root->layoutIfNeeded();
  expectFrame(v, 0, 0, 200, 100);
}

TEST(AutoLayoutTest, VisualFormatBridgesViewsAndMargins) {
  auto root = makeView(0, 0, 320, 200);
  auto a = constrained();
  auto b = constrained();
  root->addSubview(a);
  root->addSubview(b);
  std::map<std::string, UIViewRef, std::less<>> views{{"a", a}, {"b", b}};
  std::vector<NSLayoutConstraint> all;
  for (const char* format : {"H:|-[a(==b)]-12-[b]-|", "V:|-(20)-[a(44)]", "V:|-(20)-[b(==a)]"}) {
    auto made = NSLayoutConstraint::constraintsWithVisualFormat(format, 0, {}, views);
    ASSERT_TRUE(made.ok()) << made.reason();
    all.insert(all.end(), made->begin(), made->end());
  }
  ASSERT_TRUE(NSLayoutConstraint::activateConstraints(all).ok());
  root->layoutIfNeeded();
  // 8 + 146 + 12 + 146 + 8 = 320.
  expectFrame(a, 8, 20, 146, 44);
  expectFrame(b, 166, 20, 146, 44);
  EXPECT_FALSE(NSLayoutConstraint::constraintsWithVisualFormat("H:|-[c]-|", 0, {}, views).ok());
}

TEST(AutoLayoutTest, IntrinsicSizeHuggingAndCompression) {
  auto root = makeView(0, 0, 300, 100);
  auto label = std::make_shared<SizedView>(CGSize{80, 20});
  auto field = std::make_shared<SizedView>(CGSize{50, 20});
  root->addSubview(label);
  root->addSubview(field);
  label->setContentHuggingPriority(UILayoutPriorityDefaultHigh,
                                   UILayoutConstraintAxis::kHorizontal);
  ASSERT_TRUE(NSLayoutConstraint::activateConstraints(
                  {
                      label->leadingAnchor().constraintEqualToAnchor(root->leadingAnchor()),
                      field->leadingAnchor().constraintEqualToAnchor(label->trailingAnchor()),
                      field->trailingAnchor().constraintEqualToAnchor(root->trailingAnchor()),
                      label->topAnchor().constraintEqualToAnchor(root->topAnchor()),
                      field->topAnchor().constraintEqualToAnchor(root->topAnchor()),
                  })
                  .ok());
  root->layoutIfNeeded();
  expectFrame(label, 0, 0, 80, 20);  // hugs; the field stretches
  expectFrame(field, 80, 0, 220, 20);
  label->setSize({120, 30});
  root->layoutIfNeeded();
  expectFrame(label, 0, 0, 120, 30);
  expectFrame(field, 120, 0, 180, 20);
}

class StackViewTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root = makeView(0, 0, 400, 400);
    stack = std::make_shared<UIStackView>();
    stack->setTranslatesAutoresizingMaskIntoConstraints(false);
    root->addSubview(stack);
    ASSERT_TRUE(NSLayoutConstraint::activateConstraints(
                    {
                        stack->leadingAnchor().constraintEqualToAnchor(root->leadingAnchor(), 10),
                        stack->topAnchor().constraintEqualToAnchor(root->topAnchor(), 10),
                    })
                    .ok());
    a = std::make_shared<SizedView>(CGSize{40, 20});
    b = std::make_shared<SizedView>(CGSize{60, 30});
    c = std::make_shared<SizedView>(CGSize{30, 10});
  }
  std::shared_ptr<UIView> root;
  std::shared_ptr<UIStackView> stack;
  std::shared_ptr<SizedView> a, b, c;
};

TEST_F(StackViewTest, HorizontalFillSizesToItsArrangedViews) {
  stack->setSpacing(5);
  for (const auto& v : {a, b, c}) stack->addArrangedSubview(v);
  root->layoutIfNeeded();
  expectFrame(stack, 10, 10, 140, 30);
  expectFrame(a, 0, 0, 40, 30);
  expectFrame(b, 45, 0, 60, 30);
  expectFrame(c, 110, 0, 30, 30);
}

TEST_F(StackViewTest, VerticalAlignmentsAcrossTheAxis) {
  stack->setAxis(UILayoutConstraintAxis::kVertical);
  for (const auto& v : {a, b, c}) stack->addArrangedSubview(v);
  stack->setAlignment(UIStackViewAlignment::kCenter);
  root->layoutIfNeeded();
  expectFrame(stack, 10, 10, 60, 60);
  expectFrame(a, 10, 0, 40, 20);
  expectFrame(b, 0, 20, 60, 30);
  expectFrame(c, 15, 50, 30, 10);
  stack->setAlignment(UIStackViewAlignment::kTrailing);
  root->layoutIfNeeded();
  expectFrame(a, 20, 0, 40, 20);
  stack->setAlignment(UIStackViewAlignment::kLeading);
  root->layoutIfNeeded();
  expectFrame(c, 0, 50, 30, 10);
}

TEST_F(StackViewTest, FillEquallyWithAFixedWidth) {
  for (const auto& v : {a, b, c}) stack->addArrangedSubview(v);
  stack->setDistribution(UIStackViewDistribution::kFillEqually);
  stack->setSpacing(10);
  ASSERT_TRUE(stack->widthAnchor().constraintEqualToConstant(320).setActive(true).ok());
  root->layoutIfNeeded();
  expectFrame(a, 0, 0, 100, 30);
  expectFrame(b, 110, 0, 100, 30);
  expectFrame(c, 220, 0, 100, 30);
}

TEST_F(StackViewTest, HiddenAndRemovedViewsTakeNoSpace) {
  stack->setSpacing(5);
  for (const auto& v : {a, b, c}) stack->addArrangedSubview(v);
  b->setHidden(true);
  root->layoutIfNeeded();
  expectFrame(stack, 10, 10, 75, 20);
  expectFrame(c, 45, 0, 30, 20);
  b->setHidden(false);
  a->removeFromSuperview();
  root->layoutIfNeeded();
  EXPECT_EQ(stack->arrangedSubviews().size(), 2u);
  expectFrame(b, 0, 0, 60, 30);
  expectFrame(c, 65, 0, 30, 30);
  stack->removeArrangedSubview(c.get());
  EXPECT_EQ(c->superview(), stack.get());
  root->layoutIfNeeded();
  expectFrame(stack, 10, 10, 60, 30);
}

TEST_F(StackViewTest, CreateAddsTheViewsInOrder) {
  auto made = UIStackView::create({a, b});
  EXPECT_EQ(made->arrangedSubviews(), (std::vector<UIViewRef>{a, b}));
  EXPECT_EQ(a->superview(), made.get());
  EXPECT_FALSE(a->translatesAutoresizingMaskIntoConstraints());
}

// Plainly framed views stay out of the solver until a constraint names
// them; then they count with the frames they have, scrolled or not.
TEST(AutoLayout, AConstraintOnALivePlainlyFramedViewUsesItsFrame) {
  auto root = makeView(0, 0, 400, 800);
  auto scroller = makeView(0, 100, 400, 300);
  auto plain = makeView(20, 30, 50, 40);
  auto follower = constrained();
  root->addSubview(scroller);
  scroller->addSubview(plain);
  scroller->addSubview(follower);
  ASSERT_TRUE(NSLayoutConstraint::activateConstraints(
                  {follower->topAnchor().constraintEqualToAnchor(scroller->topAnchor()),
                   follower->widthAnchor().constraintEqualToConstant(10),
                   follower->heightAnchor().constraintEqualToConstant(10)})
                  .ok());
  root->layoutIfNeeded();
  // The engine is live now, without `plain`.
  ASSERT_TRUE(NSLayoutConstraint::activateConstraints(
                  {follower->leftAnchor().constraintEqualToAnchor(plain->rightAnchor(), 5)})
                  .ok());
  root->layoutIfNeeded();
  expectFrame(follower, 75, 0, 10, 10);
  // Scrolled content: the follower keeps to the plain view in the content.
  scroller->setBounds(CGRectMake(0, 200, 400, 300));
  plain->setFrame(CGRectMake(60, 230, 50, 40));
  root->layoutIfNeeded();
  expectFrame(follower, 115, 200, 10, 10);
}

}  // namespace
}  // namespace sentrel::uikit
