#include <gtest/gtest.h>

#include "platform/notify/notification_center.h"
#include "platform/plist/plist_codec.h"

namespace sentrel::notify {
namespace {

using plist::Value;

Value everyKind() {
  return Value::dictOf({
      {"alert_id", Value::string("6F9619FF-8B86-D011-B42D-00C04FC964FF")},
      {"allow", Value::boolean(true)},
      {"pid", Value::integer(4242)},
      {"ratio", Value::real(0.25)},
      {"blob", Value::data({0, 1, 2, 255})},
      {"when", Value::date({700000000.5})},
      {"list", Value::array({Value::string("a"), Value::integer(-3)})},
      {"nested", Value::dictOf({{"apps", Value::dictOf({})}})},
  });
}

TEST(ABusPayload, CarriesNullAsNoBytesAndAnEmptyDictionaryAsADictionary) {
  Result<std::string> none = encodePayload(Value());
  ASSERT_TRUE(none.ok());
  EXPECT_TRUE(none->empty());
  Result<Value> back = decodePayload(*none);
  ASSERT_TRUE(back.ok());
  EXPECT_TRUE(back->isNull());

  Result<std::string> empty = encodePayload(Value::dictOf({}));
  ASSERT_TRUE(empty.ok());
  EXPECT_FALSE(empty->empty());
  Result<Value> empty_back = decodePayload(*empty);
  ASSERT_TRUE(empty_back.ok());
  EXPECT_TRUE(empty_back->isDict());
}

TEST(ABusPayload, RoundTripsADictionaryOfEveryKind) {
  Result<std::string> bytes = encodePayload(everyKind());
  ASSERT_TRUE(bytes.ok()) << bytes.reason();
  Result<Value> back = decodePayload(*bytes);
  ASSERT_TRUE(back.ok()) << back.reason();
  EXPECT_EQ(*back, everyKind());
}

TEST(ABusPayload, RefusesUserInfoThatIsNotADictionary) {
  Result<std::string> bytes = encodePayload(Value::array({Value::integer(1)}));
  ASSERT_FALSE(bytes.ok());
  EXPECT_NE(bytes.reason().find("array"), std::string::npos) << bytes.reason();
}

TEST(ABusPayload, RejectsBytesThatAreNotADictionaryPropertyList) {
  EXPECT_FALSE(decodePayload("garbage bytes").ok());
  EXPECT_FALSE(decodePayload(std::string_view("bplist00\xff\xff\xff", 11)).ok());
  Result<std::string> array = plist::encodeBinary(Value::array({Value::string("x")}));
  ASSERT_TRUE(array.ok());
  EXPECT_FALSE(decodePayload(*array).ok());
  Result<std::string> xml = plist::encodeXml(Value::string("x"));
  ASSERT_TRUE(xml.ok());
  EXPECT_FALSE(decodePayload(*xml).ok());
}

TEST(ABusPayload, RefusesStringsThatAreNotUtf8OnBothSides) {
  // A sender of another build could put any bytes in a text string: {"h\xbcst": 1}.
  static const char kSample[] = "\xa1\x64h\xbcst\x01";
  const std::string bytes(kSample, sizeof kSample - 1);
  Result<Value> decoded = decodePayload(bytes);
  ASSERT_FALSE(decoded.ok());
  EXPECT_NE(decoded.reason().find("UTF-8"), std::string::npos) << decoded.reason();

  EXPECT_FALSE(encodePayload(Value::dictOf({{"k", Value::string("caf\xe9")}})).ok());
  EXPECT_FALSE(encodePayload(Value::dictOf({{"\xed\xa0\x80", Value::integer(1)}})).ok());
  EXPECT_TRUE(
      encodePayload(Value::dictOf({{"caf\xc3\xa9 \xf0\x9f\x98\x80", Value::integer(1)}})).ok());
}

TEST(ABusPayload, SurvivesEveryTruncationOfAValidPayload) {
  Result<std::string> bytes = encodePayload(everyKind());
  ASSERT_TRUE(bytes.ok());
  for (size_t n = 1; n < bytes->size(); ++n) {
    Result<Value> cut = decodePayload(std::string_view(*bytes).substr(0, n));
    // A cut payload fails or, at worst, decodes to some dictionary; it never
    // crashes and never yields anything else.
    if (cut.ok()) {
      EXPECT_TRUE(cut->isDict()) << "cut at " << n;
    }
  }
}

}  // namespace
}  // namespace sentrel::notify
