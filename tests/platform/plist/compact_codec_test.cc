#include "platform/plist/compact_codec.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "platform/plist/plist_codec.h"

namespace sentrel::plist {
namespace {

std::string bytes(std::initializer_list<unsigned char> list) {
  return std::string(list.begin(), list.end());
}

TEST(TheCompactEncoding, CarriesEveryKindExactly) {
  const Value value = Value::dictOf({
      {"yes", Value::boolean(true)},
      {"no", Value::boolean(false)},
      {"zero", Value::integer(0)},
      {"max", Value::integer(std::numeric_limits<int64_t>::max())},
      {"min", Value::integer(std::numeric_limits<int64_t>::min())},
      {"minus one", Value::integer(-1)},
      {"whole real", Value::real(1.0)},
      {"real", Value::real(-0.1)},
      {"date", Value::date(Date{789012345.123456789})},
      {"data", Value::data(Data{0, 1, 0, 255})},
      {"text", Value::string("caf\xc3\xa9 \xf0\x9f\x98\x80")},
      {"", Value::string("")},
      {"list", Value::array({Value::integer(1), Value::dictOf({}), Value::array({})})},
  });
  Result<std::string> encoded = encodeCompact(value);
  ASSERT_TRUE(encoded.ok()) << encoded.reason();
  Result<Value> decoded = decodeCompact(*encoded);
  ASSERT_TRUE(decoded.ok()) << decoded.reason();
  EXPECT_EQ(*decoded, value);
  EXPECT_TRUE(decoded->get("whole real").isReal());
  // A bare value of any kind is a root too.
  EXPECT_EQ(*decodeCompact(*encodeCompact(Value::integer(-7))), Value::integer(-7));
}

TEST(TheCompactEncoding, WritesTheSameBytesForTheSameDictionaryAndLeavesNullsOut) {
  Dict::Map forward;
  Dict::Map backward;
  for (int i = 0; i < 50; ++i) forward.emplace("k" + std::to_string(i), Value::integer(i));
  for (int i = 49; i >= 0; --i) backward.emplace("k" + std::to_string(i), Value::integer(i));
  EXPECT_EQ(*encodeCompact(Value::dict(Dict(forward))),
            *encodeCompact(Value::dict(Dict(backward))));

  const Value with_nulls =
      Value::dictOf({{"gone", Value()}, {"list", Value::array({Value(), Value::integer(1)})}});
  EXPECT_EQ(*decodeCompact(*encodeCompact(with_nulls)),
            Value::dictOf({{"list", Value::array({Value::integer(1)})}}));
  EXPECT_FALSE(encodeCompact(Value()).ok());
}

TEST(TheCompactEncoding, RefusesWhatTheSettingsFileCouldNotHold) {
  EXPECT_FALSE(encodeCompact(Value::string(std::string("a\0b", 3))).ok());
  EXPECT_FALSE(encodeCompact(Value::string("caf\xe9")).ok());
  EXPECT_FALSE(encodeCompact(Value::dictOf({{"\xed\xa0\x80", Value::integer(1)}})).ok());
  EXPECT_FALSE(encodeCompact(Value::date(Date{1e12})).ok());
  // The deepest value the encoder writes reads back; one level more is refused.
  Value deep = Value::integer(1);
  for (int i = 0; i < kMaxDepth; ++i) deep = Value::array({deep});
  EXPECT_EQ(*decodeCompact(*encodeCompact(deep)), deep);
  EXPECT_FALSE(encodeCompact(Value::array({deep})).ok());
}

TEST(TheCompactDecoder, RefusesEverythingItNeverWrites) {
  const std::pair<const char*, std::string> refused[] = {
      {"empty", ""},
      {"truncated map", bytes({0xa1, 0x61, 'k'})},
      {"trailing bytes", bytes({0x01, 0x02})},
      {"indefinite map", bytes({0xbf, 0xff})},
      {"indefinite text", bytes({0x7f, 0x61, 'a', 0xff})},
      {"null", bytes({0xf6})},
      {"undefined", bytes({0xf7})},
      {"single float", bytes({0xfa, 0x3f, 0x80, 0x00, 0x00})},
      {"integer key", bytes({0xa1, 0x01, 0x02})},
      {"array key", bytes({0xa1, 0x80, 0x02})},
      {"other tag", bytes({0xc1, 0x01})},
      {"date tag on text", bytes({0xd9, 0x07, 0xd1, 0x61, 'a'})},
      {"date out of range", bytes({0xd9, 0x07, 0xd1, 0xfb, 0x42, 0x6d, 0x1a, 0x94, 0xa2, 0, 0, 0})},
      {"dangling date tag", bytes({0xd9, 0x07, 0xd1})},
      {"unsigned above int64", bytes({0x1b, 0x80, 0, 0, 0, 0, 0, 0, 0})},
      {"negative below int64", bytes({0x3b, 0x80, 0, 0, 0, 0, 0, 0, 0})},
      {"zero in text", bytes({0x63, 'a', 0, 'b'})},
      {"surrogate in text", bytes({0x63, 0xed, 0xa0, 0x80})},
      {"reserved head", bytes({0x1c})},
  };
  for (const auto& [what, input] : refused) {
    EXPECT_FALSE(decodeCompact(input).ok()) << what;
  }
  // A date tag around a double is a date; the smallest int64 decodes.
  EXPECT_TRUE(decodeCompact(bytes({0xd9, 0x07, 0xd1, 0xfb, 0, 0, 0, 0, 0, 0, 0, 0}))->isDate());
  EXPECT_EQ(*decodeCompact(bytes({0x3b, 0x7f, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff})),
            Value::integer(std::numeric_limits<int64_t>::min()));
}

TEST(TheCompactDecoder, RefusesHostileNestingAndClaimedSizesWithoutExhaustingAnything) {
  std::string deep(100000, '\x81');  // arrays of one array, far past kMaxDepth
  deep += '\x01';
  Result<Value> nested = decodeCompact(deep);
  ASSERT_FALSE(nested.ok());
  EXPECT_NE(nested.reason().find("deep"), std::string::npos) << nested.reason();
  // An array that claims 2^32 items but holds one.
  EXPECT_FALSE(decodeCompact(bytes({0x9a, 0xff, 0xff, 0xff, 0xff, 0x01})).ok());
  // Every cut of a valid value fails cleanly.
  const std::string whole = *encodeCompact(Value::dictOf(
      {{"apps", Value::dictOf({{"com.example", Value::dictOf({{"allowed", Value::integer(1)}})}})},
       {"when", Value::date(Date{1.5})}}));
  for (size_t n = 0; n < whole.size(); ++n) {
    EXPECT_FALSE(decodeCompact(std::string_view(whole).substr(0, n)).ok()) << "cut at " << n;
  }
}

}  // namespace
}  // namespace sentrel::plist
