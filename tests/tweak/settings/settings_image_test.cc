// The settings image: what a process reads of it, and that anything wrong
// with it sends the reader back to the settings file.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "settings_fixture.h"
#include "support/log_capture.h"
#include "tweak/SNTFirewall.h"
#include "tweak/SNTMessagingCenter.h"
#include "tweak/settings_image.h"

namespace sentrel::testing {
namespace {

using plist::Value;

Value rule(int64_t allowed) {
  return Value::dictOf({{"allowed", Value::integer(allowed)}});
}

Value appEntry(const std::string& host, int64_t allowed) {
  return Value::dictOf({{"firewall_enabled", Value::boolean(true)},
                        {"domains", Value::dictOf({{host, rule(allowed)}})}});
}

// Three apps (one whose id sorts between the others), global rules and
// switches.
Value sampleDocument() {
  return Value::dictOf({{"snt_enabled", Value::boolean(true)},
                        {"new_app_policy", Value::string("2")},
                        {"global_hosts", Value::dictOf({{"g.example", rule(2)}})},
                        {"apps", Value::dictOf({{"com.a", appEntry("a.example", 1)},
                                                {"com.m", appEntry("m.example", 2)},
                                                {"com.z", appEntry("z.example", 1)}})}});
}

// What an app with `entry` (null: none) should read of sampleDocument().
Value partWith(const std::string& id, const Value& entry) {
  plist::MutableDict part(sampleDocument());
  plist::MutableDict apps;
  if (!entry.isNull()) apps.set(id, entry);
  part.set("apps", std::move(apps).build());
  return std::move(part).build();
}

SettingsFileIdentity someFile() {
  SettingsFileIdentity identity;
  identity.device = 1;
  identity.inode = 42;
  identity.size = 1000;
  identity.modified_seconds = 1700000000;
  identity.modified_nanoseconds = 5;
  return identity;
}

std::span<const uint8_t> bytesOf(const std::string& s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

std::string encoded(const Value& document) {
  Result<std::string> image = encodeSettingsImage(document, someFile());
  EXPECT_TRUE(image.ok()) << image.reason();
  return image.ok() ? *image : std::string();
}

TEST(ASettingsImage, GivesEachAppItsOwnEntryAndTheTopLevelKeysOnly) {
  const std::string image = encoded(sampleDocument());
  const SettingsFileIdentity source = someFile();
  for (const char* id : {"com.a", "com.m", "com.z"}) {
    Result<Value> part = decodeSettingsImage(bytesOf(image), std::string_view(id), &source);
    ASSERT_TRUE(part.ok()) << part.reason();
    EXPECT_EQ(*part, partWith(id, sampleDocument().get("apps").get(id))) << id;
  }
}

TEST(ASettingsImage, GivesAnAppWithoutAnEntryAndAProcessWithoutAnIdAnEmptyAppsDictionary) {
  const std::string image = encoded(sampleDocument());
  for (std::optional<std::string_view> id :
       {std::optional<std::string_view>("com.b"), std::optional<std::string_view>("com"),
        std::optional<std::string_view>("com.zz"), std::optional<std::string_view>()}) {
    Result<Value> part = decodeSettingsImage(bytesOf(image), id, nullptr);
    ASSERT_TRUE(part.ok()) << part.reason();
    EXPECT_EQ(*part, partWith("", Value()));
  }
}

TEST(ASettingsImage, KeepsDocumentsWhoseAppsAreNotAllDictionariesWhole) {
  // What every other reader sees must be what the image gives: an "apps"
  // of another kind, or an entry of another kind, stays as it is.
  const Value odd_apps = Value::dictOf({{"apps", Value::string("none")}});
  const Value odd_entry = Value::dictOf(
      {{"apps",
        Value::dictOf({{"com.a", appEntry("a.example", 1)}, {"com.b", Value::integer(3)}})}});
  for (const Value& document : {odd_apps, odd_entry, Value::dictOf({})}) {
    Result<Value> part = decodeSettingsImage(bytesOf(encoded(document)), "com.a", nullptr);
    ASSERT_TRUE(part.ok()) << part.reason();
    EXPECT_EQ(*part, document);
  }
}

TEST(ASettingsImage, RefusesToEncodeADocumentThatIsNotADictionary) {
  EXPECT_FALSE(encodeSettingsImage(Value::string("x"), someFile()).ok());
  EXPECT_FALSE(encodeSettingsImage(Value(), someFile()).ok());
}

TEST(ASettingsImage, IsRefusedWhenMadeFromAnotherVersionOfTheFile) {
  const std::string image = encoded(sampleDocument());
  SettingsFileIdentity other = someFile();
  other.modified_nanoseconds += 1;
  Result<Value> part = decodeSettingsImage(bytesOf(image), "com.a", &other);
  ASSERT_FALSE(part.ok());
  EXPECT_NE(part.reason().find("another version"), std::string::npos) << part.reason();
}

TEST(ASettingsImage, IsRefusedWhenTruncatedAtAnyLength) {
  const std::string image = encoded(sampleDocument());
  for (size_t size = 0; size < image.size(); ++size) {
    EXPECT_FALSE(decodeSettingsImage(bytesOf(image.substr(0, size)), "com.m", nullptr).ok())
        << size;
  }
  EXPECT_FALSE(decodeSettingsImage(bytesOf(image + "x"), "com.m", nullptr).ok());
}

TEST(ASettingsImage, NeverGivesAWrongPartWhateverByteIsDamaged) {
  // Each byte the reader uses is covered by a checksum; the others are
  // padding, where damage changes nothing.
  const std::string image = encoded(sampleDocument());
  const Value expected = partWith("com.m", sampleDocument().get("apps").get("com.m"));
  for (size_t at = 0; at < image.size(); ++at) {
    std::string damaged = image;
    damaged[at] = static_cast<char>(damaged[at] ^ 0x41);
    Result<Value> part = decodeSettingsImage(bytesOf(damaged), "com.m", nullptr);
    if (part.ok()) {
      EXPECT_EQ(*part, expected) << "byte " << at;
    }
  }
}

TEST(ASettingsImage, MadeWithEarlierPartsIsTheSameImageAndTakesChangedEntries) {
  SettingsImageParts cache;
  ASSERT_EQ(*encodeSettingsImage(sampleDocument(), someFile(), &cache), encoded(sampleDocument()));
  ASSERT_EQ(*encodeSettingsImage(sampleDocument(), someFile(), &cache), encoded(sampleDocument()));

  // One entry changed (a fresh, equal-looking document is decoded anew by
  // SpringBoard on each save), one app gone, one new.
  plist::MutableDict apps(sampleDocument().get("apps"));
  apps.set("com.m", appEntry("m.example", 1))
      .remove("com.z")
      .set("com.n", appEntry("n.example", 2));
  const Value changed = plist::MutableDict(sampleDocument()).set("apps", apps.build()).build();
  Result<std::string> image = encodeSettingsImage(changed, someFile(), &cache);
  ASSERT_TRUE(image.ok());
  EXPECT_EQ(*image, encoded(changed));
  Result<Value> part = decodeSettingsImage(bytesOf(*image), "com.m", nullptr);
  ASSERT_TRUE(part.ok());
  EXPECT_EQ(part->get("apps").get("com.m"), appEntry("m.example", 1));
  part = decodeSettingsImage(bytesOf(*image), "com.z", nullptr);
  ASSERT_TRUE(part.ok());
  EXPECT_EQ(part->get("apps"), Value::dictOf({}));
}

class SpringBoardsSettingsImage : public SettingsTest {
 protected:
  std::filesystem::path imageFile() const { return paths::resolve(kSettingsImagePath); }
};

TEST_F(SpringBoardsSettingsImage, IsPublishedWithEachSaveAndReadInsteadOfTheFile) {
  playSpringBoard();
  ASSERT_TRUE(PrefHandler::writeSettingsFile(sampleDocument()));
  Result<Value> part = readSettingsPart("com.z");
  ASSERT_TRUE(part.ok()) << part.reason();
  EXPECT_EQ(*part, partWith("com.z", sampleDocument().get("apps").get("com.z")));

  // A later save replaces it.
  const Value changed =
      plist::MutableDict(sampleDocument()).set("snt_enabled", Value::boolean(false)).build();
  ASSERT_TRUE(PrefHandler::writeSettingsFile(changed));
  part = readSettingsPart("com.z");
  ASSERT_TRUE(part.ok()) << part.reason();
  EXPECT_EQ(part->get("snt_enabled"), Value::boolean(false));
}

TEST_F(SpringBoardsSettingsImage, IsPassedOverForTheFileOnceSomeoneElseWroteTheFile) {
  playSpringBoard();
  ASSERT_TRUE(PrefHandler::writeSettingsFile(sampleDocument()));
  const Value foreign = Value::dictOf({{"snt_enabled", Value::boolean(false)}});
  writeSettingsFile(foreign);  // not through SpringBoard: the image is stale

  LogCapture log;
  EXPECT_FALSE(readSettingsPart("com.a").ok());
  EXPECT_EQ(loadSettingsForApp("com.a"), foreign);
  EXPECT_TRUE(log.contains("settings image not used")) << ::testing::PrintToString(log.lines());
}

TEST_F(SpringBoardsSettingsImage, IsPassedOverForTheFileWhenItIsGarbageOrMissing) {
  playSpringBoard();
  ASSERT_TRUE(PrefHandler::writeSettingsFile(sampleDocument()));
  std::ofstream(imageFile(), std::ios::trunc) << "not an image at all";
  EXPECT_EQ(loadSettingsForApp("com.a"), sampleDocument());
  std::filesystem::remove(imageFile());
  EXPECT_EQ(loadSettingsForApp("com.a"), sampleDocument());
}

TEST_F(SpringBoardsSettingsImage, IsPublishedAtStartOnlyWhenNoImageMatchesTheFile) {
  writeSettingsFile(sampleDocument());  // written while SpringBoard was not running
  EXPECT_FALSE(readSettingsPart("com.a").ok());
  publishSettingsImageIfStale();
  ASSERT_TRUE(readSettingsPart("com.a").ok());

  const auto published = std::filesystem::last_write_time(imageFile());
  std::filesystem::last_write_time(imageFile(), published - std::chrono::hours(1));
  publishSettingsImageIfStale();  // matches: left alone
  EXPECT_EQ(std::filesystem::last_write_time(imageFile()), published - std::chrono::hours(1));
}

TEST_F(SpringBoardsSettingsImage, IsNotPublishedWithoutASettingsFile) {
  publishSettingsImageIfStale();
  EXPECT_FALSE(std::filesystem::exists(imageFile()));
  EXPECT_EQ(loadSettingsForApp("com.a"), Value::dictOf({}));
}

// The injected library's process firewall: observers registered later on
// the main queue, a new settings notification taken as a signal to read the
// app's part again.
class ADeferredProcessFirewall : public SettingsTest {
 protected:
  ADeferredProcessFirewall() { setSettingsObserversDeferred(true); }
  ~ADeferredProcessFirewall() override { setSettingsObserversDeferred(false); }

  // As SpringBoard saves: the file and its image.
  void save(const Value& document) { ASSERT_TRUE(PrefHandler::writeSettingsFile(document)); }

  static Value withRule(int64_t allowed) {
    return Value::dictOf(
        {{"apps", Value::dictOf({{"com.example.app", appEntry("a.example", allowed)},
                                 {"com.other", appEntry("o.example", 1)}})}});
  }
};

TEST_F(ADeferredProcessFirewall, ReadsItsSettingsAgainOnceItsObserversAreIn) {
  playApp();
  save(withRule(1));
  auto firewall = std::make_shared<SNTFirewall>();
  firewall->loadFromMainBundle();
  EXPECT_EQ(firewall->explicitRuleForHost("a.example"), 1);
  EXPECT_TRUE(firewall->globalSettings().get("apps").get("com.other").isNull());

  // Saved before anyone listens: the announcement is lost, the file is not.
  save(withRule(2));
  center_->post("SNT_NEW_APP_SETTINGS_com.example.app", appEntry("a.example", 2));
  loop_.runUntilIdle();
  EXPECT_EQ(firewall->explicitRuleForHost("a.example"), 1);
  clock_.advance(kDeferredObserversDelay);
  loop_.runUntilIdle();
  EXPECT_EQ(firewall->explicitRuleForHost("a.example"), 2);
}

TEST_F(ADeferredProcessFirewall, TakesANewSettingsNotificationAsASignalToReadItsPart) {
  playApp();
  save(withRule(1));
  auto firewall = std::make_shared<SNTFirewall>();
  firewall->loadFromMainBundle();
  clock_.advance(kDeferredObserversDelay);
  loop_.runUntilIdle();

  save(withRule(2));
  center_->post("SNT_NEW_SETTINGS", Value::dictOf({{"unrelated", Value::boolean(true)}}));
  loop_.runUntilIdle();
  EXPECT_EQ(firewall->explicitRuleForHost("a.example"), 2);
  EXPECT_TRUE(firewall->globalSettings().get("unrelated").isNull());
  EXPECT_TRUE(firewall->globalSettings().get("apps").get("com.other").isNull());
}

}  // namespace
}  // namespace sentrel::testing
