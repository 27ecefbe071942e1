// The test prompt, as the UI library draws it.
#pragma once

#include <memory>

#include "platform/uikit/window.h"

namespace sentrel {

// Shows the test prompt; returns its window (tests look at it). Main queue
// only.
std::shared_ptr<uikit::UIWindow> showTestPrompt();

}  // namespace sentrel
