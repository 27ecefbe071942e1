// What the launch helper adds to starting an app's program: launchd's way
// (posix_spawn of sentrel-launch, which puts up the connect filter, hands
// its listener over a socket and executes the program; launchd reads the
// listener and the end of file that says the program runs) against spawning
// the program plainly, both until the program (/bin/true) has ended, in the
// same run. The goal: at most 1 ms more.
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include <benchmark/benchmark.h>

#include "platform/spawn/spawn.h"

namespace sentrel {
namespace {

void BM_StartPlainly(benchmark::State& state) {
  for (auto _ : state) {
    Result<spawn::ExitStatus> ended = spawn::run("/bin/true", {"true"});
    if (!ended || !ended->success()) {
      state.SkipWithError("/bin/true failed");
      return;
    }
  }
}

void BM_StartThroughTheLaunchHelper(benchmark::State& state) {
  for (auto _ : state) {
    int channel[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, channel) != 0) {
      state.SkipWithError("socketpair");
      return;
    }
    spawn::Options options;
    options.extra_fds.push_back({channel[1], 3});
    Result<pid_t> pid = spawn::spawnProcess(
        SENTREL_LAUNCH_HELPER,
        {"sentrel-launch", "3", "0123456789abcdef", "/bin/true", "/bin/true"}, options);
    close(channel[1]);
    // The listener, then end of file once /bin/true runs.
    char buffer[64];
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
    for (;;) {
      iovec part{buffer, sizeof buffer};
      msghdr message{};
      message.msg_iov = &part;
      message.msg_iovlen = 1;
      message.msg_control = control;
      message.msg_controllen = sizeof control;
      if (recvmsg(channel[0], &message, MSG_CMSG_CLOEXEC) <= 0) break;
      if (cmsghdr* header = CMSG_FIRSTHDR(&message)) {
        int listener;
        std::memcpy(&listener, CMSG_DATA(header), sizeof listener);
        close(listener);
      }
    }
    close(channel[0]);
    if (!pid || !spawn::waitForExit(*pid).ok()) {
      state.SkipWithError("the helper failed");
      return;
    }
  }
}

BENCHMARK(BM_StartPlainly)->Unit(benchmark::kMicrosecond)->MinTime(1.0);
BENCHMARK(BM_StartThroughTheLaunchHelper)->Unit(benchmark::kMicrosecond)->MinTime(1.0);

}  // namespace
}  // namespace sentrel
