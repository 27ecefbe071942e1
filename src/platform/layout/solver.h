// An incremental linear constraint solver of the Cassowary kind (Badros,
// Borning and Stuckey 2001), the engine under Auto Layout.
//
// Constraints are linear (in)equalities over Variables with a priority:
// required constraints (priority 1000) must hold; the others (1..999) are
// satisfied as far as the required ones allow, and when they conflict among
// themselves the solver minimises the sum of priority times violation.
// Constraints are added and removed one at a time, each step reusing the
// previous solution. Values the caller changes often (a frame followed by a
// finger, a window size) are edit variables: add one once, then suggest values.
//
// Failures are values: a required constraint that cannot hold together with
// the required constraints already present is refused with an error, and the
// solver is left exactly as it was before the call.
//
// Not thread-safe; one solver belongs to one thread (the main thread in the UI).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/base/status.h"

namespace sentrel::layout {

// Auto Layout priorities. Anything at or above kPriorityRequired is required.
inline constexpr double kPriorityRequired = 1000;
inline constexpr double kPriorityDefaultHigh = 750;
inline constexpr double kPriorityDefaultLow = 250;
inline constexpr double kPriorityFittingSizeLevel = 50;

// A solver unknown. Copies share identity and value; the value is written by
// Solver::updateVariables().
class Variable {
 public:
  Variable() : data_(std::make_shared<Data>()) {}
  explicit Variable(std::string name) : Variable() { data_->name = std::move(name); }

  const std::string& name() const { return data_->name; }
  double value() const { return data_->value; }
  void setName(std::string name) { data_->name = std::move(name); }

  bool sameAs(const Variable& other) const { return data_ == other.data_; }
  const void* identity() const { return data_.get(); }

 private:
  friend class Solver;
  struct Data {
    std::string name;
    double value = 0;
  };
  std::shared_ptr<Data> data_;
};

struct Term {
  Variable variable;
  double coefficient = 1;
};

// constant + sum(coefficient * variable).
class Expression {
 public:
  Expression() = default;
  Expression(double constant) : constant_(constant) {}                                 // NOLINT
  Expression(const Variable& v, double coefficient = 1) : terms_{{v, coefficient}} {}  // NOLINT
  Expression(std::vector<Term> terms, double constant)
      : terms_(std::move(terms)), constant_(constant) {}

  const std::vector<Term>& terms() const { return terms_; }
  double constant() const { return constant_; }
  // The value with the variables' current values.
  double value() const;

  Expression& operator+=(const Expression& other);
  Expression& operator-=(const Expression& other);
  Expression& operator*=(double factor);

  // Terms of the same variable merged, zero terms dropped, in first-seen order.
  Expression simplified() const;

 private:
  std::vector<Term> terms_;
  double constant_ = 0;
};

Expression operator+(Expression a, const Expression& b);
Expression operator-(Expression a, const Expression& b);
Expression operator-(Expression a);
Expression operator*(Expression a, double factor);
Expression operator*(double factor, Expression a);
Expression operator/(Expression a, double divisor);

enum class Relation { kLessThanOrEqual = -1, kEqual = 0, kGreaterThanOrEqual = 1 };
const char* relationSymbol(Relation relation);  // "<=", "==", ">="

// lhs <relation> rhs at a priority. An immutable handle: copies are the same
// constraint to a solver.
class Constraint {
 public:
  Constraint() = default;  // null; refused by the solver
  Constraint(const Expression& lhs, Relation relation, const Expression& rhs,
             double priority = kPriorityRequired);

  explicit operator bool() const { return data_ != nullptr; }
  // REQUIRES: non-null for the accessors.
  const Expression& expression() const { return data_->expression; }  // lhs - rhs, simplified
  Relation relation() const { return data_->relation; }
  double priority() const { return data_->priority; }
  bool required() const { return data_->priority >= kPriorityRequired; }
  const void* identity() const { return data_.get(); }
  bool sameAs(const Constraint& other) const { return data_ == other.data_; }
  std::string description() const;

 private:
  struct Data {
    Expression expression;
    Relation relation = Relation::kEqual;
    double priority = kPriorityRequired;
  };
  std::shared_ptr<const Data> data_;
};

class Solver {
 public:
  Solver();
  ~Solver();
  Solver(const Solver&) = delete;
  Solver& operator=(const Solver&) = delete;

  // Errors: null or already present constraint, a priority outside 1..1000 or
  // a number that is not finite, or a required constraint that conflicts with
  // the required constraints present (the message names it).
  Status addConstraint(const Constraint& constraint);
  // Errors: the constraint is not present.
  Status removeConstraint(const Constraint& constraint);
  bool hasConstraint(const Constraint& constraint) const;
  std::size_t constraintCount() const;

  // Changes the constant of a present constraint to `constant` (the constant
  // of lhs - rhs) without rebuilding it. For a required constraint whose new
  // constant conflicts, returns an error and keeps the old constant.
  Status setConstant(const Constraint& constraint, double constant);
  // The constant currently in effect for a present constraint (lhs - rhs).
  double constantOf(const Constraint& constraint) const;

  // An edit variable is `variable == suggested value` at a non-required
  // priority. Errors: already an edit variable, or a required priority.
  Status addEditVariable(const Variable& variable, double priority);
  Status removeEditVariable(const Variable& variable);
  bool hasEditVariable(const Variable& variable) const;
  // Errors: not an edit variable, or a value that is not finite.
  Status suggestValue(const Variable& variable, double value);

  // Writes the current solution into every variable the solver knows.
  void updateVariables();
  // Forgets every constraint and edit variable.
  void reset();

  // The tableau, for debugging.
  std::string dump() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace sentrel::layout
