// The line protocol between the messaging tests and tweak_messaging_peer.
//
//   tweak_messaging_peer <device root> <bundle id>
//
// The peer writes "ready" once its observers are registered, then one line
// per settings notification it applied: "global <doc>" with its firewall's
// global settings or "app <entry>" with its app settings. It reads commands:
// "save <doc>" saves the document with notification as an app does; "quit"
// (or end of input) ends it. <doc> is a binary property list in hex, "-" for
// null.
#pragma once

#include <string>
#include <string_view>

#include "platform/plist/plist_codec.h"
#include "platform/plist/value.h"

namespace sentrel::testing {

inline std::string encodeForLine(const plist::Value& value) {
  if (value.isNull()) return "-";
  Result<std::string> binary = plist::encodeBinary(value);
  if (!binary.ok()) return "-";
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : binary.value()) {
    out += kHex[c >> 4];
    out += kHex[c & 0xF];
  }
  return out;
}

inline plist::Value decodeFromLine(std::string_view text) {
  if (text == "-" || text.size() % 2 != 0) return plist::Value();
  auto nibble = [](char c) { return c <= '9' ? c - '0' : c - 'a' + 10; };
  std::string bytes;
  for (size_t i = 0; i < text.size(); i += 2) {
    bytes += static_cast<char>(nibble(text[i]) * 16 + nibble(text[i + 1]));
  }
  Result<plist::Value> value = plist::decode(bytes);
  return value.ok() ? value.value() : plist::Value();
}

}  // namespace sentrel::testing
