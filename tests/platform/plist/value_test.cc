#include "platform/plist/value.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace sentrel::plist {
namespace {

Value sampleDocument() {
  return Value::dictOf({
      {"snt_enabled", Value::boolean(true)},
      {"apps",
       Value::dictOf({{"com.example.app", Value::dictOf({{"allowed", Value::integer(1)}})}})},
      {"list", Value::array({Value::string("a"), Value::real(2.5)})},
  });
}

TEST(AValue, IsNullByDefaultAndReadsMissingKeysAsNull) {
  Value v;
  EXPECT_TRUE(v.isNull());
  EXPECT_EQ(v.type(), Type::kNull);
  EXPECT_TRUE(v.get("anything").isNull());
  EXPECT_TRUE(Value::integer(3).get("key").isNull());  // not a dictionary
  EXPECT_TRUE(sampleDocument().get("missing").isNull());
  EXPECT_EQ(Value(), Value());
}

TEST(AValue, AnswersOnlyForItsOwnKind) {
  Value i = Value::integer(5);
  EXPECT_EQ(i.asInteger(), 5);
  EXPECT_FALSE(i.asBool());
  EXPECT_FALSE(i.asReal());
  EXPECT_EQ(i.asString(), nullptr);
  EXPECT_EQ(i.asDict(), nullptr);
  EXPECT_TRUE(i.isNumber());
  EXPECT_FALSE(Value::string("1").isNumber());
  EXPECT_EQ(Value::date(Date{12.5}).asDate(), Date{12.5});
  EXPECT_EQ(*Value::data({1, 2}).asData(), (Data{1, 2}));
}

TEST(AValue, SharesItsDataWhenCopied) {
  Value doc = sampleDocument();
  Value copy = doc;
  EXPECT_TRUE(copy.sameObject(doc));
  EXPECT_TRUE(doc.get("apps").sameObject(copy.get("apps")));
}

TEST(AValue, ComparesDeeplyAndKindExactly) {
  EXPECT_EQ(sampleDocument(), sampleDocument());
  EXPECT_FALSE(sampleDocument().sameObject(sampleDocument()));
  EXPECT_NE(Value::integer(1), Value::boolean(true));
  EXPECT_NE(Value::integer(1), Value::real(1.0));
  EXPECT_NE(Value::string("1"), Value::integer(1));
  EXPECT_NE(Value(), Value::integer(0));
  Value changed =
      MutableDict(sampleDocument())
          .set("apps", Value::dictOf(
                           {{"com.example.app", Value::dictOf({{"allowed", Value::integer(2)}})}}))
          .build();
  EXPECT_NE(changed, sampleDocument());
  EXPECT_NE(Value::array({Value::integer(1), Value::integer(2)}),
            Value::array({Value::integer(2), Value::integer(1)}));
}

TEST(SharingEqualParts, KeepsTheNewValueButTakesUnchangedPartsFromTheOldOne) {
  auto entry = [](int64_t rule) {
    return Value::dictOf(
        {{"domains", Value::dictOf({{"x.com", Value::dictOf({{"allowed", Value::integer(rule)}})},
                                    {"y.com", Value::dictOf({{"allowed", Value::integer(2)}})}})}});
  };
  const Value before = Value::dictOf({{"snt_enabled", Value::boolean(true)},
                                      {"apps", Value::dictOf({{"a", entry(1)}, {"b", entry(1)}})}});
  // Decoded afresh: equal where nothing changed, but no part is shared.
  const Value after =
      Value::dictOf({{"snt_enabled", Value::boolean(true)},
                     {"apps", Value::dictOf({{"a", entry(2)}, {"b", entry(1)}, {"c", entry(1)}})}});

  const Value shared = plist::shareEqualParts(after, before);
  EXPECT_EQ(shared, after);
  const Value apps = shared.get("apps");
  EXPECT_TRUE(apps.get("b").sameObject(before.get("apps").get("b")));
  EXPECT_FALSE(apps.get("a").sameObject(before.get("apps").get("a")));
  EXPECT_TRUE(apps.get("a").get("domains").get("y.com").sameObject(
      before.get("apps").get("a").get("domains").get("y.com")));
  EXPECT_TRUE(apps.get("c").sameObject(after.get("apps").get("c")));
  EXPECT_TRUE(shared.get("snt_enabled").sameObject(before.get("snt_enabled")));

  // An equal version is the old one; one of another kind is the new one.
  const Value again = Value::dictOf({{"snt_enabled", Value::boolean(true)},
                                     {"apps", Value::dictOf({{"a", entry(1)}, {"b", entry(1)}})}});
  EXPECT_TRUE(plist::shareEqualParts(again, before).sameObject(before));
  const Value fewer = Value::dictOf({{"apps", before.get("apps")}});
  EXPECT_EQ(plist::shareEqualParts(fewer, before), fewer);
  EXPECT_TRUE(plist::shareEqualParts(Value::integer(1), before).isInteger());
}

TEST(AMutableDict, ChangesACopyAndLeavesTheOriginalAlone) {
  Value doc = sampleDocument();
  MutableDict edit(doc);
  edit.set("snt_enabled", Value::boolean(false)).set("new", Value::string("x")).remove("list");
  Value edited = edit.build();

  EXPECT_EQ(doc, sampleDocument());
  EXPECT_EQ(doc.get("snt_enabled").asBool(), true);
  EXPECT_TRUE(doc.get("new").isNull());
  EXPECT_EQ(edited.get("snt_enabled").asBool(), false);
  EXPECT_EQ(*edited.get("new").asString(), "x");
  EXPECT_TRUE(edited.get("list").isNull());
  EXPECT_TRUE(edited.get("apps").sameObject(doc.get("apps")));  // children stay shared
}

TEST(AMutableDict, RemovesAKeyWhenSetToNull) {
  MutableDict edit(sampleDocument());
  edit.set("snt_enabled", Value());
  EXPECT_EQ(edit.find("snt_enabled"), nullptr);
  EXPECT_FALSE(edit.build().asDict()->contains("snt_enabled"));
  edit.set("never-there", Value());
  EXPECT_EQ(edit.size(), 2u);
}

TEST(AMutableDict, StartsEmptyFromAValueThatIsNotADictionary) {
  EXPECT_TRUE(MutableDict(Value::string("x")).empty());
  EXPECT_TRUE(MutableDict(Value()).build().isDict());
}

TEST(AMutableArray, ChangesACopyAndIgnoresOutOfRangeRemovals) {
  Value list = sampleDocument().get("list");
  MutableArray edit(list);
  edit.append(Value::integer(3)).removeAt(0).removeAt(99);
  Value edited = edit.build();
  EXPECT_EQ(list.asArray()->size(), 2u);
  ASSERT_EQ(edited.asArray()->size(), 2u);
  EXPECT_EQ(edited.asArray()->at(0), Value::real(2.5));
  EXPECT_EQ(edited.asArray()->at(1), Value::integer(3));
  EXPECT_EQ(MutableArray(Value::integer(1)).size(), 0u);
}

TEST(ANumberReading, ConvertsBoolsIntegersAndRealsLikeAFoundationNumber) {
  EXPECT_EQ(Value::boolean(true).numberAsInteger(), 1);
  EXPECT_EQ(Value::boolean(false).numberAsInteger(), 0);
  EXPECT_EQ(Value::integer(-7).numberAsInteger(), -7);
  EXPECT_EQ(Value::real(2.9).numberAsInteger(), 2);
  EXPECT_EQ(Value::real(-2.9).numberAsInteger(), -2);
  EXPECT_EQ(Value::integer(2).numberAsBool(), true);
  EXPECT_EQ(Value::integer(0).numberAsBool(), false);
  EXPECT_EQ(Value::real(0.1).numberAsBool(), true);
  EXPECT_FALSE(Value::string("1").numberAsInteger());
  EXPECT_FALSE(Value().numberAsBool());
}

TEST(ANumberReading, ClampsRealsOutsideTheIntegerRange) {
  EXPECT_EQ(Value::real(1e300).numberAsInteger(), std::numeric_limits<int64_t>::max());
  EXPECT_EQ(Value::real(-1e300).numberAsInteger(), std::numeric_limits<int64_t>::min());
  EXPECT_EQ(Value::real(std::nan("")).numberAsInteger(), 0);
  EXPECT_EQ(Value::real(INFINITY).numberAsInteger(), std::numeric_limits<int64_t>::max());
}

TEST(ADescription, ListsDictionaryKeysInOrderAndQuotesWhatNeedsIt) {
  Value v = Value::dictOf({{"b", Value::integer(2)}, {"a key", Value::string("x y")}});
  EXPECT_EQ(v.description(), "{\n    \"a key\" = \"x y\";\n    b = 2;\n}");
}

}  // namespace
}  // namespace sentrel::plist

namespace sentrel::plist {
namespace {

TEST(AValuesDescription, IsCutAfterTheLimitWithoutVisitingTheRest) {
  const Value small = Value::dictOf({{"a", Value::integer(1)}});
  EXPECT_EQ(small.description(1000), small.description());

  MutableDict big;
  for (int i = 0; i < 1000; ++i) big.set("key" + std::to_string(i), Value::integer(i));
  const Value document = std::move(big).build();
  const std::string whole = document.description();
  const std::string cut = document.description(100);
  EXPECT_EQ(cut, whole.substr(0, 100) + "...");
  EXPECT_EQ(document.description(whole.size()), whole);
}

}  // namespace
}  // namespace sentrel::plist
