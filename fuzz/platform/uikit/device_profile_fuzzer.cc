// Device profiles ("390x844@3") and system versions ("14.2") come from the
// device's configuration files. Bad text must be refused with a reason and
// leave the screen and device as they were; accepted text must give sane
// numbers.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/uikit/screen.h"

using namespace sentrel::uikit;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 256) return 0;
  std::string_view text(reinterpret_cast<const char*>(data), size);
  if (!text.empty() && text[0] == '#') {
    text.remove_prefix(1);
    UIDevice& device = UIDevice::currentDevice();
    const std::string before = device.systemVersion();
    if (device.setSystemVersion(text).ok()) {
      if (!device.isSystemVersionAtLeast(13)) std::abort();
      (void)device.setSystemVersion("13.0");
    } else if (device.systemVersion() != before) {
      std::abort();
    }
    return 0;
  }
  auto profile = DeviceProfile::parse(text);
  if (!profile.ok()) {
    if (profile.reason().empty()) std::abort();
    return 0;
  }
  const DeviceProfile& p = *profile;
  if (!(p.width > 0 && p.width <= 10000 && p.height > 0 && p.height <= 10000 && p.scale >= 1 &&
        p.scale <= 4))
    std::abort();
  // What it prints parses back to the same screen.
  auto again = DeviceProfile::parse(p.description());
  if (!again.ok() || std::fabs(again->width - p.width) > 1e-3 * p.width) std::abort();
  return 0;
}
