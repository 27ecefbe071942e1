// The screen and the device: bounds and scale from a device profile, and the
// platform version. Main thread only.
#pragma once

#include <string>
#include <string_view>

#include "platform/base/status.h"
#include "platform/uikit/geometry.h"

namespace sentrel::uikit {

// The emulated screen: size in points and pixels per point.
struct DeviceProfile {
  double width = 390;
  double height = 844;
  double scale = 3;

  // "375x667@2": whole or decimal points from 1 to 10000 each, a scale in
  // [1, 4]. Blanks around the text are ignored; anything else is refused
  // with a reason that quotes the text.
  static Result<DeviceProfile> parse(std::string_view text);
  std::string description() const;  // "390x844@3"
};

class UIScreen {
 public:
  static UIScreen& mainScreen();

  CGRect bounds() const { return CGRectMake(0, 0, profile_.width, profile_.height); }
  double scale() const { return profile_.scale; }
  double nativeScale() const { return profile_.scale; }
  const DeviceProfile& profile() const { return profile_; }
  // Set once at process start from the device's configuration (and by tests).
  void setProfile(const DeviceProfile& profile) { profile_ = profile; }

 private:
  DeviceProfile profile_;
};

class UIDevice {
 public:
  static UIDevice& currentDevice();

  const std::string& systemName() const { return systemName_; }
  const std::string& systemVersion() const { return systemVersion_; }  // "13.0"
  // "major[.minor[.patch]]" at 13.0 or later; anything else is refused and
  // the version stays.
  Status setSystemVersion(std::string_view version);
  // systemVersion >= major.minor
  bool isSystemVersionAtLeast(int major, int minor = 0) const;

 private:
  std::string systemName_ = "iOS";
  std::string systemVersion_ = "13.0";
  int major_ = 13;
  int minor_ = 0;
};

}  // namespace sentrel::uikit
