// Identity of the current process, as the platform's main bundle and process
// info report it.
//
// The device's launcher starts an app with $SENTREL_BUNDLE_PATH set to its
// bundle folder ("<root>/Applications/Foo.app"); the bundle identifier comes
// from that bundle's Info.plist. A bare executable has no bundle identifier
// and its bundle path is the folder of its executable.
#pragma once

#include <optional>
#include <string>

namespace sentrel::bundle {

inline constexpr const char* kBundlePathEnv = "SENTREL_BUNDLE_PATH";

struct MainBundle {
  std::optional<std::string> bundle_identifier;  // absent for a bare executable
  std::string bundle_path;      // an app's ends in ".app"
  std::string executable_path;  // the first argument the process was started with
  std::string process_name;     // the kernel's short command name
};

// Read once per process (and again in a child after fork()); thread-safe.
const MainBundle& mainBundle();

// Tests: replace the identity until the guard goes away.
class ScopedMainBundleOverride {
 public:
  explicit ScopedMainBundleOverride(MainBundle identity);
  ~ScopedMainBundleOverride();
  ScopedMainBundleOverride(const ScopedMainBundleOverride&) = delete;
  ScopedMainBundleOverride& operator=(const ScopedMainBundleOverride&) = delete;
};

}  // namespace sentrel::bundle
