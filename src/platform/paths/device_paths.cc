#include "platform/paths/device_paths.h"

#include <pwd.h>
#include <stdlib.h>
#include <unistd.h>

#include <optional>

#include "platform/base/fork_registry.h"
#include "platform/base/mutex.h"

namespace sentrel::paths {
namespace {

Mutex g_mutex;
std::filesystem::path g_override GUARDED_BY(g_mutex);
// $SENTREL_DEVICE_ROOT as it was before the first override, restored when the
// override is cleared; unset: nothing saved yet.
std::optional<std::string> g_saved_env GUARDED_BY(g_mutex);
bool g_env_saved GUARDED_BY(g_mutex) = false;
// A leaf lock: a fork()ed child must not inherit it held by a thread that
// does not exist there (every log line resolves the device root).
[[maybe_unused]] const bool g_mutex_guarded = (base::holdAcrossFork(g_mutex), true);

}  // namespace

std::filesystem::path defaultDeviceRoot() {
  if (const char* xdg = getenv("XDG_DATA_HOME"); xdg != nullptr && xdg[0] == '/') {
    return std::filesystem::path(xdg) / "sentrel" / "device";
  }
  std::filesystem::path home;
  if (const char* h = getenv("HOME"); h != nullptr && h[0] == '/') {
    home = h;
  } else if (const passwd* pw = getpwuid(getuid()); pw != nullptr && pw->pw_dir != nullptr) {
    home = pw->pw_dir;
  } else {
    home = "/tmp";
  }
  return home / ".local" / "share" / "sentrel" / "device";
}

std::filesystem::path deviceRoot() {
  {
    MutexLock lock(g_mutex);
    if (!g_override.empty()) return g_override;
  }
  if (const char* env = getenv(kDeviceRootEnv); env != nullptr && env[0] == '/') {
    return std::filesystem::path(env);
  }
  return defaultDeviceRoot();
}

std::optional<std::filesystem::path> deviceRootOverride() {
  MutexLock lock(g_mutex);
  if (g_override.empty()) return std::nullopt;
  return g_override;
}

void setDeviceRoot(const std::filesystem::path& root) {
  MutexLock lock(g_mutex);
  if (root.empty()) {
    g_override.clear();
    if (g_env_saved) {  // undo our export, or the cleared override would live on through it
      if (g_saved_env) {
        setenv(kDeviceRootEnv, g_saved_env->c_str(), 1);
      } else {
        unsetenv(kDeviceRootEnv);
      }
      g_env_saved = false;
      g_saved_env.reset();
    }
    return;
  }
  if (!g_env_saved) {
    if (const char* env = getenv(kDeviceRootEnv)) g_saved_env = env;
    g_env_saved = true;
  }
  g_override = std::filesystem::absolute(root).lexically_normal();
  setenv(kDeviceRootEnv, g_override.c_str(), 1);
}

std::filesystem::path resolveUnder(const std::filesystem::path& root,
                                   std::string_view device_path) {
  // Normalise as an absolute device path first so that ".." stops at "/".
  std::filesystem::path inside =
      (std::filesystem::path("/") / std::filesystem::path(device_path)).lexically_normal();
  std::filesystem::path result = root;
  for (const auto& part : inside.relative_path()) {
    if (part == "..") continue;  // lexically_normal leaves leading ".." above "/"
    result /= part;
  }
  return result;
}

std::filesystem::path resolve(std::string_view device_path) {
  return resolveUnder(deviceRoot(), device_path);
}

}  // namespace sentrel::paths
