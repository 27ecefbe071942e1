#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/apps/installed_apps.h"
#include "support/temp_dir.h"

namespace sentrel::apps {
namespace {

// Installs race from threads and from another process: exactly one install
// of an identifier wins, and readers only ever see whole bundles.
TEST(InstallingApps, LetsExactlyOneOfManyRacingInstallsOfAnIdentifierWin) {
  testing::TempDir dir;
  auto options = [](AppType type) {
    InstallOptions o;
    o.identifier = "com.example.race";
    o.display_name = "Race";
    o.executable = "/bin/true";
    o.type = type;
    return o;
  };
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    int won = 0;
    for (int i = 0; i < 4; ++i) won += installApp(dir.path(), options(AppType::kUser)).ok();
    _exit(won);
  }
  std::atomic<int> won{0};
  std::atomic<bool> done{false};
  std::atomic<int> bad_reads{0};
  std::thread reader([&] {
    auto catalogue = newDeviceCatalogue(dir.path());
    while (!done) {
      for (const AppRecord& r : catalogue->allApplications()) {
        if (r.identifier != "com.example.race" || r.display_name != "Race") ++bad_reads;
      }
    }
  });
  std::vector<std::thread> installers;
  for (int t = 0; t < 4; ++t) {
    installers.emplace_back([&, t] {
      won += installApp(dir.path(), options(t % 2 ? AppType::kSystem : AppType::kUser)).ok();
    });
  }
  for (auto& t : installers) t.join();
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  done = true;
  reader.join();
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(won + WEXITSTATUS(status), 1);
  EXPECT_EQ(bad_reads, 0);
  EXPECT_EQ(newDeviceCatalogue(dir.path())->allApplications().size(), 1u);
}

}  // namespace
}  // namespace sentrel::apps
