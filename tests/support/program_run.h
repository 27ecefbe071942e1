// Runs a program to its end with its output captured: the CLI and launcher
// tests drive the real `sentrel` binary this way.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace sentrel::testing {

struct ProgramOutcome {
  int code = -1;  // exit status, 128 + signal when killed, -1 when it did not start
  std::string out;
  std::string err;
};

// A whole file as text; empty when it cannot be read.
std::string slurp(const std::filesystem::path& path);

// Runs `program` with `argv` (argv[0] included), standard input from
// /dev/null, and its standard output and error written to files in `io_dir`
// (replaced on each run).
ProgramOutcome runProgram(const std::string& program, const std::vector<std::string>& argv,
                          const std::filesystem::path& io_dir);

}  // namespace sentrel::testing
