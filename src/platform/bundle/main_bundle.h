// Identity of the current process, as the platform's main bundle and process
// info report it.
//
// The device's launcher starts an app with $SENTREL_BUNDLE_PATH set to its
// bundle folder ("<root>/Applications/Foo.app"); the bundle identifier comes
// from that bundle's Info.plist. A bare executable has no bundle identifier
// and its bundle path is the folder of its executable.
//
// Without $SENTREL_BUNDLE_PATH, an executable that sits directly inside a
// "<Name>.app" folder (started by hand from its bundle) is that bundle's
// executable: its identifier is read from that Info.plist too. An Info.plist
// that cannot be read, or has no string "CFBundleIdentifier", gives no
// identifier and one log line.
#pragma once

#include <optional>
#include <string>

namespace sentrel::bundle {

inline constexpr const char* kBundlePathEnv = "SENTREL_BUNDLE_PATH";

struct MainBundle {
  std::optional<std::string> bundle_identifier;  // absent for a bare executable
  std::string bundle_path;                       // an app's ends in ".app"
  std::string executable_path;                   // the first argument the process was started with
  std::string process_name;                      // the kernel's short command name
};

// Read once per process (and again in a child after fork(), noticed by the
// pid changing); thread-safe. The reference stays valid for the life of the
// process, also after an override ends or a fork()ed child re-reads it.
const MainBundle& mainBundle();

// The bundle identifier of another process, as the launcher gave it its
// bundle: $SENTREL_BUNDLE_PATH of the environment it was started with
// (/proc/<pid>/environ, which the process cannot rewrite for others) and
// that bundle's Info.plist. None for a process without a bundle, one that is
// gone or whose environment cannot be read. Any thread.
std::optional<std::string> bundleIdentifierOfProcess(int pid);

// Replaces the identity until the guard goes away. Guards nest; they must be
// destroyed in reverse order of creation. Tests use env::Environment's
// main_bundle, which installs one of these.
class ScopedMainBundleOverride {
 public:
  explicit ScopedMainBundleOverride(MainBundle identity);
  ~ScopedMainBundleOverride();
  ScopedMainBundleOverride(const ScopedMainBundleOverride&) = delete;
  ScopedMainBundleOverride& operator=(const ScopedMainBundleOverride&) = delete;
};

}  // namespace sentrel::bundle
