// Bus payloads: the compact encoding of the user-info dictionary, or no
// bytes at all for a notification without user info. The settings document
// travels this way with every save, so the encoding's cost is paid twice
// per save (the sender and SpringBoard) and by every observer that reads it.
#include "platform/notify/notification_center.h"
#include "platform/plist/compact_codec.h"

namespace sentrel::notify {

Result<std::string> encodePayload(const plist::Value& user_info) {
  if (user_info.isNull()) return std::string();
  if (!user_info.isDict()) {
    return Result<std::string>::Error(std::string("user info is a ") +
                                      plist::typeName(user_info.type()) + ", not a dictionary");
  }
  return plist::encodeCompact(user_info);
}

Result<plist::Value> decodePayload(std::string_view bytes) {
  if (bytes.empty()) return plist::Value();
  Result<plist::Value> decoded = plist::decodeCompact(bytes);
  if (decoded && !decoded->isDict()) {
    return Result<plist::Value>::Error(std::string("user info is a ") +
                                       plist::typeName(decoded->type()) + ", not a dictionary");
  }
  return decoded;
}

}  // namespace sentrel::notify
