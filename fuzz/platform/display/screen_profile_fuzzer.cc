// The screen profile is read from a file under the device root: parsing must
// refuse bad text with a reason, never crash, and what it accepts must be in
// range and print back the same.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/display/screen_profile.h"

using namespace sentrel::display;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  sentrel::Result<ScreenProfile> profile = parseScreenProfile(text);
  if (!profile) {
    if (profile.reason().empty()) abort();
    return 0;
  }
  if (profile->width < kMinScreenPoints || profile->width > kMaxScreenPoints) abort();
  if (profile->scale < 1 || profile->scale > kMaxScreenScale) abort();
  sentrel::Result<ScreenProfile> again = parseScreenProfile(formatScreenProfile(*profile));
  if (!again || !(*again == *profile)) abort();
  return 0;
}
