#include "tweak/UI/QVAlert/UIView+Additions.h"

#include <string>

#include "platform/log/system_log.h"

namespace sentrel::qvalert {

using namespace uikit;

namespace {

constexpr const char* kSourceFile = "UI/QVAlert/UIView+Additions";

UIView& requireSuperview(UIView& view, const char* method) {
  UIView* superview = view.superview();
  if (!superview) {
    log::line(std::string("*** Assertion failure in ") + method + ", " + kSourceFile +
                  ": Superview must be nonnull",
              log::Level::kError);
    throw QVAssertionFailure("Superview must be nonnull", kSourceFile);
  }
  return *superview;
}

template <class Guide>
void pin(UIView& view, Guide& guide) {
  view.setTranslatesAutoresizingMaskIntoConstraints(false);
  Status s = NSLayoutConstraint::activateConstraints({
      view.leadingAnchor().constraintEqualToAnchor(guide.leadingAnchor()),
      view.trailingAnchor().constraintEqualToAnchor(guide.trailingAnchor()),
      view.topAnchor().constraintEqualToAnchor(guide.topAnchor()),
      view.bottomAnchor().constraintEqualToAnchor(guide.bottomAnchor()),
  });
  if (!s.ok())
    log::line("alert toolkit: pinning a view refused: " + s.reason(), log::Level::kError);
}

}  // namespace

void qv_pinEdgesToSuperviewEdges(UIView& view) {
  UIView& superview = requireSuperview(view, "qv_pinEdgesToSuperviewEdges");
  pin(view, superview);
}

void qv_pinEdgesToSuperviewMargins(UIView& view) {
  UIView& superview = requireSuperview(view, "qv_pinEdgesToSuperviewMargins");
  pin(view, superview.layoutMarginsGuide());
}

}  // namespace sentrel::qvalert
