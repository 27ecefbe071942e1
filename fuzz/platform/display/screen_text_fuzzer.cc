// The screens a scripted finger reads come from the screen server, which
// builds them from what UI processes commit: finding a text on one must
// never crash, and a centre it finds is a finite point.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/display/screen_client.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  // The first line is the text looked for, the rest the screen.
  const size_t newline = text.find('\n');
  const std::string_view wanted =
      newline == std::string_view::npos ? "OK" : text.substr(0, newline);
  const std::string_view screen =
      newline == std::string_view::npos ? text : text.substr(newline + 1);
  const sentrel::display::TextPlacement placement = sentrel::display::locateText(screen, wanted);
  if (placement.centre &&
      (!std::isfinite(placement.centre->x) || !std::isfinite(placement.centre->y)))
    abort();
  if (!(placement.settles_in >= 0)) abort();
  return 0;
}
