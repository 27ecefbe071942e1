#include "platform/layout/solver.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

namespace sentrel::layout {
namespace {

constexpr double kTolerance = 1e-6;

Constraint eq(const Expression& a, const Expression& b, double p = kPriorityRequired) {
  return Constraint(a, Relation::kEqual, b, p);
}
Constraint le(const Expression& a, const Expression& b, double p = kPriorityRequired) {
  return Constraint(a, Relation::kLessThanOrEqual, b, p);
}
Constraint ge(const Expression& a, const Expression& b, double p = kPriorityRequired) {
  return Constraint(a, Relation::kGreaterThanOrEqual, b, p);
}

TEST(ASolver, SolvesEqualities) {
  Solver solver;
  Variable x("x"), y("y"), z("z");
  ASSERT_TRUE(solver.addConstraint(eq(x + y, 20)).ok());
  ASSERT_TRUE(solver.addConstraint(eq(x, 2.0 * Expression(y))).ok());
  ASSERT_TRUE(solver.addConstraint(eq(z, x - y + 1)).ok());
  solver.updateVariables();
  EXPECT_NEAR(x.value(), 40.0 / 3, kTolerance);
  EXPECT_NEAR(y.value(), 20.0 / 3, kTolerance);
  EXPECT_NEAR(z.value(), 20.0 / 3 + 1, kTolerance);
}

TEST(ASolver, KeepsInequalitiesAndPullsOptionalTargetsToTheirBounds) {
  Solver solver;
  Variable x("x");
  ASSERT_TRUE(solver.addConstraint(ge(x, 10)).ok());
  ASSERT_TRUE(solver.addConstraint(le(x, 20)).ok());
  Constraint low = eq(x, 5, kPriorityDefaultLow);
  ASSERT_TRUE(solver.addConstraint(low).ok());
  solver.updateVariables();
  EXPECT_NEAR(x.value(), 10, kTolerance);

  ASSERT_TRUE(solver.removeConstraint(low).ok());
  ASSERT_TRUE(solver.addConstraint(eq(x, 30, kPriorityDefaultLow)).ok());
  solver.updateVariables();
  EXPECT_NEAR(x.value(), 20, kTolerance);
}

TEST(ASolver, LetsTheHigherPriorityWinAConflict) {
  Solver solver;
  Variable w("w");
  ASSERT_TRUE(solver.addConstraint(eq(w, 100, 750)).ok());
  ASSERT_TRUE(solver.addConstraint(eq(w, 200, 751)).ok());
  solver.updateVariables();
  EXPECT_NEAR(w.value(), 200, kTolerance);

  // An optional inequality is violated as little as its weight allows.
  Variable h("h");
  ASSERT_TRUE(solver.addConstraint(ge(h, 44, kPriorityDefaultHigh)).ok());
  ASSERT_TRUE(solver.addConstraint(le(h, 30, kPriorityDefaultLow)).ok());
  solver.updateVariables();
  EXPECT_NEAR(h.value(), 44, kTolerance);
}

// Optional priorities are weights: two at 300 outweigh one at 500.
TEST(ASolver, ViolatesOptionalConstraintsByWeight) {
  Solver solver;
  Variable x("x");
  ASSERT_TRUE(solver.addConstraint(eq(x, 0, 300)).ok());
  ASSERT_TRUE(solver.addConstraint(le(x, 0, 300)).ok());
  Constraint ten = eq(x, 10, 500);
  ASSERT_TRUE(solver.addConstraint(ten).ok());
  solver.updateVariables();
  EXPECT_NEAR(x.value(), 0, kTolerance);
  ASSERT_TRUE(solver.removeConstraint(ten).ok());
  ASSERT_TRUE(solver.addConstraint(eq(x, 10, 700)).ok());
  solver.updateVariables();
  EXPECT_NEAR(x.value(), 10, kTolerance);
}

TEST(ASolver, RefusesAConflictingRequiredEqualityAndStaysAsItWas) {
  Solver solver;
  Variable x("x"), y("y");
  ASSERT_TRUE(solver.addConstraint(eq(x, 10)).ok());
  ASSERT_TRUE(solver.addConstraint(eq(y, x + 5)).ok());
  const std::string before = solver.dump();

  Constraint bad = eq(y, 20);
  Status s = solver.addConstraint(bad);
  ASSERT_FALSE(s.ok());
  EXPECT_NE(s.reason().find("conflicts"), std::string::npos) << s.reason();
  EXPECT_FALSE(solver.hasConstraint(bad));
  EXPECT_EQ(solver.dump(), before);

  // Still usable.
  ASSERT_TRUE(solver.addConstraint(eq(y, 15)).ok());  // redundant, consistent
  Variable z("z");
  ASSERT_TRUE(solver.addConstraint(eq(z, y * 2)).ok());
  solver.updateVariables();
  EXPECT_NEAR(z.value(), 30, kTolerance);
}

TEST(ASolver, RefusesAConflictingRequiredInequalityAndStaysAsItWas) {
  Solver solver;
  Variable x("x"), y("y");
  ASSERT_TRUE(solver.addConstraint(le(x, 20)).ok());
  ASSERT_TRUE(solver.addConstraint(ge(y, x + 1)).ok());
  ASSERT_TRUE(solver.addConstraint(eq(x, 15, 500)).ok());
  const std::string before = solver.dump();

  // Needs the artificial-variable path: no variable is free to take it.
  Constraint bad = ge(x, 30);
  ASSERT_FALSE(solver.addConstraint(bad).ok());
  EXPECT_EQ(solver.dump(), before);
  ASSERT_FALSE(solver.addConstraint(ge(x - y, 0)).ok());
  EXPECT_EQ(solver.dump(), before);

  solver.updateVariables();
  EXPECT_NEAR(x.value(), 15, kTolerance);
  EXPECT_GE(y.value(), 16 - kTolerance);
  ASSERT_TRUE(solver.addConstraint(ge(x, 18)).ok());
  solver.updateVariables();
  EXPECT_NEAR(x.value(), 18, kTolerance);
}

TEST(ASolver, RemovesConstraintsAndForgetsTheirVariables) {
  Solver solver;
  Variable x("x"), y("y");
  Constraint pin = eq(x, 50);
  ASSERT_TRUE(solver.addConstraint(eq(x, 10, kPriorityDefaultLow)).ok());
  ASSERT_TRUE(solver.addConstraint(pin).ok());
  Constraint link = eq(y, x * 2);
  ASSERT_TRUE(solver.addConstraint(link).ok());
  solver.updateVariables();
  EXPECT_NEAR(y.value(), 100, kTolerance);

  ASSERT_TRUE(solver.removeConstraint(pin).ok());
  solver.updateVariables();
  EXPECT_NEAR(x.value(), 10, kTolerance);
  EXPECT_NEAR(y.value(), 20, kTolerance);

  ASSERT_TRUE(solver.removeConstraint(link).ok());
  EXPECT_EQ(solver.dump().find("y"), std::string::npos) << solver.dump();
  EXPECT_FALSE(solver.removeConstraint(link).ok());
  EXPECT_EQ(solver.constraintCount(), 1u);
}

TEST(ASolver, RefusesBadInput) {
  Solver solver;
  Variable x("x");
  Constraint c = eq(x, 1);
  ASSERT_TRUE(solver.addConstraint(c).ok());
  EXPECT_FALSE(solver.addConstraint(c).ok());  // twice
  EXPECT_FALSE(solver.addConstraint(Constraint()).ok());
  EXPECT_FALSE(solver.addConstraint(eq(x, 1, 0)).ok());
  EXPECT_FALSE(solver.addConstraint(eq(x, 1, 1001)).ok());
  EXPECT_FALSE(solver.addConstraint(eq(x, std::nan(""))).ok());
  EXPECT_FALSE(solver.addConstraint(eq(x * INFINITY, 1)).ok());
  EXPECT_FALSE(solver.addEditVariable(x, kPriorityRequired).ok());
  EXPECT_FALSE(solver.suggestValue(x, 3).ok());  // not an edit variable
  EXPECT_FALSE(solver.setConstant(eq(x, 2), 3).ok());
  EXPECT_EQ(solver.constraintCount(), 1u);
}

TEST(ASolver, FollowsSuggestedValuesOfEditVariables) {
  Solver solver;
  Variable x("x"), right("right");
  ASSERT_TRUE(solver.addConstraint(eq(right, x + 100)).ok());
  ASSERT_TRUE(solver.addConstraint(le(right, 300)).ok());
  ASSERT_TRUE(solver.addEditVariable(x, 999).ok());
  EXPECT_FALSE(solver.addEditVariable(x, 999).ok());

  for (double v : {42.0, 250.0, -10.0, 150.0}) {
    ASSERT_TRUE(solver.suggestValue(x, v).ok());
    solver.updateVariables();
    EXPECT_NEAR(x.value(), std::min(v, 200.0), kTolerance) << v;
    EXPECT_NEAR(right.value(), std::min(v, 200.0) + 100, kTolerance) << v;
  }
  EXPECT_FALSE(solver.suggestValue(x, INFINITY).ok());
  ASSERT_TRUE(solver.removeEditVariable(x).ok());
  EXPECT_FALSE(solver.hasEditVariable(x));
  EXPECT_FALSE(solver.suggestValue(x, 1).ok());
}

TEST(ASolver, ChangesConstantsInPlace) {
  Solver solver;
  Variable x("x"), y("y");
  Constraint floor = ge(y, 0);
  Constraint ceiling = le(y, 100);
  Constraint offset = eq(y, x + 10);  // y - x - 10 == 0
  Constraint want = eq(x, 40, 500);
  for (const Constraint& c : {floor, ceiling, offset, want})
    ASSERT_TRUE(solver.addConstraint(c).ok());

  ASSERT_TRUE(solver.setConstant(offset, -30).ok());  // y == x + 30
  solver.updateVariables();
  EXPECT_NEAR(y.value(), 70, kTolerance);
  ASSERT_TRUE(solver.setConstant(want, -90).ok());  // x == 90 wanted; y caps at 100
  solver.updateVariables();
  EXPECT_NEAR(x.value(), 70, kTolerance);
  EXPECT_NEAR(y.value(), 100, kTolerance);

  // A required constant that cannot hold is refused and the old one kept.
  const std::string before = solver.dump();
  Status s = solver.setConstant(ceiling, 10);  // y <= -10 against y >= 0
  ASSERT_FALSE(s.ok());
  EXPECT_NE(s.reason().find("cannot take constant"), std::string::npos) << s.reason();
  EXPECT_EQ(solver.dump(), before);
  EXPECT_EQ(solver.constantOf(ceiling), -100);
  ASSERT_TRUE(solver.setConstant(ceiling, -50).ok());
  solver.updateVariables();
  EXPECT_NEAR(y.value(), 50, kTolerance);
  EXPECT_NEAR(x.value(), 20, kTolerance);
}

// Random add/remove/suggest sequences: required constraints always hold, and
// a refused one conflicts for real (a fresh solver refuses it too).
TEST(ASolver, KeepsRequiredConstraintsThroughRandomChanges) {
  std::mt19937 rng(1234);
  std::uniform_int_distribution<int> pick(0, 99);
  std::vector<Variable> vars = {Variable("a"), Variable("b"), Variable("c"), Variable("d")};
  Solver solver;
  std::vector<Constraint> present;
  int refused = 0;
  for (const Variable& v : vars) {
    ASSERT_TRUE(solver.addEditVariable(v, 100).ok());
  }
  for (int step = 0; step < 600; ++step) {
    int what = pick(rng);
    if (what < 55 || present.empty()) {
      Expression e(static_cast<double>(pick(rng) - 50));
      int terms = 1 + pick(rng) % 3;
      for (int t = 0; t < terms; ++t) {
        e += Expression(vars[pick(rng) % vars.size()], static_cast<double>(pick(rng) % 5 - 2));
      }
      Relation r = static_cast<Relation>(pick(rng) % 3 - 1);
      double priority = pick(rng) < 60 ? kPriorityRequired : 1 + pick(rng) * 9;
      Constraint c(e, r, Expression(0), priority);
      if (solver.addConstraint(c).ok()) {
        present.push_back(c);
      } else {
        ++refused;
        ASSERT_TRUE(c.required()) << c.description();
        Solver fresh;
        bool all = true;
        for (const Constraint& p : present) {
          if (p.required()) all = all && fresh.addConstraint(p).ok();
        }
        ASSERT_TRUE(all);
        EXPECT_FALSE(fresh.addConstraint(c).ok()) << c.description();
      }
    } else if (what < 80) {
      std::size_t i = pick(rng) % present.size();
      ASSERT_TRUE(solver.removeConstraint(present[i]).ok());
      present.erase(present.begin() + static_cast<long>(i));
    } else {
      ASSERT_TRUE(solver.suggestValue(vars[pick(rng) % vars.size()], pick(rng) - 50).ok());
    }
    solver.updateVariables();
    for (const Constraint& c : present) {
      if (!c.required()) continue;
      double v = c.expression().value();
      switch (c.relation()) {
        case Relation::kEqual:
          ASSERT_NEAR(v, 0, 1e-5) << c.description() << " at step " << step;
          break;
        case Relation::kLessThanOrEqual:
          ASSERT_LE(v, 1e-5) << c.description() << " at step " << step;
          break;
        case Relation::kGreaterThanOrEqual:
          ASSERT_GE(v, -1e-5) << c.description() << " at step " << step;
          break;
      }
    }
  }
  EXPECT_GT(refused, 20);  // the sequence really ran into conflicts
}

}  // namespace
}  // namespace sentrel::layout
