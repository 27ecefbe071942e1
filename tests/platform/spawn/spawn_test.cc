// Starting programs and collecting how they ended.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "platform/spawn/spawn.h"
#include "platform/spawn/spawn_syscalls.h"
#include "support/temp_dir.h"

namespace sentrel::spawn {
namespace {

const std::filesystem::path kSh = "/bin/sh";
const std::filesystem::path kSleep = "/bin/sleep";

ExitStatus runShell(const std::string& script, const Options& options = {}) {
  Result<ExitStatus> status = run(kSh, {"sh", "-c", script}, options);
  EXPECT_TRUE(status.ok()) << status.reason();
  return status.ok() ? *status : ExitStatus::exited(-1);
}

// Starts a child that runs until killed; killed and reaped at scope exit.
class Sleeper {
 public:
  explicit Sleeper(const Options& options = {}) {
    Result<pid_t> pid = spawnProcess(kSleep, {"sleep", "1000"}, options);
    EXPECT_TRUE(pid.ok()) << pid.reason();
    pid_ = pid.ok() ? *pid : -1;
  }
  ~Sleeper() {
    if (pid_ > 0 && !reaped_) {
      kill(pid_, SIGKILL);
      (void)waitForExit(pid_);
    }
  }
  pid_t pid() const { return pid_; }
  ExitStatus reap() {
    Result<ExitStatus> status = waitForExit(pid_);
    reaped_ = true;
    EXPECT_TRUE(status.ok()) << status.reason();
    return status.ok() ? *status : ExitStatus::exited(-1);
  }

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
};

TEST(ASpawnedProcess, ReportsItsExitCodeOrTheSignalThatEndedIt) {
  EXPECT_EQ(runShell("exit 0"), ExitStatus::exited(0));
  EXPECT_EQ(runShell("exit 3"), ExitStatus::exited(3));
  EXPECT_EQ(runShell("kill -TERM $$"), ExitStatus::killedBy(SIGTERM));
  EXPECT_TRUE(runShell("exit 0").success());
  EXPECT_FALSE(runShell("kill -KILL $$").success());
}

TEST(ASpawnedProcess, FailsToStartWhatCannotBeExecuted) {
  EXPECT_FALSE(spawnProcess("/nonexistent/program", {"program"}).ok());
  EXPECT_FALSE(spawnProcess("/etc/hostname", {"hostname"}).ok());
  EXPECT_FALSE(spawnProcess(kSh, {}).ok());
}

TEST(ASpawnedProcess, GetsTheInheritedEnvironmentWithOverrides) {
  setenv("SENTREL_SPAWN_TEST_INHERITED", "yes", 1);
  Options options;
  options.environment = {{"SENTREL_SPAWN_TEST_INHERITED", "no"}, {"EXTRA", "1"}, {"EXTRA", "2"}};
  EXPECT_TRUE(
      runShell("test \"$SENTREL_SPAWN_TEST_INHERITED\" = no && test \"$EXTRA\" = 2", options)
          .success());
  EXPECT_TRUE(runShell("test \"$SENTREL_SPAWN_TEST_INHERITED\" = yes").success());
  Options empty;
  empty.inherit_environment = false;
  empty.environment = {{"ONLY", "this"}};
  EXPECT_TRUE(runShell("test -z \"$SENTREL_SPAWN_TEST_INHERITED\" && test \"$ONLY\" = this", empty)
                  .success());
  unsetenv("SENTREL_SPAWN_TEST_INHERITED");
}

TEST(ASpawnedProcess, WritesItsOutputWhereItIsRedirected) {
  testing::TempDir dir;
  const std::filesystem::path out = dir.path() / "out";
  const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0);
  Options options;
  options.stdin_ = Stdio::devNull();
  options.stdout_ = Stdio::fromFd(fd);
  options.stderr_ = Stdio::devNull();
  // stdin at EOF, stdout in the file, stderr discarded.
  EXPECT_TRUE(runShell("cat; echo out; echo err >&2", options).success());
  ::close(fd);
  std::ifstream in(out);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_EQ(text.str(), "out\n");
}

// The device bus's start: a program found on PATH by name, with a readiness
// pipe handed to it as fd 3.
TEST(ASpawnedProcess, IsFoundOnPathWhenAskedAndGetsExtraDescriptors) {
  int pipe_fds[2];
  ASSERT_EQ(pipe2(pipe_fds, O_CLOEXEC), 0);
  Options options;
  options.search_path = true;
  options.extra_fds = {{pipe_fds[1], 3}};
  Result<ExitStatus> status = run("sh", {"sh", "-c", "echo ready >&3"}, options);
  ::close(pipe_fds[1]);
  char buffer[16] = {};
  const ssize_t n = read(pipe_fds[0], buffer, sizeof buffer - 1);
  ::close(pipe_fds[0]);
  ASSERT_TRUE(status.ok()) << status.reason();
  EXPECT_TRUE(status->success());
  EXPECT_EQ(std::string(buffer, n > 0 ? n : 0), "ready\n");

  EXPECT_FALSE(spawnProcess("sh", {"sh", "-c", "exit 0"}).ok()) << "no PATH search unless asked";
  Options stdio_clash;
  stdio_clash.extra_fds = {{pipe_fds[0], 1}};
  EXPECT_FALSE(spawnProcess(kSh, {"sh", "-c", "exit 0"}, stdio_clash).ok());
}

TEST(ASpawnedProcess, StartsInItsOwnSessionOrProcessGroupWhenAsked) {
  Options session;
  session.new_session = true;
  Sleeper leader(session);
  EXPECT_EQ(getsid(leader.pid()), leader.pid());
  Options group;
  group.new_process_group = true;
  Sleeper member(group);
  EXPECT_EQ(getpgid(member.pid()), member.pid());
  EXPECT_EQ(getsid(member.pid()), getsid(0));
  Sleeper plain;
  EXPECT_EQ(getpgid(plain.pid()), getpgrp());
}

TEST(ASpawnedProcess, StartsWithDefaultSignalHandlingWhateverTheCallerBlocked) {
  sigset_t block;
  sigset_t previous;
  sigemptyset(&block);
  sigaddset(&block, SIGUSR1);
  ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &block, &previous), 0);
  struct sigaction ignore {};
  struct sigaction old_action {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGUSR2, &ignore, &old_action);
  Sleeper first;
  Sleeper second;
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  sigaction(SIGUSR2, &old_action, nullptr);
  kill(first.pid(), SIGUSR1);
  kill(second.pid(), SIGUSR2);
  EXPECT_EQ(first.reap(), ExitStatus::killedBy(SIGUSR1));
  EXPECT_EQ(second.reap(), ExitStatus::killedBy(SIGUSR2));
}

TEST(TryWait, SaysRunningUntilTheChildEndsThenReapsIt) {
  Sleeper sleeper;
  Result<std::optional<ExitStatus>> running = tryWait(sleeper.pid());
  ASSERT_TRUE(running.ok());
  EXPECT_FALSE(running->has_value());
  kill(sleeper.pid(), SIGKILL);
  siginfo_t info{};  // wait for the end without reaping
  ASSERT_EQ(waitid(P_PID, static_cast<id_t>(sleeper.pid()), &info, WEXITED | WNOWAIT), 0);
  Result<std::optional<ExitStatus>> ended = tryWait(sleeper.pid());
  ASSERT_TRUE(ended.ok());
  EXPECT_EQ(*ended, std::optional<ExitStatus>(ExitStatus::killedBy(SIGKILL)));
  EXPECT_FALSE(tryWait(sleeper.pid()).ok());  // already reaped
}

TEST(WaitForExit, FailsForAProcessThatIsNotOurChild) {
  EXPECT_FALSE(waitForExit(getpid()).ok());
  EXPECT_FALSE(tryWait(getppid()).ok());
}

// A waitpid that is interrupted a few times before every real call.
int g_interruptions = 0;
pid_t interruptedWaitpid(pid_t pid, int* status, int options) {
  if (g_interruptions > 0) {
    --g_interruptions;
    errno = EINTR;
    return -1;
  }
  return ::waitpid(pid, status, options);
}

TEST(WaitForExit, RetriesWhenInterruptedBySignals) {
  Syscalls saved = syscalls();
  syscalls().waitpid = &interruptedWaitpid;
  g_interruptions = 3;
  Result<ExitStatus> status = run(kSh, {"sh", "-c", "exit 4"});
  EXPECT_EQ(g_interruptions, 0);
  g_interruptions = 2;
  Sleeper sleeper;
  Result<std::optional<ExitStatus>> running = tryWait(sleeper.pid());
  syscalls() = saved;
  ASSERT_TRUE(status.ok()) << status.reason();
  EXPECT_EQ(*status, ExitStatus::exited(4));
  ASSERT_TRUE(running.ok());
  EXPECT_FALSE(running->has_value());
}

int failingSpawn(pid_t*, const char*, const posix_spawn_file_actions_t*, const posix_spawnattr_t*,
                 char* const[], char* const[]) {
  return EAGAIN;
}

TEST(ASpawnedProcess, ReportsWhyTheSystemRefusedToStartIt) {
  Syscalls saved = syscalls();
  syscalls().posix_spawn = &failingSpawn;
  Result<pid_t> pid = spawnProcess(kSh, {"sh", "-c", "exit 0"});
  syscalls() = saved;
  ASSERT_FALSE(pid.ok());
  EXPECT_NE(pid.reason().find(std::strerror(EAGAIN)), std::string::npos) << pid.reason();
}

}  // namespace
}  // namespace sentrel::spawn
