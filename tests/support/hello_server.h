// The demo's hello server (apps/hello_server) on loopback, for the length of
// a test: started at construction, killed at destruction.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "platform/runloop/run_loop.h"
#include "platform/spawn/spawn.h"
#include "support/program_run.h"
#include "support/temp_dir.h"

namespace sentrel::testing {

class HelloServer {
 public:
  explicit HelloServer(const char* executable) {
    out_ = dir_.path() / "port";
    int fd = open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    spawn::Options options;
    options.stdout_ = spawn::Stdio::fromFd(fd);
    Result<pid_t> pid = spawn::spawnProcess(executable, {"sentrel-hello-server"}, options);
    close(fd);
    if (pid.ok()) pid_ = *pid;
    runloop::RunLoop loop;
    loop.runUntil([&] { return slurp(out_).find('\n') != std::string::npos; },
                  std::chrono::seconds(20));
  }
  ~HelloServer() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      (void)spawn::waitForExit(pid_);
    }
  }
  HelloServer(const HelloServer&) = delete;
  HelloServer& operator=(const HelloServer&) = delete;

  std::string url() const {
    std::string port = slurp(out_);
    return "http://127.0.0.1:" + port.substr(0, port.find('\n')) + "/";
  }

 private:
  TempDir dir_;
  std::filesystem::path out_;
  pid_t pid_ = 0;
};

}  // namespace sentrel::testing
