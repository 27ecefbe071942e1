// `sentrel log`'s reading of the device log: which lines it shows for a
// process, and how it colours them.
#include "device/cli/log_command.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace sentrel::cli {
namespace {

std::vector<std::string> show(const std::vector<std::string>& lines, const std::string& process,
                              bool colour = false) {
  std::vector<std::string> shown;
  std::string entry_name;
  std::string out;
  for (const std::string& line : lines) {
    if (formatLogLine(line, process, colour, &entry_name, &out)) shown.push_back(out);
  }
  return shown;
}

const std::vector<std::string> kLog = {
    "2026-12-09 02:24:22.632 SpringBoard[7966] showSNTAlert called!",
    "2026-12-09 02:24:22.633 cl[7970] Exception: NSInvalidArgumentException reason",
    "(",  // a call stack: the entry's continuation lines
    "    frame",
    ")",
    "2026-12-09 02:24:22.634 launchd[7964] launchd: com.example.cl (7970) exited with 1",
    "2026-12-09 02:24:22.635 Web Content[12] a name with a space",
};

TEST(TheLogCommand, ShowsEveryLineWithoutAProcess) {
  EXPECT_EQ(show(kLog, ""), kLog);
}

TEST(TheLogCommand, KeepsOneProcesssEntriesWithTheirContinuationLines) {
  EXPECT_EQ(show(kLog, "cl"), (std::vector<std::string>{kLog[1], kLog[2], kLog[3], kLog[4]}));
  EXPECT_EQ(show(kLog, "Web Content"), (std::vector<std::string>{kLog[6]}));
  EXPECT_TRUE(show(kLog, "c").empty());  // names match whole
}

TEST(TheLogCommand, DimsTheTimeAndColoursTheProcessOnATerminal) {
  std::vector<std::string> shown = show({kLog[0], "(", "plain"}, "", true);
  ASSERT_EQ(shown.size(), 3u);
  EXPECT_EQ(
      shown[0],
      "\x1b[2m2026-12-09 02:24:22.632\x1b[m \x1b[36mSpringBoard[7966]\x1b[m showSNTAlert called!");
  EXPECT_EQ(shown[1], "(");
  EXPECT_EQ(shown[2], "plain");
}

}  // namespace
}  // namespace sentrel::cli
