// Views: the retained view tree of a UI process, its layer properties, hit
// testing, and Auto Layout through anchors, layout guides and constraints.
//
// Main thread only (debug builds stop the process otherwise). Views are
// shared objects: create them with std::make_shared; a superview owns its
// subviews, a subview knows its superview without owning it.
//
// Auto Layout: the root of a view tree (normally a window) owns the layout
// engine. A constraint is installed on the nearest common ancestor of its
// views. Structural changes (adding or removing subviews, changing
// translatesAutoresizingMaskIntoConstraints, a new margins guide) drop the
// engine; the next activation or layout rebuilds it. Constant, priority,
// margin, intrinsic-size and frame changes update the live engine in place.
// layoutIfNeeded solves and each view's layoutSubviews writes the frames of
// its subviews that do not translate their autoresizing mask, converted from
// the root's coordinates to the superview's. A view that translates its
// autoresizing mask (the default) keeps the frame it is given.
//
// Every view carries a stable numeric id and dirty flags that a window
// collects for the display link.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/status.h"
#include "platform/layout/layout.h"
#include "platform/layout/visual_format.h"
#include "platform/uikit/animation.h"
#include "platform/uikit/color.h"
#include "platform/uikit/geometry.h"
#include "platform/uikit/touch.h"

namespace sentrel::uikit {

class UIView;
class UIWindow;
class UILayoutGuide;
class UIGestureRecognizer;
class UIViewController;
using UIViewRef = std::shared_ptr<UIView>;

using NSLayoutAttribute = layout::Attribute;
using NSLayoutRelation = layout::Relation;
using UILayoutConstraintAxis = layout::Axis;
using UILayoutPriority = double;
inline constexpr UILayoutPriority UILayoutPriorityRequired = layout::kPriorityRequired;
inline constexpr UILayoutPriority UILayoutPriorityDefaultHigh = layout::kPriorityDefaultHigh;
inline constexpr UILayoutPriority UILayoutPriorityDefaultLow = layout::kPriorityDefaultLow;
inline constexpr UILayoutPriority UILayoutPriorityFittingSizeLevel =
    layout::kPriorityFittingSizeLevel;
inline constexpr double UIViewNoIntrinsicMetric = layout::kNoIntrinsicMetric;

// A constraint between attributes of views or layout guides. A handle: copies
// are the same constraint. Active means installed in a view tree.
class NSLayoutConstraint {
 public:
  NSLayoutConstraint() = default;  // null

  // view1.attr1 <relation> multiplier * view2.attr2 + constant. view2 may be
  // null for a width or height constant.
  static Result<NSLayoutConstraint> constraintWithItem(
      const UIViewRef& view1, NSLayoutAttribute attr1, NSLayoutRelation relation,
      const UIViewRef& view2, NSLayoutAttribute attr2, double multiplier, double constant);
  // All or nothing. Refused: null constraints, views already destroyed,
  // views with no common ancestor, and required constraints that conflict
  // with the required ones already active.
  static Status activateConstraints(const std::vector<NSLayoutConstraint>& constraints);
  static void deactivateConstraints(const std::vector<NSLayoutConstraint>& constraints);
  // The visual format language over views; "|" is each view's superview.
  static Result<std::vector<NSLayoutConstraint>> constraintsWithVisualFormat(
      std::string_view format, std::uint32_t options, const layout::Metrics& metrics,
      const std::map<std::string, UIViewRef, std::less<>>& views);

  explicit operator bool() const { return data_ != nullptr; }
  bool sameAs(const NSLayoutConstraint& other) const { return data_ == other.data_; }

  // REQUIRES: non-null for all below.
  bool isActive() const;
  Status setActive(bool active);
  double constant() const { return data_->constraint.constant(); }
  // A required constant that cannot hold is refused, keeping the old one.
  Status setConstant(double constant);
  double priority() const { return data_->constraint.priority(); }
  Status setPriority(double priority);
  double multiplier() const { return data_->constraint.multiplier(); }
  NSLayoutRelation relation() const { return data_->constraint.relation(); }
  NSLayoutAttribute firstAttribute() const { return data_->constraint.firstAttribute(); }
  NSLayoutAttribute secondAttribute() const { return data_->constraint.secondAttribute(); }
  // The views the items belong to (a guide's owning view); null once gone.
  UIViewRef firstView() const { return data_->first.lock(); }
  UIViewRef secondView() const { return data_->second.lock(); }
  const std::string& identifier() const { return data_->constraint.identifier(); }
  void setIdentifier(std::string identifier) {
    data_->constraint.setIdentifier(std::move(identifier));
  }
  std::string description() const { return data_->constraint.description(); }
  const layout::LayoutConstraint& layoutConstraint() const { return data_->constraint; }

 private:
  friend class UIView;
  friend class NSLayoutAnchor;
  struct Data {
    layout::LayoutConstraint constraint;
    std::weak_ptr<UIView> first, second;
    std::weak_ptr<UIView> installedOn;  // the common ancestor it is installed on
  };
  static NSLayoutConstraint wrap(layout::LayoutConstraint constraint, std::weak_ptr<UIView> first,
                                 std::weak_ptr<UIView> second);
  std::shared_ptr<Data> data_;
};

// One attribute of a view or a layout guide.
class NSLayoutAnchor {
 public:
  NSLayoutAttribute attribute() const { return attribute_; }
  UIViewRef view() const { return owner_.lock(); }  // for a guide, its owning view

 protected:
  NSLayoutAnchor(std::weak_ptr<UIView> owner, layout::LayoutItemRef item,
                 NSLayoutAttribute attribute)
      : owner_(std::move(owner)), item_(std::move(item)), attribute_(attribute) {}
  // A null constraint, logged, when the numbers are not finite.
  NSLayoutConstraint relate(NSLayoutRelation relation, const NSLayoutAnchor* other,
                            double multiplier, double constant) const;

 private:
  std::weak_ptr<UIView> owner_;
  layout::LayoutItemRef item_;
  NSLayoutAttribute attribute_;
};

// Anchors of one kind relate only to anchors of the same kind.
template <class Self>
class NSLayoutTypedAnchor : public NSLayoutAnchor {
 public:
  using NSLayoutAnchor::NSLayoutAnchor;
  NSLayoutConstraint constraintEqualToAnchor(const Self& other, double constant = 0) const {
    return relate(NSLayoutRelation::kEqual, &other, 1, constant);
  }
  NSLayoutConstraint constraintGreaterThanOrEqualToAnchor(const Self& other,
                                                          double constant = 0) const {
    return relate(NSLayoutRelation::kGreaterThanOrEqual, &other, 1, constant);
  }
  NSLayoutConstraint constraintLessThanOrEqualToAnchor(const Self& other,
                                                       double constant = 0) const {
    return relate(NSLayoutRelation::kLessThanOrEqual, &other, 1, constant);
  }
};

class NSLayoutXAxisAnchor : public NSLayoutTypedAnchor<NSLayoutXAxisAnchor> {
  using NSLayoutTypedAnchor::NSLayoutTypedAnchor;
  friend class UIView;
  friend class UILayoutGuide;
};

class NSLayoutYAxisAnchor : public NSLayoutTypedAnchor<NSLayoutYAxisAnchor> {
  using NSLayoutTypedAnchor::NSLayoutTypedAnchor;
  friend class UIView;
  friend class UILayoutGuide;
};

class NSLayoutDimension : public NSLayoutTypedAnchor<NSLayoutDimension> {
 public:
  using NSLayoutTypedAnchor::constraintEqualToAnchor;
  using NSLayoutTypedAnchor::constraintGreaterThanOrEqualToAnchor;
  using NSLayoutTypedAnchor::constraintLessThanOrEqualToAnchor;
  NSLayoutConstraint constraintEqualToAnchor(const NSLayoutDimension& other, double multiplier,
                                             double constant) const {
    return relate(NSLayoutRelation::kEqual, &other, multiplier, constant);
  }
  NSLayoutConstraint constraintGreaterThanOrEqualToAnchor(const NSLayoutDimension& other,
                                                          double multiplier,
                                                          double constant) const {
    return relate(NSLayoutRelation::kGreaterThanOrEqual, &other, multiplier, constant);
  }
  NSLayoutConstraint constraintLessThanOrEqualToAnchor(const NSLayoutDimension& other,
                                                       double multiplier, double constant) const {
    return relate(NSLayoutRelation::kLessThanOrEqual, &other, multiplier, constant);
  }
  NSLayoutConstraint constraintEqualToConstant(double constant) const {
    return relate(NSLayoutRelation::kEqual, nullptr, 1, constant);
  }
  NSLayoutConstraint constraintGreaterThanOrEqualToConstant(double constant) const {
    return relate(NSLayoutRelation::kGreaterThanOrEqual, nullptr, 1, constant);
  }
  NSLayoutConstraint constraintLessThanOrEqualToConstant(double constant) const {
    return relate(NSLayoutRelation::kLessThanOrEqual, nullptr, 1, constant);
  }

 private:
  using NSLayoutTypedAnchor::NSLayoutTypedAnchor;
  friend class UIView;
  friend class UILayoutGuide;
};

// A rectangle for layout that draws nothing, owned by a view. The view's
// layoutMarginsGuide is one, held to its margins.
class UILayoutGuide {
 public:
  UIViewRef owningView() const { return owner_.lock(); }
  // In the owning view's coordinates, after layout.
  CGRect layoutFrame() const;

  NSLayoutXAxisAnchor leadingAnchor() const { return {owner_, item_, NSLayoutAttribute::kLeading}; }
  NSLayoutXAxisAnchor trailingAnchor() const {
    return {owner_, item_, NSLayoutAttribute::kTrailing};
  }
  NSLayoutXAxisAnchor leftAnchor() const { return {owner_, item_, NSLayoutAttribute::kLeft}; }
  NSLayoutXAxisAnchor rightAnchor() const { return {owner_, item_, NSLayoutAttribute::kRight}; }
  NSLayoutXAxisAnchor centerXAnchor() const { return {owner_, item_, NSLayoutAttribute::kCenterX}; }
  NSLayoutYAxisAnchor topAnchor() const { return {owner_, item_, NSLayoutAttribute::kTop}; }
  NSLayoutYAxisAnchor bottomAnchor() const { return {owner_, item_, NSLayoutAttribute::kBottom}; }
  NSLayoutYAxisAnchor centerYAnchor() const { return {owner_, item_, NSLayoutAttribute::kCenterY}; }
  NSLayoutDimension widthAnchor() const { return {owner_, item_, NSLayoutAttribute::kWidth}; }
  NSLayoutDimension heightAnchor() const { return {owner_, item_, NSLayoutAttribute::kHeight}; }

 private:
  friend class UIView;
  std::weak_ptr<UIView> owner_;
  layout::LayoutItemRef item_;
};

// What changed since the display link last collected a view.
enum UIViewDirtyFlags : std::uint32_t {
  kDirtyNone = 0,
  kDirtyGeometry = 1u << 0,    // frame, bounds
  kDirtyAppearance = 1u << 1,  // hidden, alpha, colours, tint
  kDirtyLayer = 1u << 2,       // corner radius, border, transform, ...
  kDirtyHierarchy = 1u << 3,   // subviews added, removed or reordered
  kDirtyAll = 0xF,
  kDirtyAnimations = 1u << 4,  // animations recorded (see takePendingAnimations)
};

// The layer properties of a view (one layer per view, part of it).
class CALayer {
 public:
  double cornerRadius() const { return cornerRadius_; }
  void setCornerRadius(double radius);  // negatives and non-finite values become 0
  bool masksToBounds() const { return masksToBounds_; }
  void setMasksToBounds(bool masks);
  double borderWidth() const { return borderWidth_; }
  void setBorderWidth(double width);  // negatives and non-finite values become 0
  const std::optional<UIColor>& borderColor() const { return borderColor_; }
  void setBorderColor(std::optional<UIColor> color);
  // The same value as the view's alpha.
  double opacity() const { return opacity_; }
  void setOpacity(double opacity);  // clamped to [0, 1]; NaN is ignored
  double zPosition() const { return zPosition_; }
  void setZPosition(double z);
  const CATransform3D& transform() const { return transform_; }
  void setTransform(const CATransform3D& transform);  // ignored if any entry is not finite
  bool shouldRasterize() const { return shouldRasterize_; }
  void setShouldRasterize(bool rasterize);
  double rasterizationScale() const { return rasterizationScale_; }
  void setRasterizationScale(double scale);  // positive and finite, else ignored

 private:
  friend class UIView;
  explicit CALayer(UIView* view) : view_(view) {}
  void changed();

  UIView* view_;
  double cornerRadius_ = 0;
  bool masksToBounds_ = false;
  double borderWidth_ = 0;
  std::optional<UIColor> borderColor_;
  double opacity_ = 1;
  double zPosition_ = 0;
  CATransform3D transform_{};
  bool shouldRasterize_ = false;
  double rasterizationScale_ = 1;
};

class UIView : public std::enable_shared_from_this<UIView> {
 public:
  UIView();
  explicit UIView(const CGRect& frame);
  virtual ~UIView();
  UIView(const UIView&) = delete;
  UIView& operator=(const UIView&) = delete;

  // A stable id, unique in the process, for the display link's render node.
  std::uint64_t renderId() const { return renderId_; }
  std::uint32_t dirtyFlags() const { return dirty_; }
  void clearDirtyFlags() { dirty_ = kDirtyNone; }

  // Geometry. The frame is in the superview's coordinates; the 3D transform
  // is a layer property and does not change the frame.
  CGRect frame() const;
  void setFrame(const CGRect& frame);  // non-finite values are ignored
  const CGRect& bounds() const { return bounds_; }
  void setBounds(const CGRect& bounds);
  CGPoint center() const { return center_; }
  void setCenter(CGPoint center);
  // Between the coordinates of this view and `other` (null: the root's space).
  CGPoint convertPoint(CGPoint point, const UIView* toView) const;
  CGRect convertRect(const CGRect& rect, const UIView* toView) const;

  // The hierarchy. Adding a view removes it from its old superview first.
  // Refused (false, logged): a null view, the view itself, or an ancestor
  // of this view, which would make a cycle.
  bool addSubview(const UIViewRef& view);
  bool insertSubview(const UIViewRef& view, std::size_t index);
  bool insertSubviewAbove(const UIViewRef& view, const UIView* sibling);
  bool insertSubviewBelow(const UIViewRef& view, const UIView* sibling);
  void bringSubviewToFront(const UIView* view);
  void sendSubviewToBack(const UIView* view);
  // Also deactivates the constraints between this subtree and the rest.
  void removeFromSuperview();
  const std::vector<UIViewRef>& subviews() const { return subviews_; }
  UIView* superview() const { return superview_; }
  bool isDescendantOfView(const UIView* view) const;  // true for the view itself
  UIWindow* window() const;                           // the window at the root, if any
  UIView* rootView();
  UIView* viewWithTag(long tag);  // this view or a descendant, depth first

  long tag() const { return tag_; }
  void setTag(long tag) { tag_ = tag; }

  // Appearance.
  bool isHidden() const { return hidden_; }
  virtual void setHidden(bool hidden);
  double alpha() const { return layer_.opacity(); }
  void setAlpha(double alpha) { layer_.setOpacity(alpha); }
  const std::optional<UIColor>& backgroundColor() const { return backgroundColor_; }
  void setBackgroundColor(std::optional<UIColor> color);
  // Inherited from the superview when unset; the system blue at the root.
  UIColor tintColor() const;
  void setTintColor(std::optional<UIColor> color);
  bool clipsToBounds() const { return layer_.masksToBounds(); }
  void setClipsToBounds(bool clips) { layer_.setMasksToBounds(clips); }
  CALayer& layer() { return layer_; }
  const CALayer& layer() const { return layer_; }
  // Light unless this view or an ancestor overrides it.
  UIUserInterfaceStyle userInterfaceStyle() const;
  void setOverrideUserInterfaceStyle(UIUserInterfaceStyle style);

  // Hit testing, in this view's coordinates. hitTest returns null when the
  // view is hidden, nearly transparent (alpha < 0.01), does not take
  // touches, or the point is not inside it, so subviews reaching outside
  // their superview are not hit there, clipped or not; otherwise the
  // frontmost subview hit (the last in subviews), else this view.
  virtual UIView* hitTest(CGPoint point);
  virtual bool pointInside(CGPoint point) const;
  bool isUserInteractionEnabled() const { return userInteractionEnabled_; }
  void setUserInteractionEnabled(bool enabled) { userInteractionEnabled_ = enabled; }

  // Layout.
  virtual void layoutSubviews();
  void setNeedsLayout();
  bool needsLayout() const { return needsLayout_; }
  void layoutIfNeeded();
  // Width and height, UIViewNoIntrinsicMetric for none on an axis.
  virtual CGSize intrinsicContentSize() const;
  void invalidateIntrinsicContentSize();
  UILayoutPriority contentHuggingPriority(UILayoutConstraintAxis axis) const;
  void setContentHuggingPriority(UILayoutPriority priority, UILayoutConstraintAxis axis);
  UILayoutPriority contentCompressionResistancePriority(UILayoutConstraintAxis axis) const;
  void setContentCompressionResistancePriority(UILayoutPriority priority,
                                               UILayoutConstraintAxis axis);
  bool translatesAutoresizingMaskIntoConstraints() const { return translates_; }
  void setTranslatesAutoresizingMaskIntoConstraints(bool translates);
  const UIEdgeInsets& layoutMargins() const { return layoutMargins_; }
  void setLayoutMargins(const UIEdgeInsets& margins);  // non-finite values are ignored
  UILayoutGuide& layoutMarginsGuide();
  // Constraints installed on this view (it is their views' common ancestor).
  std::vector<NSLayoutConstraint> constraints() const { return constraints_; }
  // The item standing for this view in the layout engine.
  const layout::LayoutItemRef& layoutItem() const { return item_; }

  NSLayoutXAxisAnchor leadingAnchor() {
    return {weak_from_this(), item_, NSLayoutAttribute::kLeading};
  }
  NSLayoutXAxisAnchor trailingAnchor() {
    return {weak_from_this(), item_, NSLayoutAttribute::kTrailing};
  }
  NSLayoutXAxisAnchor leftAnchor() { return {weak_from_this(), item_, NSLayoutAttribute::kLeft}; }
  NSLayoutXAxisAnchor rightAnchor() { return {weak_from_this(), item_, NSLayoutAttribute::kRight}; }
  NSLayoutXAxisAnchor centerXAnchor() {
    return {weak_from_this(), item_, NSLayoutAttribute::kCenterX};
  }
  NSLayoutYAxisAnchor topAnchor() { return {weak_from_this(), item_, NSLayoutAttribute::kTop}; }
  NSLayoutYAxisAnchor bottomAnchor() {
    return {weak_from_this(), item_, NSLayoutAttribute::kBottom};
  }
  NSLayoutYAxisAnchor centerYAnchor() {
    return {weak_from_this(), item_, NSLayoutAttribute::kCenterY};
  }
  NSLayoutDimension widthAnchor() { return {weak_from_this(), item_, NSLayoutAttribute::kWidth}; }
  NSLayoutDimension heightAnchor() { return {weak_from_this(), item_, NSLayoutAttribute::kHeight}; }

  // Every view of this subtree whose dirty flags are set, depth first, with
  // its flags; the flags are cleared.
  std::vector<std::pair<UIView*, std::uint32_t>> collectDirtyViews();

  // Animations (animation.cc). Blocks nest: an inner block inherits the
  // outer one's duration and curve unless its options override them. A
  // negative or non-finite duration or delay counts as 0; with no duration
  // nothing is recorded. The completion always runs later on the main run
  // loop, never inside the call, with finished = true.
  static void animateWithDuration(double duration, double delay, UIViewAnimationOptions options,
                                  const std::function<void()>& animations,
                                  std::function<void(bool)> completion = {});
  static void animateWithDuration(double duration, const std::function<void()>& animations,
                                  std::function<void(bool)> completion = {});
  // The spring variant: a damping ratio in (0, 1] (1: no overshoot) and the
  // initial velocity as a share of the whole change per second.
  static void animateWithDurationUsingSpring(double duration, double delay, double dampingRatio,
                                             double initialVelocity, UIViewAnimationOptions options,
                                             const std::function<void()>& animations,
                                             std::function<void(bool)> completion = {});
  // Changes made inside `actions` are not animated, even within a block.
  static void performWithoutAnimation(const std::function<void()>& actions);
  // The animations recorded on this view since the last take, in order.
  const std::vector<UIViewPropertyAnimation>& pendingAnimations() const { return animations_; }
  std::vector<UIViewPropertyAnimation> takePendingAnimations();
  // Every view of this subtree with animations recorded, depth first, with
  // its animations, which are taken (what a window hands the display link).
  std::vector<std::pair<UIView*, std::vector<UIViewPropertyAnimation>>> collectPendingAnimations();

  // Gesture recognisers (gesture_recognizer.cc). A recogniser belongs to one
  // view at a time; adding it here removes it from its old view.
  void addGestureRecognizer(const std::shared_ptr<UIGestureRecognizer>& recognizer);
  void removeGestureRecognizer(const UIGestureRecognizer* recognizer);
  const std::vector<std::shared_ptr<UIGestureRecognizer>>& gestureRecognizers() const {
    return gestureRecognizers_;
  }

  // Touches that no gesture recogniser took. By default a view passes them
  // on to its superview, as the platform passes them up the responder chain.
  virtual void touchesBegan(const UITouch& touch);
  virtual void touchesMoved(const UITouch& touch);
  virtual void touchesEnded(const UITouch& touch);
  virtual void touchesCancelled(const UITouch& touch);

  // Told (on the main thread) every time some view of the process gets a
  // dirty flag, so that the display link can commit after the current turn
  // of the run loop. One observer per process; an empty one removes it.
  static void setDirtyObserver(std::function<void()> observer);

 protected:
  // Hooks for subclasses, as on the platform.
  virtual void didAddSubview(UIView* subview) {}
  virtual void willRemoveSubview(UIView* subview) {}
  // A subview was hidden or shown.
  virtual void subviewDidChangeHidden(UIView* subview) {}
  void markDirty(std::uint32_t flags) {
    dirty_ |= flags;
    notifyDirtyObserver();
  }

 private:
  friend class CALayer;
  friend class NSLayoutConstraint;
  friend class UILayoutGuide;
  friend class UIViewController;

  // A setter inside an animation block records its change.
  void noteAnimatable(UIViewAnimatedProperty property, UIViewAnimationValue from,
                      UIViewAnimationValue to);
  // layoutSubviews, told to the view's controller around it.
  void runLayoutSubviews();
  static void notifyDirtyObserver();
  bool isAncestorOf(const UIView* view) const;
  void layoutPass();  // one solve and one top-down layoutSubviews pass
  void collect(std::vector<UIView*>& out);
  void detachFromSuperview();
  // Root only: the engine, built from the tree when missing. Only the views
  // Auto Layout needs take part: the views of constraints, views that do
  // not translate their autoresizing mask and views with a margins guide,
  // with their ancestors (plus `alsoNeeded`, about to be constrained). The
  // others keep the frames they are given, so a tree of thousands of
  // plainly framed views (a long table) costs the solver nothing.
  layout::LayoutEngine& ensureEngine(const std::vector<UIView*>& alsoNeeded = {});
  void dropEngine();  // on the root of this view's tree
  void invalidateTreeLayout();
  layout::LayoutEngine* liveEngine();  // the root's engine if built
  void updateAutoresizingConstants();
  void applyLayoutTo(UIView* subview);

  const std::uint64_t renderId_;
  std::uint32_t dirty_ = kDirtyAll;
  CGPoint center_{};
  CGRect bounds_{};
  UIView* superview_ = nullptr;
  std::vector<UIViewRef> subviews_;
  long tag_ = 0;
  bool hidden_ = false;
  bool userInteractionEnabled_ = true;
  std::optional<UIColor> backgroundColor_;
  std::optional<UIColor> tintColor_;
  UIUserInterfaceStyle overrideStyle_ = UIUserInterfaceStyle::kUnspecified;
  CALayer layer_;

  bool needsLayout_ = true;
  bool translates_ = true;
  UIEdgeInsets layoutMargins_{layout::kStandardSpacing, layout::kStandardSpacing,
                              layout::kStandardSpacing, layout::kStandardSpacing};
  double hugging_[2] = {UILayoutPriorityDefaultLow, UILayoutPriorityDefaultLow};
  double compression_[2] = {UILayoutPriorityDefaultHigh, UILayoutPriorityDefaultHigh};
  layout::LayoutItemRef item_;
  std::unique_ptr<UILayoutGuide> marginsGuide_;
  std::vector<NSLayoutConstraint> constraints_;
  // Holding a translating view's frame, while the root's engine is live.
  std::vector<layout::LayoutConstraint> autoresizing_;
  // Whether this view took part when its root's engine was last built.
  bool inEngine_ = false;
  // Root only.
  std::unique_ptr<layout::LayoutEngine> engine_;
  bool treeLayoutDirty_ = true;

  std::vector<UIViewPropertyAnimation> animations_;
  std::vector<std::shared_ptr<UIGestureRecognizer>> gestureRecognizers_;
  UIViewController* viewController_ = nullptr;  // the controller whose view this is
};

}  // namespace sentrel::uikit
