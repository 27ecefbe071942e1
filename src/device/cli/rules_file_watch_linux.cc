#include <errno.h>
#include <poll.h>
#include <string.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <string>

#include "device/cli/rules_file_watch.h"

namespace sentrel::cli {
namespace {

class InotifyFileWriteWatch final : public FileWriteWatch {
 public:
  InotifyFileWriteWatch(int fd, std::string name) : fd_(fd), name_(std::move(name)) {}
  ~InotifyFileWriteWatch() override { close(fd_); }
  InotifyFileWriteWatch(const InotifyFileWriteWatch&) = delete;
  InotifyFileWriteWatch& operator=(const InotifyFileWriteWatch&) = delete;

  Result<bool> waitForWrite(std::chrono::steady_clock::time_point deadline) override {
    for (;;) {
      const auto left =
          std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      pollfd p{fd_, POLLIN, 0};
      // poll() takes an int; a longer wait simply goes round again.
      const int timeout_ms = static_cast<int>(std::min<int64_t>(left.count(), 60'000));
      const int ready = poll(&p, 1, timeout_ms);
      if (ready < 0) {
        if (errno == EINTR) continue;
        return Result<bool>::FromErrno("cannot wait for the settings file");
      }
      if (ready == 0) continue;
      Result<bool> written = readEvents();
      if (!written.ok() || *written) return written;
    }
  }

 private:
  // Drains the queued events; true when one of them is a write of our file.
  Result<bool> readEvents() {
    alignas(inotify_event) char buffer[16 * (sizeof(inotify_event) + NAME_MAX + 1)];
    const ssize_t n = read(fd_, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) return false;
      return Result<bool>::FromErrno("cannot read file events");
    }
    bool written = false;
    for (ssize_t at = 0; at < n;) {
      inotify_event event;
      std::memcpy(&event, buffer + at, sizeof event);
      const char* name = buffer + at + sizeof(inotify_event);
      at += static_cast<ssize_t>(sizeof(inotify_event) + event.len);
      if (event.mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF)) {
        return Result<bool>::Error("the settings folder went away");
      }
      // A queue overflow may have hidden our event; reading the file again
      // costs little and the caller checks what it finds.
      if (event.mask & IN_Q_OVERFLOW) written = true;
      if (event.len > 0 && name_ == name) written = true;
    }
    return written;
  }

  const int fd_;
  const std::string name_;  // file name inside the watched folder
};

}  // namespace

Result<std::unique_ptr<FileWriteWatch>> watchFileWrites(const std::filesystem::path& file) {
  const int fd = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  if (fd < 0) return Result<std::unique_ptr<FileWriteWatch>>::FromErrno("cannot watch files");
  // Watching the folder, not the file: the atomic write replaces the file's
  // inode, which a watch on the file itself would stop seeing.
  const std::filesystem::path folder = file.parent_path();
  if (inotify_add_watch(fd, folder.c_str(),
                        IN_MOVED_TO | IN_CLOSE_WRITE | IN_DELETE_SELF | IN_MOVE_SELF) < 0) {
    const int err = errno;
    close(fd);
    return Result<std::unique_ptr<FileWriteWatch>>::FromErrno("cannot watch " + folder.string(),
                                                              err);
  }
  return std::unique_ptr<FileWriteWatch>(new InotifyFileWriteWatch(fd, file.filename().string()));
}

}  // namespace sentrel::cli
