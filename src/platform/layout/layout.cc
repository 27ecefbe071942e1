#include "platform/layout/layout.h"

#include <algorithm>
#include <cmath>
#include <sstream>

namespace sentrel::layout {

namespace {

bool isSize(Attribute a) {
  return a == Attribute::kWidth || a == Attribute::kHeight;
}

bool isHorizontal(Attribute a) {
  switch (a) {
    case Attribute::kLeft:
    case Attribute::kRight:
    case Attribute::kLeading:
    case Attribute::kTrailing:
    case Attribute::kWidth:
    case Attribute::kCenterX:
    case Attribute::kLeftMargin:
    case Attribute::kRightMargin:
    case Attribute::kLeadingMargin:
    case Attribute::kTrailingMargin:
    case Attribute::kCenterXWithinMargins:
      return true;
    default:
      return false;
  }
}

bool dependsOnItemSettings(Attribute a) {
  return a >= Attribute::kLastBaseline && a <= Attribute::kCenterYWithinMargins;
}

bool validPriority(double p) {
  return std::isfinite(p) && p > 0 && p <= kPriorityRequired;
}
// Content priorities may also be 0, which asks for no constraint at all.
bool validContentPriority(double p) {
  return std::isfinite(p) && p >= 0 && p <= kPriorityRequired;
}

std::string itemName(const LayoutItemRef& item) {
  return item->name().empty() ? std::string("item") : item->name();
}

}  // namespace

const char* attributeName(Attribute attribute) {
  switch (attribute) {
    case Attribute::kNotAnAttribute:
      return "notAnAttribute";
    case Attribute::kLeft:
      return "left";
    case Attribute::kRight:
      return "right";
    case Attribute::kTop:
      return "top";
    case Attribute::kBottom:
      return "bottom";
    case Attribute::kLeading:
      return "leading";
    case Attribute::kTrailing:
      return "trailing";
    case Attribute::kWidth:
      return "width";
    case Attribute::kHeight:
      return "height";
    case Attribute::kCenterX:
      return "centerX";
    case Attribute::kCenterY:
      return "centerY";
    case Attribute::kLastBaseline:
      return "lastBaseline";
    case Attribute::kFirstBaseline:
      return "firstBaseline";
    case Attribute::kLeftMargin:
      return "leftMargin";
    case Attribute::kRightMargin:
      return "rightMargin";
    case Attribute::kTopMargin:
      return "topMargin";
    case Attribute::kBottomMargin:
      return "bottomMargin";
    case Attribute::kLeadingMargin:
      return "leadingMargin";
    case Attribute::kTrailingMargin:
      return "trailingMargin";
    case Attribute::kCenterXWithinMargins:
      return "centerXWithinMargins";
    case Attribute::kCenterYWithinMargins:
      return "centerYWithinMargins";
  }
  return "unknown";
}

// ---------------------------------------------------------------------------
// LayoutItem

LayoutItem::LayoutItem(std::string name) : name_(std::move(name)) {
  const std::string prefix = name_.empty() ? std::string("item") : name_;
  left_.setName(prefix + ".left");
  top_.setName(prefix + ".top");
  width_.setName(prefix + ".width");
  height_.setName(prefix + ".height");
}

Expression LayoutItem::expression(Attribute attribute, LayoutDirection direction) const {
  const bool ltr = direction == LayoutDirection::kLeftToRight;
  const Expression left(left_), top(top_), width(width_), height(height_);
  switch (attribute) {
    case Attribute::kLeft:
      return left;
    case Attribute::kRight:
      return left + width;
    case Attribute::kTop:
      return top;
    case Attribute::kBottom:
      return top + height;
    case Attribute::kLeading:
      return expression(ltr ? Attribute::kLeft : Attribute::kRight, direction);
    case Attribute::kTrailing:
      return expression(ltr ? Attribute::kRight : Attribute::kLeft, direction);
    case Attribute::kWidth:
      return width;
    case Attribute::kHeight:
      return height;
    case Attribute::kCenterX:
      return left + width * 0.5;
    case Attribute::kCenterY:
      return top + height * 0.5;
    case Attribute::kLastBaseline:
    case Attribute::kFirstBaseline:
      return top + height - baselineOffset_;
    case Attribute::kLeftMargin:
      return left + margins_.left;
    case Attribute::kRightMargin:
      return left + width - margins_.right;
    case Attribute::kTopMargin:
      return top + margins_.top;
    case Attribute::kBottomMargin:
      return top + height - margins_.bottom;
    case Attribute::kLeadingMargin:
      return expression(ltr ? Attribute::kLeftMargin : Attribute::kRightMargin, direction);
    case Attribute::kTrailingMargin:
      return expression(ltr ? Attribute::kRightMargin : Attribute::kLeftMargin, direction);
    case Attribute::kCenterXWithinMargins:
      return left + width * 0.5 + (margins_.left - margins_.right) * 0.5;
    case Attribute::kCenterYWithinMargins:
      return top + height * 0.5 + (margins_.top - margins_.bottom) * 0.5;
    case Attribute::kNotAnAttribute:
      break;
  }
  return Expression(0);
}

Rect LayoutItem::frame() const {
  return {left_.value(), top_.value(), width_.value(), height_.value()};
}

// ---------------------------------------------------------------------------
// LayoutConstraint

Result<LayoutConstraint> LayoutConstraint::make(LayoutItemRef first, Attribute firstAttribute,
                                                Relation relation, LayoutItemRef second,
                                                Attribute secondAttribute, double multiplier,
                                                double constant, double priority) {
  auto fail = [](const std::string& why) {
    return Result<LayoutConstraint>::Error("invalid layout constraint: " + why);
  };
  if (!first || firstAttribute == Attribute::kNotAnAttribute) {
    return fail("no first item or attribute");
  }
  if (!std::isfinite(multiplier) || !std::isfinite(constant)) {
    return fail("multiplier and constant must be finite");
  }
  if (!validPriority(priority)) return fail("priority must be in (0, 1000]");
  if (!second) {
    if (secondAttribute != Attribute::kNotAnAttribute) return fail("an attribute with no item");
    if (!isSize(firstAttribute)) {
      return fail(std::string("a location (") + attributeName(firstAttribute) +
                  ") needs a second item");
    }
  } else {
    if (secondAttribute == Attribute::kNotAnAttribute) return fail("an item with no attribute");
    if (isSize(firstAttribute) != isSize(secondAttribute)) {
      return fail(std::string("a size and a location cannot be related (") +
                  attributeName(firstAttribute) + ", " + attributeName(secondAttribute) + ")");
    }
    if (!isSize(firstAttribute)) {
      if (isHorizontal(firstAttribute) != isHorizontal(secondAttribute)) {
        return fail(std::string("locations of different axes (") + attributeName(firstAttribute) +
                    ", " + attributeName(secondAttribute) + ")");
      }
      if (multiplier == 0) return fail("a zero multiplier on a location");
    }
  }
  LayoutConstraint c;
  c.data_ = std::make_shared<Data>();
  c.data_->first = std::move(first);
  c.data_->firstAttribute = firstAttribute;
  c.data_->relation = relation;
  c.data_->second = std::move(second);
  c.data_->secondAttribute = secondAttribute;
  c.data_->multiplier = multiplier;
  c.data_->constant = constant;
  c.data_->priority = priority;
  return c;
}

std::string LayoutConstraint::description() const {
  if (!data_) return "(null layout constraint)";
  std::ostringstream out;
  out << itemName(data_->first) << "." << attributeName(data_->firstAttribute) << " "
      << relationSymbol(data_->relation) << " ";
  if (data_->second) {
    out << itemName(data_->second) << "." << attributeName(data_->secondAttribute);
    if (data_->multiplier != 1) out << " * " << data_->multiplier;
    if (data_->constant != 0) {
      out << (data_->constant < 0 ? " - " : " + ") << std::fabs(data_->constant);
    }
  } else {
    out << data_->constant;
  }
  if (data_->priority < kPriorityRequired) out << " @" << data_->priority;
  if (!data_->identifier.empty()) out << " (" << data_->identifier << ")";
  return out.str();
}

// ---------------------------------------------------------------------------
// LayoutEngine

struct LayoutEngine::ContentSize {
  LayoutItemRef item;
  Constraint hugging[2];      // size <= intrinsic, by axis
  Constraint compression[2];  // size >= intrinsic, by axis
};

struct LayoutEngine::Pin {
  LayoutItemRef item;
  Constraint edges[4];  // left, top, width, height
};

LayoutEngine::LayoutEngine(LayoutDirection direction) : direction_(direction) {}

LayoutEngine::~LayoutEngine() {
  for (LayoutConstraint& c : active_) {
    c.data_->engine = nullptr;
    c.data_->solved = Constraint();
  }
}

Constraint LayoutEngine::solverForm(const LayoutConstraint::Data& data, double priority) const {
  Expression lhs = data.first->expression(data.firstAttribute, direction_);
  Expression rhs(data.constant);
  if (data.second) {
    rhs += data.second->expression(data.secondAttribute, direction_) * data.multiplier;
  }
  return Constraint(lhs, data.relation, rhs, priority);
}

Status LayoutEngine::activate(const LayoutConstraint& constraint) {
  if (!constraint) return Status::Error("cannot activate a null layout constraint");
  LayoutConstraint::Data& data = *constraint.data_;
  if (data.engine == this) return Status::Ok();
  if (data.engine) {
    return Status::Error("layout constraint is active in another engine: " +
                         constraint.description());
  }
  Constraint solved = solverForm(data, data.priority);
  if (Status s = solver_.addConstraint(solved); !s.ok()) {
    return Status::Error("unable to satisfy " + constraint.description() + ": " + s.reason());
  }
  data.engine = this;
  data.solved = std::move(solved);
  active_.push_back(constraint);
  return Status::Ok();
}

Status LayoutEngine::activate(const std::vector<LayoutConstraint>& constraints) {
  std::vector<LayoutConstraint> added;
  for (const LayoutConstraint& c : constraints) {
    const bool wasActive = c && c.isActive();
    if (Status s = activate(c); !s.ok()) {
      deactivate(added);
      return s;
    }
    if (!wasActive) added.push_back(c);
  }
  return Status::Ok();
}

void LayoutEngine::deactivate(const LayoutConstraint& constraint) {
  if (!constraint || constraint.data_->engine != this) return;
  LayoutConstraint::Data& data = *constraint.data_;
  (void)solver_.removeConstraint(data.solved);  // present by construction
  data.engine = nullptr;
  data.solved = Constraint();
  std::erase_if(active_, [&](const LayoutConstraint& c) { return c.sameAs(constraint); });
}

void LayoutEngine::deactivate(const std::vector<LayoutConstraint>& constraints) {
  for (const LayoutConstraint& c : constraints) deactivate(c);
}

std::vector<LayoutConstraint> LayoutEngine::activeConstraints() const {
  return active_;
}

Status LayoutEngine::setConstant(const LayoutConstraint& constraint, double constant) {
  if (!constraint) return Status::Error("null layout constraint");
  if (!std::isfinite(constant)) return Status::Error("layout constant must be finite");
  LayoutConstraint::Data& data = *constraint.data_;
  if (data.engine && data.engine != this) {
    return Status::Error("layout constraint is active in another engine");
  }
  const double old = data.constant;
  data.constant = constant;
  if (!data.engine) return Status::Ok();
  const double solverConstant = solverForm(data, data.priority).expression().constant();
  if (Status s = solver_.setConstant(data.solved, solverConstant); !s.ok()) {
    data.constant = old;
    return Status::Error("unable to set constant " + std::to_string(constant) + " on " +
                         constraint.description() + ": " + s.reason());
  }
  return Status::Ok();
}

Status LayoutEngine::setPriority(const LayoutConstraint& constraint, double priority) {
  if (!constraint) return Status::Error("null layout constraint");
  if (!validPriority(priority)) return Status::Error("priority must be in (0, 1000]");
  LayoutConstraint::Data& data = *constraint.data_;
  if (data.engine && data.engine != this) {
    return Status::Error("layout constraint is active in another engine");
  }
  if (!data.engine) {
    data.priority = priority;
    return Status::Ok();
  }
  if ((priority >= kPriorityRequired) != (data.priority >= kPriorityRequired)) {
    return Status::Error("an active constraint cannot change between required and not required: " +
                         constraint.description());
  }
  if (priority == data.priority) return Status::Ok();
  // Optional constraints never conflict, so swapping the solver form is safe.
  Constraint solved = solverForm(data, priority);
  (void)solver_.removeConstraint(data.solved);
  if (Status s = solver_.addConstraint(solved); !s.ok()) {
    (void)solver_.addConstraint(data.solved);
    return s;
  }
  data.priority = priority;
  data.solved = std::move(solved);
  return Status::Ok();
}

Status LayoutEngine::syncContentSize(const LayoutItemRef& item) {
  auto it = std::find_if(contentSizes_.begin(), contentSizes_.end(),
                         [&](const auto& c) { return c->item == item; });
  if (it == contentSizes_.end()) {
    contentSizes_.push_back(std::make_unique<ContentSize>());
    contentSizes_.back()->item = item;
    it = contentSizes_.end() - 1;
  }
  ContentSize& cs = **it;
  Status result;
  auto sync = [&](Constraint& slot, const Variable& size, Relation relation, double value,
                  double priority) {
    if (value < 0 || priority <= 0) {  // no intrinsic size, or a priority of 0: no constraint
      if (slot) (void)solver_.removeConstraint(slot);
      slot = Constraint();
      return;
    }
    if (slot && slot.priority() == priority) {
      Status s = solver_.setConstant(slot, -value);
      if (!s.ok() && result.ok()) result = s;
      return;
    }
    if (slot) (void)solver_.removeConstraint(slot);
    slot = Constraint(Expression(size), relation, Expression(value), priority);
    if (Status s = solver_.addConstraint(slot); !s.ok()) {
      slot = Constraint();
      if (result.ok()) result = s;
    }
  };
  const Size intrinsic = item->intrinsic_;
  for (int axis = 0; axis < 2; ++axis) {
    const Variable& size = axis == 0 ? item->width_ : item->height_;
    const double value = axis == 0 ? intrinsic.width : intrinsic.height;
    sync(cs.hugging[axis], size, Relation::kLessThanOrEqual, value, item->hugging_[axis]);
    sync(cs.compression[axis], size, Relation::kGreaterThanOrEqual, value,
         item->compression_[axis]);
  }
  if (!result.ok()) {
    return Status::Error("content size of " + itemName(item) + ": " + result.reason());
  }
  return result;
}

Status LayoutEngine::setIntrinsicContentSize(const LayoutItemRef& item, Size size) {
  if (!item) return Status::Error("null layout item");
  for (double v : {size.width, size.height}) {
    if (!std::isfinite(v) || (v < 0 && v != kNoIntrinsicMetric)) {
      return Status::Error("intrinsic content size must be finite and not negative");
    }
  }
  item->intrinsic_ = size;
  return syncContentSize(item);
}

Status LayoutEngine::setContentHuggingPriority(const LayoutItemRef& item, Axis axis,
                                               double priority) {
  if (!item) return Status::Error("null layout item");
  if (!validContentPriority(priority)) return Status::Error("priority must be in [0, 1000]");
  item->hugging_[LayoutItem::index(axis)] = priority;
  return syncContentSize(item);
}

Status LayoutEngine::setContentCompressionResistancePriority(const LayoutItemRef& item, Axis axis,
                                                             double priority) {
  if (!item) return Status::Error("null layout item");
  if (!validContentPriority(priority)) return Status::Error("priority must be in [0, 1000]");
  item->compression_[LayoutItem::index(axis)] = priority;
  return syncContentSize(item);
}

Status LayoutEngine::refreshConstantsOf(const LayoutItem* item) {
  for (const LayoutConstraint& c : active_) {
    const LayoutConstraint::Data& data = *c.data_;
    const bool affected =
        (data.first.get() == item && dependsOnItemSettings(data.firstAttribute)) ||
        (data.second.get() == item && dependsOnItemSettings(data.secondAttribute));
    if (!affected) continue;
    const double k = solverForm(data, data.priority).expression().constant();
    if (Status s = solver_.setConstant(data.solved, k); !s.ok()) {
      return Status::Error("unable to satisfy " + c.description() + ": " + s.reason());
    }
  }
  return Status::Ok();
}

Status LayoutEngine::setLayoutMargins(const LayoutItemRef& item, Insets margins) {
  if (!item) return Status::Error("null layout item");
  for (double v : {margins.top, margins.left, margins.bottom, margins.right}) {
    if (!std::isfinite(v)) return Status::Error("layout margins must be finite");
  }
  const Insets old = item->margins_;
  item->margins_ = margins;
  if (Status s = refreshConstantsOf(item.get()); !s.ok()) {
    item->margins_ = old;
    (void)refreshConstantsOf(item.get());
    return s;
  }
  return Status::Ok();
}

Status LayoutEngine::setBaselineOffsetFromBottom(const LayoutItemRef& item, double offset) {
  if (!item) return Status::Error("null layout item");
  if (!std::isfinite(offset)) return Status::Error("baseline offset must be finite");
  const double old = item->baselineOffset_;
  item->baselineOffset_ = offset;
  if (Status s = refreshConstantsOf(item.get()); !s.ok()) {
    item->baselineOffset_ = old;
    (void)refreshConstantsOf(item.get());
    return s;
  }
  return Status::Ok();
}

void LayoutEngine::removeItem(const LayoutItemRef& item) {
  std::vector<LayoutConstraint> naming;
  for (const LayoutConstraint& c : active_) {
    if (c.firstItem() == item || c.secondItem() == item) naming.push_back(c);
  }
  deactivate(naming);
  auto drop = [&](Constraint& c) {
    if (c) (void)solver_.removeConstraint(c);
    c = Constraint();
  };
  std::erase_if(contentSizes_, [&](const std::unique_ptr<ContentSize>& cs) {
    if (cs->item != item) return false;
    for (Constraint& c : cs->hugging) drop(c);
    for (Constraint& c : cs->compression) drop(c);
    return true;
  });
  std::erase_if(pins_, [&](const std::unique_ptr<Pin>& pin) {
    if (pin->item != item) return false;
    for (Constraint& c : pin->edges) drop(c);
    return true;
  });
}

Status LayoutEngine::setFrame(const LayoutItemRef& item, Rect frame) {
  if (!item) return Status::Error("null layout item");
  const double values[4] = {frame.x, frame.y, frame.width, frame.height};
  for (double v : values) {
    if (!std::isfinite(v)) return Status::Error("frame must be finite");
  }
  auto it =
      std::find_if(pins_.begin(), pins_.end(), [&](const auto& p) { return p->item == item; });
  const Variable* vars[4] = {&item->left_, &item->top_, &item->width_, &item->height_};
  if (it != pins_.end()) {
    Pin& pin = **it;
    double old[4];
    for (int i = 0; i < 4; ++i) {
      old[i] = solver_.constantOf(pin.edges[i]);
      if (Status s = solver_.setConstant(pin.edges[i], -values[i]); !s.ok()) {
        for (int j = 0; j < i; ++j) (void)solver_.setConstant(pin.edges[j], old[j]);
        return Status::Error("unable to set the frame of " + itemName(item) + ": " + s.reason());
      }
    }
    return Status::Ok();
  }
  auto pin = std::make_unique<Pin>();
  pin->item = item;
  for (int i = 0; i < 4; ++i) {
    pin->edges[i] = Constraint(Expression(*vars[i]), Relation::kEqual, Expression(values[i]));
    if (Status s = solver_.addConstraint(pin->edges[i]); !s.ok()) {
      for (int j = 0; j < i; ++j) (void)solver_.removeConstraint(pin->edges[j]);
      return Status::Error("unable to set the frame of " + itemName(item) + ": " + s.reason());
    }
  }
  pins_.push_back(std::move(pin));
  return Status::Ok();
}

void LayoutEngine::layout() {
  solver_.updateVariables();
}

}  // namespace sentrel::layout
