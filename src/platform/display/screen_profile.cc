#include "platform/display/screen_profile.h"

#include <charconv>
#include <fstream>
#include <iterator>

#include "platform/log/system_log.h"
#include "platform/paths/device_paths.h"

namespace sentrel::display {
namespace {

constexpr size_t kMaxProfileBytes = 64;

// A whole number of at most five digits from the front of `text`.
bool takeNumber(std::string_view& text, int& value) {
  size_t digits = 0;
  while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
  if (digits == 0 || digits > 5) return false;
  std::from_chars(text.data(), text.data() + digits, value);
  text.remove_prefix(digits);
  return true;
}

}  // namespace

Result<ScreenProfile> parseScreenProfile(std::string_view text) {
  if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
  // The text as the error quotes it: one line, printable.
  std::string shown(text.substr(0, 32));
  for (char& c : shown) {
    if (c < 0x20 || c > 0x7e) c = '?';
  }
  auto bad = [&](const std::string& why) {
    return Result<ScreenProfile>::Error("bad screen profile \"" + shown + "\": " + why +
                                        " (expected WIDTHxHEIGHT@SCALE, like 390x844@3)");
  };
  ScreenProfile profile;
  std::string_view rest = text;
  if (!takeNumber(rest, profile.width)) return bad("no width");
  if (rest.empty() || rest.front() != 'x') return bad("no 'x' after the width");
  rest.remove_prefix(1);
  if (!takeNumber(rest, profile.height)) return bad("no height");
  if (rest.empty() || rest.front() != '@') return bad("no '@' after the height");
  rest.remove_prefix(1);
  if (!takeNumber(rest, profile.scale)) return bad("no scale");
  if (!rest.empty()) return bad("unexpected text after the scale");
  if (profile.width < kMinScreenPoints || profile.width > kMaxScreenPoints ||
      profile.height < kMinScreenPoints || profile.height > kMaxScreenPoints) {
    return bad("sizes go from " + std::to_string(kMinScreenPoints) + " to " +
               std::to_string(kMaxScreenPoints) + " points");
  }
  if (profile.scale < 1 || profile.scale > kMaxScreenScale) {
    return bad("the scale goes from 1 to " + std::to_string(kMaxScreenScale));
  }
  return profile;
}

std::string formatScreenProfile(const ScreenProfile& profile) {
  return std::to_string(profile.width) + "x" + std::to_string(profile.height) + "@" +
         std::to_string(profile.scale);
}

std::filesystem::path screenProfilePath(const std::filesystem::path& root) {
  return paths::resolveUnder(root, paths::kRunDir) / "screen.profile";
}

std::filesystem::path screenUrlPath(const std::filesystem::path& root) {
  return paths::resolveUnder(root, paths::kRunDir) / "screen.url";
}

ScreenProfile readScreenProfile(const std::filesystem::path& root) {
  const std::filesystem::path path = screenProfilePath(root);
  std::ifstream in(path, std::ios::binary);
  if (!in) return ScreenProfile{};
  std::string text;
  char c;
  while (text.size() <= kMaxProfileBytes && in.get(c)) text += c;
  Result<ScreenProfile> profile = parseScreenProfile(text);
  if (!profile) {
    log::line(path.string() + ": " + profile.reason() + "; using " +
              formatScreenProfile(ScreenProfile{}));
    return ScreenProfile{};
  }
  return *profile;
}

}  // namespace sentrel::display
