// Auto Layout over the solver, free of any view class: layout items (what a
// view or a layout guide is to the engine), constraints between their
// attributes in the platform's terms, and an engine that activates them and
// computes frames.
//
// All items of one engine share one coordinate space (the window's): frame()
// is not relative to the superitem. Main thread only, like the views above.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/base/status.h"
#include "platform/layout/solver.h"

namespace sentrel::layout {

// Numbered as the platform numbers them.
enum class Attribute {
  kNotAnAttribute = 0,
  kLeft = 1,
  kRight = 2,
  kTop = 3,
  kBottom = 4,
  kLeading = 5,
  kTrailing = 6,
  kWidth = 7,
  kHeight = 8,
  kCenterX = 9,
  kCenterY = 10,
  kLastBaseline = 11,
  kFirstBaseline = 12,
  kLeftMargin = 13,
  kRightMargin = 14,
  kTopMargin = 15,
  kBottomMargin = 16,
  kLeadingMargin = 17,
  kTrailingMargin = 18,
  kCenterXWithinMargins = 19,
  kCenterYWithinMargins = 20,
};
const char* attributeName(Attribute attribute);  // "leading", "topMargin", ...

enum class Axis { kHorizontal, kVertical };
enum class LayoutDirection { kLeftToRight, kRightToLeft };  // what leading means

struct Insets {
  double top = 0;
  double left = 0;
  double bottom = 0;
  double right = 0;
};
struct Size {
  double width = 0;
  double height = 0;
};
struct Rect {
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;
};

inline constexpr double kNoIntrinsicMetric = -1;
inline constexpr double kStandardSpacing = 8;  // between siblings, and the default margins

// A rectangle the engine solves for. Its attributes are expressions over four
// variables (left, top, width, height): right = left + width, and so on.
// Settings that change constraints (margins, intrinsic size, priorities) are
// changed through LayoutEngine so that active constraints follow.
class LayoutItem {
 public:
  explicit LayoutItem(std::string name = {});

  const std::string& name() const { return name_; }
  const Variable& left() const { return left_; }
  const Variable& top() const { return top_; }
  const Variable& width() const { return width_; }
  const Variable& height() const { return height_; }

  // The item whose edges "|" means in the visual format language.
  std::shared_ptr<LayoutItem> superitem() const { return superitem_.lock(); }
  void setSuperitem(const std::shared_ptr<LayoutItem>& superitem) { superitem_ = superitem; }

  const Insets& layoutMargins() const { return margins_; }
  Size intrinsicContentSize() const { return intrinsic_; }
  double contentHuggingPriority(Axis axis) const { return hugging_[index(axis)]; }
  double contentCompressionResistancePriority(Axis axis) const { return compression_[index(axis)]; }
  // Both baselines sit this far above the bottom.
  double baselineOffsetFromBottom() const { return baselineOffset_; }

  // The attribute as a solver expression.
  // REQUIRES: attribute is not kNotAnAttribute.
  Expression expression(Attribute attribute, LayoutDirection direction) const;

  // The solved frame, valid after LayoutEngine::layout().
  Rect frame() const;

 private:
  friend class LayoutEngine;
  static int index(Axis axis) { return axis == Axis::kHorizontal ? 0 : 1; }

  std::string name_;
  Variable left_, top_, width_, height_;
  std::weak_ptr<LayoutItem> superitem_;
  Insets margins_{kStandardSpacing, kStandardSpacing, kStandardSpacing, kStandardSpacing};
  Size intrinsic_{kNoIntrinsicMetric, kNoIntrinsicMetric};
  double hugging_[2] = {kPriorityDefaultLow, kPriorityDefaultLow};
  double compression_[2] = {kPriorityDefaultHigh, kPriorityDefaultHigh};
  double baselineOffset_ = 0;
};

using LayoutItemRef = std::shared_ptr<LayoutItem>;

class LayoutEngine;

// first.attribute <relation> multiplier * second.attribute + constant, at a
// priority. A handle: copies are the same constraint.
class LayoutConstraint {
 public:
  LayoutConstraint() = default;  // null

  // Errors, as the platform refuses them: no first item or attribute; a
  // location attribute with no second item; a size attribute against a
  // location one; locations of different axes; a zero multiplier between
  // locations; numbers that are not finite; a priority outside (0, 1000].
  static Result<LayoutConstraint> make(LayoutItemRef first, Attribute firstAttribute,
                                       Relation relation, LayoutItemRef second,
                                       Attribute secondAttribute, double multiplier = 1,
                                       double constant = 0, double priority = kPriorityRequired);

  explicit operator bool() const { return data_ != nullptr; }
  bool sameAs(const LayoutConstraint& other) const { return data_ == other.data_; }

  // REQUIRES: non-null for all below.
  const LayoutItemRef& firstItem() const { return data_->first; }
  Attribute firstAttribute() const { return data_->firstAttribute; }
  Relation relation() const { return data_->relation; }
  const LayoutItemRef& secondItem() const { return data_->second; }  // may be null
  Attribute secondAttribute() const { return data_->secondAttribute; }
  double multiplier() const { return data_->multiplier; }
  double constant() const { return data_->constant; }
  double priority() const { return data_->priority; }
  bool isActive() const { return data_->engine != nullptr; }
  const std::string& identifier() const { return data_->identifier; }
  void setIdentifier(std::string identifier) { data_->identifier = std::move(identifier); }

  // "label.leading == superview.leadingMargin + 0 @750"
  std::string description() const;

 private:
  friend class LayoutEngine;
  struct Data {
    LayoutItemRef first;
    Attribute firstAttribute = Attribute::kNotAnAttribute;
    Relation relation = Relation::kEqual;
    LayoutItemRef second;
    Attribute secondAttribute = Attribute::kNotAnAttribute;
    double multiplier = 1;
    double constant = 0;
    double priority = kPriorityRequired;
    std::string identifier;
    LayoutEngine* engine = nullptr;  // where it is active; null when inactive
    Constraint solved;               // its solver form while active
  };
  std::shared_ptr<Data> data_;
};

// Owns a solver and the constraints active in it. Destroying the engine
// deactivates its constraints.
class LayoutEngine {
 public:
  explicit LayoutEngine(LayoutDirection direction = LayoutDirection::kLeftToRight);
  ~LayoutEngine();
  LayoutEngine(const LayoutEngine&) = delete;
  LayoutEngine& operator=(const LayoutEngine&) = delete;

  LayoutDirection direction() const { return direction_; }

  // Activation. A required constraint that conflicts with the required ones
  // active is refused with an error naming it, and stays inactive. The list
  // form is all or nothing. A constraint active in another engine is refused.
  Status activate(const LayoutConstraint& constraint);
  Status activate(const std::vector<LayoutConstraint>& constraints);
  void deactivate(const LayoutConstraint& constraint);  // no-op when inactive here
  void deactivate(const std::vector<LayoutConstraint>& constraints);
  std::vector<LayoutConstraint> activeConstraints() const;

  // Work on active or inactive constraints. A required constant that cannot
  // hold is refused, keeping the old one. As on the platform, an active
  // constraint cannot change between required and not required.
  Status setConstant(const LayoutConstraint& constraint, double constant);
  Status setPriority(const LayoutConstraint& constraint, double priority);

  // Item settings; active constraints and content-size constraints follow.
  // Content size: width <= intrinsic at the hugging priority and width >=
  // intrinsic at the compression-resistance priority (the same for height);
  // kNoIntrinsicMetric means none on that axis, and so does a priority of 0.
  Status setIntrinsicContentSize(const LayoutItemRef& item, Size size);
  Status setContentHuggingPriority(const LayoutItemRef& item, Axis axis, double priority);
  Status setContentCompressionResistancePriority(const LayoutItemRef& item, Axis axis,
                                                 double priority);
  Status setLayoutMargins(const LayoutItemRef& item, Insets margins);
  Status setBaselineOffsetFromBottom(const LayoutItemRef& item, double offset);
  // Deactivates every constraint naming the item and drops its content size.
  void removeItem(const LayoutItemRef& item);

  // Pins an item's frame (a window's root view) with required constraints;
  // a later call moves it in place.
  Status setFrame(const LayoutItemRef& item, Rect frame);

  // Solves and writes every item's frame.
  void layout();

  // The solver underneath, for edit variables of the toolkit's own (a value
  // followed by a finger). Constraints the engine added must be left alone.
  Solver& solver() { return solver_; }

 private:
  struct ContentSize;  // an item's content-size constraints
  struct Pin;          // an item's frame constraints

  Constraint solverForm(const LayoutConstraint::Data& data, double priority) const;
  Status syncContentSize(const LayoutItemRef& item);
  Status refreshConstantsOf(const LayoutItem* item);

  LayoutDirection direction_;
  Solver solver_;
  std::vector<LayoutConstraint> active_;
  std::vector<std::unique_ptr<ContentSize>> contentSizes_;
  std::vector<std::unique_ptr<Pin>> pins_;
};

}  // namespace sentrel::layout
