// The demo apps run as real processes against a loopback server.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>

#include "platform/spawn/spawn.h"
#include "support.h"

namespace sentrel {
namespace {

using testing::LoopbackServer;

struct ProgramRun {
  spawn::ExitStatus status;
  std::string output;  // stdout
};

// Runs `program` and collects its stdout; a program that is still running
// after the generous timeout is killed and fails the test.
ProgramRun runProgram(const std::string& program, const std::vector<std::string>& argv) {
  int pipe_fds[2];
  EXPECT_EQ(pipe2(pipe_fds, O_CLOEXEC), 0);
  spawn::Options options;
  options.stdout_ = spawn::Stdio::fromFd(pipe_fds[1]);
  options.stdin_ = spawn::Stdio::devNull();
  Result<pid_t> pid = spawn::spawnProcess(program, argv, options);
  close(pipe_fds[1]);
  ProgramRun run;
  if (!pid.ok()) {
    ADD_FAILURE() << pid.reason();
    close(pipe_fds[0]);
    return run;
  }
  const auto deadline = std::chrono::steady_clock::now() + testing::kGenerousTimeout;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd fd{pipe_fds[0], POLLIN, 0};
    if (left.count() <= 0 || poll(&fd, 1, static_cast<int>(left.count())) == 0) {
      ADD_FAILURE() << program << " did not end; output so far:\n" << run.output;
      kill(*pid, SIGKILL);
      break;
    }
    char buffer[1024];
    ssize_t n = read(pipe_fds[0], buffer, sizeof(buffer));
    if (n <= 0) break;
    run.output.append(buffer, static_cast<size_t>(n));
  }
  close(pipe_fds[0]);
  Result<spawn::ExitStatus> status = spawn::waitForExit(*pid);
  if (status.ok()) run.status = *status;
  return run;
}

TEST(TheSessionDemo, PrintsOneLinePerTaskAndSucceedsWhenAllDid) {
  LoopbackServer server("twelve bytes");
  const std::string url = server.url("/");
  ProgramRun run = runProgram(SENTREL_TEST_SESSION_DEMO, {"sentrel-session-demo", url, url});
  EXPECT_EQ(run.status, spawn::ExitStatus::exited(0));
  EXPECT_EQ(run.output, "waiting for 2 task(s)\nGET " + url + " -> 200 (12 bytes)\nGET " + url +
                            " -> 200 (12 bytes)\n");
  EXPECT_EQ(server.requests(), 2u);
}

TEST(TheSessionDemo, FailsWhenATaskFails) {
  LoopbackServer server;
  ProgramRun run = runProgram(SENTREL_TEST_SESSION_DEMO,
                              {"sentrel-session-demo", server.url(), "http://blocked/example.com"});
  EXPECT_EQ(run.status, spawn::ExitStatus::exited(1));
  EXPECT_NE(
      run.output.find("GET http://blocked/example.com -> error -1003 blocked: host not found\n"),
      std::string::npos)
      << run.output;
  EXPECT_NE(run.output.find("GET " + server.url() + " -> 200 (5 bytes)\n"), std::string::npos);
}

TEST(TheWebViewDemo, PrintsTheLoadAndTheReload) {
  LoopbackServer server("<p>page</p>");
  ProgramRun run =
      runProgram(SENTREL_TEST_WEBVIEW_DEMO, {"sentrel-webview-demo", server.url("/p"), "--reload"});
  EXPECT_EQ(run.status, spawn::ExitStatus::exited(0));
  const std::string line = "loaded " + server.url("/p") + " -> 200 (11 bytes)\n";
  EXPECT_EQ(run.output, line + line);
  EXPECT_EQ(server.requests(), 2u);
}

}  // namespace
}  // namespace sentrel
