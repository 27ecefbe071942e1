// The libplist wrapper. Nothing else in the tree includes <plist/plist.h>.
#include "platform/plist/plist_codec.h"

#include <fcntl.h>
#include <plist/plist.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <memory>
#include <optional>

#include "platform/plist/file_syscalls.h"

namespace sentrel::plist {
namespace {

struct PlistDeleter {
  void operator()(plist_t p) const { plist_free(p); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

std::string errnoText(const char* what, const std::filesystem::path& path, int err) {
  return Status::errnoText(std::string(what) + " " + path.string(), err);
}

// The exact date a node holds. libplist's getter truncates to whole seconds
// toward zero, loses the fraction's sign and overflows outside 32 bits; the
// binary encoding of the node alone holds the double itself, right after
// "bplist00" and the date marker 0x33.
std::optional<double> exactDate(plist_t node) {
  char* bin = nullptr;
  uint32_t len = 0;
  plist_to_bin(node, &bin, &len);
  std::optional<double> value;
  if (bin != nullptr && len >= 17 && static_cast<uint8_t>(bin[8]) == 0x33) {
    uint64_t bits = 0;
    for (int i = 0; i < 8; ++i) bits = (bits << 8) | static_cast<uint8_t>(bin[9 + i]);
    double d;
    memcpy(&d, &bits, sizeof d);
    value = d;
  }
  plist_to_bin_free(bin);
  return value;
}

}  // namespace

bool dateInRange(double seconds) {
  return std::isfinite(seconds) && seconds >= -2147483648.0 && seconds <= 2147483647.0;
}

namespace {

// libplist 2.2 aborts (an assertion in its string getters) on a binary string
// object that holds a zero character. Such input is refused before libplist
// parses it: walk the offset table named by the trailer and look at every
// ASCII (0x5n) and UTF-16 (0x6n) string object.
bool binaryHasStringWithZero(std::span<const uint8_t> b) {
  if (b.size() < 8 + 32) return false;  // libplist rejects it anyway
  const uint8_t* t = b.data() + b.size() - 32;
  auto be = [](const uint8_t* p, size_t n) {
    uint64_t v = 0;
    for (size_t i = 0; i < n; ++i) v = (v << 8) | p[i];
    return v;
  };
  size_t offset_size = t[6];
  uint64_t count = be(t + 8, 8);
  uint64_t table = be(t + 24, 8);
  if (offset_size == 0 || offset_size > 8 || table >= b.size()) return false;
  if (count > (b.size() - table) / offset_size) return false;
  for (uint64_t i = 0; i < count; ++i) {
    uint64_t at = be(b.data() + table + i * offset_size, offset_size);
    if (at >= b.size()) continue;
    uint8_t marker = b[at];
    uint8_t kind = marker >> 4;
    if (kind != 0x5 && kind != 0x6) continue;
    uint64_t length = marker & 0x0F;
    uint64_t pos = at + 1;
    if (length == 0x0F) {  // the length follows as an integer object
      if (pos >= b.size() || (b[pos] >> 4) != 0x1) continue;
      size_t width = size_t{1} << (b[pos] & 0x0F);
      if (width > 8 || pos + 1 + width > b.size()) continue;
      length = be(b.data() + pos + 1, width);
      pos += 1 + width;
    }
    uint64_t unit = kind == 0x6 ? 2 : 1;
    if (length > (b.size() - pos) / unit) continue;
    for (uint64_t j = 0; j < length; ++j) {
      const uint8_t* c = b.data() + pos + j * unit;
      if (c[0] == 0 && (unit == 1 || c[1] == 0)) return true;
    }
  }
  return false;
}

// The same for XML: a zero byte, or a character reference to U+0000 (neither
// is legal XML; libplist passes both through to the asserting getters).
bool xmlHasZeroCharacter(std::span<const uint8_t> b) {
  for (size_t i = 0; i < b.size(); ++i) {
    if (b[i] == 0) return true;
    if (b[i] != '&' || i + 2 >= b.size() || b[i + 1] != '#') continue;
    size_t j = i + 2;
    bool hex = j < b.size() && (b[j] == 'x' || b[j] == 'X');
    if (hex) ++j;
    bool digits = false, nonzero = false;
    for (; j < b.size() && b[j] != ';'; ++j) {
      if (!std::isxdigit(b[j])) break;
      digits = true;
      if (b[j] != '0') nonzero = true;
    }
    if (digits && !nonzero && j < b.size() && b[j] == ';') return true;
  }
  return false;
}

}  // namespace

bool isUtf8(std::string_view s) {
  size_t i = 0;
  while (i < s.size()) {
    auto c = static_cast<uint8_t>(s[i]);
    size_t extra;
    uint32_t cp;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      extra = 1;
      cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      extra = 2;
      cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      extra = 3;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (i + extra >= s.size()) return false;
    for (size_t k = 1; k <= extra; ++k) {
      auto cc = static_cast<uint8_t>(s[i + k]);
      if ((cc & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
    if ((extra == 1 && cp < 0x80) || (extra == 2 && cp < 0x800) || (extra == 3 && cp < 0x10000) ||
        cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      return false;
    }
    i += extra + 1;
  }
  return true;
}

namespace {

Result<Value> textValue(std::string text) {
  if (!isUtf8(text)) return Result<Value>::Error("property list holds text that is not UTF-8");
  return Value::string(std::move(text));
}

// libplist -> Value. Depth-limited so that hostile nesting cannot exhaust the stack.
Result<Value> fromPlist(plist_t node, int depth) {
  if (depth > kMaxDepth) return Result<Value>::Error("property list nested too deeply");
  switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
      uint8_t b = 0;
      plist_get_bool_val(node, &b);
      return Value::boolean(b != 0);
    }
    case PLIST_UINT: {
      uint64_t u = 0;
      plist_get_uint_val(node, &u);
      return Value::integer(static_cast<int64_t>(u));
    }
    case PLIST_REAL: {
      double d = 0;
      plist_get_real_val(node, &d);
      return Value::real(d);
    }
    case PLIST_STRING: {
      char* s = nullptr;
      plist_get_string_val(node, &s);
      std::string out = s ? s : "";
      free(s);
      return textValue(std::move(out));
    }
    case PLIST_KEY: {  // a stray key node: keep its text
      char* s = nullptr;
      plist_get_key_val(node, &s);
      std::string out = s ? s : "";
      free(s);
      return textValue(std::move(out));
    }
    case PLIST_DATA: {
      char* d = nullptr;
      uint64_t len = 0;
      plist_get_data_val(node, &d, &len);
      Data out(reinterpret_cast<uint8_t*>(d), reinterpret_cast<uint8_t*>(d) + (d ? len : 0));
      free(d);
      return Value::data(std::move(out));
    }
    case PLIST_DATE: {
      std::optional<double> seconds = exactDate(node);
      if (!seconds || !dateInRange(*seconds)) {
        return Result<Value>::Error("property list holds a date out of range");
      }
      return Value::date(Date{*seconds});
    }
    case PLIST_UID: {
      uint64_t u = 0;
      plist_get_uid_val(node, &u);
      return Value::integer(static_cast<int64_t>(u));
    }
    case PLIST_ARRAY: {
      Array items;
      uint32_t n = plist_array_get_size(node);
      items.reserve(n);
      for (uint32_t i = 0; i < n; ++i) {
        plist_t child = plist_array_get_item(node, i);
        if (!child) continue;
        Result<Value> v = fromPlist(child, depth + 1);
        if (!v) return v;
        items.push_back(std::move(v).value());
      }
      return Value::array(std::move(items));
    }
    case PLIST_DICT: {
      Dict::Map map;
      plist_dict_iter it = nullptr;
      plist_dict_new_iter(node, &it);
      if (!it) return Value::dict(Dict());
      for (;;) {
        char* key = nullptr;
        plist_t child = nullptr;
        plist_dict_next_item(node, it, &key, &child);
        if (!child) {
          free(key);
          break;
        }
        Result<Value> v = fromPlist(child, depth + 1);
        if (!v) {
          free(key);
          free(it);
          return v;
        }
        std::string key_text = key ? std::string(key) : std::string();
        if (!isUtf8(key_text)) {
          free(key);
          free(it);
          return Result<Value>::Error("property list holds a key that is not UTF-8");
        }
        map.insert_or_assign(std::move(key_text), std::move(v).value());
        free(key);
      }
      free(it);
      return Value::dict(Dict(std::move(map)));
    }
    default:
      return Result<Value>::Error("property list holds an unsupported node");
  }
}

// libplist takes C strings: text must be UTF-8 without zero characters, or
// the encoded document would not read back as it was written.
Status checkEncodable(const Value& v, int depth) {
  if (depth > kMaxDepth) return Status::Error("value nested too deeply to encode");
  auto textOk = [](const std::string& text) {
    return text.find('\0') == std::string::npos && isUtf8(text);
  };
  switch (v.type()) {
    case Type::kString:
      if (!textOk(*v.asString())) return Status::Error("text that cannot be encoded");
      return Status::Ok();
    case Type::kDate:
      if (!dateInRange(v.asDate()->seconds_since_2001)) return Status::Error("date out of range");
      return Status::Ok();
    case Type::kArray:
      for (const Value& item : *v.asArray()) {
        if (Status s = checkEncodable(item, depth + 1); !s) return s;
      }
      return Status::Ok();
    case Type::kDict:
      for (const auto& [key, item] : *v.asDict()) {
        if (!textOk(key)) return Status::Error("a key that cannot be encoded");
        if (Status s = checkEncodable(item, depth + 1); !s) return s;
      }
      return Status::Ok();
    default:
      return Status::Ok();
  }
}

// checkEncodable() for the parts of `v` that are not parts of `encoded`, a
// value that was encoded before (and so passed).
Status checkEncodableChanges(const Value& v, const Value& encoded, int depth) {
  if (v.sameObject(encoded)) return Status::Ok();
  const Dict* after = v.asDict();
  const Dict* before = encoded.asDict();
  if (after == nullptr || before == nullptr || depth > kMaxDepth) return checkEncodable(v, depth);
  for (const auto& [key, item] : *after) {
    const Value* old = before->find(key);
    if (old == nullptr && (key.find('\0') != std::string::npos || !isUtf8(key)))
      return Status::Error("a key that cannot be encoded");
    if (Status s = old != nullptr ? checkEncodableChanges(item, *old, depth + 1)
                                  : checkEncodable(item, depth + 1);
        !s)
      return s;
  }
  return Status::Ok();
}

// Value -> libplist. Null children are skipped.
plist_t toPlist(const Value& v) {
  switch (v.type()) {
    case Type::kNull:
      return nullptr;
    case Type::kBool:
      return plist_new_bool(*v.asBool() ? 1 : 0);
    case Type::kInteger:
      return plist_new_uint(static_cast<uint64_t>(*v.asInteger()));
    case Type::kReal:
      return plist_new_real(*v.asReal());
    case Type::kString:
      return plist_new_string(v.asString()->c_str());
    case Type::kData: {
      const Data& d = *v.asData();
      return plist_new_data(reinterpret_cast<const char*>(d.data()), d.size());
    }
    case Type::kDate: {
      double s = v.asDate()->seconds_since_2001;  // in range: checkEncodable
      // Round to the microsecond libplist keeps; the fraction stays in [0, 1e6).
      auto micros = static_cast<int64_t>(std::llround(s * 1e6));
      int64_t whole = micros / 1000000;
      int64_t fraction = micros % 1000000;
      if (fraction < 0) {
        fraction += 1000000;
        whole -= 1;
      }
      return plist_new_date(static_cast<int32_t>(whole), static_cast<int32_t>(fraction));
    }
    case Type::kArray: {
      plist_t a = plist_new_array();
      for (const Value& item : *v.asArray()) {
        if (plist_t child = toPlist(item)) plist_array_append_item(a, child);
      }
      return a;
    }
    case Type::kDict: {
      // Keys in sorted order: the same document always encodes to the same
      // bytes, whatever order the hash table holds them in.
      plist_t d = plist_new_dict();
      const Dict& dict = *v.asDict();
      for (const std::string& key : dict.sortedKeys()) {
        if (plist_t child = toPlist(*dict.find(key))) plist_dict_set_item(d, key.c_str(), child);
      }
      return d;
    }
  }
  return nullptr;
}

bool looksLikeBinary(std::span<const uint8_t> bytes) {
  return bytes.size() >= 8 && memcmp(bytes.data(), "bplist00", 8) == 0;
}

bool looksLikeXml(std::span<const uint8_t> bytes) {
  for (uint8_t c : bytes) {
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') continue;
    return c == '<' || c == 0xEF;  // '<' or a UTF-8 byte-order mark
  }
  return false;
}

}  // namespace

Result<Value> decode(std::span<const uint8_t> bytes) {
  if (bytes.empty()) return Result<Value>::Error("empty property list");
  if (bytes.size() > kMaxDocumentBytes) return Result<Value>::Error("property list too large");
  plist_t root = nullptr;
  const char* data = reinterpret_cast<const char*>(bytes.data());
  auto len = static_cast<uint32_t>(bytes.size());
  if (looksLikeBinary(bytes)) {
    if (binaryHasStringWithZero(bytes)) {
      return Result<Value>::Error("property list holds a string with a zero character");
    }
    plist_from_bin(data, len, &root);
  } else if (looksLikeXml(bytes)) {
    if (xmlHasZeroCharacter(bytes)) {
      return Result<Value>::Error("property list holds a zero character");
    }
    plist_from_xml(data, len, &root);
  } else {
    return Result<Value>::Error("not a property list");
  }
  if (!root) return Result<Value>::Error("malformed property list");
  PlistPtr owner(root);
  return fromPlist(root, 0);
}

Result<Value> decode(std::string_view bytes) {
  return decode(
      std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
}

Result<Value> decodeDictionary(std::span<const uint8_t> bytes) {
  Result<Value> v = decode(bytes);
  if (!v) return v;
  if (!v->isDict()) {
    return Result<Value>::Error(std::string("root is a ") + typeName(v->type()) +
                                ", not a dictionary");
  }
  return v;
}

Result<std::string> encodeXml(const Value& value) {
  if (value.isNull()) return Result<std::string>::Error("cannot encode a null value");
  if (Status ok = checkEncodable(value, 0); !ok) return ok;
  PlistPtr root(toPlist(value));
  char* out = nullptr;
  uint32_t len = 0;
  plist_to_xml(root.get(), &out, &len);
  if (!out) return Result<std::string>::Error("XML encoding failed");
  std::string text(out, len);
  plist_to_xml_free(out);
  return text;
}

namespace {

std::string xmlOf(plist_t root) {
  char* out = nullptr;
  uint32_t len = 0;
  plist_to_xml(root, &out, &len);
  if (!out) return std::string();
  std::string text(out, len);
  plist_to_xml_free(out);
  return text;
}

// Brings the libplist dictionary `node`, which holds `before`, to `after`.
// Entries equal in both keep their nodes; a changed dictionary is brought
// up to date the same way. When keys come or go the dictionary is built
// again, in sorted order as toPlist() builds it, from copies of the nodes
// it keeps. Returns the node that now holds `after`: `node`, changed in
// place, or a new node that the caller puts in its place.
plist_t updateDict(plist_t node, const Dict& before, const Dict& after) {
  bool same_keys = before.size() == after.size();
  for (auto it = after.begin(); same_keys && it != after.end(); ++it) {
    const Value* old = before.find(it->first);
    same_keys = old != nullptr && !old->isNull() && !it->second.isNull();
  }
  if (!same_keys) {
    plist_t rebuilt = plist_new_dict();
    for (const std::string& key : after.sortedKeys()) {
      const Value& value = *after.find(key);
      if (value.isNull()) continue;
      const Value* old = before.find(key);
      plist_t kept =
          old != nullptr && *old == value ? plist_dict_get_item(node, key.c_str()) : nullptr;
      plist_t child = kept != nullptr ? plist_copy(kept) : toPlist(value);
      plist_dict_set_item(rebuilt, key.c_str(), child);
    }
    return rebuilt;
  }
  for (const auto& [key, value] : after) {
    const Value& old = *before.find(key);
    if (old == value) continue;
    plist_t child = plist_dict_get_item(node, key.c_str());
    if (child != nullptr && old.isDict() && value.isDict()) {
      plist_t updated = updateDict(child, *old.asDict(), *value.asDict());
      if (updated != child) plist_dict_set_item(node, key.c_str(), updated);
    } else {
      plist_dict_set_item(node, key.c_str(), toPlist(value));
    }
  }
  return node;
}

}  // namespace

XmlDocumentEncoder::XmlDocumentEncoder() = default;

XmlDocumentEncoder::~XmlDocumentEncoder() {
  plist_free(tree_);
}

Result<std::string> XmlDocumentEncoder::encode(const Value& value) {
  if (value.isNull()) return Result<std::string>::Error("cannot encode a null value");
  // One deep comparison with the last version; from here on, what did not
  // change is the last version's own and compares by identity.
  const Value next = shareEqualParts(value, last_);
  if (Status ok = checkEncodableChanges(next, last_, 0); !ok) return ok;
  if (tree_ != nullptr && last_.isDict() && next.isDict()) {
    plist_t updated = updateDict(tree_, *last_.asDict(), *next.asDict());
    if (updated != tree_) {
      plist_free(tree_);
      tree_ = updated;
    }
  } else {
    plist_free(tree_);
    tree_ = toPlist(next);
  }
  last_ = next;
  std::string text = xmlOf(tree_);
  if (text.empty()) {
    // Start afresh next time rather than trust nodes of unknown state.
    plist_free(tree_);
    tree_ = nullptr;
    last_ = Value();
    return Result<std::string>::Error("XML encoding failed");
  }
  return text;
}

Status writeFileAtomically(const std::filesystem::path& path, const Value& value,
                           XmlDocumentEncoder& encoder, mode_t mode) {
  Result<std::string> xml = encoder.encode(value);
  if (!xml) return xml.status();
  return writeBytesAtomically(path, *xml, /*durable=*/true, mode);
}

Result<std::string> encodeBinary(const Value& value) {
  if (value.isNull()) return Result<std::string>::Error("cannot encode a null value");
  if (Status ok = checkEncodable(value, 0); !ok) return ok;
  PlistPtr root(toPlist(value));
  char* out = nullptr;
  uint32_t len = 0;
  plist_to_bin(root.get(), &out, &len);
  if (!out) return Result<std::string>::Error("binary encoding failed");
  std::string bytes(out, len);
  plist_to_bin_free(out);
  return bytes;
}

Result<Value> readDictionaryFile(const std::filesystem::path& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return Result<Value>::Error(errnoText("cannot open", path, errno));
  std::string bytes;
  struct stat st {};
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0 &&
      static_cast<size_t>(st.st_size) <= kMaxDocumentBytes) {
    bytes.reserve(static_cast<size_t>(st.st_size));
  }
  char buf[65536];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      int err = errno;
      close(fd);
      return Result<Value>::Error(errnoText("cannot read", path, err));
    }
    if (n == 0) break;
    bytes.append(buf, static_cast<size_t>(n));
    if (bytes.size() > kMaxDocumentBytes) {
      close(fd);
      return Result<Value>::Error(path.string() + ": file too large");
    }
  }
  close(fd);
  Result<Value> v = decodeDictionary(
      std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
  if (!v) return Result<Value>::Error(path.string() + ": " + v.reason());
  return v;
}

FileSyscalls& fileSyscalls() {
  static FileSyscalls table{&::write, &::fsync, &::rename};
  return table;
}

Status writeFileAtomically(const std::filesystem::path& path, const Value& value, mode_t mode) {
  Result<std::string> xml = encodeXml(value);
  if (!xml) return xml.status();
  return writeBytesAtomically(path, *xml, /*durable=*/true, mode);
}

Status writeBytesAtomically(const std::filesystem::path& path, std::string_view text, bool durable,
                            mode_t mode) {
  std::filesystem::path dir = path.parent_path();
  if (dir.empty()) dir = ".";
  std::string tmpl = (dir / ("." + path.filename().string() + ".XXXXXX")).string();
  int fd = mkostemp(tmpl.data(), O_CLOEXEC);
  if (fd < 0) return Status::Error(errnoText("cannot create a temporary file for", path, errno));
  auto fail = [&](const char* what) {
    int err = errno;
    close(fd);
    unlink(tmpl.c_str());
    return Status::Error(errnoText(what, path, err));
  };
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = fileSyscalls().write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return fail("cannot write");
    done += static_cast<size_t>(n);
  }
  if (fchmod(fd, mode) != 0) return fail("cannot set the mode of");
  if (durable && fileSyscalls().fsync(fd) != 0) return fail("cannot sync");
  if (close(fd) != 0) {
    int err = errno;
    unlink(tmpl.c_str());
    return Status::Error(errnoText("cannot close", path, err));
  }
  if (fileSyscalls().rename(tmpl.c_str(), path.c_str()) != 0) {
    int err = errno;
    unlink(tmpl.c_str());
    return Status::Error(errnoText("cannot replace", path, err));
  }
  if (!durable) return Status::Ok();
  // Make the rename itself durable.
  int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    fsync(dfd);
    close(dfd);
  }
  return Status::Ok();
}

}  // namespace sentrel::plist
