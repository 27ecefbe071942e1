// Pinning a view to its superview: the four edges to the superview's edges
// or to its layout margins. Main thread only.
#pragma once

#include <stdexcept>

#include "platform/uikit/view.h"

namespace sentrel::qvalert {

// What a broken precondition of the alert toolkit throws (the platform
// raises an assertion exception there). what() is the assertion's text;
// file() names where it was raised.
class QVAssertionFailure : public std::logic_error {
 public:
  QVAssertionFailure(const char* message, const char* file)
      : std::logic_error(message), file_(file) {}
  const char* file() const { return file_; }

 private:
  const char* file_;
};

// Both turn off the view's autoresizing-mask translation and activate four
// equal constraints between its leading, trailing, top and bottom anchors
// and the superview's (or its layout-margins guide's). A view without a
// superview throws QVAssertionFailure("Superview must be nonnull") and
// changes nothing.
void qv_pinEdgesToSuperviewEdges(uikit::UIView& view);
void qv_pinEdgesToSuperviewMargins(uikit::UIView& view);

}  // namespace sentrel::qvalert
