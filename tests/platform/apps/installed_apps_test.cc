#include "platform/apps/installed_apps.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "platform/plist/plist_codec.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace sentrel::apps {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Pair;

class InstalledApps : public ::testing::Test {
 protected:
  InstallOptions app(std::string id, std::string name, AppType type = AppType::kUser,
                     std::vector<std::string> tags = {}) {
    InstallOptions o;
    o.identifier = std::move(id);
    o.display_name = std::move(name);
    o.executable = "/bin/true";
    o.type = type;
    o.tags = std::move(tags);
    return o;
  }
  AppRecord install(const InstallOptions& o) {
    Result<AppRecord> r = installApp(root(), o);
    EXPECT_TRUE(r) << r.reason();
    return r ? r.value() : AppRecord{};
  }
  // A bundle written by hand, as another tool or a broken install leaves it.
  fs::path handMadeBundle(const std::string& device_folder, const plist::Value& info) {
    fs::path bundle = root() / device_folder;
    fs::create_directories(bundle);
    EXPECT_TRUE(plist::writeFileAtomically(bundle / "Info.plist", info));
    return bundle;
  }
  std::vector<std::string> identifiers() const {
    std::vector<std::string> out;
    for (const AppRecord& r : catalogue_->allApplications()) out.push_back(r.identifier);
    return out;
  }
  const fs::path& root() const { return dir_.path(); }

  testing::TempDir dir_;
  std::unique_ptr<AppCatalogue> catalogue_ = newDeviceCatalogue(dir_.path());
};

TEST_F(InstalledApps, InstallsASystemAppUnderApplications) {
  InstallOptions o = app("com.example.notes", "Notes", AppType::kSystem, {"demo"});
  o.icon = root() / "icon29.png";
  std::ofstream(*o.icon) << "png";
  AppRecord r = install(o);
  EXPECT_EQ(r.identifier, "com.example.notes");
  EXPECT_STREQ(r.applicationType(), "System");
  EXPECT_EQ(r.display_name, "Notes");
  EXPECT_EQ(r.bundle_path, root() / "Applications/Notes.app");
  EXPECT_EQ(r.device_bundle_path, "/Applications/Notes.app");
  EXPECT_EQ(r.executable_path, root() / "Applications/Notes.app/Notes");
  EXPECT_EQ(fs::read_symlink(r.executable_path), "/bin/true");
  EXPECT_THAT(r.tags, ElementsAre("demo"));
  EXPECT_EQ(r.icon_path, root() / "Applications/Notes.app/icon29.png");
  EXPECT_TRUE(r.isVisible());
  EXPECT_EQ(catalogue_->applicationWithIdentifier("com.example.notes"), r);
  EXPECT_EQ(newDeviceCatalogue(root() / "./")->allApplications().at(0).device_bundle_path,
            "/Applications/Notes.app");
}

TEST_F(InstalledApps, InstallsAUserAppInAFreshUuidContainer) {
  AppRecord a = install(app("com.example.a", "My App"));
  AppRecord b = install(app("com.example.b", "My App"));
  EXPECT_STREQ(a.applicationType(), "User");
  EXPECT_EQ(a.bundle_path.filename(), "MyApp.app");
  fs::path container = a.bundle_path.parent_path();
  EXPECT_EQ(container.parent_path(), root() / "var/containers/Bundle/Application");
  EXPECT_THAT(
      container.filename().string(),
      ::testing::MatchesRegex("[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}"));
  EXPECT_NE(container, b.bundle_path.parent_path());
  EXPECT_EQ(a.device_bundle_path,
            "/var/containers/Bundle/Application/" + container.filename().string() + "/MyApp.app");
}

TEST_F(InstalledApps, RunsTheWrappedProgramThroughTheBundlesExecutable) {
  AppRecord r = install(app("com.example.true", "True"));
  EXPECT_EQ(access(r.executable_path.c_str(), X_OK), 0);
  std::string command = r.executable_path.string();
  EXPECT_EQ(system(command.c_str()), 0);
}

TEST_F(InstalledApps, RefusesBadIdentifiersDuplicatesAndBadProgramsCreatingNothing) {
  install(app("com.example.one", "One"));
  const std::vector<std::string> before = identifiers();
  for (const char* bad : {"", "com/example", "com example", "com.example\n", "..", ".hidden",
                          "-flag", "com..example", "caf\xc3\xa9"}) {
    Result<AppRecord> r = installApp(root(), app(bad, "Bad"));
    EXPECT_FALSE(r) << bad;
    EXPECT_THAT(r.reason(), HasSubstr("identifier")) << bad;
  }
  Result<AppRecord> dup = installApp(root(), app("com.example.one", "Again", AppType::kSystem));
  ASSERT_FALSE(dup);
  EXPECT_THAT(dup.reason(), HasSubstr("already installed"));

  InstallOptions no_program = app("com.example.two", "Two");
  no_program.executable = root() / "missing";
  EXPECT_FALSE(installApp(root(), no_program));
  no_program.executable = root() / "plain-file";
  std::ofstream(no_program.executable) << "not a program";
  fs::permissions(no_program.executable, fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_FALSE(installApp(root(), no_program));
  no_program.executable = root();  // a folder
  EXPECT_FALSE(installApp(root(), no_program));
  InstallOptions bad_name = app("com.example.two", "Two");
  bad_name.bundle_name = "../Escape";
  EXPECT_FALSE(installApp(root(), bad_name));
  InstallOptions bad_tag = app("com.example.two", "Two", AppType::kUser, {""});
  EXPECT_FALSE(installApp(root(), bad_tag));

  EXPECT_EQ(identifiers(), before);
  EXPECT_FALSE(installApp(root() / "no-device", app("com.example.x", "X")));
  EXPECT_FALSE(fs::exists(root() / "no-device"));
}

// An execute bit makes no program: the first launch would fail with "Exec
// format error".
TEST_F(InstalledApps, RefusesAnExecutableFileTheKernelCannotRun) {
  testing::TempDir programs;
  const fs::path text = programs.path() / "notes.txt";
  std::ofstream(text) << "just some words\n";
  fs::permissions(text, fs::perms::owner_all);
  Result<AppRecord> refused = installApp(root(), [&] {
    InstallOptions o = app("com.example.text", "Text");
    o.executable = text;
    return o;
  }());
  ASSERT_FALSE(refused);
  EXPECT_THAT(refused.reason(), HasSubstr("not a program this machine can run"));
  const fs::path empty = programs.path() / "empty";
  std::ofstream{empty};
  fs::permissions(empty, fs::perms::owner_all);
  InstallOptions none = app("com.example.empty", "Empty");
  none.executable = empty;
  EXPECT_FALSE(installApp(root(), none));
  EXPECT_TRUE(identifiers().empty());

  // A script and a program of this machine are programs.
  const fs::path script = programs.path() / "script";
  std::ofstream(script) << "#!/bin/sh\nexit 0\n";
  fs::permissions(script, fs::perms::owner_all);
  InstallOptions scripted = app("com.example.script", "Script");
  scripted.executable = script;
  EXPECT_TRUE(installApp(root(), scripted));
  InstallOptions elf = app("com.example.true", "True");
  elf.executable = "/bin/true";
  EXPECT_TRUE(installApp(root(), elf));
}

TEST_F(InstalledApps, RefusesASecondSystemBundleOfTheSameName) {
  install(app("com.example.first", "Mail", AppType::kSystem));
  Result<AppRecord> r = installApp(root(), app("com.example.second", "Mail", AppType::kSystem));
  ASSERT_FALSE(r);
  EXPECT_THAT(r.reason(), HasSubstr("already exists"));
  EXPECT_THAT(identifiers(), ElementsAre("com.example.first"));
  // Nothing staged is left lying around.
  int entries = 0;
  for ([[maybe_unused]] const auto& e : fs::directory_iterator(root() / "Applications")) ++entries;
  EXPECT_EQ(entries, 1);
}

TEST_F(InstalledApps, RemovesAnAppWithItsContainerButNotTheProgramItWraps) {
  testing::TempDir programs;
  fs::path program = programs.path() / "tool";
  fs::copy_file("/bin/true", program);
  InstallOptions o = app("com.example.tool", "Tool");
  o.executable = program;
  AppRecord user = install(o);
  AppRecord sys = install(app("com.example.sys", "Sys", AppType::kSystem));

  ASSERT_TRUE(removeApp(root(), "com.example.tool"));
  EXPECT_FALSE(fs::exists(user.bundle_path.parent_path()));
  EXPECT_TRUE(fs::exists(program));
  ASSERT_TRUE(removeApp(root(), "com.example.sys"));
  EXPECT_FALSE(fs::exists(sys.bundle_path));
  EXPECT_TRUE(identifiers().empty());
  EXPECT_TRUE(fs::is_empty(root() / "Applications"));
  EXPECT_TRUE(fs::is_empty(root() / "var/containers/Bundle/Application"));

  Status again = removeApp(root(), "com.example.tool");
  ASSERT_FALSE(again);
  EXPECT_THAT(again.reason(), HasSubstr("com.example.tool"));
  EXPECT_FALSE(removeApp(root(), "../../etc"));
}

TEST_F(InstalledApps, ReadsNamesTagsAndIconsFromHandMadeBundles) {
  fs::path full = handMadeBundle(
      "Applications/Full.app",
      plist::Value::dictOf({
          {"CFBundleIdentifier", plist::Value::string("com.x.full")},
          {"CFBundleDisplayName", plist::Value::string("Full Name")},
          {"CFBundleName", plist::Value::string("Short")},
          {"CFBundleExecutable", plist::Value::string("FullExe")},
          {"CFBundleIconFile", plist::Value::string("Icon")},
          {"SBAppTags",
           plist::Value::array({plist::Value::string("hidden"), plist::Value::integer(3)})},
      }));
  std::ofstream(full / "Icon.png") << "png";
  handMadeBundle("Applications/Short.app",
                 plist::Value::dictOf({{"CFBundleIdentifier", plist::Value::string("com.x.short")},
                                       {"CFBundleName", plist::Value::string("Short Name")},
                                       {"CFBundleIconFile", plist::Value::string("missing.png")}}));
  handMadeBundle("var/containers/Bundle/Application/C1/Folder.app",
                 plist::Value::dictOf({{"CFBundleIdentifier", plist::Value::string("com.x.folder")},
                                       {"CFBundleDisplayName", plist::Value::string("")},
                                       {"CFBundleExecutable", plist::Value::string("../../x")}}));

  AppRecord f = catalogue_->applicationWithIdentifier("com.x.full").value();
  EXPECT_EQ(f.display_name, "Full Name");
  EXPECT_EQ(f.executable_path, full / "FullExe");
  EXPECT_EQ(f.icon_path, full / "Icon.png");
  EXPECT_THAT(f.tags, ElementsAre("hidden"));
  EXPECT_FALSE(f.isVisible());

  AppRecord s = catalogue_->applicationWithIdentifier("com.x.short").value();
  EXPECT_EQ(s.display_name, "Short Name");
  EXPECT_FALSE(s.icon_path);
  EXPECT_TRUE(s.executable_path.empty());

  AppRecord u = catalogue_->applicationWithIdentifier("com.x.folder").value();
  EXPECT_EQ(u.display_name, "Folder");
  EXPECT_TRUE(u.executable_path.empty()) << "an executable outside the bundle was accepted";
  EXPECT_FALSE(u.isSystemApplication());
}

TEST_F(InstalledApps, SkipsBrokenBundlesLoggingEachOnceUntilItChanges) {
  install(app("com.example.good", "Good", AppType::kSystem));
  fs::path broken = root() / "Applications/Broken.app";
  fs::create_directories(broken);
  std::ofstream(broken / "Info.plist") << "<plist><dict><key>x</key>";
  handMadeBundle("Applications/NoId.app",
                 plist::Value::dictOf({{"CFBundleName", plist::Value::string("x")}}));
  handMadeBundle("Applications/BadId.app",
                 plist::Value::dictOf({{"CFBundleIdentifier", plist::Value::string("a b")}}));
  fs::create_directories(root() / "Applications/Empty.app");
  fs::create_directories(root() / "Applications/.staging.app");
  fs::create_directories(root() / "Applications/NotABundle");

  testing::LogCapture log;
  EXPECT_THAT(identifiers(), ElementsAre("com.example.good"));
  EXPECT_EQ(log.count("Broken.app"), 1u);
  EXPECT_EQ(log.count("NoId.app"), 1u);
  EXPECT_EQ(log.count("BadId.app"), 1u);
  EXPECT_EQ(log.count("Empty.app"), 1u);
  EXPECT_EQ(log.lines().size(), 4u);

  identifiers();
  EXPECT_EQ(log.lines().size(), 4u) << "a known broken bundle was logged again";
  std::ofstream(broken / "Info.plist") << "still broken, but different";
  identifiers();
  EXPECT_EQ(log.count("Broken.app"), 2u);
}

TEST_F(InstalledApps, ListsAppsByKindVisibilityAndTitle) {
  install(app("com.example.zeta", "zeta", AppType::kSystem));
  install(app("com.example.alpha", "Alpha", AppType::kSystem));
  install(app("com.example.secret", "Beta", AppType::kSystem, {"hidden"}));
  install(app("com.example.mail2", "mail", AppType::kUser));
  install(app("com.example.mail1", "Mail", AppType::kUser));
  install(app("com.example.hiddenuser", "Aardvark", AppType::kUser, {"hidden", "x"}));

  AppList sys = catalogue_->applications(AppKind::kSystem, true);
  EXPECT_THAT(sys.title_sorted_identifiers, ElementsAre("com.example.alpha", "com.example.zeta"));
  EXPECT_THAT(sys.display_names,
              ElementsAre(Pair("com.example.alpha", "Alpha"), Pair("com.example.zeta", "zeta")));

  AppList user = catalogue_->applications(AppKind::kUser, true);
  EXPECT_THAT(user.title_sorted_identifiers,
              ElementsAre("com.example.mail1", "com.example.mail2"));  // equal titles: by id

  AppList all = catalogue_->applications(AppKind::kAll, false);
  EXPECT_THAT(all.title_sorted_identifiers,
              ElementsAre("com.example.hiddenuser", "com.example.alpha", "com.example.secret",
                          "com.example.mail1", "com.example.mail2", "com.example.zeta"));
  EXPECT_EQ(catalogue_->visibleApplications().size(), 4u);
  EXPECT_EQ(catalogue_->allApplications().size(), 6u);
  // System apps come first, in folder order.
  EXPECT_EQ(catalogue_->allApplications().front().identifier, "com.example.alpha");
}

TEST_F(InstalledApps, AreEmptyOnADeviceWithoutAppFolders) {
  EXPECT_TRUE(catalogue_->allApplications().empty());
  EXPECT_FALSE(catalogue_->applicationWithIdentifier("com.example.any"));
  EXPECT_TRUE(newDeviceCatalogue(root() / "missing")->allApplications().empty());
}

TEST(AnInMemoryCatalogue, AnswersTheSameQueries) {
  InMemoryAppCatalogue c;
  AppRecord a;
  a.identifier = "com.example.a";
  a.display_name = "b-title";
  AppRecord b;
  b.identifier = "com.example.b";
  b.display_name = "A-title";
  b.type = AppType::kSystem;
  b.tags = {"hidden"};
  c.add(a);
  c.add(b);
  EXPECT_THAT(c.applications(AppKind::kAll, false).title_sorted_identifiers,
              ElementsAre("com.example.b", "com.example.a"));
  EXPECT_TRUE(c.applications(AppKind::kSystem, true).display_names.empty());
  c.remove("com.example.a");
  EXPECT_FALSE(c.applicationWithIdentifier("com.example.a"));
}

TEST(AnIdentifier, IsValidatedWithAReason) {
  EXPECT_TRUE(validateIdentifier("ca.kelmora.sentrel_preferences"));
  EXPECT_TRUE(validateIdentifier("com.apple.springboard"));
  EXPECT_THAT(validateIdentifier("").reason(), HasSubstr("empty"));
  EXPECT_THAT(validateIdentifier("a\tb").reason(), HasSubstr("letters"));
  EXPECT_FALSE(validateIdentifier(std::string(256, 'a')));
}

}  // namespace
}  // namespace sentrel::apps
