// Visual format strings are code-like input that reaches the parser from
// whatever builds a view tree, settings bundles included. The parser must
// refuse bad strings with a reason and never crash; whatever it accepts must
// activate (or be refused as a conflict), lay out, and deactivate cleanly,
// leaving the engine as it was.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string_view>

#include "platform/layout/layout.h"
#include "platform/layout/visual_format.h"

namespace {

using namespace sentrel::layout;

constexpr std::size_t kMaxInput = 4096;

constexpr std::uint32_t kOptions[] = {
    0,
    kAlignAllTop | kAlignAllBottom,
    kAlignAllCenterY,
    kAlignAllLeading | kAlignAllCenterX,
    kAlignAllLastBaseline | kAlignAllFirstBaseline,
    kDirectionLeftToRight,
    kDirectionRightToLeft | kAlignAllCenterY,
    kDirectionMask,  // refused
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > kMaxInput) return 0;
  std::string_view text(reinterpret_cast<const char*>(data), size);
  std::uint32_t options = 0;
  if (!text.empty() && static_cast<unsigned char>(text[0]) < 0x20) {
    options = kOptions[static_cast<unsigned char>(text[0]) % std::size(kOptions)];
    text.remove_prefix(1);
  }

  auto super = std::make_shared<LayoutItem>("super");
  Views views;
  for (const char* name : {"a", "b", "c", "label", "button", "_titleLabel", "textField"}) {
    auto item = std::make_shared<LayoutItem>(name);
    item->setSuperitem(super);
    views[name] = item;
  }
  views["orphan"] = std::make_shared<LayoutItem>("orphan");
  const Metrics metrics{{"m", 8}, {"pad", 20}, {"w", 44.5}, {"p", 750}, {"neg", -3}};

  auto result = constraintsWithVisualFormat(text, options, metrics, views);
  if (!result.ok()) {
    if (result.reason().empty()) abort();  // a refusal must say why
    return 0;
  }

  LayoutEngine engine;
  if (!engine.setFrame(super, {0, 0, 320, 480}).ok()) abort();
  if (!engine.setIntrinsicContentSize(views["label"], {100, 20}).ok()) abort();
  const std::size_t baseline = engine.solver().constraintCount();
  for (const LayoutConstraint& c : *result) {
    (void)engine.activate(c);  // a conflict is refused, not fatal
  }
  engine.layout();
  for (const LayoutConstraint& c : *result) {
    if (c.isActive()) (void)engine.setConstant(c, c.constant() + 1);
  }
  engine.layout();
  engine.deactivate(*result);
  if (engine.solver().constraintCount() != baseline || !engine.activeConstraints().empty()) {
    fprintf(stderr, "constraints left behind\n");
    abort();
  }
  return 0;
}
