#include "platform/uikit/view.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <unordered_map>
#include <unordered_set>

#include "platform/log/system_log.h"
#include "platform/uikit/gesture_recognizer.h"
#include "platform/uikit/main_thread.h"
#include "platform/uikit/window.h"

namespace sentrel::uikit {

namespace {

using layout::Attribute;
using layout::LayoutConstraint;
using layout::LayoutEngine;

std::uint64_t nextRenderId() {
  static std::atomic<std::uint64_t> next{1};
  return next.fetch_add(1);
}

bool finite(const CGRect& r) {
  return std::isfinite(r.origin.x) && std::isfinite(r.origin.y) && std::isfinite(r.size.width) &&
         std::isfinite(r.size.height);
}

int axisIndex(UILayoutConstraintAxis axis) {
  return axis == UILayoutConstraintAxis::kHorizontal ? 0 : 1;
}

// For edits of constraints that are in no engine: the engine only stores
// the new value.
LayoutEngine& scratchEngine() {
  static LayoutEngine engine;
  return engine;
}

void logRefusal(const std::string& text) {
  log::line(text, log::Level::kError);
}

UIView* commonAncestor(UIView* a, UIView* b) {
  for (UIView* v = a; v; v = v->superview()) {
    if (b->isDescendantOfView(v)) return v;
  }
  return nullptr;
}

}  // namespace

// ---- NSLayoutConstraint ----

NSLayoutConstraint NSLayoutConstraint::wrap(LayoutConstraint constraint,
                                            std::weak_ptr<UIView> first,
                                            std::weak_ptr<UIView> second) {
  NSLayoutConstraint c;
  c.data_ = std::make_shared<Data>();
  c.data_->constraint = std::move(constraint);
  c.data_->first = std::move(first);
  c.data_->second = std::move(second);
  return c;
}

Result<NSLayoutConstraint> NSLayoutConstraint::constraintWithItem(
    const UIViewRef& view1, NSLayoutAttribute attr1, NSLayoutRelation relation,
    const UIViewRef& view2, NSLayoutAttribute attr2, double multiplier, double constant) {
  if (!view1) return Result<NSLayoutConstraint>::Error("constraint with no first view");
  auto made =
      LayoutConstraint::make(view1->layoutItem(), attr1, relation,
                             view2 ? view2->layoutItem() : nullptr, attr2, multiplier, constant);
  if (!made.ok()) return made.status();
  return wrap(std::move(made).value(), view1, view2);
}

bool NSLayoutConstraint::isActive() const {
  return !data_->installedOn.expired();
}

Status NSLayoutConstraint::setActive(bool active) {
  if (active) return activateConstraints({*this});
  deactivateConstraints({*this});
  return Status::Ok();
}

Status NSLayoutConstraint::setConstant(double constant) {
  SENTREL_UIKIT_ASSERT_MAIN_THREAD();
  UIViewRef host = data_->installedOn.lock();
  LayoutEngine* engine = host ? host->liveEngine() : nullptr;
  if (!engine) return scratchEngine().setConstant(data_->constraint, constant);
  Status s = engine->setConstant(data_->constraint, constant);
  if (s.ok()) host->invalidateTreeLayout();
  return s;
}

Status NSLayoutConstraint::setPriority(double priority) {
  SENTREL_UIKIT_ASSERT_MAIN_THREAD();
  UIViewRef host = data_->installedOn.lock();
  LayoutEngine* engine = host ? host->liveEngine() : nullptr;
  if (!engine) {
    // Installed but not in an engine right now: the rule about required
    // constraints still holds.
    if (host &&
        (priority >= UILayoutPriorityRequired) != (this->priority() >= UILayoutPriorityRequired))
      return Status::Error("an active constraint cannot change between required and not required");
    return scratchEngine().setPriority(data_->constraint, priority);
  }
  Status s = engine->setPriority(data_->constraint, priority);
  if (s.ok()) host->invalidateTreeLayout();
  return s;
}

Status NSLayoutConstraint::activateConstraints(const std::vector<NSLayoutConstraint>& constraints) {
  SENTREL_UIKIT_ASSERT_MAIN_THREAD();
  struct Plan {
    NSLayoutConstraint constraint;
    UIView* host = nullptr;
    UIView* root = nullptr;
  };
  std::vector<Plan> plans;
  std::unordered_set<const Data*> seen;
  for (const NSLayoutConstraint& c : constraints) {
    if (!c) return Status::Error("cannot activate a null constraint");
    if (c.isActive() || !seen.insert(c.data_.get()).second) continue;
    UIViewRef first = c.data_->first.lock();
    UIViewRef second = c.data_->second.lock();
    const bool wantsSecond = c.data_->constraint.secondItem() != nullptr;
    if (!first || (wantsSecond && !second)) {
      return Status::Error("cannot activate " + c.description() + ": a view is gone");
    }
    UIView* host = second ? commonAncestor(first.get(), second.get()) : first.get();
    if (!host) {
      return Status::Error("cannot activate " + c.description() +
                           ": its views have no common ancestor");
    }
    plans.push_back(Plan{c, host, host->rootView()});
  }
  // One engine per tree; all or nothing across trees.
  std::vector<UIView*> roots;
  for (const Plan& p : plans) {
    if (std::find(roots.begin(), roots.end(), p.root) == roots.end()) roots.push_back(p.root);
  }
  std::vector<std::pair<UIView*, std::vector<LayoutConstraint>>> done;
  for (UIView* root : roots) {
    std::vector<LayoutConstraint> group;
    for (const Plan& p : plans) {
      if (p.root == root) group.push_back(p.constraint.data_->constraint);
    }
    // Views the live engine left out join it: it is built again with them.
    std::vector<UIView*> views;
    for (const Plan& p : plans) {
      if (p.root != root) continue;
      for (const auto& weak : {p.constraint.data_->first, p.constraint.data_->second}) {
        if (UIViewRef v = weak.lock()) views.push_back(v.get());
      }
    }
    if (root->engine_ &&
        std::any_of(views.begin(), views.end(), [](UIView* v) { return !v->inEngine_; })) {
      root->engine_.reset();
      root->treeLayoutDirty_ = true;
    }
    Status s = root->ensureEngine(views).activate(group);
    if (!s.ok()) {
      for (auto& [doneRoot, doneGroup] : done) doneRoot->engine_->deactivate(doneGroup);
      return s;
    }
    done.emplace_back(root, std::move(group));
  }
  for (const Plan& p : plans) {
    p.host->constraints_.push_back(p.constraint);
    p.constraint.data_->installedOn = p.host->weak_from_this();
    p.root->treeLayoutDirty_ = true;
  }
  return Status::Ok();
}

void NSLayoutConstraint::deactivateConstraints(const std::vector<NSLayoutConstraint>& constraints) {
  SENTREL_UIKIT_ASSERT_MAIN_THREAD();
  for (const NSLayoutConstraint& c : constraints) {
    if (!c) continue;
    UIViewRef host = c.data_->installedOn.lock();
    if (!host) continue;
    std::erase_if(host->constraints_, [&](const NSLayoutConstraint& x) { return x.sameAs(c); });
    c.data_->installedOn.reset();
    if (LayoutEngine* engine = host->liveEngine()) engine->deactivate(c.data_->constraint);
    host->invalidateTreeLayout();
  }
}

Result<std::vector<NSLayoutConstraint>> NSLayoutConstraint::constraintsWithVisualFormat(
    std::string_view format, std::uint32_t options, const layout::Metrics& metrics,
    const std::map<std::string, UIViewRef, std::less<>>& views) {
  SENTREL_UIKIT_ASSERT_MAIN_THREAD();
  layout::Views items;
  std::unordered_map<const layout::LayoutItem*, std::weak_ptr<UIView>> owners;
  for (const auto& [name, view] : views) {
    if (!view)
      return Result<std::vector<NSLayoutConstraint>>::Error("visual format: view \"" + name +
                                                            "\" is null");
    items.emplace(name, view->layoutItem());
    owners[view->layoutItem().get()] = view;
    if (UIView* super = view->superview())
      owners[super->layoutItem().get()] = super->weak_from_this();
  }
  auto made = layout::constraintsWithVisualFormat(format, options, metrics, items);
  if (!made.ok()) return made.status();
  std::vector<NSLayoutConstraint> out;
  for (LayoutConstraint& c : made.value()) {
    std::weak_ptr<UIView> first = owners[c.firstItem().get()];
    std::weak_ptr<UIView> second;
    if (c.secondItem()) second = owners[c.secondItem().get()];
    out.push_back(wrap(std::move(c), std::move(first), std::move(second)));
  }
  return out;
}

// ---- anchors and guides ----

NSLayoutConstraint NSLayoutAnchor::relate(NSLayoutRelation relation, const NSLayoutAnchor* other,
                                          double multiplier, double constant) const {
  auto made = LayoutConstraint::make(item_, attribute_, relation, other ? other->item_ : nullptr,
                                     other ? other->attribute_ : Attribute::kNotAnAttribute,
                                     multiplier, constant);
  if (!made.ok()) {
    logRefusal("anchor constraint refused: " + made.reason());
    return NSLayoutConstraint();
  }
  return NSLayoutConstraint::wrap(std::move(made).value(), owner_,
                                  other ? other->owner_ : std::weak_ptr<UIView>());
}

CGRect UILayoutGuide::layoutFrame() const {
  UIViewRef owner = owner_.lock();
  if (!owner) return CGRect{};
  const layout::Rect mine = item_->frame();
  const layout::Rect view = owner->item_->frame();
  return CGRectMake(mine.x - view.x + owner->bounds_.origin.x,
                    mine.y - view.y + owner->bounds_.origin.y, mine.width, mine.height);
}

// ---- the display link's observer ----

namespace {
std::function<void()>& dirtyObserver() {
  static std::function<void()> observer;
  return observer;
}
}  // namespace

void UIView::setDirtyObserver(std::function<void()> observer) {
  dirtyObserver() = std::move(observer);
}

void UIView::notifyDirtyObserver() {
  if (const auto& observer = dirtyObserver()) observer();
}

// ---- CALayer ----

void CALayer::changed() {
  view_->markDirty(kDirtyLayer);
}

void CALayer::setCornerRadius(double radius) {
  cornerRadius_ = std::isfinite(radius) && radius > 0 ? radius : 0;
  changed();
}
void CALayer::setMasksToBounds(bool masks) {
  masksToBounds_ = masks;
  changed();
}
void CALayer::setBorderWidth(double width) {
  borderWidth_ = std::isfinite(width) && width > 0 ? width : 0;
  changed();
}
void CALayer::setBorderColor(std::optional<UIColor> color) {
  borderColor_ = std::move(color);
  changed();
}
void CALayer::setOpacity(double opacity) {
  if (std::isnan(opacity)) return;
  const double from = opacity_;
  opacity_ = std::clamp(opacity, 0.0, 1.0);
  if (animation_internal::currentTiming())
    view_->noteAnimatable(UIViewAnimatedProperty::kAlpha, from, opacity_);
  view_->markDirty(kDirtyAppearance);
}
void CALayer::setZPosition(double z) {
  if (!std::isfinite(z)) return;
  zPosition_ = z;
  changed();
}
void CALayer::setTransform(const CATransform3D& t) {
  const double* values = &t.m11;
  for (int i = 0; i < 16; ++i) {
    if (!std::isfinite(values[i])) return;
  }
  if (animation_internal::currentTiming())
    view_->noteAnimatable(UIViewAnimatedProperty::kTransform, transform_, t);
  transform_ = t;
  changed();
}
void CALayer::setShouldRasterize(bool rasterize) {
  shouldRasterize_ = rasterize;
  changed();
}
void CALayer::setRasterizationScale(double scale) {
  if (!(std::isfinite(scale) && scale > 0)) return;
  rasterizationScale_ = scale;
  changed();
}

// ---- UIView ----

UIView::UIView() : UIView(CGRect{}) {}

UIView::UIView(const CGRect& frame)
    : renderId_(nextRenderId()), layer_(this), item_(std::make_shared<layout::LayoutItem>()) {
  SENTREL_UIKIT_ASSERT_MAIN_THREAD();
  setFrame(frame);
}

UIView::~UIView() {
  for (const auto& r : gestureRecognizers_) r->view_ = nullptr;
  for (const UIViewRef& sub : subviews_) {
    sub->superview_ = nullptr;
    sub->item_->setSuperitem(nullptr);
  }
  for (const NSLayoutConstraint& c : constraints_) c.data_->installedOn.reset();
}

CGRect UIView::frame() const {
  return CGRectMake(center_.x - bounds_.size.width / 2, center_.y - bounds_.size.height / 2,
                    bounds_.size.width, bounds_.size.height);
}

void UIView::setFrame(const CGRect& frame) {
  SENTREL_UIKIT_ASSERT_MAIN_THREAD();
  if (!finite(frame)) return;
  if (animation_internal::currentTiming())
    noteAnimatable(UIViewAnimatedProperty::kFrame, this->frame(), frame);
  const CGSize oldSize = bounds_.size;
  const CGPoint oldCenter = center_;
  bounds_.size = frame.size;
  center_ = CGPoint{frame.origin.x + frame.size.width / 2, frame.origin.y + frame.size.height / 2};
  if (oldSize != frame.size) setNeedsLayout();
  // Layout passes set the same frames again: only a change is news for the
  // display link.
  if (oldSize != frame.size || center_ != oldCenter) markDirty(kDirtyGeometry);
  updateAutoresizingConstants();
}

void UIView::setBounds(const CGRect& bounds) {
  SENTREL_UIKIT_ASSERT_MAIN_THREAD();
  if (!finite(bounds)) return;
  if (animation_internal::currentTiming())
    noteAnimatable(UIViewAnimatedProperty::kBounds, bounds_, bounds);
  const bool originMoved = bounds.origin != bounds_.origin;
  const bool resized = bounds.size != bounds_.size;
  bounds_ = bounds;
  if (resized) setNeedsLayout();
  if (resized || originMoved) markDirty(kDirtyGeometry);
  // Subviews' autoresizing constraints depend on the origin.
  if (originMoved)
    dropEngine();
  else
    updateAutoresizingConstants();
}

void UIView::setCenter(CGPoint center) {
  if (!std::isfinite(center.x) || !std::isfinite(center.y)) return;
  if (animation_internal::currentTiming())
    noteAnimatable(UIViewAnimatedProperty::kCenter, center_, center);
  center_ = center;
  markDirty(kDirtyGeometry);
  updateAutoresizingConstants();
}

CGPoint UIView::convertPoint(CGPoint point, const UIView* toView) const {
  // Up to the root's space, then down to the other view's.
  for (const UIView* v = this; v->superview_; v = v->superview_) {
    const CGRect f = v->frame();
    point.x += f.origin.x - v->bounds_.origin.x;
    point.y += f.origin.y - v->bounds_.origin.y;
  }
  for (const UIView* v = toView; v && v->superview_; v = v->superview_) {
    const CGRect f = v->frame();
    point.x -= f.origin.x - v->bounds_.origin.x;
    point.y -= f.origin.y - v->bounds_.origin.y;
  }
  return point;
}

CGRect UIView::convertRect(const CGRect& rect, const UIView* toView) const {
  return CGRect{convertPoint(rect.origin, toView), rect.size};
}

bool UIView::isAncestorOf(const UIView* view) const {
  for (const UIView* v = view; v; v = v->superview_) {
    if (v == this) return true;
  }
  return false;
}

bool UIView::isDescendantOfView(const UIView* view) const {
  return view && view->isAncestorOf(this);
}

bool UIView::addSubview(const UIViewRef& view) {
  return insertSubview(view, subviews_.size());
}

bool UIView::insertSubview(const UIViewRef& view, std::size_t index) {
  SENTREL_UIKIT_ASSERT_MAIN_THREAD();
  if (!view) {
    logRefusal("addSubview: refusing a null view");
    return false;
  }
  if (view->isAncestorOf(this)) {
    logRefusal(view.get() == this ? "addSubview: refusing to add a view to itself"
                                  : "addSubview: refusing to add a view's ancestor to it");
    return false;
  }
  if (view->superview_ == this) {
    auto it = std::find(subviews_.begin(), subviews_.end(), view);
    subviews_.erase(it);
    subviews_.insert(
        subviews_.begin() + static_cast<std::ptrdiff_t>(std::min(index, subviews_.size())), view);
    markDirty(kDirtyHierarchy);
    return true;
  }
  view->removeFromSuperview();
  subviews_.insert(
      subviews_.begin() + static_cast<std::ptrdiff_t>(std::min(index, subviews_.size())), view);
  view->superview_ = this;
  view->item_->setSuperitem(item_);
  view->engine_.reset();
  view->autoresizing_.clear();
  dropEngine();
  markDirty(kDirtyHierarchy);
  view->markDirty(kDirtyGeometry);
  didAddSubview(view.get());
  setNeedsLayout();
  return true;
}

bool UIView::insertSubviewAbove(const UIViewRef& view, const UIView* sibling) {
  auto it = std::find_if(subviews_.begin(), subviews_.end(),
                         [&](const UIViewRef& v) { return v.get() == sibling; });
  if (it == subviews_.end()) return addSubview(view);
  std::size_t index = static_cast<std::size_t>(it - subviews_.begin()) + 1;
  // Moving a subview that sits below the sibling shifts the sibling down.
  if (view && view->superview_ == this) {
    auto own = std::find(subviews_.begin(), subviews_.end(), view);
    if (own < it) --index;
  }
  return insertSubview(view, index);
}

bool UIView::insertSubviewBelow(const UIViewRef& view, const UIView* sibling) {
  auto it = std::find_if(subviews_.begin(), subviews_.end(),
                         [&](const UIViewRef& v) { return v.get() == sibling; });
  if (it == subviews_.end()) return insertSubview(view, 0);
  std::size_t index = static_cast<std::size_t>(it - subviews_.begin());
  if (view && view->superview_ == this) {
    auto own = std::find(subviews_.begin(), subviews_.end(), view);
    if (own < it) --index;
  }
  return insertSubview(view, index);
}

void UIView::bringSubviewToFront(const UIView* view) {
  auto it = std::find_if(subviews_.begin(), subviews_.end(),
                         [&](const UIViewRef& v) { return v.get() == view; });
  if (it == subviews_.end()) return;
  std::rotate(it, it + 1, subviews_.end());
  markDirty(kDirtyHierarchy);
}

void UIView::sendSubviewToBack(const UIView* view) {
  auto it = std::find_if(subviews_.begin(), subviews_.end(),
                         [&](const UIViewRef& v) { return v.get() == view; });
  if (it == subviews_.end()) return;
  std::rotate(subviews_.begin(), it, it + 1);
  markDirty(kDirtyHierarchy);
}

void UIView::removeFromSuperview() {
  SENTREL_UIKIT_ASSERT_MAIN_THREAD();
  if (!superview_) return;
  UIViewRef self = shared_from_this();  // alive until the end
  UIView* parent = superview_;
  parent->willRemoveSubview(this);
  if (superview_ != parent) return;  // the hook moved it
  // Constraints installed above this subtree that name a view in it.
  for (UIView* a = parent; a; a = a->superview_) {
    std::erase_if(a->constraints_, [&](const NSLayoutConstraint& c) {
      UIViewRef first = c.data_->first.lock();
      UIViewRef second = c.data_->second.lock();
      const bool crosses = (first && first->isDescendantOfView(this)) ||
                           (second && second->isDescendantOfView(this));
      if (crosses) c.data_->installedOn.reset();
      return crosses;
    });
  }
  dropEngine();
  std::erase(parent->subviews_, self);
  superview_ = nullptr;
  item_->setSuperitem(nullptr);
  autoresizing_.clear();
  parent->markDirty(kDirtyHierarchy);
  parent->setNeedsLayout();
}

UIWindow* UIView::window() const {
  const UIView* v = this;
  while (v->superview_) v = v->superview_;
  return dynamic_cast<UIWindow*>(const_cast<UIView*>(v));
}

UIView* UIView::rootView() {
  UIView* v = this;
  while (v->superview_) v = v->superview_;
  return v;
}

UIView* UIView::viewWithTag(long tag) {
  if (tag_ == tag) return this;
  for (const UIViewRef& sub : subviews_) {
    if (UIView* found = sub->viewWithTag(tag)) return found;
  }
  return nullptr;
}

void UIView::setHidden(bool hidden) {
  SENTREL_UIKIT_ASSERT_MAIN_THREAD();
  if (hidden == hidden_) return;
  hidden_ = hidden;
  markDirty(kDirtyAppearance);
  if (superview_) superview_->subviewDidChangeHidden(this);
}

void UIView::setBackgroundColor(std::optional<UIColor> color) {
  if (animation_internal::currentTiming())
    noteAnimatable(UIViewAnimatedProperty::kBackgroundColor, backgroundColor_, color);
  backgroundColor_ = std::move(color);
  markDirty(kDirtyAppearance);
}

UIColor UIView::tintColor() const {
  for (const UIView* v = this; v; v = v->superview_) {
    if (v->tintColor_) return *v->tintColor_;
  }
  return UIColor::systemBlueColor();
}

void UIView::setTintColor(std::optional<UIColor> color) {
  tintColor_ = std::move(color);
  markDirty(kDirtyAppearance);
}

UIUserInterfaceStyle UIView::userInterfaceStyle() const {
  for (const UIView* v = this; v; v = v->superview_) {
    if (v->overrideStyle_ != UIUserInterfaceStyle::kUnspecified) return v->overrideStyle_;
  }
  return UIUserInterfaceStyle::kLight;
}

void UIView::setOverrideUserInterfaceStyle(UIUserInterfaceStyle style) {
  overrideStyle_ = style;
  markDirty(kDirtyAppearance);
}

UIView* UIView::hitTest(CGPoint point) {
  if (hidden_ || alpha() < 0.01 || !userInteractionEnabled_ || !pointInside(point)) return nullptr;
  for (auto it = subviews_.rbegin(); it != subviews_.rend(); ++it) {
    UIView* sub = it->get();
    const CGRect f = sub->frame();
    const CGPoint local{point.x - f.origin.x + sub->bounds_.origin.x,
                        point.y - f.origin.y + sub->bounds_.origin.y};
    if (UIView* hit = sub->hitTest(local)) return hit;
  }
  return this;
}

bool UIView::pointInside(CGPoint point) const {
  return CGRectContainsPoint(bounds_, point);
}

// ---- layout ----

void UIView::setNeedsLayout() {
  needsLayout_ = true;
}

namespace {
// Intrinsic sizes invalidated so far (main thread only). A layout pass that
// changes one (a multi-line label learning its width) is followed by another,
// so one layoutIfNeeded settles the frames, as on the platform.
std::uint64_t intrinsicInvalidations = 0;
constexpr int kMaxLayoutPasses = 4;
}  // namespace

void UIView::layoutIfNeeded() {
  SENTREL_UIKIT_ASSERT_MAIN_THREAD();
  for (int pass = 0; pass < kMaxLayoutPasses; ++pass) {
    const std::uint64_t invalidations = intrinsicInvalidations;
    layoutPass();
    if (invalidations == intrinsicInvalidations) return;
  }
}

void UIView::layoutPass() {
  UIView* root = rootView();
  root->ensureEngine().layout();
  if (root->treeLayoutDirty_) {
    std::vector<UIView*> all;
    root->collect(all);
    for (UIView* v : all) v->needsLayout_ = true;
    root->treeLayoutDirty_ = false;
  }
  // Top down: a view's layoutSubviews may size its subviews, whose own
  // layout then follows. Shared pointers keep views alive while a
  // layoutSubviews rearranges the tree.
  if (needsLayout_) {
    needsLayout_ = false;
    runLayoutSubviews();
  }
  std::vector<UIViewRef> pending(subviews_.rbegin(), subviews_.rend());
  while (!pending.empty()) {
    UIViewRef v = std::move(pending.back());
    pending.pop_back();
    if (v->needsLayout_) {
      v->needsLayout_ = false;
      v->runLayoutSubviews();
    }
    pending.insert(pending.end(), v->subviews_.rbegin(), v->subviews_.rend());
  }
}

void UIView::layoutSubviews() {
  if (!rootView()->engine_) return;
  for (const UIViewRef& sub : subviews_) {
    if (!sub->translates_) applyLayoutTo(sub.get());
  }
}

void UIView::applyLayoutTo(UIView* subview) {
  const layout::Rect mine = item_->frame();
  const layout::Rect r = subview->item_->frame();
  subview->setFrame(CGRectMake(r.x - mine.x + bounds_.origin.x, r.y - mine.y + bounds_.origin.y,
                               r.width, r.height));
}

CGSize UIView::intrinsicContentSize() const {
  return CGSize{UIViewNoIntrinsicMetric, UIViewNoIntrinsicMetric};
}

void UIView::invalidateIntrinsicContentSize() {
  ++intrinsicInvalidations;
  if (LayoutEngine* engine = inEngine_ ? liveEngine() : nullptr) {
    const CGSize size = intrinsicContentSize();
    if (Status s = engine->setIntrinsicContentSize(item_, {size.width, size.height}); !s.ok())
      logRefusal("intrinsic content size refused: " + s.reason());
  }
  invalidateTreeLayout();
}

UILayoutPriority UIView::contentHuggingPriority(UILayoutConstraintAxis axis) const {
  return hugging_[axisIndex(axis)];
}

void UIView::setContentHuggingPriority(UILayoutPriority priority, UILayoutConstraintAxis axis) {
  if (!(priority >= 0 && priority <= UILayoutPriorityRequired)) return;
  hugging_[axisIndex(axis)] = priority;
  if (LayoutEngine* engine = inEngine_ ? liveEngine() : nullptr)
    (void)engine->setContentHuggingPriority(item_, axis, priority);
  invalidateTreeLayout();
}

UILayoutPriority UIView::contentCompressionResistancePriority(UILayoutConstraintAxis axis) const {
  return compression_[axisIndex(axis)];
}

void UIView::setContentCompressionResistancePriority(UILayoutPriority priority,
                                                     UILayoutConstraintAxis axis) {
  if (!(priority >= 0 && priority <= UILayoutPriorityRequired)) return;
  compression_[axisIndex(axis)] = priority;
  if (LayoutEngine* engine = inEngine_ ? liveEngine() : nullptr)
    (void)engine->setContentCompressionResistancePriority(item_, axis, priority);
  invalidateTreeLayout();
}

void UIView::setTranslatesAutoresizingMaskIntoConstraints(bool translates) {
  if (translates == translates_) return;
  translates_ = translates;
  dropEngine();
}

void UIView::setLayoutMargins(const UIEdgeInsets& m) {
  if (!std::isfinite(m.top) || !std::isfinite(m.left) || !std::isfinite(m.bottom) ||
      !std::isfinite(m.right))
    return;
  layoutMargins_ = m;
  if (LayoutEngine* engine = inEngine_ ? liveEngine() : nullptr) {
    if (Status s = engine->setLayoutMargins(item_, {m.top, m.left, m.bottom, m.right}); !s.ok()) {
      logRefusal("layout margins: " + s.reason());
      dropEngine();
    }
  }
  invalidateTreeLayout();
}

UILayoutGuide& UIView::layoutMarginsGuide() {
  if (!marginsGuide_) {
    marginsGuide_ = std::make_unique<UILayoutGuide>();
    marginsGuide_->owner_ = weak_from_this();
    marginsGuide_->item_ = std::make_shared<layout::LayoutItem>("layoutMarginsGuide");
    dropEngine();
  }
  return *marginsGuide_;
}

void UIView::collect(std::vector<UIView*>& out) {
  out.push_back(this);
  for (const UIViewRef& sub : subviews_) sub->collect(out);
}

LayoutEngine* UIView::liveEngine() {
  return rootView()->engine_.get();
}

void UIView::dropEngine() {
  UIView* root = rootView();
  root->engine_.reset();
  root->treeLayoutDirty_ = true;
}

void UIView::invalidateTreeLayout() {
  rootView()->treeLayoutDirty_ = true;
}

void UIView::updateAutoresizingConstants() {
  UIView* root = rootView();
  LayoutEngine* engine = root->engine_.get();
  if (!engine) return;
  if (root == this) {
    root->treeLayoutDirty_ = true;
    (void)engine->setFrame(
        item_, {bounds_.origin.x, bounds_.origin.y, bounds_.size.width, bounds_.size.height});
    return;
  }
  if (autoresizing_.size() != 4) return;
  root->treeLayoutDirty_ = true;
  const CGRect f = frame();
  const CGPoint o = superview_->bounds_.origin;
  const double values[4] = {f.origin.x - o.x, f.origin.y - o.y, f.size.width, f.size.height};
  for (int i = 0; i < 4; ++i) {
    if (Status s = engine->setConstant(autoresizing_[static_cast<std::size_t>(i)], values[i]);
        !s.ok()) {
      logRefusal("frame conflicts with constraints: " + s.reason());
      dropEngine();
      return;
    }
  }
}

LayoutEngine& UIView::ensureEngine(const std::vector<UIView*>& alsoNeeded) {
  if (engine_) return *engine_;
  engine_ = std::make_unique<LayoutEngine>();
  treeLayoutDirty_ = true;
  LayoutEngine& engine = *engine_;
  std::vector<UIView*> every;
  collect(every);
  // The views Auto Layout needs, and their ancestors.
  std::unordered_set<const UIView*> needed;
  auto need = [&](const UIView* v) {
    for (; v && needed.insert(v).second; v = v->superview_) {
    }
  };
  need(this);
  for (UIView* v : alsoNeeded) need(v);
  for (UIView* v : every) {
    v->inEngine_ = false;
    if (!v->translates_ || v->marginsGuide_) need(v);
    for (const NSLayoutConstraint& c : v->constraints_) {
      need(c.data_->first.lock().get());
      need(c.data_->second.lock().get());
    }
  }
  std::vector<UIView*> all;
  for (UIView* v : every) {
    if (!needed.count(v)) {
      v->autoresizing_.clear();
      continue;
    }
    v->inEngine_ = true;
    all.push_back(v);
  }
  auto activate = [&](const LayoutConstraint& c) {
    if (Status s = engine.activate(c); !s.ok()) logRefusal("layout: breaking " + s.reason());
  };
  auto make = [&](const layout::LayoutItemRef& a, Attribute aa, const layout::LayoutItemRef& b,
                  Attribute ba, double constant) {
    auto made = LayoutConstraint::make(a, aa, layout::Relation::kEqual, b, ba, 1, constant);
    return made.ok() ? std::move(made).value() : LayoutConstraint();
  };
  for (UIView* v : all) {
    const UIEdgeInsets& m = v->layoutMargins_;
    (void)engine.setLayoutMargins(v->item_, {m.top, m.left, m.bottom, m.right});
    for (auto axis : {UILayoutConstraintAxis::kHorizontal, UILayoutConstraintAxis::kVertical}) {
      (void)engine.setContentHuggingPriority(v->item_, axis, v->hugging_[axisIndex(axis)]);
      (void)engine.setContentCompressionResistancePriority(v->item_, axis,
                                                           v->compression_[axisIndex(axis)]);
    }
    const CGSize size = v->intrinsicContentSize();
    if (Status s = engine.setIntrinsicContentSize(v->item_, {size.width, size.height}); !s.ok())
      logRefusal("intrinsic content size refused: " + s.reason());
    v->autoresizing_.clear();
    if (v == this) {
      (void)engine.setFrame(
          item_, {bounds_.origin.x, bounds_.origin.y, bounds_.size.width, bounds_.size.height});
    } else if (v->translates_) {
      const CGRect f = v->frame();
      const CGPoint o = v->superview_->bounds_.origin;
      const auto& super = v->superview_->item_;
      v->autoresizing_ = {
          make(v->item_, Attribute::kLeft, super, Attribute::kLeft, f.origin.x - o.x),
          make(v->item_, Attribute::kTop, super, Attribute::kTop, f.origin.y - o.y),
          make(v->item_, Attribute::kWidth, nullptr, Attribute::kNotAnAttribute, f.size.width),
          make(v->item_, Attribute::kHeight, nullptr, Attribute::kNotAnAttribute, f.size.height)};
      for (const LayoutConstraint& c : v->autoresizing_) activate(c);
    }
    if (v->marginsGuide_) {
      const auto& g = v->marginsGuide_->item_;
      for (auto [ga, va] : {std::pair{Attribute::kLeft, Attribute::kLeftMargin},
                            std::pair{Attribute::kRight, Attribute::kRightMargin},
                            std::pair{Attribute::kTop, Attribute::kTopMargin},
                            std::pair{Attribute::kBottom, Attribute::kBottomMargin}}) {
        activate(make(g, ga, v->item_, va, 0));
      }
    }
  }
  for (UIView* v : all) {
    for (const NSLayoutConstraint& c : v->constraints_) activate(c.data_->constraint);
  }
  return engine;
}

std::vector<std::pair<UIView*, std::uint32_t>> UIView::collectDirtyViews() {
  std::vector<UIView*> all;
  collect(all);
  std::vector<std::pair<UIView*, std::uint32_t>> out;
  for (UIView* v : all) {
    if (v->dirty_ != kDirtyNone) out.emplace_back(v, v->dirty_);
    v->dirty_ = kDirtyNone;
  }
  return out;
}

}  // namespace sentrel::uikit
