// Touch events as the render server sends them, in any order and with any
// values: a window with tap and pan recognisers must survive them all.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "platform/uikit/gesture_recognizer.h"
#include "platform/uikit/window.h"

using namespace sentrel::uikit;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto window = std::make_shared<UIWindow>(CGRectMake(0, 0, 400, 800));
  auto card = std::make_shared<UIView>(CGRectMake(50, 100, 300, 400));
  window->addSubview(card);
  window->makeKeyAndVisible();
  auto tap = std::make_shared<UITapGestureRecognizer>([](UIGestureRecognizer&) {});
  auto pan = std::make_shared<UIPanGestureRecognizer>([](UIGestureRecognizer& r) {
    auto& p = static_cast<UIPanGestureRecognizer&>(r);
    (void)p.velocityInView(nullptr);
    (void)p.translationInView(nullptr);
  });
  card->addGestureRecognizer(tap);
  window->addGestureRecognizer(pan);
  // Each event: 1 byte id and phase, then x, y and time as doubles.
  constexpr std::size_t kEvent = 1 + 3 * sizeof(double);
  for (std::size_t at = 0; at + kEvent <= size; at += kEvent) {
    UITouch touch;
    touch.identifier = data[at] & 3;
    touch.phase = static_cast<UITouchPhase>((data[at] >> 2) % 5);
    std::memcpy(&touch.locationInWindow.x, data + at + 1, sizeof(double));
    std::memcpy(&touch.locationInWindow.y, data + at + 1 + sizeof(double), sizeof(double));
    std::memcpy(&touch.timestamp, data + at + 1 + 2 * sizeof(double), sizeof(double));
    window->sendTouch(touch);
  }
  window->setHidden(true);
  return 0;
}
