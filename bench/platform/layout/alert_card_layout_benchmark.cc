// Auto Layout of an alert card: a title, a message, empty content and text
// field containers, and a vertical stack of four action buttons (about 30
// constraints plus the content-size ones). The goal is a from-scratch pass
// (parse the formats, activate, solve) well under a millisecond; the baseline
// is what the screen does most, re-solving after one constant moved (the
// swipe moving the card's vertical centring).
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "platform/layout/layout.h"
#include "platform/layout/visual_format.h"

namespace sentrel::layout {
namespace {

LayoutItemRef child(const std::string& name, const LayoutItemRef& super) {
  auto item = std::make_shared<LayoutItem>(name);
  item->setSuperitem(super);
  return item;
}

void check(const Status& s) {
  if (!s.ok()) {
    fprintf(stderr, "%s\n", s.reason().c_str());
    abort();
  }
}

LayoutConstraint make(LayoutItemRef a, Attribute aa, Relation r, LayoutItemRef b, Attribute ba,
                      double m = 1, double c = 0, double p = kPriorityRequired) {
  auto result = LayoutConstraint::make(std::move(a), aa, r, std::move(b), ba, m, c, p);
  check(result.status());
  return *result;
}

std::vector<LayoutConstraint> parse(std::string_view format, const Views& views) {
  auto result = constraintsWithVisualFormat(format, 0, {}, views);
  check(result.status());
  return std::move(result).value();
}

struct AlertCard {
  LayoutEngine engine;
  LayoutItemRef root, card;
  LayoutConstraint centring;
  Views views;
  Views stack;
  std::size_t constraints = 0;

  AlertCard() {
    root = std::make_shared<LayoutItem>("root");
    card = child("card", root);
    for (const char* name : {"_contentViewContainerView", "_titleLabel", "_messageTextView",
                             "_textFieldContainerView", "_actionButtonContainerView"}) {
      views[name] = child(name, card);
    }
    check(engine.setFrame(root, {0, 0, 375, 667}));
    check(engine.setIntrinsicContentSize(views["_titleLabel"], {120, 20.5}));
    check(engine.setContentCompressionResistancePriority(views["_titleLabel"], Axis::kVertical,
                                                         kPriorityRequired));
    check(engine.setContentHuggingPriority(views["_messageTextView"], Axis::kVertical, 0));
    centring = make(card, Attribute::kCenterY, Relation::kEqual, root, Attribute::kCenterY);
    activate(
        {make(card, Attribute::kCenterX, Relation::kEqual, root, Attribute::kCenterX), centring,
         make(card, Attribute::kWidth, Relation::kEqual, nullptr, Attribute::kNotAnAttribute, 1,
              300),
         make(card, Attribute::kHeight, Relation::kLessThanOrEqual, root, Attribute::kHeight, 0.9),
         make(views["_messageTextView"], Attribute::kHeight, Relation::kEqual, nullptr,
              Attribute::kNotAnAttribute, 1, 40, kPriorityDefaultHigh)});
    for (const char* format :
         {"H:|-[_titleLabel]-|", "H:|-[_messageTextView]-|", "H:|[_contentViewContainerView]|",
          "H:|[_textFieldContainerView]|", "H:|[_actionButtonContainerView]|",
          "V:|[_contentViewContainerView(0@250)]-[_titleLabel]-2-[_messageTextView]"
          "[_textFieldContainerView(0@250)]-8-[_actionButtonContainerView]|"}) {
      activate(parse(format, views));
    }
    for (int i = 0; i < 4; ++i) {
      const std::string name = "b" + std::to_string(i);
      auto b = child(name, views["_actionButtonContainerView"]);
      check(engine.setIntrinsicContentSize(b, {80, 44}));
      check(engine.setContentCompressionResistancePriority(b, Axis::kVertical, kPriorityRequired));
      stack[name] = b;
      activate(parse("H:|[" + name + "]|", stack));
    }
    activate(parse("V:|[b0][b1(==b0)][b2(==b1)][b3(==b2)]|", stack));
    engine.layout();
  }

  void activate(const std::vector<LayoutConstraint>& list) {
    check(engine.activate(list));
    constraints += list.size();
  }
};

void BM_AlertCardLayoutFromScratch(benchmark::State& state) {
  std::size_t constraints = 0;
  for (auto _ : state) {
    AlertCard card;
    benchmark::DoNotOptimize(card.stack["b3"]->frame());
    constraints = card.constraints;
  }
  state.counters["constraints"] = static_cast<double>(constraints);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_AlertCardLayoutFromScratch);

// Baseline: the built card re-solved after its centring constant moved.
void BM_AlertCardRelayoutAfterConstantChange(benchmark::State& state) {
  AlertCard card;
  double offset = 0;
  for (auto _ : state) {
    offset = offset > 200 ? -200 : offset + 1;
    check(card.engine.setConstant(card.centring, offset));
    card.engine.layout();
    benchmark::DoNotOptimize(card.stack["b3"]->frame());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_AlertCardRelayoutAfterConstantChange);

// The formats alone, to show what parsing costs within a pass.
void BM_AlertCardParseFormats(benchmark::State& state) {
  AlertCard card;
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        parse("V:|[_contentViewContainerView(0@250)]-[_titleLabel]-2-[_messageTextView]"
              "[_textFieldContainerView(0@250)]-8-[_actionButtonContainerView]|",
              card.views));
    benchmark::DoNotOptimize(parse("H:|-[_titleLabel]-|", card.views));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_AlertCardParseFormats);

}  // namespace
}  // namespace sentrel::layout
