// The device's kill; see device_tools.h.
#include "device/tools/tool_commands.h"

int main(int argc, char** argv) {
  return sentrel::tools::runTool(argc, argv, &sentrel::tools::killCommand);
}
