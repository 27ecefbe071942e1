// The libplist wrapper. Nothing else in the tree includes <plist/plist.h>.
#include "platform/plist/plist_codec.h"

#include <fcntl.h>
#include <plist/plist.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <memory>

namespace sentrel::plist {
namespace {

struct PlistDeleter {
  void operator()(plist_t p) const { plist_free(p); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

std::string errnoText(const char* what, const std::filesystem::path& path, int err) {
  return std::string(what) + " " + path.string() + ": " + strerror(err);
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
      return Value::string(std::move(out));
    }
    case PLIST_KEY: {  // a stray key node: keep its text
      char* s = nullptr;
      plist_get_key_val(node, &s);
      std::string out = s ? s : "";
      free(s);
      return Value::string(std::move(out));
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
      int32_t sec = 0, usec = 0;
      plist_get_date_val(node, &sec, &usec);
      return Value::date(Date{sec + usec / 1e6});
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
        map.insert_or_assign(key ? std::string(key) : std::string(), std::move(v).value());
        free(key);
      }
      free(it);
      return Value::dict(Dict(std::move(map)));
    }
    default:
      return Result<Value>::Error("property list holds an unsupported node");
  }
}

// Value -> libplist. Null children are skipped.
plist_t toPlist(const Value& v) {
  switch (v.type()) {
    case Type::kNull: return nullptr;
    case Type::kBool: return plist_new_bool(*v.asBool() ? 1 : 0);
    case Type::kInteger: return plist_new_uint(static_cast<uint64_t>(*v.asInteger()));
    case Type::kReal: return plist_new_real(*v.asReal());
    case Type::kString: return plist_new_string(v.asString()->c_str());
    case Type::kData: {
      const Data& d = *v.asData();
      return plist_new_data(reinterpret_cast<const char*>(d.data()), d.size());
    }
    case Type::kDate: {
      double s = v.asDate()->seconds_since_2001;
      if (!std::isfinite(s) || s > 2147483647.0 || s < -2147483648.0) s = 0;
      double whole = std::floor(s);
      return plist_new_date(static_cast<int32_t>(whole), static_cast<int32_t>((s - whole) * 1e6));
    }
    case Type::kArray: {
      plist_t a = plist_new_array();
      for (const Value& item : *v.asArray()) {
        if (plist_t child = toPlist(item)) plist_array_append_item(a, child);
      }
      return a;
    }
    case Type::kDict: {
      plist_t d = plist_new_dict();
      for (const auto& [key, item] : *v.asDict()) {
        if (plist_t child = toPlist(item)) plist_dict_set_item(d, key.c_str(), child);
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
    plist_from_bin(data, len, &root);
  } else if (looksLikeXml(bytes)) {
    plist_from_xml(data, len, &root);
  } else {
    return Result<Value>::Error("not a property list");
  }
  if (!root) return Result<Value>::Error("malformed property list");
  PlistPtr owner(root);
  return fromPlist(root, 0);
}

Result<Value> decode(std::string_view bytes) {
  return decode(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(bytes.data()),
                                         bytes.size()));
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
  PlistPtr root(toPlist(value));
  char* out = nullptr;
  uint32_t len = 0;
  plist_to_xml(root.get(), &out, &len);
  if (!out) return Result<std::string>::Error("XML encoding failed");
  std::string text(out, len);
  plist_to_xml_free(out);
  return text;
}

Result<std::string> encodeBinary(const Value& value) {
  if (value.isNull()) return Result<std::string>::Error("cannot encode a null value");
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

Status writeFileAtomically(const std::filesystem::path& path, const Value& value) {
  Result<std::string> xml = encodeXml(value);
  if (!xml) return xml.status();
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
  const std::string& text = xml.value();
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return fail("cannot write");
    done += static_cast<size_t>(n);
  }
  if (fchmod(fd, 0644) != 0) return fail("cannot set the mode of");
  if (fsync(fd) != 0) return fail("cannot sync");
  if (close(fd) != 0) {
    int err = errno;
    unlink(tmpl.c_str());
    return Status::Error(errnoText("cannot close", path, err));
  }
  if (rename(tmpl.c_str(), path.c_str()) != 0) {
    int err = errno;
    unlink(tmpl.c_str());
    return Status::Error(errnoText("cannot replace", path, err));
  }
  // Make the rename itself durable.
  int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    fsync(dfd);
    close(dfd);
  }
  return Status::Ok();
}

}  // namespace sentrel::plist
