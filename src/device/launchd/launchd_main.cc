// launchd: the first process of a device. Started by `sentrel device start`.
//   launchd --root DIR [--screen WxH@S] [--ready-fd N]
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "device/launchd/launchd.h"

int main(int argc, char** argv) {
  sentrel::device::LaunchdOptions options;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--root" && i + 1 < argc) {
      options.root = argv[++i];
    } else if (arg == "--screen" && i + 1 < argc) {
      auto screen = sentrel::display::parseScreenProfile(argv[++i]);
      if (!screen) {
        fprintf(stderr, "launchd: %s\n", screen.reason().c_str());
        return 2;
      }
      options.screen = *screen;
    } else if (arg == "--ready-fd" && i + 1 < argc) {
      options.ready_fd = atoi(argv[++i]);
    } else {
      fprintf(stderr,
              "launchd: unknown argument %s\nusage: launchd --root DIR [--screen WxH@S] "
              "[--ready-fd N]\n",
              arg.c_str());
      return 2;
    }
  }
  if (options.root.empty()) {
    fprintf(stderr, "launchd: --root is required\n");
    return 2;
  }
  options.root = std::filesystem::absolute(options.root).lexically_normal();
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n > 0) {
    self[n] = '\0';
    options.programs_dir = std::filesystem::path(self).parent_path();
  }
  return sentrel::device::runLaunchd(options);
}
