#include "device/tools/springboard_ready.h"

#include <unistd.h>

#include <charconv>
#include <fstream>
#include <string>
#include <system_error>

#include "platform/paths/device_paths.h"
#include "platform/plist/plist_codec.h"
#include "platform/proc/shared_process_table.h"

namespace sentrel::tools {

namespace {

std::filesystem::path markerPath(const std::filesystem::path& root) {
  return paths::resolveUnder(root, kSpringBoardReadyFile);
}

}  // namespace

Status markSpringBoardReady(const std::filesystem::path& root) {
  return plist::writeBytesAtomically(markerPath(root), std::to_string(getpid()) + "\n",
                                     /*durable=*/false, 0600);
}

void clearSpringBoardReady(const std::filesystem::path& root) {
  std::error_code ignored;
  std::filesystem::remove(markerPath(root), ignored);
}

pid_t readySpringBoard(const std::filesystem::path& root) {
  std::ifstream in(markerPath(root));
  std::string line;
  if (!in || !std::getline(in, line)) return 0;
  pid_t pid = 0;
  const auto [end, error] = std::from_chars(line.data(), line.data() + line.size(), pid);
  if (error != std::errc() || end != line.data() + line.size() || pid <= 0) return 0;
  const proc::SharedProcessTable table(root);
  return table.pidOfProcess("SpringBoard") == pid ? pid : 0;
}

}  // namespace sentrel::tools
