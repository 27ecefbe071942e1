// The screen page's WebSocket messages are outside input (any script that
// got hold of the page's URL could send them): decoding must refuse bad JSON
// with a reason and never crash, and a pointer it accepts must carry a
// finite point that the touch router can take.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "platform/display/screen_server.h"

using namespace sentrel::display;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  sentrel::Result<PageInput> input = decodePageInput(text);
  if (!input) {
    if (input.reason().empty()) abort();
    return 0;
  }
  if (const auto* pointer = std::get_if<PagePointer>(&*input)) {
    if (!std::isfinite(pointer->point.x) || !std::isfinite(pointer->point.y)) abort();
    TouchRouter router;
    router.setWindows({WindowTree{1, 0, false, Rect{-10, -10, 1e6, 1e6}, {}}});
    (void)router.route(PagePointer{TouchPhase::kBegan, pointer->point});
    std::optional<Touch> touch = router.route(*pointer);
    if (touch && !std::isfinite(touch->point.x)) abort();
  }
  return 0;
}
