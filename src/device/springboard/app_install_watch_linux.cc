#include <errno.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <chrono>
#include <system_error>

#include "device/springboard/app_install_watch.h"
#include "platform/paths/device_paths.h"

namespace sentrel::springboard {
namespace {

// An install's steps (container, bundle, its Info.plist) come within
// milliseconds; one look after the burst sees the whole app.
constexpr auto kSettleDelay = std::chrono::milliseconds(150);

class InotifyAppInstallWatch final : public AppInstallWatch {
 public:
  InotifyAppInstallWatch(int fd, runloop::RunLoop& loop, std::function<void()> changed)
      : fd_(fd), loop_(loop), changed_(std::move(changed)) {
    watch_ = loop_.watchFd(fd_, POLLIN, [this](short) { drain(); });
  }
  ~InotifyAppInstallWatch() override {
    *alive_ = false;
    loop_.unwatchFd(watch_);
    close(fd_);
  }
  InotifyAppInstallWatch(const InotifyAppInstallWatch&) = delete;
  InotifyAppInstallWatch& operator=(const InotifyAppInstallWatch&) = delete;

 private:
  void drain() {
    alignas(inotify_event) char buffer[4096];
    bool any = false;
    for (;;) {
      const ssize_t n = read(fd_, buffer, sizeof buffer);
      if (n > 0) {
        any = true;
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      break;  // EAGAIN: read empty
    }
    if (!any || pending_) return;
    pending_ = true;
    std::weak_ptr<bool> alive = alive_;
    loop_.postDelayed(kSettleDelay, [this, alive] {
      if (auto live = alive.lock(); !live || !*live) return;
      pending_ = false;
      changed_();
    });
  }

  int fd_;
  runloop::RunLoop& loop_;
  std::function<void()> changed_;
  runloop::WatchId watch_{};
  bool pending_ = false;  // a report is scheduled
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace

Result<std::unique_ptr<AppInstallWatch>> watchAppInstalls(const std::filesystem::path& root,
                                                          runloop::RunLoop& loop,
                                                          std::function<void()> changed) {
  using Watch = Result<std::unique_ptr<AppInstallWatch>>;
  const int fd = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  if (fd < 0) return Watch::FromErrno("cannot watch the app folders");
  for (const char* folder : {paths::kSystemAppsDir, paths::kUserAppsDir}) {
    const std::filesystem::path path = paths::resolveUnder(root, folder);
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
    if (inotify_add_watch(fd, path.c_str(),
                          IN_CREATE | IN_DELETE | IN_MOVED_TO | IN_MOVED_FROM | IN_ONLYDIR) < 0) {
      const int err = errno;
      close(fd);
      return Watch::FromErrno("cannot watch " + path.string(), err);
    }
  }
  return std::unique_ptr<AppInstallWatch>(new InotifyAppInstallWatch(fd, loop, std::move(changed)));
}

}  // namespace sentrel::springboard
