// Exit codes and the one-line error reports shared by the `sentrel` commands.
#pragma once

#include <cstdio>
#include <string>

namespace sentrel::cli {

constexpr int kOk = 0;
constexpr int kFailed = 1;      // the command could not be done; one line says why
constexpr int kUsage = 2;       // bad command line; nothing changed
constexpr int kNotRunning = 3;  // `device status` of a stopped device

// Reports a bad command line and returns kUsage.
inline int usage(const std::string& problem) {
  std::fprintf(stderr, "sentrel: %s (see sentrel help)\n", problem.c_str());
  return kUsage;
}

// Reports a failure and returns kFailed.
inline int fail(const std::string& problem) {
  std::fprintf(stderr, "sentrel: %s\n", problem.c_str());
  return kFailed;
}

}  // namespace sentrel::cli
