#include "platform/paths/device_paths.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <optional>
#include <string>

namespace sentrel::paths {
namespace {

namespace fs = std::filesystem;

// Sets (or unsets) an environment variable for one scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = getenv(name)) old_ = old;
    if (value) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (old_) {
      setenv(name_, old_->c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

TEST(ResolvingADevicePath, PutsAbsoluteAndRelativePathsUnderTheRoot) {
  fs::path root = "/tmp/device";
  EXPECT_EQ(resolveUnder(root, "/var/mobile/Library/Preferences/x.plist"),
            "/tmp/device/var/mobile/Library/Preferences/x.plist");
  EXPECT_EQ(resolveUnder(root, "usr/bin/killall"), "/tmp/device/usr/bin/killall");
  EXPECT_EQ(resolveUnder(root, "/"), "/tmp/device");
  EXPECT_EQ(resolveUnder(root, ""), "/tmp/device");
  EXPECT_EQ(resolveUnder(root, "/Applications/./Foo.app//Info.plist"),
            "/tmp/device/Applications/Foo.app/Info.plist");
}

TEST(ResolvingADevicePath, NeverClimbsAboveTheRoot) {
  fs::path root = "/tmp/device";
  EXPECT_EQ(resolveUnder(root, "/../../etc/passwd"), "/tmp/device/etc/passwd");
  EXPECT_EQ(resolveUnder(root, "../etc"), "/tmp/device/etc");
  EXPECT_EQ(resolveUnder(root, "/var/../../../etc"), "/tmp/device/etc");
  EXPECT_EQ(resolveUnder(root, "/var/mobile/../log"), "/tmp/device/var/log");
  EXPECT_EQ(resolveUnder(root, "/.."), "/tmp/device");
  for (const char* hostile : {"/../..", "a/../../..", "/x/../../y/../../z"}) {
    fs::path p = resolveUnder(root, hostile);
    auto rel = p.lexically_relative(root);
    EXPECT_TRUE(!rel.empty() && *rel.begin() != "..") << hostile << " -> " << p;
  }
}

TEST(TheDeviceRoot, IsTheOverrideThenTheEnvironmentThenTheDefault) {
  ScopedEnv env(kDeviceRootEnv, "/from/env");
  setDeviceRoot({});
  EXPECT_EQ(deviceRoot(), "/from/env");
  EXPECT_EQ(resolve("/var/log"), "/from/env/var/log");

  setDeviceRoot("/from/override/../override");
  EXPECT_EQ(deviceRoot(), "/from/override");
  EXPECT_STREQ(getenv(kDeviceRootEnv), "/from/override");  // exported for children

  setDeviceRoot("/second/override");
  setDeviceRoot({});
  EXPECT_EQ(deviceRoot(), "/from/env");  // the environment as it was before any override
  EXPECT_STREQ(getenv(kDeviceRootEnv), "/from/env");

  unsetenv(kDeviceRootEnv);
  EXPECT_EQ(deviceRoot(), defaultDeviceRoot());
}

TEST(TheDeviceRoot, ReturnsToTheDefaultWhenAnOverrideEndsInAProcessWithoutOne) {
  ScopedEnv env(kDeviceRootEnv, nullptr);
  setDeviceRoot("/tmp/some-test-root");
  setDeviceRoot({});
  EXPECT_EQ(getenv(kDeviceRootEnv), nullptr);
  EXPECT_EQ(deviceRoot(), defaultDeviceRoot());
}

TEST(TheDeviceRoot, IgnoresARelativeEnvironmentValue) {
  ScopedEnv env(kDeviceRootEnv, "relative/root");
  setDeviceRoot({});
  EXPECT_EQ(deviceRoot(), defaultDeviceRoot());
}

TEST(TheDefaultDeviceRoot, PrefersXdgDataHomeThenHome) {
  ScopedEnv home("HOME", "/home/someone");
  {
    ScopedEnv xdg("XDG_DATA_HOME", "/data/xdg");
    EXPECT_EQ(defaultDeviceRoot(), "/data/xdg/sentrel/device");
  }
  {
    ScopedEnv xdg("XDG_DATA_HOME", "not/absolute");
    EXPECT_EQ(defaultDeviceRoot(), "/home/someone/.local/share/sentrel/device");
  }
  ScopedEnv no_xdg("XDG_DATA_HOME", nullptr);
  ScopedEnv no_home("HOME", nullptr);
  EXPECT_TRUE(defaultDeviceRoot().is_absolute());
  EXPECT_EQ(defaultDeviceRoot().filename(), "device");
}

}  // namespace
}  // namespace sentrel::paths
