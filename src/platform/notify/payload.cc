// Bus payloads: a binary property list of the user-info dictionary, or no
// bytes at all for a notification without user info.
#include <cstdint>
#include <span>

#include "platform/notify/notification_center.h"
#include "platform/plist/plist_codec.h"

namespace sentrel::notify {
namespace {

// RFC 3629 well-formedness: no overlong forms, no surrogates, nothing above
// U+10FFFF.
bool isUtf8(std::string_view s) {
  size_t i = 0;
  while (i < s.size()) {
    auto c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
      ++i;
      continue;
    }
    size_t extra;
    uint32_t cp;
    uint32_t min;
    if ((c & 0xE0) == 0xC0) {
      extra = 1, cp = c & 0x1F, min = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
      extra = 2, cp = c & 0x0F, min = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
      extra = 3, cp = c & 0x07, min = 0x10000;
    } else {
      return false;
    }
    if (i + extra >= s.size()) return false;  // truncated sequence
    for (size_t k = 1; k <= extra; ++k) {
      auto cc = static_cast<unsigned char>(s[i + k]);
      if ((cc & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += extra + 1;
  }
  return true;
}

// libplist neither refuses nor keeps strings that are not UTF-8 (a binary
// "ASCII" string may hold any byte, and the encoder cuts such a string short
// at the first bad byte), so a payload holding one would not reach observers
// as it was sent. Such payloads are refused on both sides.
bool allStringsAreUtf8(const plist::Value& v) {
  switch (v.type()) {
    case plist::Type::kString:
      return isUtf8(*v.asString());
    case plist::Type::kArray:
      for (const plist::Value& item : *v.asArray()) {
        if (!allStringsAreUtf8(item)) return false;
      }
      return true;
    case plist::Type::kDict:
      for (const auto& [key, item] : *v.asDict()) {
        if (!isUtf8(key) || !allStringsAreUtf8(item)) return false;
      }
      return true;
    default:
      return true;
  }
}

constexpr const char* kNotUtf8 = "user info holds a string or key that is not valid UTF-8";

}  // namespace

Result<std::string> encodePayload(const plist::Value& user_info) {
  if (user_info.isNull()) return std::string();
  if (!user_info.isDict()) {
    return Result<std::string>::Error(std::string("user info is a ") +
                                      plist::typeName(user_info.type()) + ", not a dictionary");
  }
  if (!allStringsAreUtf8(user_info)) return Result<std::string>::Error(kNotUtf8);
  return plist::encodeBinary(user_info);
}

Result<plist::Value> decodePayload(std::string_view bytes) {
  if (bytes.empty()) return plist::Value();
  Result<plist::Value> decoded = plist::decodeDictionary(
      std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
  if (decoded && !allStringsAreUtf8(*decoded)) return Result<plist::Value>::Error(kNotUtf8);
  return decoded;
}

}  // namespace sentrel::notify
