#include "platform/bundle/main_bundle.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "platform/plist/plist_codec.h"
#include "support/temp_dir.h"

namespace sentrel::bundle {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

// The probe's report: key -> value, and its log lines.
struct Report {
  std::map<std::string, std::string> fields;
  std::vector<std::string> log;
};

// Starts `program` with the given argv[0] and environment and parses what it prints.
Report runProbe(const std::string& program, const std::string& argv0,
                std::vector<std::string> env) {
  int fds[2];
  EXPECT_EQ(pipe(fds), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  posix_spawn_file_actions_addclose(&actions, fds[0]);
  std::vector<char*> argv = {const_cast<char*>(argv0.c_str()), nullptr};
  std::vector<char*> envp;
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  pid_t pid = 0;
  int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  EXPECT_EQ(rc, 0) << program;
  std::string out;
  char buf[4096];
  for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) out.append(buf, static_cast<size_t>(n));
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  Report r;
  size_t start = 0;
  while (start < out.size()) {
    size_t end = out.find('\n', start);
    std::string line = out.substr(start, end - start);
    start = end == std::string::npos ? out.size() : end + 1;
    size_t eq = line.find('=');
    if (line.rfind("log=", 0) == 0) {
      r.log.push_back(line.substr(4));
    } else if (eq != std::string::npos) {
      r.fields[line.substr(0, eq)] = line.substr(eq + 1);
    }
  }
  return r;
}

class AMainBundle : public ::testing::Test {
 protected:
  // "<tmp>/Applications/<name>.app" with an Info.plist holding `identifier`.
  fs::path makeBundle(const std::string& name, const char* identifier) {
    fs::path bundle = dir_.path() / "Applications" / (name + ".app");
    fs::create_directories(bundle);
    plist::MutableDict info;
    if (identifier) info.set("CFBundleIdentifier", plist::Value::string(identifier));
    EXPECT_TRUE(plist::writeFileAtomically(bundle / "Info.plist", info.build()));
    return bundle;
  }

  const std::string probe_ = MAIN_BUNDLE_PROBE;
  testing::TempDir dir_;
};

TEST_F(AMainBundle, TakesItsPathFromTheEnvironmentAndItsIdentifierFromInfoPlist) {
  fs::path bundle = makeBundle("Notes", "com.example.notes");
  Report r = runProbe(probe_, "/Applications/Notes.app/Notes",
                      {std::string(kBundlePathEnv) + "=" + bundle.string() + "/"});
  EXPECT_EQ(r.fields["id"], "com.example.notes");
  EXPECT_EQ(r.fields["bundle"], bundle.string());
  EXPECT_EQ(r.fields["exe"], "/Applications/Notes.app/Notes");  // argv[0], whatever it says
  EXPECT_EQ(r.fields["name"], fs::path(probe_).filename().string().substr(0, 15));
  EXPECT_TRUE(r.log.empty());
}

TEST_F(AMainBundle, OfABareExecutableHasNoIdentifierAndLivesInTheExecutablesFolder) {
  Report r = runProbe(probe_, probe_, {});
  EXPECT_EQ(r.fields["id"], "(none)");
  EXPECT_EQ(r.fields["bundle"], fs::path(probe_).parent_path().string());
  EXPECT_EQ(r.fields["exe"], probe_);
}

TEST_F(AMainBundle, OfAProgramStartedFromInsideAnAppFolderIsThatApp) {
  fs::path bundle = makeBundle("Curl", "com.example.curl");
  fs::create_symlink(probe_, bundle / "Curl");
  Report r = runProbe((bundle / "Curl").string(), (bundle / "Curl").string(), {});
  EXPECT_EQ(r.fields["id"], "com.example.curl");
  EXPECT_EQ(r.fields["bundle"], bundle.string());
  EXPECT_EQ(r.fields["name"], "Curl");  // the command name is the link's
}

TEST_F(AMainBundle, WithoutAUsableInfoPlistHasNoIdentifierAndSaysWhy) {
  fs::path no_id = makeBundle("NoId", nullptr);
  Report r = runProbe(probe_, "NoId", {std::string(kBundlePathEnv) + "=" + no_id.string()});
  EXPECT_EQ(r.fields["id"], "(none)");
  EXPECT_EQ(r.fields["bundle"], no_id.string());
  ASSERT_EQ(r.log.size(), 1u);
  EXPECT_THAT(r.log[0], HasSubstr("no CFBundleIdentifier"));

  fs::path missing = dir_.path() / "Applications" / "Gone.app";
  r = runProbe(probe_, "Gone", {std::string(kBundlePathEnv) + "=" + missing.string()});
  EXPECT_EQ(r.fields["id"], "(none)");
  ASSERT_EQ(r.log.size(), 1u);
  EXPECT_THAT(r.log[0], HasSubstr("Info.plist"));
}

TEST_F(AMainBundle, IsReadAgainInAForkedChild) {
  const MainBundle& parent = mainBundle();
  const std::string parent_path = parent.bundle_path;
  fs::path bundle = makeBundle("Child", "com.example.child");

  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    setenv(kBundlePathEnv, bundle.c_str(), 1);
    const MainBundle& mine = mainBundle();
    std::string answer = mine.bundle_identifier.value_or("(none)") + "|" + mine.bundle_path;
    ssize_t ignored = write(fds[1], answer.data(), answer.size());
    (void)ignored;
    _exit(0);
  }
  close(fds[1]);
  std::string answer;
  char buf[512];
  for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;)
    answer.append(buf, static_cast<size_t>(n));
  close(fds[0]);
  waitpid(child, nullptr, 0);
  EXPECT_EQ(answer, "com.example.child|" + bundle.string());
  EXPECT_EQ(&mainBundle(), &parent);  // the parent keeps its cached identity
  EXPECT_EQ(mainBundle().bundle_path, parent_path);
}

TEST(AMainBundleOverride, ReplacesTheIdentityUntilItEndsAndNests) {
  const std::string real_path = mainBundle().bundle_path;
  {
    ScopedMainBundleOverride outer(
        MainBundle{"com.example.outer", "/Applications/O.app", "o", "O"});
    const MainBundle& seen_outer = mainBundle();
    {
      ScopedMainBundleOverride inner(MainBundle{std::nullopt, "/usr/bin", "/usr/bin/x", "x"});
      EXPECT_FALSE(mainBundle().bundle_identifier);
    }
    EXPECT_EQ(mainBundle().bundle_identifier, "com.example.outer");
    EXPECT_EQ(&mainBundle(), &seen_outer);
  }
  EXPECT_EQ(mainBundle().bundle_path, real_path);
}

}  // namespace
}  // namespace sentrel::bundle
