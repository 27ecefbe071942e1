#include "platform/uikit/screen.h"

#include <charconv>
#include <cmath>
#include <cstdio>

#include "platform/uikit/main_thread.h"

namespace sentrel::uikit {

namespace {

std::string_view trim(std::string_view s) {
  while (!s.empty() &&
         (s.front() == ' ' || s.front() == '\t' || s.front() == '\n' || s.front() == '\r'))
    s.remove_prefix(1);
  while (!s.empty() &&
         (s.back() == ' ' || s.back() == '\t' || s.back() == '\n' || s.back() == '\r'))
    s.remove_suffix(1);
  return s;
}

// A plain decimal number: digits with at most one '.', no sign or exponent.
bool parseNumber(std::string_view s, double& out) {
  if (s.empty() || s.size() > 16) return false;
  int dots = 0, digits = 0;
  for (char c : s) {
    if (c == '.') {
      ++dots;
    } else if (c >= '0' && c <= '9') {
      ++digits;
    } else {
      return false;
    }
  }
  if (dots > 1 || digits == 0) return false;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
  return ec == std::errc() && end == s.data() + s.size() && std::isfinite(out);
}

bool parseInt(std::string_view s, int& out) {
  if (s.empty() || s.size() > 6) return false;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
  return ec == std::errc() && end == s.data() + s.size() && out >= 0;
}

}  // namespace

Result<DeviceProfile> DeviceProfile::parse(std::string_view text) {
  const std::string quoted = "\"" + std::string(text.substr(0, 64)) + "\"";
  auto refuse = [&](const char* why) {
    return Result<DeviceProfile>::Error("device profile " + quoted + ": " + why +
                                        " (expected e.g. 390x844@3)");
  };
  std::string_view s = trim(text);
  const std::size_t x = s.find('x');
  const std::size_t at = s.find('@');
  if (x == std::string_view::npos || at == std::string_view::npos || at < x) {
    return refuse("not WIDTHxHEIGHT@SCALE");
  }
  DeviceProfile p;
  if (!parseNumber(s.substr(0, x), p.width) || !parseNumber(s.substr(x + 1, at - x - 1), p.height))
    return refuse("size is not a number");
  if (!parseNumber(s.substr(at + 1), p.scale)) return refuse("scale is not a number");
  // At least a point each way: a screen smaller than that is no screen, and
  // its size would not print back as a profile ("6e-10").
  if (p.width < 1 || p.height < 1 || p.width > 10000 || p.height > 10000)
    return refuse("size out of range [1, 10000]");
  if (p.scale < 1 || p.scale > 4) return refuse("scale out of range [1, 4]");
  return p;
}

std::string DeviceProfile::description() const {
  char text[96];
  std::snprintf(text, sizeof text, "%gx%g@%g", width, height, scale);
  return text;
}

UIScreen& UIScreen::mainScreen() {
  SENTREL_UIKIT_ASSERT_MAIN_THREAD();
  static UIScreen screen;
  return screen;
}

UIDevice& UIDevice::currentDevice() {
  SENTREL_UIKIT_ASSERT_MAIN_THREAD();
  static UIDevice device;
  return device;
}

Status UIDevice::setSystemVersion(std::string_view version) {
  int parts[3] = {0, 0, 0};
  int count = 0;
  std::string_view rest = version;
  while (true) {
    const std::size_t dot = rest.find('.');
    if (count == 3 || !parseInt(rest.substr(0, dot), parts[count])) {
      return Status::Error("system version \"" + std::string(version.substr(0, 32)) +
                           "\" is not major[.minor[.patch]]");
    }
    ++count;
    if (dot == std::string_view::npos) break;
    rest.remove_prefix(dot + 1);
  }
  if (parts[0] < 13) {
    return Status::Error("system version " + std::string(version) + " is older than 13.0");
  }
  major_ = parts[0];
  minor_ = parts[1];
  systemVersion_ = std::string(version);
  if (count == 1) systemVersion_ += ".0";
  return Status::Ok();
}

bool UIDevice::isSystemVersionAtLeast(int major, int minor) const {
  return major_ != major ? major_ > major : minor_ >= minor;
}

}  // namespace sentrel::uikit
