#include "support/program_run.h"

#include <fcntl.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "platform/spawn/spawn.h"

namespace sentrel::testing {

std::string slurp(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

ProgramOutcome runProgram(const std::string& program, const std::vector<std::string>& argv,
                          const std::filesystem::path& io_dir) {
  const std::filesystem::path out = io_dir / "out", err = io_dir / "err";
  int out_fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  int err_fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  ProgramOutcome r;
  if (out_fd >= 0 && err_fd >= 0) {
    spawn::Options options;
    options.stdin_ = spawn::Stdio::devNull();
    options.stdout_ = spawn::Stdio::fromFd(out_fd);
    options.stderr_ = spawn::Stdio::fromFd(err_fd);
    Result<spawn::ExitStatus> status = spawn::run(program, argv, options);
    if (status) r.code = status->signaled ? 128 + status->signal : status->code;
  }
  if (out_fd >= 0) close(out_fd);
  if (err_fd >= 0) close(err_fd);
  r.out = slurp(out);
  r.err = slurp(err);
  return r;
}

}  // namespace sentrel::testing
