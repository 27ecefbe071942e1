#include "platform/layout/solver.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <sstream>
#include <unordered_map>

namespace sentrel::layout {

// ---------------------------------------------------------------------------
// Expressions and constraints

double Expression::value() const {
  double sum = constant_;
  for (const Term& t : terms_) sum += t.coefficient * t.variable.value();
  return sum;
}

Expression& Expression::operator+=(const Expression& other) {
  terms_.insert(terms_.end(), other.terms_.begin(), other.terms_.end());
  constant_ += other.constant_;
  return *this;
}

Expression& Expression::operator-=(const Expression& other) {
  for (const Term& t : other.terms_) terms_.push_back({t.variable, -t.coefficient});
  constant_ -= other.constant_;
  return *this;
}

Expression& Expression::operator*=(double factor) {
  for (Term& t : terms_) t.coefficient *= factor;
  constant_ *= factor;
  return *this;
}

Expression Expression::simplified() const {
  std::vector<Term> merged;
  merged.reserve(terms_.size());
  for (const Term& t : terms_) {
    auto it = std::find_if(merged.begin(), merged.end(),
                           [&](const Term& m) { return m.variable.sameAs(t.variable); });
    if (it == merged.end()) {
      merged.push_back(t);
    } else {
      it->coefficient += t.coefficient;
    }
  }
  std::erase_if(merged, [](const Term& t) { return t.coefficient == 0; });
  return Expression(std::move(merged), constant_);
}

Expression operator+(Expression a, const Expression& b) {
  return a += b;
}
Expression operator-(Expression a, const Expression& b) {
  return a -= b;
}
Expression operator-(Expression a) {
  return a *= -1;
}
Expression operator*(Expression a, double factor) {
  return a *= factor;
}
Expression operator*(double factor, Expression a) {
  return a *= factor;
}
Expression operator/(Expression a, double divisor) {
  return a *= 1.0 / divisor;
}

const char* relationSymbol(Relation relation) {
  switch (relation) {
    case Relation::kLessThanOrEqual:
      return "<=";
    case Relation::kEqual:
      return "==";
    case Relation::kGreaterThanOrEqual:
      return ">=";
  }
  return "?";
}

Constraint::Constraint(const Expression& lhs, Relation relation, const Expression& rhs,
                       double priority) {
  auto data = std::make_shared<Data>();
  data->expression = (lhs - rhs).simplified();
  data->relation = relation;
  data->priority = priority;
  data_ = std::move(data);
}

std::string Constraint::description() const {
  if (!data_) return "(null constraint)";
  std::ostringstream out;
  bool first = true;
  for (const Term& t : data_->expression.terms()) {
    if (!first) out << (t.coefficient < 0 ? " - " : " + ");
    if (first && t.coefficient < 0) out << "-";
    double c = std::fabs(t.coefficient);
    if (c != 1) out << c << "*";
    out << (t.variable.name().empty() ? "v" : t.variable.name());
    first = false;
  }
  double k = data_->expression.constant();
  if (first) {
    out << k;
  } else if (k != 0) {
    out << (k < 0 ? " - " : " + ") << std::fabs(k);
  }
  out << " " << relationSymbol(data_->relation) << " 0";
  if (!required()) out << " @" << data_->priority;
  return out.str();
}

// ---------------------------------------------------------------------------
// The tableau

namespace {

constexpr double kEpsilon = 1e-8;
bool nearZero(double v) {
  return std::fabs(v) < kEpsilon;
}

// External symbols stand for Variables and are unrestricted; slack, error and
// dummy symbols are the solver's own and never negative (dummies stay zero).
enum class Kind : std::uint8_t { kInvalid, kExternal, kSlack, kError, kDummy };

struct Symbol {
  std::uint32_t id = 0;
  Kind kind = Kind::kInvalid;
  bool valid() const { return kind != Kind::kInvalid; }
};

struct Cell {
  Symbol symbol;
  double coefficient = 0;
};

// constant + sum(coefficient * symbol), cells sorted by symbol id so that
// pivot choices are deterministic and follow Bland's rule.
class Row {
 public:
  explicit Row(double constant = 0) : constant_(constant) {}

  double constant() const { return constant_; }
  const std::vector<Cell>& cells() const { return cells_; }

  double add(double value) { return constant_ += value; }

  void insert(Symbol symbol, double coefficient) {
    auto it = lowerBound(symbol);
    if (it != cells_.end() && it->symbol.id == symbol.id) {
      it->coefficient += coefficient;
      if (nearZero(it->coefficient)) cells_.erase(it);
    } else if (!nearZero(coefficient)) {
      cells_.insert(it, {symbol, coefficient});
    }
  }

  void insert(const Row& other, double coefficient) {
    constant_ += other.constant_ * coefficient;
    for (const Cell& c : other.cells_) insert(c.symbol, c.coefficient * coefficient);
  }

  void remove(Symbol symbol) {
    auto it = lowerBound(symbol);
    if (it != cells_.end() && it->symbol.id == symbol.id) cells_.erase(it);
  }

  void reverseSign() {
    constant_ = -constant_;
    for (Cell& c : cells_) c.coefficient = -c.coefficient;
  }

  // Rewrites `0 = this` as `symbol = ...`, dropping symbol's cell.
  // REQUIRES: symbol is in the row.
  void solveFor(Symbol symbol) {
    auto it = lowerBound(symbol);
    double factor = -1.0 / it->coefficient;
    cells_.erase(it);
    constant_ *= factor;
    for (Cell& c : cells_) c.coefficient *= factor;
  }

  // Rewrites `lhs = this` as `rhs = ...`.
  void solveFor(Symbol lhs, Symbol rhs) {
    insert(lhs, -1.0);
    solveFor(rhs);
  }

  double coefficientFor(Symbol symbol) const {
    auto it = std::lower_bound(cells_.begin(), cells_.end(), symbol.id,
                               [](const Cell& c, std::uint32_t id) { return c.symbol.id < id; });
    return it != cells_.end() && it->symbol.id == symbol.id ? it->coefficient : 0.0;
  }

  // Replaces symbol by `row`; false when the symbol is not in this row.
  bool substitute(Symbol symbol, const Row& row) {
    auto it = lowerBound(symbol);
    if (it == cells_.end() || it->symbol.id != symbol.id) return false;
    double coefficient = it->coefficient;
    cells_.erase(it);
    insert(row, coefficient);
    return true;
  }

  bool allDummies() const {
    return std::all_of(cells_.begin(), cells_.end(),
                       [](const Cell& c) { return c.symbol.kind == Kind::kDummy; });
  }

 private:
  std::vector<Cell>::iterator lowerBound(Symbol symbol) {
    return std::lower_bound(cells_.begin(), cells_.end(), symbol.id,
                            [](const Cell& c, std::uint32_t id) { return c.symbol.id < id; });
  }

  double constant_;
  std::vector<Cell> cells_;
};

struct BasicRow {
  Symbol symbol;  // the basic symbol this row defines
  Row row;
};

// What a constraint put into the tableau.
struct Tag {
  Symbol marker;    // slack, positive error or dummy
  Symbol other;     // negative error (or the error of an inequality), may be invalid
  double constant;  // the constant of lhs - rhs in effect
};

struct ConstraintEntry {
  Constraint constraint;
  Tag tag;
};

struct VariableEntry {
  Variable variable;
  Symbol symbol;
  int uses = 0;  // terms of present constraints
};

// The coefficient the marker had in the row built for the constraint, before
// any sign reversal; shifting a constant is expressed through it.
double markerCoefficient(const Constraint& c, Symbol marker) {
  if (marker.kind == Kind::kDummy) return 1.0;
  if (marker.kind == Kind::kError) return -1.0;
  return c.relation() == Relation::kLessThanOrEqual ? 1.0 : -1.0;
}

bool finite(double v) {
  return std::isfinite(v);
}

Status validate(const Constraint& c) {
  if (!c) return Status::Error("layout solver: null constraint");
  if (!finite(c.priority()) || c.priority() <= 0 || c.priority() > kPriorityRequired) {
    return Status::Error("layout solver: priority must be in (0, 1000]: " + c.description());
  }
  if (!finite(c.expression().constant())) {
    return Status::Error("layout solver: constant is not finite: " + c.description());
  }
  for (const Term& t : c.expression().terms()) {
    if (!finite(t.coefficient)) {
      return Status::Error("layout solver: coefficient is not finite: " + c.description());
    }
  }
  return Status::Ok();
}

}  // namespace

struct Solver::State {
  struct Tableau {
    std::unordered_map<std::uint32_t, BasicRow> rows;  // by basic symbol id
    Row objective;
  };

  Tableau tableau;
  std::unique_ptr<Row> artificial;  // only while adding with an artificial variable
  std::vector<Symbol> infeasible;   // basic symbols whose rows went negative
  std::unordered_map<const void*, ConstraintEntry> constraints;
  std::unordered_map<const void*, VariableEntry> variables;
  std::unordered_map<const void*, Constraint> edits;  // variable -> its edit constraint
  std::uint32_t nextId = 1;

  Symbol newSymbol(Kind kind) { return {nextId++, kind}; }

  Symbol symbolFor(const Variable& v) {
    auto [it, added] = variables.try_emplace(v.identity());
    if (added) it->second = {v, newSymbol(Kind::kExternal), 0};
    return it->second.symbol;
  }

  const Row* rowOf(Symbol s) const {
    auto it = tableau.rows.find(s.id);
    return it == tableau.rows.end() ? nullptr : &it->second.row;
  }

  Row createRow(const Constraint& c, double constant, Tag& tag) {
    Row row(constant);
    for (const Term& t : c.expression().terms()) {
      Symbol s = symbolFor(t.variable);
      if (const Row* basic = rowOf(s)) {
        row.insert(*basic, t.coefficient);
      } else {
        row.insert(s, t.coefficient);
      }
    }
    const double weight = c.priority();
    if (c.relation() == Relation::kEqual) {
      if (c.required()) {
        tag.marker = newSymbol(Kind::kDummy);
        row.insert(tag.marker, 1.0);
      } else {
        tag.marker = newSymbol(Kind::kError);
        tag.other = newSymbol(Kind::kError);
        row.insert(tag.marker, -1.0);
        row.insert(tag.other, 1.0);
        tableau.objective.insert(tag.marker, weight);
        tableau.objective.insert(tag.other, weight);
      }
    } else {
      double coefficient = c.relation() == Relation::kLessThanOrEqual ? 1.0 : -1.0;
      tag.marker = newSymbol(Kind::kSlack);
      row.insert(tag.marker, coefficient);
      if (!c.required()) {
        tag.other = newSymbol(Kind::kError);
        row.insert(tag.other, -coefficient);
        tableau.objective.insert(tag.other, weight);
      }
    }
    if (row.constant() < 0) row.reverseSign();
    return row;
  }

  // An unrestricted symbol if there is one, else a new slack or error symbol
  // with a negative coefficient (so the row stays feasible).
  static Symbol chooseSubject(const Row& row, const Tag& tag) {
    for (const Cell& c : row.cells()) {
      if (c.symbol.kind == Kind::kExternal) return c.symbol;
    }
    for (Symbol s : {tag.marker, tag.other}) {
      if ((s.kind == Kind::kSlack || s.kind == Kind::kError) && row.coefficientFor(s) < 0) return s;
    }
    return {};
  }

  void substitute(Symbol symbol, const Row& row) {
    for (auto& [id, basic] : tableau.rows) {
      if (basic.row.substitute(symbol, row) && basic.symbol.kind != Kind::kExternal &&
          basic.symbol.kind != Kind::kDummy && basic.row.constant() < 0) {
        infeasible.push_back(basic.symbol);
      }
    }
    tableau.objective.substitute(symbol, row);
    if (artificial) artificial->substitute(symbol, row);
  }

  void pivotIn(Symbol entering, Symbol leaving, Row row) {
    row.solveFor(leaving, entering);
    substitute(entering, row);
    tableau.rows.insert_or_assign(entering.id, BasicRow{entering, std::move(row)});
  }

  Row takeRow(std::uint32_t id) {
    auto it = tableau.rows.find(id);
    Row row = std::move(it->second.row);
    tableau.rows.erase(it);
    return row;
  }

  // Primal simplex on `objective` (the real one or the artificial one).
  Status optimize(const Row& objective) {
    const std::size_t limit = 1000 + 100 * (tableau.rows.size() + 1);
    for (std::size_t step = 0; step < limit; ++step) {
      Symbol entering;
      for (const Cell& c : objective.cells()) {
        if (c.symbol.kind != Kind::kDummy && c.coefficient < 0) {
          entering = c.symbol;
          break;
        }
      }
      if (!entering.valid()) return Status::Ok();

      double best = std::numeric_limits<double>::infinity();
      Symbol leaving;
      for (const auto& [id, basic] : tableau.rows) {
        if (basic.symbol.kind == Kind::kExternal) continue;
        double c = basic.row.coefficientFor(entering);
        if (c >= 0) continue;
        double ratio = -basic.row.constant() / c;
        if (ratio < best || (ratio == best && basic.symbol.id < leaving.id)) {
          best = ratio;
          leaving = basic.symbol;
        }
      }
      if (!leaving.valid()) return Status::Error("layout solver: the objective is unbounded");
      pivotIn(entering, leaving, takeRow(leaving.id));
    }
    return Status::Error("layout solver: optimisation did not converge");
  }

  // Dual simplex: restores feasibility after constants changed.
  Status dualOptimize() {
    while (!infeasible.empty()) {
      Symbol leaving = infeasible.back();
      infeasible.pop_back();
      const Row* row = rowOf(leaving);
      if (!row || nearZero(row->constant()) || row->constant() >= 0) continue;
      double best = std::numeric_limits<double>::infinity();
      Symbol entering;
      for (const Cell& c : row->cells()) {
        if (c.symbol.kind == Kind::kDummy || c.coefficient <= 0) continue;
        double ratio = tableau.objective.coefficientFor(c.symbol) / c.coefficient;
        if (ratio < best) {
          best = ratio;
          entering = c.symbol;
        }
      }
      if (!entering.valid()) {
        infeasible.clear();
        return Status::Error("no feasible solution");
      }
      pivotIn(entering, leaving, takeRow(leaving.id));
    }
    return Status::Ok();
  }

  // Adds a row that has no symbol fit to be its subject, through a temporary
  // artificial variable. False when the row cannot hold (the tableau then
  // holds part of it: the caller restores its copy).
  bool addWithArtificialVariable(const Row& row) {
    Symbol art = newSymbol(Kind::kSlack);
    tableau.rows.insert_or_assign(art.id, BasicRow{art, row});
    artificial = std::make_unique<Row>(row);
    bool success = optimize(*artificial).ok() && nearZero(artificial->constant());
    artificial.reset();
    if (!success) return false;

    if (tableau.rows.count(art.id)) {
      Row r = takeRow(art.id);
      if (!r.cells().empty()) {
        Symbol entering;
        for (const Cell& c : r.cells()) {
          if (c.symbol.kind == Kind::kSlack || c.symbol.kind == Kind::kError) {
            entering = c.symbol;
            break;
          }
        }
        if (!entering.valid()) return false;
        pivotIn(entering, art, std::move(r));
      }
    }
    for (auto& [id, basic] : tableau.rows) basic.row.remove(art);
    tableau.objective.remove(art);
    return true;
  }

  // Puts the constraint into the tableau with the given constant. On error
  // the tableau is as before (variables the call introduced may remain, with
  // no uses; the caller drops them).
  Status insert(const Constraint& c, double constant, Tag& tag) {
    Row row = createRow(c, constant, tag);
    Symbol subject = chooseSubject(row, tag);
    if (!subject.valid() && row.allDummies()) {
      if (!nearZero(row.constant())) return conflict(c);
      subject = tag.marker;
    }
    if (!subject.valid()) {
      Tableau saved = tableau;
      if (!addWithArtificialVariable(row)) {
        tableau = std::move(saved);
        infeasible.clear();
        return conflict(c);
      }
    } else {
      row.solveFor(subject);
      substitute(subject, row);
      tableau.rows.insert_or_assign(subject.id, BasicRow{subject, std::move(row)});
    }
    infeasible.clear();
    return optimize(tableau.objective);
  }

  static Status conflict(const Constraint& c) {
    return Status::Error("required constraint conflicts with the required constraints present: " +
                         c.description());
  }

  void removeMarkerEffects(Symbol marker, double weight) {
    if (marker.kind != Kind::kError) return;
    if (const Row* row = rowOf(marker)) {
      tableau.objective.insert(*row, -weight);
    } else {
      tableau.objective.insert(marker, -weight);
    }
  }

  // Takes the constraint out of the tableau.
  Status extract(const Constraint& c, const Tag& tag) {
    removeMarkerEffects(tag.marker, c.priority());
    removeMarkerEffects(tag.other, c.priority());
    if (tableau.rows.erase(tag.marker.id)) return optimize(tableau.objective);

    // Pivot the marker into the basis, then drop its row. Prefer a
    // restricted row that stays feasible, then any restricted row, then an
    // unrestricted one.
    const BasicRow* first = nullptr;
    const BasicRow* second = nullptr;
    const BasicRow* third = nullptr;
    double r1 = std::numeric_limits<double>::infinity();
    double r2 = r1;
    for (const auto& [id, basic] : tableau.rows) {
      double c = basic.row.coefficientFor(tag.marker);
      if (c == 0) continue;
      if (basic.symbol.kind == Kind::kExternal) {
        if (!third || basic.symbol.id < third->symbol.id) third = &basic;
      } else if (c < 0) {
        double r = -basic.row.constant() / c;
        if (r < r1 || (first && r == r1 && basic.symbol.id < first->symbol.id)) {
          r1 = r;
          first = &basic;
        }
      } else {
        double r = basic.row.constant() / c;
        if (r < r2 || (second && r == r2 && basic.symbol.id < second->symbol.id)) {
          r2 = r;
          second = &basic;
        }
      }
    }
    const BasicRow* chosen = first ? first : second ? second : third;
    if (chosen) {
      Symbol leaving = chosen->symbol;
      Row row = takeRow(leaving.id);
      row.solveFor(leaving, tag.marker);
      substitute(tag.marker, row);
    }
    // With no row holding the marker, the constraint left no trace to drop.
    infeasible.clear();
    return optimize(tableau.objective);
  }

  void addUses(const Constraint& c) {
    for (const Term& t : c.expression().terms()) ++variables.at(t.variable.identity()).uses;
  }

  void releaseUses(const Constraint& c, bool counted) {
    for (const Term& t : c.expression().terms()) {
      auto it = variables.find(t.variable.identity());
      if (it == variables.end()) continue;
      if (counted) --it->second.uses;
      if (it->second.uses > 0) continue;
      // No constraint mentions the variable: its row, if basic, constrains
      // nothing else, and elsewhere its coefficients are rounding noise.
      Symbol s = it->second.symbol;
      if (!tableau.rows.erase(s.id)) {
        for (auto& [id, basic] : tableau.rows) basic.row.remove(s);
        tableau.objective.remove(s);
      }
      variables.erase(it);
    }
  }

  // Shifts the constraint's constant by `delta` in place: the marker absorbs
  // the change, and rows that went negative are repaired by dual simplex.
  Status shiftConstant(const Constraint& c, const Tag& tag, double delta) {
    const double step = delta / markerCoefficient(c, tag.marker);
    auto basicIt = tableau.rows.find(tag.marker.id);
    if (basicIt != tableau.rows.end()) {
      BasicRow& basic = basicIt->second;
      basic.row.add(-step);
      if (basic.symbol.kind != Kind::kDummy && basic.row.constant() < 0) {
        infeasible.push_back(basic.symbol);
      }
    } else {
      for (auto& [id, basic] : tableau.rows) {
        double k = basic.row.coefficientFor(tag.marker);
        if (k == 0) continue;
        basic.row.add(k * step);
        if (basic.symbol.kind != Kind::kExternal && basic.symbol.kind != Kind::kDummy &&
            basic.row.constant() < 0) {
          infeasible.push_back(basic.symbol);
        }
      }
    }
    Status s = dualOptimize();
    if (!s.ok()) return s;
    // A dummy stands for zero; a basic one with a value is a broken equality.
    for (const auto& [id, basic] : tableau.rows) {
      if (basic.symbol.kind == Kind::kDummy && !nearZero(basic.row.constant())) {
        return Status::Error("no feasible solution");
      }
    }
    return Status::Ok();
  }
};

Solver::Solver() : state_(std::make_unique<State>()) {}
Solver::~Solver() = default;

std::size_t Solver::constraintCount() const {
  return state_->constraints.size();
}

Status Solver::addConstraint(const Constraint& constraint) {
  if (Status s = validate(constraint); !s.ok()) return s;
  if (state_->constraints.count(constraint.identity())) {
    return Status::Error("layout solver: constraint already added: " + constraint.description());
  }
  Tag tag{{}, {}, constraint.expression().constant()};
  Status s = state_->insert(constraint, tag.constant, tag);
  if (!s.ok()) {
    state_->releaseUses(constraint, /*counted=*/false);
    return s;
  }
  state_->constraints.emplace(constraint.identity(), ConstraintEntry{constraint, tag});
  state_->addUses(constraint);
  return Status::Ok();
}

Status Solver::removeConstraint(const Constraint& constraint) {
  if (!constraint) return Status::Error("layout solver: null constraint");
  auto it = state_->constraints.find(constraint.identity());
  if (it == state_->constraints.end()) {
    return Status::Error("layout solver: unknown constraint: " + constraint.description());
  }
  Tag tag = it->second.tag;
  state_->constraints.erase(it);
  Status s = state_->extract(constraint, tag);
  state_->releaseUses(constraint, /*counted=*/true);
  return s;
}

bool Solver::hasConstraint(const Constraint& constraint) const {
  return constraint && state_->constraints.count(constraint.identity()) != 0;
}

Status Solver::setConstant(const Constraint& constraint, double constant) {
  if (!constraint) return Status::Error("layout solver: null constraint");
  auto it = state_->constraints.find(constraint.identity());
  if (it == state_->constraints.end()) {
    return Status::Error("layout solver: unknown constraint: " + constraint.description());
  }
  if (!finite(constant)) return Status::Error("layout solver: constant is not finite");
  Tag& tag = it->second.tag;
  const double delta = constant - tag.constant;
  if (delta == 0) return Status::Ok();

  if (!constraint.required()) {
    // Error variables give way, so this always succeeds.
    tag.constant = constant;
    return state_->shiftConstant(constraint, tag, delta);
  }
  State::Tableau saved = state_->tableau;
  if (Status s = state_->shiftConstant(constraint, tag, delta); !s.ok()) {
    state_->tableau = std::move(saved);
    state_->infeasible.clear();
    std::ostringstream msg;
    msg << "required constraint cannot take constant " << constant
        << " with the required constraints present: " << constraint.description();
    return Status::Error(msg.str());
  }
  tag.constant = constant;
  return Status::Ok();
}

double Solver::constantOf(const Constraint& constraint) const {
  auto it = state_->constraints.find(constraint.identity());
  return it == state_->constraints.end() ? constraint.expression().constant()
                                         : it->second.tag.constant;
}

Status Solver::addEditVariable(const Variable& variable, double priority) {
  if (state_->edits.count(variable.identity())) {
    return Status::Error("layout solver: already an edit variable: " + variable.name());
  }
  if (priority >= kPriorityRequired) {
    return Status::Error("layout solver: an edit variable cannot be required: " + variable.name());
  }
  Constraint c(Expression(variable), Relation::kEqual, Expression(0), priority);
  if (Status s = addConstraint(c); !s.ok()) return s;
  state_->edits.emplace(variable.identity(), c);
  return Status::Ok();
}

Status Solver::removeEditVariable(const Variable& variable) {
  auto it = state_->edits.find(variable.identity());
  if (it == state_->edits.end()) {
    return Status::Error("layout solver: not an edit variable: " + variable.name());
  }
  Constraint c = it->second;
  state_->edits.erase(it);
  return removeConstraint(c);
}

bool Solver::hasEditVariable(const Variable& variable) const {
  return state_->edits.count(variable.identity()) != 0;
}

Status Solver::suggestValue(const Variable& variable, double value) {
  auto it = state_->edits.find(variable.identity());
  if (it == state_->edits.end()) {
    return Status::Error("layout solver: not an edit variable: " + variable.name());
  }
  if (!finite(value)) return Status::Error("layout solver: suggested value is not finite");
  return setConstant(it->second, -value);  // the edit constraint is variable - value == 0
}

void Solver::updateVariables() {
  for (auto& [key, entry] : state_->variables) {
    const Row* row = state_->rowOf(entry.symbol);
    double value = row ? row->constant() : 0.0;
    entry.variable.data_->value = value == 0 ? 0.0 : value;  // no -0
  }
}

void Solver::reset() {
  state_ = std::make_unique<State>();
}

std::string Solver::dump() const {
  auto name = [](Symbol s) {
    static const char* const kPrefix[] = {"i", "v", "s", "e", "d"};
    return std::string(kPrefix[static_cast<int>(s.kind)]) + std::to_string(s.id);
  };
  auto print = [&](std::ostringstream& out, const Row& row) {
    out << row.constant();
    for (const Cell& c : row.cells()) out << " + " << c.coefficient << "*" << name(c.symbol);
    out << "\n";
  };
  std::ostringstream out;
  out << "objective: ";
  print(out, state_->tableau.objective);
  std::vector<const BasicRow*> rows;
  for (const auto& [id, basic] : state_->tableau.rows) rows.push_back(&basic);
  std::sort(rows.begin(), rows.end(),
            [](const BasicRow* a, const BasicRow* b) { return a->symbol.id < b->symbol.id; });
  for (const BasicRow* basic : rows) {
    out << name(basic->symbol) << " = ";
    print(out, basic->row);
  }
  std::vector<const VariableEntry*> vars;
  for (const auto& [key, entry] : state_->variables) vars.push_back(&entry);
  std::sort(vars.begin(), vars.end(), [](const VariableEntry* a, const VariableEntry* b) {
    return a->symbol.id < b->symbol.id;
  });
  for (const VariableEntry* entry : vars) {
    out << name(entry->symbol) << " is " << entry->variable.name() << "\n";
  }
  return out.str();
}

}  // namespace sentrel::layout
