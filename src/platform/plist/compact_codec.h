// The compact encoding of a Value, for bytes that never leave this machine
// and are read many times: bus payloads and the parts of the settings
// image. It is CBOR (RFC 8949, through libcbor), several times cheaper to
// write and read than a binary property list with libplist, whose writer
// spends most of a large document's time on building and uniquing its
// object table.
//
// Mapping: bool, integer (CBOR unsigned or negative integer within int64),
// real (always a double, so 1.0 stays a real), string (text string), data
// (byte string), date (tag 2001 around a double: seconds since 2001-01-01,
// kept exactly), array, dictionary (map with text keys, written in sorted
// order, so a value always encodes to the same bytes). Null values inside
// containers are left out, as a property list has no null.
//
// The encoder refuses what the settings file could not hold either (text
// that is not UTF-8 or has a zero character, dates out of range), so a
// document that travels as compact bytes can always be written to the file.
// The decoder refuses anything else: indefinite lengths, other tags and
// simple values, keys that are not text, integers outside int64, text that
// is not UTF-8 or has a zero character, nesting deeper than kMaxDepth,
// trailing bytes, and input larger than kMaxDocumentBytes.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "platform/base/status.h"
#include "platform/plist/value.h"

namespace sentrel::plist {

// The compact bytes of a non-null value.
Result<std::string> encodeCompact(const Value& value);

// The value of compact bytes (a root of any kind).
Result<Value> decodeCompact(std::span<const uint8_t> bytes);
Result<Value> decodeCompact(std::string_view bytes);

}  // namespace sentrel::plist
