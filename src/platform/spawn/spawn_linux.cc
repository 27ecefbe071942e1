#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>

#include "platform/spawn/spawn.h"
#include "platform/spawn/spawn_syscalls.h"

extern char** environ;

namespace sentrel::spawn {
namespace {

// posix_spawn's C objects, destroyed on every path.
class SpawnAttributes {
 public:
  SpawnAttributes() {
    posix_spawn_file_actions_init(&actions_);
    posix_spawnattr_init(&attr_);
  }
  ~SpawnAttributes() {
    posix_spawn_file_actions_destroy(&actions_);
    posix_spawnattr_destroy(&attr_);
  }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;

  posix_spawn_file_actions_t* actions() { return &actions_; }
  posix_spawnattr_t* attr() { return &attr_; }

 private:
  posix_spawn_file_actions_t actions_;
  posix_spawnattr_t attr_;
};

int addStdio(posix_spawn_file_actions_t* actions, const Stdio& stdio, int stream) {
  switch (stdio.kind) {
    case Stdio::Kind::kInherit:
      return 0;
    case Stdio::Kind::kDevNull:
      return posix_spawn_file_actions_addopen(actions, stream, "/dev/null",
                                              stream == STDIN_FILENO ? O_RDONLY : O_WRONLY, 0);
    case Stdio::Kind::kFd:
      if (stdio.fd < 0) return EBADF;
      return posix_spawn_file_actions_adddup2(actions, stdio.fd, stream);
  }
  return EINVAL;
}

std::vector<std::string> buildEnvironment(const Options& options) {
  std::map<std::string, std::string> overrides;
  for (const auto& [name, value] : options.environment) overrides[name] = value;
  std::vector<std::string> entries;
  if (options.inherit_environment && environ != nullptr) {
    for (char** e = environ; *e != nullptr; ++e) {
      std::string_view entry(*e);
      const std::string name(entry.substr(0, entry.find('=')));
      if (overrides.count(name) == 0) entries.emplace_back(entry);
    }
  }
  for (const auto& [name, value] : overrides) entries.push_back(name + "=" + value);
  return entries;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> result;
  result.reserve(strings.size() + 1);
  for (std::string& s : strings) result.push_back(s.data());
  result.push_back(nullptr);
  return result;
}

ExitStatus decode(int status) {
  if (WIFSIGNALED(status)) return ExitStatus::killedBy(WTERMSIG(status));
  return ExitStatus::exited(WEXITSTATUS(status));
}

}  // namespace

Syscalls& syscalls() {
  static Syscalls table{&::posix_spawn, &::waitpid, &::posix_spawnp};
  return table;
}

Result<pid_t> spawnProcess(const std::filesystem::path& program,
                           const std::vector<std::string>& argv, const Options& options) {
  if (argv.empty()) return Result<pid_t>::Error("cannot start " + program.string() + ": no argv");
  SpawnAttributes spawn;
  int error = addStdio(spawn.actions(), options.stdin_, STDIN_FILENO);
  if (error == 0) error = addStdio(spawn.actions(), options.stdout_, STDOUT_FILENO);
  if (error == 0) error = addStdio(spawn.actions(), options.stderr_, STDERR_FILENO);
  for (const auto& [from, to] : options.extra_fds) {
    if (error == 0) error = from < 0 || to <= STDERR_FILENO ? EBADF : 0;
    if (error == 0) error = posix_spawn_file_actions_adddup2(spawn.actions(), from, to);
  }
  if (error != 0) return Result<pid_t>::FromErrno("cannot redirect stdio", error);

  short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
  sigset_t none;
  sigset_t all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(spawn.attr(), &none);
  posix_spawnattr_setsigdefault(spawn.attr(), &all);
  if (options.new_session) {
    flags |= POSIX_SPAWN_SETSID;
  } else if (options.new_process_group) {
    flags |= POSIX_SPAWN_SETPGROUP;
    posix_spawnattr_setpgroup(spawn.attr(), 0);
  }
  posix_spawnattr_setflags(spawn.attr(), flags);

  std::vector<std::string> args = argv;
  std::vector<std::string> env = buildEnvironment(options);
  std::vector<char*> arg_pointers = pointers(args);
  std::vector<char*> env_pointers = pointers(env);
  pid_t pid = 0;
  auto* start = options.search_path ? syscalls().posix_spawnp : syscalls().posix_spawn;
  error = start(&pid, program.c_str(), spawn.actions(), spawn.attr(), arg_pointers.data(),
                env_pointers.data());
  if (error != 0) return Result<pid_t>::FromErrno("cannot start " + program.string(), error);
  return pid;
}

Result<ExitStatus> waitForExit(pid_t pid) {
  int status = 0;
  for (;;) {
    const pid_t done = syscalls().waitpid(pid, &status, 0);
    if (done == pid) return decode(status);
    if (done < 0 && errno == EINTR) continue;
    return Result<ExitStatus>::FromErrno("cannot wait for " + std::to_string(pid), errno);
  }
}

Result<std::optional<ExitStatus>> tryWait(pid_t pid) {
  using R = Result<std::optional<ExitStatus>>;
  int status = 0;
  for (;;) {
    const pid_t done = syscalls().waitpid(pid, &status, WNOHANG);
    if (done == 0) return R(std::optional<ExitStatus>());
    if (done == pid) return R(std::optional<ExitStatus>(decode(status)));
    if (done < 0 && errno == EINTR) continue;
    return R::FromErrno("cannot wait for " + std::to_string(pid), errno);
  }
}

Result<ExitStatus> run(const std::filesystem::path& program, const std::vector<std::string>& argv,
                       const Options& options) {
  Result<pid_t> pid = spawnProcess(program, argv, options);
  if (!pid) return pid.status();
  return waitForExit(*pid);
}

}  // namespace sentrel::spawn
