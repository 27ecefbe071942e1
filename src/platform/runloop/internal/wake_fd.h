// The fd that wakes a RunLoop's poll() when work is posted from another
// thread. Linux backs it with an eventfd; the loop only sees these calls.
#pragma once

namespace sentrel::runloop::internal {

// A new non-blocking, close-on-exec wake fd, or -1 (with errno) on failure.
int createWakeFd();
// Makes the fd readable. Async-signal-safe; never blocks.
void signalWakeFd(int fd);
// Makes the fd unreadable again. Never blocks.
void drainWakeFd(int fd);
void closeWakeFd(int fd);

}  // namespace sentrel::runloop::internal
