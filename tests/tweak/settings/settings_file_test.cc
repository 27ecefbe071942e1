// Reading and saving the settings file, and the app entry lookup.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "settings_fixture.h"
#include "tweak/SNTSettings.h"

namespace sentrel::testing {
namespace {

using plist::Value;

constexpr const char* kLoadWarning = "WARNING: loadSettings() returning a new dictionary...";

Value sampleDocument() {
  return Value::dictOf(
      {{"snt_enabled", Value::boolean(false)},
       {"apps", Value::dictOf({{"com.example.app",
                                Value::dictOf({{"filter_streams", Value::boolean(false)}})}})}});
}

using APrefHandler = SettingsTest;

TEST_F(APrefHandler, ReadsAMissingFileAsAnEmptyDocumentWithTheWarning) {
  LogCapture log;
  Value document = PrefHandler::loadSettings();
  ASSERT_TRUE(document.isDict());
  EXPECT_TRUE(document.asDict()->empty());
  EXPECT_EQ(log.count(kLoadWarning), 1u);
}

TEST_F(APrefHandler, ReadsAFileWhoseRootIsNotADictionaryAsEmptyWithTheWarning) {
  writeSettingsFile(Value::array({Value::string("snt_enabled")}));
  LogCapture log;
  Value document = PrefHandler::loadSettings();
  ASSERT_TRUE(document.isDict());
  EXPECT_TRUE(document.asDict()->empty());
  EXPECT_TRUE(log.contains(kLoadWarning));
}

TEST_F(APrefHandler, ReadsGarbageAndTruncatedFilesAsEmpty) {
  for (std::string bytes :
       {std::string("not a plist"), std::string("<?xml version=\"1.0\"?><plist><dict><key>a"),
        std::string("bplist00\x01\x02", 10), std::string()}) {
    writeSettingsBytes(bytes);
    LogCapture log;
    Value document = PrefHandler::loadSettings();
    ASSERT_TRUE(document.isDict());
    EXPECT_TRUE(document.asDict()->empty());
    EXPECT_TRUE(log.contains(kLoadWarning));
  }
}

TEST_F(APrefHandler, InSpringBoardWritesTheFileAndPostsNothingWithoutNotify) {
  playSpringBoard();
  LogCapture log;
  PrefHandler::saveSettings(sampleDocument(), false);
  EXPECT_EQ(fileDocument(), sampleDocument());
  EXPECT_TRUE(posted().empty());
  EXPECT_TRUE(log.contains("preftools saveSettings("));
}

TEST_F(APrefHandler, InSpringBoardWithNotifyWritesThenPostsTheDocumentToEveryone) {
  playSpringBoard();
  PrefHandler::saveSettings(sampleDocument(), true);
  EXPECT_EQ(fileDocument(), sampleDocument());
  ASSERT_EQ(posted().size(), 1u);
  EXPECT_EQ(posted()[0].name, "SNT_NEW_SETTINGS");
  EXPECT_EQ(posted()[0].user_info, sampleDocument());
}

TEST_F(APrefHandler, InSpringBoardStillNotifiesWhenTheWriteFails) {
  playSpringBoard();
  // A folder where the file should be makes the write fail.
  std::filesystem::create_directories(settingsFile());
  LogCapture log;
  PrefHandler::saveSettings(sampleDocument(), true);
  ASSERT_EQ(posted().size(), 1u);
  EXPECT_EQ(posted()[0].name, "SNT_NEW_SETTINGS");
  EXPECT_TRUE(log.contains("write failed"));
}

// ---- A damaged file ----

std::string fileBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST_F(APrefHandler, TellsADamagedFileFromAMissingReadableOrUnopenableOne) {
  EXPECT_FALSE(settingsFileDamage().has_value());  // no file yet
  writeSettingsFile(sampleDocument());
  EXPECT_FALSE(settingsFileDamage().has_value());
  for (std::string bytes : {std::string("not a plist"), std::string(),
                            std::string("<?xml version=\"1.0\"?><plist><dict><key>a")}) {
    writeSettingsBytes(bytes);
    EXPECT_TRUE(settingsFileDamage().has_value()) << bytes;
  }
  writeSettingsFile(Value::array({}));
  EXPECT_TRUE(settingsFileDamage().has_value());
  std::filesystem::remove(settingsFile());
  std::filesystem::create_directories(settingsFile());
  EXPECT_FALSE(settingsFileDamage().has_value());
}

TEST_F(APrefHandler, InSpringBoardKeepsADamagedFileAsideBeforeSavingOverIt) {
  playSpringBoard();
  writeSettingsBytes("<plist><dict><key>global_hosts</key><dict><key>ads.exa");
  LogCapture log;

  PrefHandler::saveSettings(sampleDocument(), true);

  EXPECT_EQ(fileDocument(), sampleDocument());
  const std::vector<std::filesystem::path> kept = damagedSettingsFiles(settingsFile());
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(fileBytes(kept[0]), "<plist><dict><key>global_hosts</key><dict><key>ads.exa");
  EXPECT_EQ(kept[0].parent_path(), settingsFile().parent_path());
  EXPECT_EQ(kept[0].filename().string().rfind(settingsFile().filename().string() + ".damaged-", 0),
            0u);
  EXPECT_EQ(log.count("kept it aside as " + kept[0].string()), 1u);
}

TEST_F(APrefHandler, InSpringBoardKeepsEachDamagedVersionAsideAndNothingElse) {
  playSpringBoard();
  // Its own saves, and a readable document written by someone else, are
  // simply replaced.
  PrefHandler::saveSettings(sampleDocument(), false);
  PrefHandler::saveSettings(Value::dict({}), false);
  writeSettingsFile(sampleDocument());
  PrefHandler::saveSettings(Value::dict({}), false);
  EXPECT_TRUE(damagedSettingsFiles(settingsFile()).empty());

  writeSettingsBytes("first damage");
  PrefHandler::saveSettings(sampleDocument(), false);
  writeSettingsFile(Value::string("second damage"));
  PrefHandler::saveSettings(sampleDocument(), false);

  const std::vector<std::filesystem::path> kept = damagedSettingsFiles(settingsFile());
  ASSERT_EQ(kept.size(), 2u);
  EXPECT_EQ(fileBytes(kept[0]), "first damage");
  EXPECT_NE(fileBytes(kept[1]).find("second damage"), std::string::npos);
  EXPECT_EQ(fileDocument(), sampleDocument());
}

TEST_F(APrefHandler, OutsideSpringBoardHandsTheDocumentToSpringBoardAndWritesNothing) {
  playApp();
  PrefHandler::saveSettings(sampleDocument(), false);
  PrefHandler::saveSettings(sampleDocument(), true);
  EXPECT_FALSE(std::filesystem::exists(settingsFile()));
  ASSERT_EQ(posted().size(), 2u);
  EXPECT_EQ(posted()[0].name, "SNT_SB_SAVE_SETTINGS");
  EXPECT_EQ(posted()[0].user_info, sampleDocument());
  EXPECT_EQ(posted()[1].name, "SNT_SB_SAVE_SETTINGS_AND_NOTIFY");
  EXPECT_EQ(posted()[1].user_info, sampleDocument());
}

TEST_F(APrefHandler, TreatsAProcessWithoutBundleIdentifierAsNotSpringBoard) {
  playProcess(std::nullopt);
  PrefHandler::saveSettings(sampleDocument(), true);
  EXPECT_FALSE(std::filesystem::exists(settingsFile()));
  ASSERT_EQ(posted().size(), 1u);
  EXPECT_EQ(posted()[0].name, "SNT_SB_SAVE_SETTINGS_AND_NOTIFY");
}

TEST_F(APrefHandler, RefusesToSaveADocumentThatIsNotADictionary) {
  playSpringBoard();
  writeSettingsFile(sampleDocument());
  LogCapture log;
  PrefHandler::saveSettings(Value::array({}), true);
  PrefHandler::saveSettings(Value(), true);
  EXPECT_EQ(fileDocument(), sampleDocument());
  EXPECT_TRUE(posted().empty());
  EXPECT_EQ(log.count("not a dictionary; nothing saved"), 2u);
}

TEST_F(APrefHandler, ClearAllInSpringBoardLeavesAnEmptyDocument) {
  playSpringBoard();
  writeSettingsFile(sampleDocument());
  SNTSettings settings;
  settings.clearAll(false);
  Value document = PrefHandler::loadSettings();
  ASSERT_TRUE(document.isDict());
  EXPECT_TRUE(document.asDict()->empty());
}

using AppSettingsFromCache = SettingsTest;

TEST_F(AppSettingsFromCache, ReturnsTheStoredEntryItself) {
  Value document = sampleDocument();
  Value entry = getAppSettingsFromCache(document, "com.example.app");
  EXPECT_TRUE(entry.sameObject(document.get("apps").get("com.example.app")));
}

TEST_F(AppSettingsFromCache, WarnsAndReturnsEmptyForANullDocument) {
  LogCapture log;
  Value entry = getAppSettingsFromCache(Value(), "com.example.app");
  EXPECT_EQ(entry, Value::dict({}));
  EXPECT_TRUE(log.contains("WARNING: settingsCache returning a new dictionary (1)..."));
}

TEST_F(AppSettingsFromCache, WarnsAndReturnsEmptyForADocumentWithoutApps) {
  LogCapture log;
  EXPECT_EQ(getAppSettingsFromCache(Value::dict({}), "com.example.app"), Value::dict({}));
  EXPECT_EQ(getAppSettingsFromCache(Value::dictOf({{"apps", Value::string("x")}}), "a"),
            Value::dict({}));
  EXPECT_EQ(log.count("WARNING: getAppSettingsFromCache() returning a new dictionary (2)..."), 2u);
}

TEST_F(AppSettingsFromCache, ReturnsEmptyWithoutLogForAnAppWithoutEntry) {
  Value document =
      Value::dictOf({{"apps", Value::dictOf({{"com.example.app", Value::dict({})},
                                             {"com.example.odd", Value::integer(3)}})}});
  LogCapture log;
  EXPECT_EQ(getAppSettingsFromCache(document, "com.example.other"), Value::dict({}));
  EXPECT_EQ(getAppSettingsFromCache(document, "COM.EXAMPLE.APP"), Value::dict({}));
  EXPECT_EQ(getAppSettingsFromCache(document, std::nullopt), Value::dict({}));
  EXPECT_EQ(getAppSettingsFromCache(document, "com.example.odd"), Value::dict({}));
  EXPECT_TRUE(log.lines().empty());
}

}  // namespace
}  // namespace sentrel::testing
