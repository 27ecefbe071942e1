// A pipe whose two ends belong to the library inside a foreign program.
//
// A program may close every descriptor it did not open itself (daemons
// close everything from 3 up) and get the numbers back for files of its own.
// An OwnedPipe therefore keeps its ends high (moved with F_DUPFD_CLOEXEC to
// kOwnedFdFloor or above, when the descriptor limit allows), and knows them
// by device and inode: an end that no longer is the pipe it made is never
// written to, read from or closed. The caller makes a new pipe then.
//
// wakeOwnedPipe(), drainOwnedPipe() and isOwnedEnd() are async-signal-safe.
#pragma once

#include <cstdint>

namespace sentrel::base {

inline constexpr int kOwnedFdFloor = 900;

struct OwnedPipe {
  int read_fd = -1;  // -1: none
  int write_fd = -1;
  uint64_t device = 0;  // of the pipe (both ends share it)
  uint64_t inode = 0;
};

// A new non-blocking, close-on-exec pipe; read_fd is -1 (errno set) on
// failure.
OwnedPipe makeOwnedPipe() noexcept;

// Whether `fd` is still an end of `pipe`.
bool isOwnedEnd(const OwnedPipe& pipe, int fd) noexcept;

// Writes one byte to the write end (a full pipe is readable already).
// False, writing nothing, when the write end is not ours any more.
bool wakeOwnedPipe(const OwnedPipe& pipe) noexcept;

// Reads the read end empty. False, reading nothing, when it is not ours.
bool drainOwnedPipe(const OwnedPipe& pipe) noexcept;

// Closes the ends that are still ours and forgets both.
void closeOwnedPipe(OwnedPipe& pipe) noexcept;

}  // namespace sentrel::base
