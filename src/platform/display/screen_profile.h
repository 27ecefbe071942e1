// The device's screen: its size in points and its scale, as launchd passes
// it to backboardd ("--screen 390x844@3") and as UI processes read it from
// <root>/var/run/sentrel/screen.profile (the same text, one line).
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "platform/base/status.h"

namespace sentrel::display {

struct ScreenProfile {
  int width = 390;   // points
  int height = 844;  // points
  int scale = 3;     // pixels per point
  bool operator==(const ScreenProfile&) const = default;
};

// Sizes from 100 to 4096 points, scales 1 to 4.
inline constexpr int kMinScreenPoints = 100;
inline constexpr int kMaxScreenPoints = 4096;
inline constexpr int kMaxScreenScale = 4;

// "WxH@S", digits only (a trailing newline is allowed). The error names
// what is wrong.
Result<ScreenProfile> parseScreenProfile(std::string_view text);
std::string formatScreenProfile(const ScreenProfile& profile);  // "390x844@3"

// <root>/var/run/sentrel/screen.profile and screen.url
std::filesystem::path screenProfilePath(const std::filesystem::path& root);
std::filesystem::path screenUrlPath(const std::filesystem::path& root);

// The profile the device runs with: the file's, or the default when there
// is none. A malformed file is logged and the default used.
ScreenProfile readScreenProfile(const std::filesystem::path& root);

}  // namespace sentrel::display
