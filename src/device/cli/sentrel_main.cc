#include <malloc.h>

#include <string>
#include <vector>

#include "device/cli/cli.h"

int main(int argc, char** argv) {
  // A settings change builds and frees documents of tens of thousands of
  // small nodes around megabyte buffers; with the allocator's fast bins each
  // free of a large buffer first merges every small chunk freed before it.
  mallopt(M_MXFAST, 0);
  return sentrel::cli::runCli(std::vector<std::string>(argv + 1, argv + argc));
}
