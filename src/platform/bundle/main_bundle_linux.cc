// The main bundle from the environment and /proc/self.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/fork_registry.h"
#include "platform/base/mutex.h"
#include "platform/bundle/main_bundle.h"
#include "platform/log/system_log.h"
#include "platform/plist/plist_codec.h"

namespace sentrel::bundle {
namespace {

namespace fs = std::filesystem;

Mutex g_mutex;
// Every identity ever handed out, never freed: mainBundle() returns references
// that callers may keep. Grows by one per fork and per test override only.
std::vector<std::unique_ptr<const MainBundle>> g_all GUARDED_BY(g_mutex);
const MainBundle* g_read GUARDED_BY(g_mutex) = nullptr;          // read from /proc
pid_t g_read_pid GUARDED_BY(g_mutex) = 0;                        // who read g_read
std::vector<const MainBundle*> g_overrides GUARDED_BY(g_mutex);  // innermost last

// Holding the lock across fork() means the child never inherits it locked by
// a thread that does not exist there. A leaf lock: nothing is read or logged
// under it.
[[maybe_unused]] const bool g_mutex_guarded = (base::holdAcrossFork(g_mutex), true);

std::string readSmallFile(const char* path) {
  std::string out;
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return out;
  char buf[4096];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
    if (out.size() > (1u << 20)) break;  // argv can be long; the first argument is all we need
  }
  close(fd);
  return out;
}

std::string selfExe() {
  std::error_code ec;
  fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  return ec ? std::string() : exe.string();
}

std::optional<std::string> identifierFromInfoPlist(const fs::path& bundle) {
  Result<plist::Value> info = plist::readDictionaryFile(bundle / "Info.plist");
  if (!info) {
    log::linef("Main bundle %s: no readable Info.plist (%s)", bundle.c_str(),
               info.reason().c_str());
    return std::nullopt;
  }
  const std::string* id = info->get("CFBundleIdentifier").asString();
  if (id == nullptr || id->empty()) {
    log::linef("Main bundle %s: Info.plist has no CFBundleIdentifier", bundle.c_str());
    return std::nullopt;
  }
  return *id;
}

MainBundle readIdentity() {
  MainBundle b;
  std::string cmdline = readSmallFile("/proc/self/cmdline");
  b.executable_path = cmdline.substr(0, cmdline.find('\0'));
  if (b.executable_path.empty()) b.executable_path = selfExe();

  std::string comm = readSmallFile("/proc/self/comm");
  while (!comm.empty() && comm.back() == '\n') comm.pop_back();
  b.process_name = comm;

  std::error_code ec;
  if (const char* env = getenv(kBundlePathEnv); env != nullptr && env[0] != '\0') {
    fs::path bundle = fs::absolute(fs::path(env), ec).lexically_normal();
    if (ec) bundle = env;
    if (bundle.has_relative_path() && !bundle.has_filename()) bundle = bundle.parent_path();
    b.bundle_path = bundle.string();
    b.bundle_identifier = identifierFromInfoPlist(bundle);
    return b;
  }

  // argv[0] with a slash names the file that was started (a symlink inside an
  // app bundle stays inside it); a bare command name was found on $PATH, so
  // the kernel's view of the executable is the better answer.
  fs::path exe = b.executable_path.find('/') != std::string::npos ? fs::path(b.executable_path)
                                                                  : fs::path(selfExe());
  fs::path folder = fs::absolute(exe, ec).lexically_normal().parent_path();
  if (ec) folder = exe.parent_path();
  b.bundle_path = folder.string();
  if (folder.extension() == ".app" && fs::exists(folder / "Info.plist", ec)) {
    b.bundle_identifier = identifierFromInfoPlist(folder);
  }
  return b;
}

}  // namespace

std::optional<std::string> bundleIdentifierOfProcess(int pid) {
  if (pid <= 0) return std::nullopt;
  const std::string environ = readSmallFile(("/proc/" + std::to_string(pid) + "/environ").c_str());
  const std::string key = std::string(kBundlePathEnv) + "=";
  for (size_t at = 0; at < environ.size();) {
    size_t end = environ.find('\0', at);
    if (end == std::string::npos) end = environ.size();
    std::string_view entry(environ.data() + at, end - at);
    if (entry.starts_with(key)) {
      fs::path bundle(std::string(entry.substr(key.size())));
      if (bundle.empty() || !bundle.is_absolute()) return std::nullopt;
      bundle = bundle.lexically_normal();
      if (bundle.has_relative_path() && !bundle.has_filename()) bundle = bundle.parent_path();
      return identifierFromInfoPlist(bundle);
    }
    at = end + 1;
  }
  return std::nullopt;
}

const MainBundle& mainBundle() {
  MutexLock lock(g_mutex);
  if (!g_overrides.empty()) return *g_overrides.back();
  pid_t pid = getpid();
  if (g_read != nullptr && g_read_pid == pid) return *g_read;
  // Read without the lock: reading Info.plist may log, and a log sink must
  // not find this lock held. Two first callers may both read; one wins.
  lock.unlock();
  auto fresh = std::make_unique<const MainBundle>(readIdentity());
  lock.lock();
  if (!g_overrides.empty()) return *g_overrides.back();
  if (g_read == nullptr || g_read_pid != pid) {
    g_read = fresh.get();
    g_read_pid = pid;
    g_all.push_back(std::move(fresh));
  }
  return *g_read;
}

ScopedMainBundleOverride::ScopedMainBundleOverride(MainBundle identity) {
  auto owned = std::make_unique<const MainBundle>(std::move(identity));
  MutexLock lock(g_mutex);
  g_overrides.push_back(owned.get());
  g_all.push_back(std::move(owned));
}

ScopedMainBundleOverride::~ScopedMainBundleOverride() {
  MutexLock lock(g_mutex);
  if (!g_overrides.empty()) g_overrides.pop_back();
}

}  // namespace sentrel::bundle
