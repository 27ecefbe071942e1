// The app catalogue read from, and written to, the bundle folders of a device
// root.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>

#include "platform/apps/installed_apps.h"
#include "platform/base/mutex.h"
#include "platform/log/system_log.h"
#include "platform/paths/device_paths.h"
#include "platform/plist/plist_codec.h"

namespace sentrel::apps {
namespace {

namespace fs = std::filesystem;

constexpr const char* kLockFile = "installed-apps.lock";

bool hasControlCharacter(std::string_view text) {
  return std::any_of(text.begin(), text.end(),
                     [](unsigned char c) { return c < 0x20 || c == 0x7f; });
}

// A single file name inside a bundle, as Info.plist names one: no folders,
// nothing hidden, nothing that climbs out of the bundle.
bool isPlainFileName(std::string_view name) {
  return !name.empty() && name.size() <= 255 && name.front() != '.' &&
         name.find('/') == std::string_view::npos && !hasControlCharacter(name);
}

// "/tmp/dev/", "dev/./" -> one absolute spelling, so that device paths come
// out as "/Applications/...".
fs::path normalRoot(const fs::path& root) {
  std::error_code ec;
  fs::path p = fs::absolute(root, ec);
  if (ec) p = root;
  p = p.lexically_normal();
  if (p.has_relative_path() && !p.has_filename()) p = p.parent_path();
  return p;
}

const std::string* stringAt(const plist::Value& info, const char* key) {
  const std::string* s = info.get(key).asString();
  return s != nullptr && !s->empty() ? s : nullptr;
}

// One bundle's record, or why it cannot be listed.
Result<AppRecord> readBundle(const fs::path& root, const fs::path& bundle, AppType type) {
  Result<plist::Value> info = plist::readDictionaryFile(bundle / "Info.plist");
  if (!info) return info.status();
  const plist::Value& doc = info.value();

  AppRecord r;
  const std::string* id = doc.get("CFBundleIdentifier").asString();
  if (id == nullptr) return Result<AppRecord>::Error("Info.plist has no CFBundleIdentifier");
  if (Status valid = validateIdentifier(*id); !valid) return valid;
  r.identifier = *id;
  r.type = type;

  if (const std::string* name = stringAt(doc, "CFBundleDisplayName")) {
    r.display_name = *name;
  } else if (const std::string* bundle_name = stringAt(doc, "CFBundleName")) {
    r.display_name = *bundle_name;
  } else {
    r.display_name = bundle.stem().string();
  }

  if (const plist::Array* tags = doc.get("SBAppTags").asArray()) {
    for (const plist::Value& tag : *tags) {
      if (const std::string* t = tag.asString()) r.tags.push_back(*t);
    }
  }

  r.bundle_path = bundle;
  r.device_bundle_path = "/" + bundle.lexically_relative(root).string();

  // An executable or icon name that is not a plain file name would point
  // outside the bundle; it is treated as absent.
  if (const std::string* exe = stringAt(doc, "CFBundleExecutable"); exe && isPlainFileName(*exe)) {
    r.executable_path = bundle / *exe;
  }
  if (const std::string* icon = stringAt(doc, "CFBundleIconFile"); icon && isPlainFileName(*icon)) {
    std::error_code ec;
    fs::path path = bundle / *icon;
    if (fs::is_regular_file(path, ec)) {
      r.icon_path = path;
    } else if (fs::path png = bundle / (*icon + ".png"); fs::is_regular_file(png, ec)) {
      r.icon_path = png;
    }
  }
  return r;
}

// The ".app" folders directly inside `dir`, by name; dot-folders are staging.
std::vector<fs::path> bundlesIn(const fs::path& dir) {
  std::vector<fs::path> out;
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    const fs::path& p = it->path();
    std::string name = p.filename().string();
    if (name.empty() || name.front() == '.' || p.extension() != ".app") continue;
    std::error_code dir_ec;
    if (it->is_directory(dir_ec)) out.push_back(p);
  }
  std::sort(out.begin(), out.end());
  return out;
}

std::vector<fs::path> containersIn(const fs::path& dir) {
  std::vector<fs::path> out;
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    std::string name = it->path().filename().string();
    std::error_code dir_ec;
    if (!name.empty() && name.front() != '.' && it->is_directory(dir_ec)) out.push_back(it->path());
  }
  std::sort(out.begin(), out.end());
  return out;
}

class DeviceCatalogue final : public AppCatalogue {
 public:
  explicit DeviceCatalogue(const fs::path& root) : root_(normalRoot(root)) {}

  std::vector<AppRecord> allApplications() const override {
    std::vector<AppRecord> out;
    try {
      for (const fs::path& b : bundlesIn(paths::resolveUnder(root_, paths::kSystemAppsDir))) {
        take(b, AppType::kSystem, out);
      }
      for (const fs::path& c : containersIn(paths::resolveUnder(root_, paths::kUserAppsDir))) {
        for (const fs::path& b : bundlesIn(c)) take(b, AppType::kUser, out);
      }
    } catch (const std::exception& e) {
      log::linef("Installed apps: cannot list %s: %s", root_.c_str(), e.what());
    }
    return out;
  }

 private:
  void take(const fs::path& bundle, AppType type, std::vector<AppRecord>& out) const {
    Result<AppRecord> r = readBundle(root_, bundle, type);
    if (r) {
      out.push_back(std::move(r).value());
      return;
    }
    // Once per broken file: its path with its change time and size.
    struct stat st {};
    std::string key = bundle.string();
    if (stat((bundle / "Info.plist").c_str(), &st) == 0) {
      key += "@" + std::to_string(st.st_ctim.tv_sec) + "." + std::to_string(st.st_ctim.tv_nsec) +
             "/" + std::to_string(st.st_size);
    }
    {
      MutexLock lock(mutex_);
      if (!reported_.insert(key).second) return;
    }
    log::linef("Installed apps: skipping %s: %s", bundle.c_str(), r.reason().c_str());
  }

  const fs::path root_;
  mutable Mutex mutex_;
  mutable std::set<std::string> reported_ GUARDED_BY(mutex_);  // broken bundles already logged
};

// Serialises installs and removals of one device, across processes: flock()
// on a lock file in the device's run folder, released when the fd closes.
class DeviceLock {
 public:
  static Result<std::unique_ptr<DeviceLock>> take(const fs::path& root) {
    fs::path dir = paths::resolveUnder(root, paths::kRunDir);
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec)
      return Result<std::unique_ptr<DeviceLock>>::Error("cannot create " + dir.string() + ": " +
                                                        ec.message());
    fs::path file = dir / kLockFile;
    int fd = open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0)
      return Result<std::unique_ptr<DeviceLock>>::FromErrno("cannot open " + file.string(), errno);
    while (flock(fd, LOCK_EX) != 0) {
      if (errno == EINTR) continue;
      int err = errno;
      close(fd);
      return Result<std::unique_ptr<DeviceLock>>::FromErrno("cannot lock " + file.string(), err);
    }
    return std::unique_ptr<DeviceLock>(new DeviceLock(fd));
  }
  ~DeviceLock() { close(fd_); }
  DeviceLock(const DeviceLock&) = delete;
  DeviceLock& operator=(const DeviceLock&) = delete;

 private:
  explicit DeviceLock(int fd) : fd_(fd) {}
  int fd_;
};

// A staging folder that is removed, with what it holds, unless released.
class Staging {
 public:
  static Result<std::unique_ptr<Staging>> make(const fs::path& parent, const char* prefix) {
    std::string tmpl = (parent / (std::string(prefix) + "XXXXXX")).string();
    if (mkdtemp(tmpl.data()) == nullptr) {
      return Result<std::unique_ptr<Staging>>::FromErrno(
          "cannot create a staging folder in " + parent.string(), errno);
    }
    return std::unique_ptr<Staging>(new Staging(tmpl));
  }
  ~Staging() {
    std::error_code ec;
    fs::remove_all(path_, ec);  // never follows symlinks: wrapped programs are safe
  }
  const fs::path& path() const { return path_; }

 private:
  explicit Staging(fs::path path) : path_(std::move(path)) {}
  fs::path path_;
};

// rename() that fails rather than replace an existing target (an empty
// folder would otherwise be replaced silently).
Status moveIntoPlace(const fs::path& from, const fs::path& to) {
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
    return Status::Ok();
  }
  if (errno == EEXIST) return Status::Error(to.string() + " already exists");
  return Status::FromErrno("cannot move the new bundle to " + to.string(), errno);
}

Result<std::string> newUuid() {
  int fd = open("/proc/sys/kernel/random/uuid", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return Result<std::string>::FromErrno("cannot make a UUID", errno);
  char buf[64];
  ssize_t n;
  do {
    n = read(fd, buf, sizeof buf);
  } while (n < 0 && errno == EINTR);
  close(fd);
  if (n < 36) return Result<std::string>::Error("cannot make a UUID: short read");
  std::string uuid(buf, 36);
  for (char& c : uuid) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return uuid;
}

// "Mail", "My App" -> "MyApp", else the last part of the identifier.
std::string bundleNameFor(const InstallOptions& o) {
  if (!o.bundle_name.empty()) return o.bundle_name;
  std::string name;
  for (unsigned char c : o.display_name) {
    if (std::isalnum(c) || c == '-' || c == '_') name += static_cast<char>(c);
  }
  if (!name.empty()) return name;
  std::string_view id = o.identifier;
  size_t dot = id.rfind('.');
  return std::string(dot == std::string_view::npos ? id : id.substr(dot + 1));
}

Status validateOptions(const InstallOptions& o, const std::string& bundle_name) {
  if (Status s = validateIdentifier(o.identifier); !s) return s;
  if (hasControlCharacter(o.display_name)) {
    return Status::Error("the display name holds control characters");
  }
  if (!isPlainFileName(bundle_name) || bundle_name.size() > 200) {
    return Status::Error("the bundle name \"" + bundle_name +
                         "\" is not a plain file name (no '/', no leading '.')");
  }
  for (const std::string& tag : o.tags) {
    if (tag.empty() || hasControlCharacter(tag)) {
      return Status::Error("a tag is empty or holds control characters");
    }
  }
  return Status::Ok();
}

}  // namespace

std::unique_ptr<AppCatalogue> newDeviceCatalogue(fs::path root) {
  return std::make_unique<DeviceCatalogue>(root);
}

namespace {

// The kernel runs an ELF executable built for this machine or a "#!"
// script; anything else with its execute bit set fails at the first launch
// ("Exec format error"), long after the install said yes.
Status checkRunnable(const fs::path& program) {
  auto header = [](const fs::path& file) -> std::string {
    const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return "";
    char bytes[20];
    const ssize_t n = read(fd, bytes, sizeof bytes);
    close(fd);
    return n > 0 ? std::string(bytes, static_cast<size_t>(n)) : std::string();
  };
  const std::string head = header(program);
  if (head.rfind("#!", 0) == 0) return Status::Ok();
  if (head.size() == 20 && head.rfind("\x7f"
                                      "ELF",
                                      0) == 0) {
    // Class, byte order (bytes 4 and 5) and machine (bytes 18 and 19) as
    // this program's own.
    const std::string own = header("/proc/self/exe");
    if (own.size() == 20 &&
        (head.substr(4, 2) != own.substr(4, 2) || head.substr(18, 2) != own.substr(18, 2))) {
      return Status::Error("\"" + program.string() + "\" is a program for another machine");
    }
    return Status::Ok();
  }
  return Status::Error("\"" + program.string() +
                       "\" is not a program this machine can run (neither an ELF executable "
                       "nor a script starting with #!)");
}

}  // namespace

Result<AppRecord> installApp(const fs::path& device_root, const InstallOptions& options) try {
  const fs::path root = normalRoot(device_root);
  const std::string bundle_name = bundleNameFor(options);
  if (Status s = validateOptions(options, bundle_name); !s) return s;

  std::error_code ec;
  if (!fs::is_directory(root, ec)) {
    return Result<AppRecord>::Error("no device at " + root.string());
  }
  fs::path program = fs::absolute(options.executable, ec);
  if (ec || options.executable.empty() || !fs::is_regular_file(program, ec) ||
      access(program.c_str(), X_OK) != 0) {
    return Result<AppRecord>::Error("\"" + options.executable.string() +
                                    "\" is not an executable file");
  }
  if (Status runnable = checkRunnable(program); !runnable) return runnable;
  std::string icon_name;
  if (options.icon) {
    icon_name = options.icon->filename().string();
    if (!fs::is_regular_file(*options.icon, ec) || !isPlainFileName(icon_name) ||
        icon_name == "Info.plist" || icon_name == bundle_name) {
      return Result<AppRecord>::Error("\"" + options.icon->string() + "\" is not a usable icon");
    }
  }

  Result<std::unique_ptr<DeviceLock>> lock = DeviceLock::take(root);
  if (!lock) return lock.status();

  if (auto existing = newDeviceCatalogue(root)->applicationWithIdentifier(options.identifier)) {
    return Result<AppRecord>::Error("an app with identifier " + options.identifier +
                                    " is already installed at " + existing->device_bundle_path);
  }

  const bool system = options.type == AppType::kSystem;
  fs::path parent = paths::resolveUnder(root, system ? paths::kSystemAppsDir : paths::kUserAppsDir);
  fs::create_directories(parent, ec);
  if (ec) return Result<AppRecord>::Error("cannot create " + parent.string() + ": " + ec.message());

  // Everything is built in a dot-folder that readers skip, then renamed into
  // place in one step.
  Result<std::unique_ptr<Staging>> staging = Staging::make(parent, ".install-");
  if (!staging) return staging.status();
  fs::path bundle = staging.value()->path() / (bundle_name + ".app");
  if (mkdir(bundle.c_str(), 0755) != 0) {
    return Result<AppRecord>::FromErrno("cannot create " + bundle.string(), errno);
  }
  if (symlink(program.c_str(), (bundle / bundle_name).c_str()) != 0) {
    return Result<AppRecord>::FromErrno("cannot link the executable", errno);
  }
  plist::MutableDict info;
  info.set("CFBundleIdentifier", plist::Value::string(options.identifier));
  info.set("CFBundleName", plist::Value::string(bundle_name));
  if (!options.display_name.empty()) {
    info.set("CFBundleDisplayName", plist::Value::string(options.display_name));
  }
  info.set("CFBundleExecutable", plist::Value::string(bundle_name));
  if (!options.tags.empty()) {
    plist::Array tags;
    for (const std::string& t : options.tags) tags.push_back(plist::Value::string(t));
    info.set("SBAppTags", plist::Value::array(std::move(tags)));
  }
  if (options.icon) {
    fs::copy_file(*options.icon, bundle / icon_name, ec);
    if (ec) return Result<AppRecord>::Error("cannot copy the icon: " + ec.message());
    info.set("CFBundleIconFile", plist::Value::string(icon_name));
  }
  if (Status s = plist::writeFileAtomically(bundle / "Info.plist", info.build()); !s) return s;

  fs::path final_bundle;
  if (system) {
    final_bundle = parent / (bundle_name + ".app");
    if (Status s = moveIntoPlace(bundle, final_bundle); !s) return s;
  } else {
    Result<std::string> uuid = newUuid();
    if (!uuid) return uuid.status();
    fs::path container = parent / uuid.value();
    if (Status s = moveIntoPlace(staging.value()->path(), container); !s) return s;
    final_bundle = container / (bundle_name + ".app");
  }
  return readBundle(root, final_bundle, options.type);
} catch (const std::exception& e) {
  return Result<AppRecord>::Error(std::string("cannot install the app: ") + e.what());
}

Status removeApp(const fs::path& device_root, std::string_view identifier) try {
  const fs::path root = normalRoot(device_root);
  if (Status s = validateIdentifier(identifier); !s) return s;
  Result<std::unique_ptr<DeviceLock>> lock = DeviceLock::take(root);
  if (!lock) return lock.status();

  std::vector<AppRecord> found;
  for (AppRecord& r : newDeviceCatalogue(root)->allApplications()) {
    if (r.identifier == identifier) found.push_back(std::move(r));
  }
  if (found.empty()) {
    return Status::Error("no installed app has identifier " + std::string(identifier));
  }
  for (const AppRecord& r : found) {
    // A user app's container goes with it, unless it holds other bundles too.
    fs::path target = r.bundle_path;
    if (r.type == AppType::kUser && bundlesIn(target.parent_path()).size() == 1) {
      target = target.parent_path();
    }
    // Renamed out of sight first, so no reader meets a half-deleted bundle.
    Result<std::unique_ptr<Staging>> trash = Staging::make(target.parent_path(), ".remove-");
    if (!trash) return trash.status();
    if (rename(target.c_str(), trash.value()->path().c_str()) != 0) {
      return Status::FromErrno("cannot remove " + target.string(), errno);
    }
  }
  return Status::Ok();
} catch (const std::exception& e) {
  return Status::Error(std::string("cannot remove the app: ") + e.what());
}

}  // namespace sentrel::apps
