#include <string>
#include <vector>

#include "device/cli/cli.h"

int main(int argc, char** argv) {
  return sentrel::cli::runCli(std::vector<std::string>(argv + 1, argv + argc));
}
