// A program closes the library's descriptors and reuses the numbers: the
// library must never write to, read from or close what is now the
// program's.
#include "platform/base/owned_pipe.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace sentrel::base {
namespace {

// A pipe of the program's, its ends put at `read_at` and `write_at`.
struct ProgramPipe {
  ProgramPipe(int read_at, int write_at) {
    int ends[2];
    EXPECT_EQ(pipe2(ends, O_NONBLOCK), 0);
    EXPECT_EQ(dup2(ends[0], read_at), read_at);
    EXPECT_EQ(dup2(ends[1], write_at), write_at);
    close(ends[0]);
    close(ends[1]);
    read_fd = read_at;
    write_fd = write_at;
  }
  ~ProgramPipe() {
    close(read_fd);
    close(write_fd);
  }
  // What is waiting in the pipe.
  std::string pending() const {
    std::string bytes;
    char buffer[64];
    for (ssize_t n; (n = read(read_fd, buffer, sizeof buffer)) > 0;) bytes.append(buffer, n);
    return bytes;
  }
  int read_fd;
  int write_fd;
};

TEST(AnOwnedPipe, SitsHighAndWakesAndDrainsWhileItsEndsAreOurs) {
  OwnedPipe pipe = makeOwnedPipe();
  ASSERT_GE(pipe.read_fd, 0);
  EXPECT_GE(pipe.read_fd, kOwnedFdFloor);
  EXPECT_GE(pipe.write_fd, kOwnedFdFloor);
  EXPECT_NE(fcntl(pipe.read_fd, F_GETFD) & FD_CLOEXEC, 0);
  EXPECT_TRUE(wakeOwnedPipe(pipe));
  EXPECT_TRUE(wakeOwnedPipe(pipe));
  EXPECT_TRUE(drainOwnedPipe(pipe));
  char byte;
  EXPECT_EQ(read(pipe.read_fd, &byte, 1), -1);  // empty again
  closeOwnedPipe(pipe);
  EXPECT_EQ(pipe.read_fd, -1);
}

TEST(AnOwnedPipe, NeverTouchesNumbersThatAProgramClosedAndReused) {
  OwnedPipe pipe = makeOwnedPipe();
  ASSERT_GE(pipe.read_fd, 0);
  const int read_at = pipe.read_fd;
  const int write_at = pipe.write_fd;
  // The program closes everything and gets our numbers for a pipe of its own.
  close(read_at);
  close(write_at);
  ProgramPipe program(read_at, write_at);
  ASSERT_EQ(write(program.write_fd, "mine", 4), 4);

  EXPECT_FALSE(wakeOwnedPipe(pipe));   // nothing written into the program's pipe
  EXPECT_FALSE(drainOwnedPipe(pipe));  // nothing read out of it
  closeOwnedPipe(pipe);                // nothing closed
  EXPECT_NE(fcntl(read_at, F_GETFD), -1);
  EXPECT_NE(fcntl(write_at, F_GETFD), -1);
  EXPECT_EQ(program.pending(), "mine");
}

}  // namespace
}  // namespace sentrel::base
