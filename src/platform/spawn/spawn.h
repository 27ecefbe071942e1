// Starting programs and waiting for them to end.
//
// spawnProcess() is posix_spawn with the few options the device needs. The
// child starts with every signal at its default disposition and an empty
// signal mask, whatever the caller blocked or ignored (a run loop that
// blocks SIGCHLD, a program that ignores SIGPIPE), so a spawned tool behaves
// as it would from a shell.
//
// All functions are thread-safe (spawning reads `environ`, so it must not
// race with setenv()) and report failures as values; nothing is logged.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/base/status.h"

namespace sentrel::spawn {

// Where one of the child's standard streams goes.
struct Stdio {
  enum class Kind { kInherit, kDevNull, kFd };
  Kind kind = Kind::kInherit;
  int fd = -1;  // for kFd: the caller's descriptor, duplicated onto the stream

  static Stdio inherit() { return {}; }
  static Stdio devNull() { return {Kind::kDevNull, -1}; }
  static Stdio fromFd(int fd) { return {Kind::kFd, fd}; }
};

struct Options {
  // Variables set in the child on top of the inherited environment (or of an
  // empty one when inherit_environment is false); later entries win.
  std::vector<std::pair<std::string, std::string>> environment;
  bool inherit_environment = true;
  Stdio stdin_ = Stdio::inherit();
  Stdio stdout_ = Stdio::inherit();
  Stdio stderr_ = Stdio::inherit();
  bool new_session = false;        // setsid(): own session and process group
  bool new_process_group = false;  // own process group (ignored with new_session)
  // Further descriptors for the child, {caller's fd, number in the child}:
  // a readiness pipe, say. Numbers above 2 that the stdio options do not use.
  std::vector<std::pair<int, int>> extra_fds;
  // Look `program` up on PATH when it has no slash (posix_spawnp).
  bool search_path = false;
};

// Starts `program` (a path; a bare name is looked up on PATH only with
// options.search_path) with `argv` (argv[0] included).
// Fails when the program cannot be executed (missing, not executable) or
// `argv` is empty. The caller owns the child and must wait for it.
Result<pid_t> spawnProcess(const std::filesystem::path& program,
                           const std::vector<std::string>& argv, const Options& options = {});

// How a child ended.
struct ExitStatus {
  bool signaled = false;
  int code = 0;    // exit code when !signaled
  int signal = 0;  // terminating signal when signaled

  bool success() const { return !signaled && code == 0; }
  bool operator==(const ExitStatus&) const = default;
  static ExitStatus exited(int code) { return {false, code, 0}; }
  static ExitStatus killedBy(int signal) { return {true, 0, signal}; }
};

// Blocks until child `pid` ends and reaps it; EINTR is retried. An error when
// `pid` is not an unreaped child of this process.
Result<ExitStatus> waitForExit(pid_t pid);

// Reaps child `pid` if it has ended: nullopt while it still runs. An error
// when `pid` is not an unreaped child of this process.
Result<std::optional<ExitStatus>> tryWait(pid_t pid);

// spawnProcess() then waitForExit().
Result<ExitStatus> run(const std::filesystem::path& program, const std::vector<std::string>& argv,
                       const Options& options = {});

}  // namespace sentrel::spawn
