#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <system_error>
#include <thread>

#include "device/cli/change_lock.h"
#include "platform/paths/device_paths.h"

namespace sentrel::cli {
namespace {

// How often a waiting change tries again. A change holds the lock for one
// round trip to SpringBoard, tens of milliseconds.
constexpr auto kRetryInterval = std::chrono::milliseconds(5);

}  // namespace

Result<std::unique_ptr<ChangeLock>> ChangeLock::acquire(
    const std::filesystem::path& root, std::chrono::steady_clock::time_point deadline) {
  using Lock = Result<std::unique_ptr<ChangeLock>>;
  const std::filesystem::path file = paths::resolveUnder(root, kChangeLockPath);
  std::error_code ec;
  std::filesystem::create_directories(file.parent_path(), ec);
  if (ec) return Lock::Error("cannot create " + file.parent_path().string() + ": " + ec.message());
  const int fd = open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return Lock::FromErrno("cannot open the change lock " + file.string());
  // The lock is not taken with a blocking flock(): a holder that stopped
  // (a suspended terminal) must not keep this command waiting past its
  // deadline.
  for (;;) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return std::unique_ptr<ChangeLock>(new ChangeLock(fd));
    if (errno != EWOULDBLOCK && errno != EINTR) {
      const int err = errno;
      close(fd);
      return Lock::FromErrno("cannot lock " + file.string(), err);
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      close(fd);
      return Lock::Error("another change of the settings did not finish in time; nothing was sent");
    }
    std::this_thread::sleep_for(kRetryInterval);
  }
}

ChangeLock::~ChangeLock() {
  close(fd_);  // drops the lock
}

}  // namespace sentrel::cli
