#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <thread>

#include "platform/uikit/main_thread.h"
#include "platform/uikit/view.h"

namespace sentrel::uikit {
namespace {

UIViewRef makeView(double x, double y, double w, double h) {
  return std::make_shared<UIView>(CGRectMake(x, y, w, h));
}

TEST(UIViewHierarchyTest, ReparentingRemovesFromTheOldSuperview) {
  auto a = makeView(0, 0, 100, 100);
  auto b = makeView(0, 0, 100, 100);
  auto child = makeView(0, 0, 10, 10);
  ASSERT_TRUE(a->addSubview(child));
  ASSERT_TRUE(b->addSubview(child));
  EXPECT_TRUE(a->subviews().empty());
  ASSERT_EQ(b->subviews().size(), 1u);
  EXPECT_EQ(child->superview(), b.get());

  // Adding again to the same superview moves it to the front, once.
  auto other = makeView(0, 0, 10, 10);
  b->addSubview(other);
  b->addSubview(child);
  ASSERT_EQ(b->subviews().size(), 2u);
  EXPECT_EQ(b->subviews().back(), child);
}

TEST(UIViewHierarchyTest, CyclesAreRefused) {
  auto root = makeView(0, 0, 100, 100);
  auto mid = makeView(0, 0, 50, 50);
  auto leaf = makeView(0, 0, 10, 10);
  root->addSubview(mid);
  mid->addSubview(leaf);
  EXPECT_FALSE(root->addSubview(root));
  EXPECT_FALSE(leaf->addSubview(root));
  EXPECT_FALSE(leaf->addSubview(mid));
  EXPECT_FALSE(root->addSubview(nullptr));
  // Nothing moved.
  EXPECT_EQ(root->superview(), nullptr);
  EXPECT_EQ(mid->superview(), root.get());
  EXPECT_EQ(leaf->superview(), mid.get());
  EXPECT_TRUE(leaf->subviews().empty());
  EXPECT_TRUE(leaf->isDescendantOfView(root.get()));
  EXPECT_FALSE(root->isDescendantOfView(leaf.get()));
}

TEST(UIViewHierarchyTest, OrderingAndTags) {
  auto root = makeView(0, 0, 100, 100);
  auto a = makeView(0, 0, 1, 1), b = makeView(0, 0, 1, 1), c = makeView(0, 0, 1, 1);
  root->addSubview(a);
  root->addSubview(b);
  root->insertSubview(c, 0);
  EXPECT_EQ(root->subviews(), (std::vector<UIViewRef>{c, a, b}));
  root->bringSubviewToFront(c.get());
  EXPECT_EQ(root->subviews(), (std::vector<UIViewRef>{a, b, c}));
  root->sendSubviewToBack(b.get());
  EXPECT_EQ(root->subviews(), (std::vector<UIViewRef>{b, a, c}));
  root->insertSubviewAbove(b, a.get());
  EXPECT_EQ(root->subviews(), (std::vector<UIViewRef>{a, b, c}));
  root->insertSubviewBelow(c, a.get());
  EXPECT_EQ(root->subviews(), (std::vector<UIViewRef>{c, a, b}));

  auto deep = makeView(0, 0, 1, 1);
  b->addSubview(deep);
  deep->setTag(42);
  EXPECT_EQ(root->viewWithTag(42), deep.get());
  EXPECT_EQ(root->viewWithTag(7), nullptr);
}

TEST(UIViewHierarchyTest, SubviewsOutliveADestroyedSuperviewSafely) {
  auto child = makeView(0, 0, 1, 1);
  {
    auto parent = makeView(0, 0, 10, 10);
    parent->addSubview(child);
  }
  EXPECT_EQ(child->superview(), nullptr);
  EXPECT_EQ(child->rootView(), child.get());
}

TEST(UIViewGeometryTest, FrameBoundsCenterAndConversion) {
  auto root = makeView(0, 0, 300, 300);
  auto mid = makeView(10, 20, 100, 100);
  auto leaf = makeView(5, 5, 10, 10);
  root->addSubview(mid);
  mid->addSubview(leaf);
  EXPECT_EQ(mid->center(), (CGPoint{60, 70}));
  EXPECT_EQ(mid->bounds(), CGRectMake(0, 0, 100, 100));
  mid->setCenter({100, 100});
  EXPECT_EQ(mid->frame(), CGRectMake(50, 50, 100, 100));
  EXPECT_EQ(leaf->convertPoint({0, 0}, root.get()), (CGPoint{55, 55}));
  EXPECT_EQ(root->convertPoint({55, 55}, leaf.get()), (CGPoint{0, 0}));
  // A scrolled superview shifts its content.
  mid->setBounds(CGRectMake(0, 30, 100, 100));
  EXPECT_EQ(leaf->convertPoint({0, 0}, root.get()), (CGPoint{55, 25}));
  mid->setFrame(CGRectMake(NAN, 0, 1, 1));
  EXPECT_EQ(mid->frame(), CGRectMake(50, 50, 100, 100));
}

TEST(UIViewAppearanceTest, TintAndStyleAreInherited) {
  auto root = makeView(0, 0, 10, 10);
  auto child = makeView(0, 0, 1, 1);
  root->addSubview(child);
  EXPECT_EQ(child->tintColor(), UIColor::systemBlueColor());
  root->setTintColor(UIColor::redColor());
  EXPECT_EQ(child->tintColor(), UIColor::redColor());
  child->setTintColor(UIColor::greenColor());
  EXPECT_EQ(child->tintColor(), UIColor::greenColor());

  EXPECT_EQ(child->userInterfaceStyle(), UIUserInterfaceStyle::kLight);
  root->setOverrideUserInterfaceStyle(UIUserInterfaceStyle::kDark);
  const UIColor label = UIColor::labelColor().resolvedColor(child->userInterfaceStyle());
  EXPECT_EQ(label, UIColor::whiteColor());
  EXPECT_EQ(UIColor::labelColor().resolvedColor(UIUserInterfaceStyle::kLight),
            UIColor::blackColor());
}

TEST(UIColorTest, ComponentsAreClampedAndAlphaAppliesToBothVariants) {
  const UIColor c = UIColor::colorWithRed(2, -1, NAN, 0.5);
  EXPECT_EQ(c.red(), 1);
  EXPECT_EQ(c.green(), 0);
  EXPECT_EQ(c.blue(), 0);
  EXPECT_EQ(c.cssString(), "rgba(255,0,0,0.5)");
  const UIColor faded = UIColor::systemBlueColor().colorWithAlphaComponent(0.25);
  EXPECT_EQ(faded.resolvedColor(UIUserInterfaceStyle::kDark).alpha(), 0.25);
  EXPECT_EQ(faded.resolvedColor(UIUserInterfaceStyle::kDark).cssString(), "rgba(10,132,255,0.25)");
  EXPECT_EQ(UIColor::colorWithWhite(0.5, 1), UIColor::grayColor());
}

TEST(CALayerTest, PropertiesAreSanitisedAndMarkTheViewDirty) {
  auto v = makeView(0, 0, 10, 10);
  v->clearDirtyFlags();
  v->layer().setCornerRadius(-3);
  EXPECT_EQ(v->layer().cornerRadius(), 0);
  EXPECT_TRUE(v->dirtyFlags() & kDirtyLayer);
  v->setAlpha(7);
  EXPECT_EQ(v->alpha(), 1);
  EXPECT_EQ(v->layer().opacity(), 1);
  v->setAlpha(NAN);
  EXPECT_EQ(v->alpha(), 1);
  CATransform3D bad = CATransform3DIdentity;
  bad.m34 = INFINITY;
  v->layer().setTransform(bad);
  EXPECT_TRUE(CATransform3DIsIdentity(v->layer().transform()));
  v->setClipsToBounds(true);
  EXPECT_TRUE(v->layer().masksToBounds());
}

TEST(CATransform3DTest, ConcatAppliesTheFirstTransformFirst) {
  const CATransform3D t =
      CATransform3DConcat(CATransform3DMakeTranslation(10, 0, 0), CATransform3DMakeScale(2, 2, 1));
  EXPECT_EQ(CATransform3DApplyToPoint(t, {1, 1}), (CGPoint{22, 2}));
  const CGPoint r = CATransform3DApplyToPoint(CATransform3DMakeRotation(M_PI / 2, 0, 0, 1), {1, 0});
  EXPECT_NEAR(r.x, 0, 1e-12);
  EXPECT_NEAR(r.y, 1, 1e-12);
  EXPECT_TRUE(CATransform3DIsIdentity(CATransform3DMakeRotation(1, 0, 0, 0)));
  // Perspective: a point pushed back by a rotation about y shrinks towards 0.
  CATransform3D p = CATransform3DIdentity;
  p.m34 = -1.0 / 500;
  const CATransform3D tilted = CATransform3DConcat(CATransform3DMakeRotation(M_PI / 4, 0, 1, 0), p);
  const CGPoint q = CATransform3DApplyToPoint(tilted, {100, 0});
  EXPECT_LT(std::fabs(q.x), 100 * std::cos(M_PI / 4) + 1e-9);
}

class HitTestTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root = makeView(0, 0, 200, 200);
    a = makeView(0, 0, 100, 100);
    b = makeView(50, 50, 100, 100);
    root->addSubview(a);
    root->addSubview(b);
  }
  UIViewRef root, a, b;
};

TEST_F(HitTestTest, TheLastAddedOverlappingSiblingWins) {
  EXPECT_EQ(root->hitTest({75, 75}), b.get());
  EXPECT_EQ(root->hitTest({25, 25}), a.get());
  EXPECT_EQ(root->hitTest({175, 25}), root.get());
  EXPECT_EQ(root->hitTest({250, 25}), nullptr);
  root->bringSubviewToFront(a.get());
  EXPECT_EQ(root->hitTest({75, 75}), a.get());
}

TEST_F(HitTestTest, HiddenTransparentAndDisabledViewsAreSkipped) {
  b->setHidden(true);
  EXPECT_EQ(root->hitTest({75, 75}), a.get());
  b->setHidden(false);
  b->setAlpha(0.005);
  EXPECT_EQ(root->hitTest({75, 75}), a.get());
  b->setAlpha(0.01);
  EXPECT_EQ(root->hitTest({75, 75}), b.get());
  b->setUserInteractionEnabled(false);
  EXPECT_EQ(root->hitTest({75, 75}), a.get());
  // A hidden superview hides its subviews from touches too.
  auto inner = makeView(0, 0, 10, 10);
  a->addSubview(inner);
  EXPECT_EQ(root->hitTest({5, 5}), inner.get());
  a->setHidden(true);
  EXPECT_EQ(root->hitTest({5, 5}), root.get());
}

TEST_F(HitTestTest, SubviewsOutsideTheirSuperviewAreNotHitThere) {
  auto outside = makeView(90, 90, 50, 50);  // reaches out of a
  a->addSubview(outside);
  b->setHidden(true);
  EXPECT_EQ(root->hitTest({95, 95}), outside.get());
  EXPECT_EQ(root->hitTest({120, 120}), root.get());
  a->setClipsToBounds(true);
  EXPECT_EQ(root->hitTest({120, 120}), root.get());
  EXPECT_EQ(root->hitTest({95, 95}), outside.get());
}

class RoundView : public UIView {
 public:
  using UIView::UIView;
  bool pointInside(CGPoint p) const override {
    const double r = bounds().size.width / 2;
    return std::hypot(p.x - r, p.y - r) <= r;
  }
};

TEST_F(HitTestTest, ACustomPointInsideDecides) {
  auto round = std::make_shared<RoundView>(CGRectMake(50, 50, 100, 100));
  root->addSubview(round);
  EXPECT_EQ(root->hitTest({100, 100}), round.get());
  // The corner of its square is outside the circle: b below gets it.
  EXPECT_EQ(root->hitTest({55, 55}), b.get());
}

TEST(UIViewRenderTest, IdsAreStableAndDirtyViewsAreCollectedOnce) {
  auto root = makeView(0, 0, 10, 10);
  auto child = makeView(0, 0, 1, 1);
  const auto id = child->renderId();
  EXPECT_NE(root->renderId(), id);
  root->addSubview(child);
  EXPECT_EQ(child->renderId(), id);
  EXPECT_EQ(root->collectDirtyViews().size(), 2u);
  EXPECT_TRUE(root->collectDirtyViews().empty());
  child->setBackgroundColor(UIColor::redColor());
  auto dirty = root->collectDirtyViews();
  ASSERT_EQ(dirty.size(), 1u);
  EXPECT_EQ(dirty[0].first, child.get());
  EXPECT_EQ(dirty[0].second, kDirtyAppearance);
  child->removeFromSuperview();
  dirty = root->collectDirtyViews();
  ASSERT_EQ(dirty.size(), 1u);
  EXPECT_TRUE(dirty[0].second & kDirtyHierarchy);
}

TEST(MainThreadDeathTest, AnotherThreadStopsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  assertMainThread(__FILE__, __LINE__);  // this thread is the toolkit's
  EXPECT_DEATH(
      {
        std::thread other([] { assertMainThread(__FILE__, __LINE__); });
        other.join();
      },
      "");
  assertMainThread(__FILE__, __LINE__);  // and stays so
}

}  // namespace
}  // namespace sentrel::uikit
