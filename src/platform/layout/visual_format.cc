#include "platform/layout/visual_format.h"

#include <charconv>
#include <cmath>
#include <optional>

namespace sentrel::layout {

namespace {

struct Predicate {
  Relation relation = Relation::kEqual;
  double constant = 0;
  LayoutItemRef view;  // set when the object is a view
  double priority = kPriorityRequired;
};

struct Connection {
  enum class Kind { kFlush, kStandard, kPredicates } kind = Kind::kFlush;
  std::vector<Predicate> predicates;
};

struct ViewElement {
  LayoutItemRef item;
  std::string name;
  std::vector<Predicate> predicates;
  std::size_t position = 0;
};

bool isNameStart(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
}
bool isNameChar(char c) {
  return isNameStart(c) || (c >= '0' && c <= '9');
}
bool isNumberStart(char c) {
  return (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '+';
}

class Parser {
 public:
  Parser(std::string_view format, const Metrics& metrics, const Views& views)
      : s_(format), metrics_(metrics), views_(views) {}

  // The parsed format; false with error() set on failure.
  bool parse() {
    skipBlanks();
    if (pos_ < s_.size() && (s_[pos_] == 'H' || s_[pos_] == 'V')) {
      std::size_t save = pos_;
      const bool vertical = s_[pos_] == 'V';
      ++pos_;
      if (consume(':')) {
        vertical_ = vertical;
      } else {
        pos_ = save;
      }
    }
    if (consume('|')) {
      leadingSuperPosition_ = pos_ - 1;
      leadingSuper_ = true;
      if (!parseConnection(leadingConnection_)) return false;
    }
    views_list_.emplace_back();
    if (!parseView(views_list_.back())) return false;
    while (true) {
      std::size_t connectionStart = (skipBlanks(), pos_);
      Connection c;
      if (!parseConnection(c)) return false;
      if (peek('[')) {
        connections_.push_back(std::move(c));
        views_list_.emplace_back();
        if (!parseView(views_list_.back())) return false;
        continue;
      }
      if (peek('|')) {
        trailingSuperPosition_ = pos_;
        ++pos_;
        trailingSuper_ = true;
        trailingConnection_ = std::move(c);
        break;
      }
      if (pos_ >= s_.size() && c.kind == Connection::Kind::kFlush) break;
      if (pos_ >= s_.size())
        return fail("expected '[' or '|' after the connection", connectionStart);
      return fail("expected '[', '-' or '|'", pos_);
    }
    skipBlanks();
    if (pos_ != s_.size()) return fail("unexpected characters after the format", pos_);
    return true;
  }

  const std::string& error() const { return error_; }

  bool vertical_ = false;
  bool leadingSuper_ = false;
  bool trailingSuper_ = false;
  std::size_t leadingSuperPosition_ = 0;
  std::size_t trailingSuperPosition_ = 0;
  Connection leadingConnection_;
  Connection trailingConnection_;
  std::vector<ViewElement> views_list_;
  std::vector<Connection> connections_;  // connections_[i] joins views i and i + 1

  bool fail(const std::string& what, std::size_t at) {
    if (error_.empty()) {
      error_ = "visual format: " + what + " at position " + std::to_string(at) + " in \"" +
               std::string(s_) + "\"";
    }
    return false;
  }

 private:
  void skipBlanks() {
    while (pos_ < s_.size() && (s_[pos_] == ' ' || s_[pos_] == '\t' || s_[pos_] == '\n')) ++pos_;
  }
  bool peek(char c) {
    skipBlanks();
    return pos_ < s_.size() && s_[pos_] == c;
  }
  bool consume(char c) {
    if (!peek(c)) return false;
    ++pos_;
    return true;
  }
  bool expect(char c) {
    if (consume(c)) return true;
    return fail(std::string("expected '") + c + "'", pos_);
  }

  bool parseName(std::string& out) {
    skipBlanks();
    if (pos_ >= s_.size() || !isNameStart(s_[pos_])) return fail("expected a name", pos_);
    std::size_t start = pos_;
    while (pos_ < s_.size() && isNameChar(s_[pos_])) ++pos_;
    out.assign(s_.substr(start, pos_ - start));
    return true;
  }

  bool parseNumber(double& out) {
    skipBlanks();
    std::size_t start = pos_;
    const char* first = s_.data() + pos_;
    const char* last = s_.data() + s_.size();
    if (first < last && *first == '+') ++first;
    // Only decimal digits: from_chars would also take "inf" and "nan".
    const char* digits = first < last && *first == '-' ? first + 1 : first;
    if (digits >= last || !((*digits >= '0' && *digits <= '9') || *digits == '.')) {
      return fail("expected a number", start);
    }
    double value = 0;
    auto [end, ec] = std::from_chars(first, last, value);
    if (ec != std::errc() || !std::isfinite(value)) return fail("bad number", start);
    pos_ = static_cast<std::size_t>(end - s_.data());
    out = value;
    return true;
  }

  bool parseMetric(double& out) {
    std::size_t start = (skipBlanks(), pos_);
    std::string name;
    if (!parseName(name)) return false;
    auto it = metrics_.find(name);
    if (it == metrics_.end()) return fail("unknown metric '" + name + "'", start);
    if (!std::isfinite(it->second)) return fail("metric '" + name + "' is not finite", start);
    out = it->second;
    return true;
  }

  // A number or a metric name.
  bool parseConstant(double& out) {
    skipBlanks();
    if (pos_ < s_.size() && isNameStart(s_[pos_])) return parseMetric(out);
    return parseNumber(out);
  }

  bool parsePredicate(Predicate& p, bool allowViews) {
    skipBlanks();
    std::string_view rest = s_.substr(pos_);
    if (rest.starts_with("==")) {
      p.relation = Relation::kEqual;
      pos_ += 2;
    } else if (rest.starts_with("<=")) {
      p.relation = Relation::kLessThanOrEqual;
      pos_ += 2;
    } else if (rest.starts_with(">=")) {
      p.relation = Relation::kGreaterThanOrEqual;
      pos_ += 2;
    }
    skipBlanks();
    std::size_t objectStart = pos_;
    if (pos_ < s_.size() && isNameStart(s_[pos_])) {
      std::string name;
      if (!parseName(name)) return false;
      if (auto m = metrics_.find(name); m != metrics_.end()) {
        if (!std::isfinite(m->second))
          return fail("metric '" + name + "' is not finite", objectStart);
        p.constant = m->second;
      } else if (auto v = views_.find(name); allowViews && v != views_.end() && v->second) {
        p.view = v->second;
      } else {
        return fail((allowViews ? "unknown metric or view '" : "unknown metric '") + name + "'",
                    objectStart);
      }
    } else if (!parseNumber(p.constant)) {
      return false;
    }
    if (consume('@')) {
      std::size_t at = (skipBlanks(), pos_);
      if (!parseConstant(p.priority)) return false;
      if (!(p.priority > 0 && p.priority <= kPriorityRequired)) {
        return fail("priority must be in (0, 1000]", at);
      }
    }
    return true;
  }

  // "(" predicate ("," predicate)* ")"
  bool parsePredicateList(std::vector<Predicate>& out, bool allowViews) {
    if (!expect('(')) return false;
    do {
      out.emplace_back();
      if (!parsePredicate(out.back(), allowViews)) return false;
    } while (consume(','));
    return expect(')');
  }

  bool parseConnection(Connection& c) {
    if (!consume('-')) {
      c.kind = Connection::Kind::kFlush;
      return true;
    }
    if (peek('[') || peek('|')) {
      c.kind = Connection::Kind::kStandard;
      return true;
    }
    c.kind = Connection::Kind::kPredicates;
    if (peek('(')) {
      if (!parsePredicateList(c.predicates, /*allowViews=*/false)) return false;
    } else {
      skipBlanks();
      if (pos_ < s_.size() && (s_[pos_] == '-' || s_[pos_] == '+')) {
        return fail("a spacing outside parentheses cannot have a sign", pos_);
      }
      Predicate p;
      if (pos_ >= s_.size() || !(isNameStart(s_[pos_]) || isNumberStart(s_[pos_]))) {
        return fail("expected a spacing, '(', '[' or '|' after '-'", pos_);
      }
      if (!parseConstant(p.constant)) return false;
      c.predicates.push_back(p);
    }
    return expect('-');
  }

  bool parseView(ViewElement& v) {
    if (!expect('[')) return false;
    skipBlanks();
    v.position = pos_;
    if (!parseName(v.name)) return false;
    auto it = views_.find(v.name);
    if (it == views_.end() || !it->second) return fail("unknown view '" + v.name + "'", v.position);
    v.item = it->second;
    if (peek('(') && !parsePredicateList(v.predicates, /*allowViews=*/true)) return false;
    return expect(']');
  }

  std::string_view s_;
  std::size_t pos_ = 0;
  const Metrics& metrics_;
  const Views& views_;
  std::string error_;
};

struct AxisAttributes {
  Attribute start, end, startMargin, endMargin, size;
  bool reversed;  // right to left: the flow runs towards smaller x
};

AxisAttributes attributesFor(bool vertical, std::uint32_t direction) {
  if (vertical) {
    return {Attribute::kTop,          Attribute::kBottom, Attribute::kTopMargin,
            Attribute::kBottomMargin, Attribute::kHeight, false};
  }
  if (direction == kDirectionLeftToRight) {
    return {Attribute::kLeft,        Attribute::kRight, Attribute::kLeftMargin,
            Attribute::kRightMargin, Attribute::kWidth, false};
  }
  if (direction == kDirectionRightToLeft) {
    return {Attribute::kRight,      Attribute::kLeft,  Attribute::kRightMargin,
            Attribute::kLeftMargin, Attribute::kWidth, true};
  }
  return {Attribute::kLeading,        Attribute::kTrailing, Attribute::kLeadingMargin,
          Attribute::kTrailingMargin, Attribute::kWidth,    false};
}

std::optional<Attribute> alignmentAttribute(std::uint32_t bit) {
  switch (bit) {
    case kAlignAllLeft:
      return Attribute::kLeft;
    case kAlignAllRight:
      return Attribute::kRight;
    case kAlignAllTop:
      return Attribute::kTop;
    case kAlignAllBottom:
      return Attribute::kBottom;
    case kAlignAllLeading:
      return Attribute::kLeading;
    case kAlignAllTrailing:
      return Attribute::kTrailing;
    case kAlignAllCenterX:
      return Attribute::kCenterX;
    case kAlignAllCenterY:
      return Attribute::kCenterY;
    case kAlignAllLastBaseline:
      return Attribute::kLastBaseline;
    case kAlignAllFirstBaseline:
      return Attribute::kFirstBaseline;
    default:
      return std::nullopt;
  }
}

bool alignsHorizontally(Attribute a) {
  return a == Attribute::kLeft || a == Attribute::kRight || a == Attribute::kLeading ||
         a == Attribute::kTrailing || a == Attribute::kCenterX;
}

}  // namespace

Result<std::vector<LayoutConstraint>> constraintsWithVisualFormat(std::string_view format,
                                                                  std::uint32_t options,
                                                                  const Metrics& metrics,
                                                                  const Views& views) {
  using Out = Result<std::vector<LayoutConstraint>>;
  Parser p(format, metrics, views);
  if (!p.parse()) return Out::Error(p.error());

  const std::uint32_t direction = options & kDirectionMask;
  if (direction == kDirectionMask) {
    return Out::Error("visual format: unknown layout direction option");
  }
  if (options & ~(kAlignmentMask | kDirectionMask)) {
    return Out::Error("visual format: unknown option bits");
  }
  const AxisAttributes ax = attributesFor(p.vertical_, direction);
  std::vector<LayoutConstraint> out;
  std::string error;

  auto add = [&](Result<LayoutConstraint> c) {
    if (!c.ok()) {
      if (error.empty()) error = "visual format: " + c.reason();
      return;
    }
    out.push_back(std::move(*c));
  };

  // `later` follows `earlier` along the flow by what the connection says.
  auto space = [&](const LayoutItemRef& earlier, Attribute earlierAttr, const LayoutItemRef& later,
                   Attribute laterAttr, const Predicate& pred) {
    if (ax.reversed) {
      add(LayoutConstraint::make(earlier, earlierAttr, pred.relation, later, laterAttr, 1,
                                 pred.constant, pred.priority));
    } else {
      add(LayoutConstraint::make(later, laterAttr, pred.relation, earlier, earlierAttr, 1,
                                 pred.constant, pred.priority));
    }
  };
  // One connection; `superEarlier` / `superLater` say which side is the
  // superitem (whose standard spacing is its margin).
  auto connect = [&](const LayoutItemRef& earlier, const LayoutItemRef& later, const Connection& c,
                     bool superEarlier, bool superLater) {
    Attribute earlierAttr = ax.end;
    Attribute laterAttr = ax.start;
    if (superEarlier) earlierAttr = ax.start;
    if (superLater) laterAttr = ax.end;
    switch (c.kind) {
      case Connection::Kind::kFlush:
        space(earlier, earlierAttr, later, laterAttr, Predicate{});
        break;
      case Connection::Kind::kStandard: {
        if (superEarlier) {
          space(earlier, ax.startMargin, later, laterAttr, Predicate{});
        } else if (superLater) {
          space(earlier, earlierAttr, later, ax.endMargin, Predicate{});
        } else {
          Predicate standard;
          standard.constant = kStandardSpacing;
          space(earlier, earlierAttr, later, laterAttr, standard);
        }
        break;
      }
      case Connection::Kind::kPredicates:
        for (const Predicate& pred : c.predicates) {
          space(earlier, earlierAttr, later, laterAttr, pred);
        }
        break;
    }
  };

  auto superOf = [&](const ViewElement& v, std::size_t barPosition) -> LayoutItemRef {
    LayoutItemRef super = v.item->superitem();
    if (!super && error.empty()) {
      p.fail("view '" + v.name + "' has no superview for '|'", barPosition);
      error = p.error();
    }
    return super;
  };

  for (const ViewElement& v : p.views_list_) {
    for (const Predicate& pred : v.predicates) {
      if (pred.view) {
        add(LayoutConstraint::make(v.item, ax.size, pred.relation, pred.view, ax.size, 1, 0,
                                   pred.priority));
      } else {
        add(LayoutConstraint::make(v.item, ax.size, pred.relation, nullptr,
                                   Attribute::kNotAnAttribute, 1, pred.constant, pred.priority));
      }
    }
  }
  if (p.leadingSuper_) {
    const ViewElement& first = p.views_list_.front();
    if (LayoutItemRef super = superOf(first, p.leadingSuperPosition_)) {
      connect(super, first.item, p.leadingConnection_, /*superEarlier=*/true, false);
    }
  }
  for (std::size_t i = 0; i < p.connections_.size(); ++i) {
    connect(p.views_list_[i].item, p.views_list_[i + 1].item, p.connections_[i], false, false);
  }
  if (p.trailingSuper_) {
    const ViewElement& last = p.views_list_.back();
    if (LayoutItemRef super = superOf(last, p.trailingSuperPosition_)) {
      connect(last.item, super, p.trailingConnection_, false, /*superLater=*/true);
    }
  }

  const std::uint32_t alignment = options & kAlignmentMask;
  for (std::uint32_t bit = 1; bit != 0 && bit <= kAlignmentMask; bit <<= 1) {
    if (!(alignment & bit)) continue;
    std::optional<Attribute> attr = alignmentAttribute(bit);
    if (!attr) return Out::Error("visual format: unknown alignment option");
    if (alignsHorizontally(*attr) != p.vertical_) {
      return Out::Error(std::string("visual format: cannot align all ") + attributeName(*attr) +
                        " in a " + (p.vertical_ ? "vertical" : "horizontal") + " format");
    }
    for (std::size_t i = 0; i + 1 < p.views_list_.size(); ++i) {
      add(LayoutConstraint::make(p.views_list_[i + 1].item, *attr, Relation::kEqual,
                                 p.views_list_[i].item, *attr));
    }
  }
  if (!error.empty()) return Out::Error(error);
  return out;
}

}  // namespace sentrel::layout
