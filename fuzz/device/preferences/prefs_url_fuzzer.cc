// The Settings app's launch argument is outside input. A URL that parses has
// a non-empty root and no empty path component.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "device/preferences/prefs_url.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto location = sentrel::settings_app::parsePrefsURL(text);
  if (!location) return 0;
  if (location->root.empty()) abort();
  for (const std::string& component : location->path) {
    if (component.empty()) abort();
  }
  return 0;
}
