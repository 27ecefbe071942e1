#include "platform/base/owned_pipe.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace sentrel::base {
namespace {

int moveHigh(int fd) noexcept {
  const int high = fcntl(fd, F_DUPFD_CLOEXEC, kOwnedFdFloor);
  if (high < 0) return fd;  // a low limit: it stays where it is
  close(fd);
  return high;
}

}  // namespace

OwnedPipe makeOwnedPipe() noexcept {
  OwnedPipe pipe;
  int ends[2];
  if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) return pipe;
  const int read_end = moveHigh(ends[0]);
  const int write_end = moveHigh(ends[1]);
  struct stat st {};
  if (fstat(read_end, &st) != 0) {
    const int saved = errno;
    close(read_end);
    close(write_end);
    errno = saved;
    return pipe;
  }
  pipe.read_fd = read_end;
  pipe.write_fd = write_end;
  pipe.device = static_cast<uint64_t>(st.st_dev);
  pipe.inode = static_cast<uint64_t>(st.st_ino);
  return pipe;
}

bool isOwnedEnd(const OwnedPipe& pipe, int fd) noexcept {
  if (fd < 0 || pipe.read_fd < 0) return false;
  const int saved = errno;
  struct stat st {};
  const bool ours = fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode) &&
                    static_cast<uint64_t>(st.st_dev) == pipe.device &&
                    static_cast<uint64_t>(st.st_ino) == pipe.inode;
  errno = saved;
  return ours;
}

bool wakeOwnedPipe(const OwnedPipe& pipe) noexcept {
  if (!isOwnedEnd(pipe, pipe.write_fd)) return false;
  const int saved = errno;
  const char byte = 1;
  while (write(pipe.write_fd, &byte, 1) < 0 && errno == EINTR) {
  }
  errno = saved;
  return true;
}

bool drainOwnedPipe(const OwnedPipe& pipe) noexcept {
  if (!isOwnedEnd(pipe, pipe.read_fd)) return false;
  const int saved = errno;
  char buffer[256];
  for (;;) {
    const ssize_t n = read(pipe.read_fd, buffer, sizeof buffer);
    if (n > 0 || (n < 0 && errno == EINTR)) continue;
    break;
  }
  errno = saved;
  return true;
}

void closeOwnedPipe(OwnedPipe& pipe) noexcept {
  if (isOwnedEnd(pipe, pipe.read_fd)) close(pipe.read_fd);
  if (isOwnedEnd(pipe, pipe.write_fd)) close(pipe.write_fd);
  pipe = OwnedPipe{};
}

}  // namespace sentrel::base
