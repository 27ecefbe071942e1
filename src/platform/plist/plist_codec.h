// Reading and writing property lists: the one place that talks to libplist.
//
// Decoding accepts XML and binary property lists. Encoding writes XML (files)
// or binary (compact bus payloads). Files are written atomically: the
// document goes to a temporary file in the same folder, is fsync'ed, then
// renamed over the old one, so a reader sees the old or the new document and
// never a half-written one, even when the writer is killed midway.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>

#include "platform/base/status.h"
#include "platform/plist/value.h"

namespace sentrel::plist {

// Inputs above this size are refused without being parsed.
inline constexpr size_t kMaxDocumentBytes = 64 * 1024 * 1024;
// Containers nested deeper than this are refused.
inline constexpr int kMaxDepth = 256;

// Any property list (root of any kind). Fails on empty, truncated, garbage,
// oversized or too deeply nested input.
Result<Value> decode(std::span<const uint8_t> bytes);
Result<Value> decode(std::string_view bytes);

// Like decode(), but the root must be a dictionary.
Result<Value> decodeDictionary(std::span<const uint8_t> bytes);

// Encodings of a non-null value. Null values inside containers are left out
// (a property list has no null). Encoding a null root fails.
Result<std::string> encodeXml(const Value& value);
Result<std::string> encodeBinary(const Value& value);

// Text a property list can hold: well-formed UTF-8 (RFC 3629: no overlong
// forms, no surrogates, nothing above U+10FFFF).
bool isUtf8(std::string_view text);

// Dates the settings file can hold: libplist writes whole seconds in 32 bits.
bool dateInRange(double seconds_since_2001);

// Reads a property-list file whose root must be a dictionary. A missing,
// unreadable, truncated, garbage or non-dictionary file fails with the reason.
Result<Value> readDictionaryFile(const std::filesystem::path& path);

// Writes `value` as an XML property list, atomically (see above), with
// `mode` (a file only its owner reads: 0600). Creates no folders. On failure
// the old file, if any, is untouched.
Status writeFileAtomically(const std::filesystem::path& path, const Value& value,
                           mode_t mode = 0644);

// Successive versions of one document as XML, for its only writer: the
// libplist nodes of the dictionary entries that did not change since the
// last encode are kept, so a change of one rule among thousands costs a
// comparison of the two versions and libplist's writer, not a rebuild of
// every node (libplist inserts each dictionary key with a linear search).
// The bytes are those encodeXml() gives. Not thread-safe.
class XmlDocumentEncoder {
 public:
  XmlDocumentEncoder();
  ~XmlDocumentEncoder();
  XmlDocumentEncoder(const XmlDocumentEncoder&) = delete;
  XmlDocumentEncoder& operator=(const XmlDocumentEncoder&) = delete;

  Result<std::string> encode(const Value& value);
  // The value the last successful encode() wrote, equal to the one it was
  // given, sharing with the version before it every part that did not
  // change (see shareEqualParts); null after a failure.
  const Value& lastEncoded() const { return last_; }

 private:
  Value last_;            // the value tree_ holds
  void* tree_ = nullptr;  // its libplist nodes
};

// writeFileAtomically() with the XML from `encoder`.
Status writeFileAtomically(const std::filesystem::path& path, const Value& value,
                           XmlDocumentEncoder& encoder, mode_t mode = 0644);

// Writes `bytes` to `path` the same way (temporary file, rename), with
// `mode`; the temporary file is never more open than that. `durable` also
// syncs the file and its folder, which a cache that is checked on every read
// can do without.
Status writeBytesAtomically(const std::filesystem::path& path, std::string_view bytes, bool durable,
                            mode_t mode = 0644);

}  // namespace sentrel::plist
