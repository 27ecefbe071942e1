// The Foundation stand-ins' value services that every process may use
// (the tweak library among them): dates and the platform version. UUIDs are
// in uuid_linux.cc. The classes are in their own library (foundation.cc).
#include <chrono>
#include <string>

#include "platform/foundation/foundation.h"

namespace sentrel::foundation {
namespace {

constexpr int kSystemMajor = 15;
constexpr int kSystemMinor = 0;

}  // namespace

Date Date::now() {
  const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
  return Date(std::chrono::duration<double>(since_epoch).count());
}

std::string systemVersion() {
  return std::to_string(kSystemMajor) + "." + std::to_string(kSystemMinor);
}

bool systemVersionAtLeast(int major, int minor) {
  return kSystemMajor != major ? kSystemMajor > major : kSystemMinor >= minor;
}

}  // namespace sentrel::foundation
