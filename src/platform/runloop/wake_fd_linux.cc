// The wake fd is an eventfd: one counter, readable while non-zero.
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "platform/runloop/internal/wake_fd.h"

namespace sentrel::runloop::internal {

int createWakeFd() {
  return eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

void signalWakeFd(int fd) {
  const uint64_t one = 1;
  // EAGAIN means the counter is saturated, which still leaves it readable.
  while (write(fd, &one, sizeof one) < 0 && errno == EINTR) {
  }
}

void drainWakeFd(int fd) {
  uint64_t count = 0;
  // One read resets an eventfd counter to zero; EAGAIN means it already was.
  while (read(fd, &count, sizeof count) < 0 && errno == EINTR) {
  }
}

void closeWakeFd(int fd) {
  if (fd >= 0) close(fd);
}

}  // namespace sentrel::runloop::internal
