#include "platform/plist/compact_codec.h"

#include <cbor.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

#include "platform/plist/plist_codec.h"

namespace sentrel::plist {
namespace {

// A tag of our own for dates: seconds since 2001-01-01, the property-list
// epoch, so that a date comes back exactly as it went.
constexpr uint64_t kDateTag = 2001;

bool textOk(std::string_view text) {
  return text.find('\0') == std::string_view::npos && isUtf8(text);
}

class Writer {
 public:
  Status write(const Value& v, int depth) {
    if (depth > kMaxDepth) return Status::Error("value nested too deeply to encode");
    switch (v.type()) {
      case Type::kNull:
        return Status::Error("cannot encode a null value");
      case Type::kBool:
        return put(cbor_encode_bool(*v.asBool(), scratch_, sizeof scratch_));
      case Type::kInteger: {
        const int64_t n = *v.asInteger();
        if (n >= 0)
          return put(cbor_encode_uint(static_cast<uint64_t>(n), scratch_, sizeof scratch_));
        // CBOR stores a negative n as -1 - n, which cannot overflow here.
        return put(cbor_encode_negint(static_cast<uint64_t>(-(n + 1)), scratch_, sizeof scratch_));
      }
      case Type::kReal:
        return put(cbor_encode_double(*v.asReal(), scratch_, sizeof scratch_));
      case Type::kString:
        return text(*v.asString());
      case Type::kData: {
        const Data& data = *v.asData();
        if (Status s = put(cbor_encode_bytestring_start(data.size(), scratch_, sizeof scratch_));
            !s)
          return s;
        out_.append(reinterpret_cast<const char*>(data.data()), data.size());
        return Status::Ok();
      }
      case Type::kDate: {
        const double seconds = v.asDate()->seconds_since_2001;
        if (!dateInRange(seconds)) return Status::Error("date out of range");
        if (Status s = put(cbor_encode_tag(kDateTag, scratch_, sizeof scratch_)); !s) return s;
        return put(cbor_encode_double(seconds, scratch_, sizeof scratch_));
      }
      case Type::kArray: {
        const Array& items = *v.asArray();
        const auto present = static_cast<size_t>(
            std::count_if(items.begin(), items.end(), [](const Value& i) { return !i.isNull(); }));
        if (Status s = put(cbor_encode_array_start(present, scratch_, sizeof scratch_)); !s)
          return s;
        for (const Value& item : items) {
          if (item.isNull()) continue;
          if (Status s = write(item, depth + 1); !s) return s;
        }
        return Status::Ok();
      }
      case Type::kDict: {
        std::vector<const Dict::Map::value_type*> entries;
        entries.reserve(v.asDict()->size());
        for (const auto& entry : *v.asDict()) {
          if (!entry.second.isNull()) entries.push_back(&entry);
        }
        std::sort(entries.begin(), entries.end(),
                  [](const auto* a, const auto* b) { return a->first < b->first; });
        if (Status s = put(cbor_encode_map_start(entries.size(), scratch_, sizeof scratch_)); !s)
          return s;
        for (const auto* entry : entries) {
          if (!textOk(entry->first)) return Status::Error("a key that cannot be encoded");
          if (Status s = text(entry->first); !s) return s;
          if (Status s = write(entry->second, depth + 1); !s) return s;
        }
        return Status::Ok();
      }
    }
    return Status::Error("a value of no known kind");
  }

  std::string take() { return std::move(out_); }

 private:
  Status put(size_t written) {
    if (written == 0) return Status::Error("CBOR encoding failed");
    out_.append(reinterpret_cast<const char*>(scratch_), written);
    return Status::Ok();
  }
  Status text(const std::string& s) {
    if (!textOk(s)) return Status::Error("text that cannot be encoded");
    if (Status st = put(cbor_encode_string_start(s.size(), scratch_, sizeof scratch_)); !st)
      return st;
    out_.append(s);
    return Status::Ok();
  }

  std::string out_;
  unsigned char scratch_[16];  // one head: at most 9 bytes
};

// The decoder builds the value from libcbor's stream of items.
struct Container {
  bool is_map = false;
  uint64_t remaining = 0;  // items, or key-value pairs, still to come
  Array items;
  Dict::Map map;
  std::optional<std::string> key;  // a map's key waiting for its value
};

class Reader {
 public:
  explicit Reader(size_t input_size) : remaining_bytes_(input_size) {}
  // Bytes of input after the item being decoded.
  void consumed(size_t offset, size_t total) { remaining_bytes_ = total - offset; }

  bool failed() const { return !error_.empty(); }
  const std::string& error() const { return error_; }
  bool complete() const { return root_.has_value() && stack_.empty() && !date_pending_; }
  Value takeRoot() { return std::move(*root_); }

  void fail(const char* why) {
    if (error_.empty()) error_ = why;
  }

  void integer(uint64_t n, bool negative) {
    if (n > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()))
      return fail("an integer outside 64 bits");
    const auto value = static_cast<int64_t>(n);
    add(Value::integer(negative ? -1 - value : value));
  }

  void text(cbor_data data, size_t length) {
    std::string s(reinterpret_cast<const char*>(data), length);
    if (!textOk(s)) return fail("text that is not UTF-8 or holds a zero character");
    if (!stack_.empty() && stack_.back().is_map && !stack_.back().key) {
      if (date_pending_) return fail("a date tag on a key");
      stack_.back().key = std::move(s);
      return;
    }
    add(Value::string(std::move(s)));
  }

  void boolean(bool b) { add(Value::boolean(b)); }

  void bytes(cbor_data data, size_t length) { add(Value::data(Data(data, data + length))); }

  void real(double d) {
    if (date_pending_) {
      date_pending_ = false;
      if (!dateInRange(d)) return fail("a date out of range");
      return add(Value::date(Date{d}));
    }
    add(Value::real(d));
  }

  void tag(uint64_t t) {
    if (t != kDateTag || date_pending_) return fail("an unknown tag");
    date_pending_ = true;
  }

  void open(bool is_map, size_t size) {
    if (failed()) return;
    if (date_pending_) return fail("a date tag on a container");
    if (!stack_.empty() && stack_.back().is_map && !stack_.back().key)
      return fail("a key that is not text");
    if (stack_.size() > static_cast<size_t>(kMaxDepth)) return fail("nested too deeply");
    Container c;
    c.is_map = is_map;
    c.remaining = size;
    // Room for what the input can hold at most (an item takes a byte), so
    // a claimed size cannot make the decoder allocate more than the input.
    const size_t room = std::min<size_t>(size, remaining_bytes_);
    if (is_map) {
      c.map.reserve(room);
    } else {
      c.items.reserve(room);
    }
    stack_.push_back(std::move(c));
    closeFinished();
  }

 private:
  void add(Value v) {
    if (failed()) return;
    if (date_pending_) return fail("a date tag on something other than a double");
    // The depths the encoder writes: a value at most kMaxDepth levels down.
    if (stack_.size() > static_cast<size_t>(kMaxDepth)) return fail("nested too deeply");
    if (stack_.empty()) {
      if (root_) return fail("trailing bytes");
      root_ = std::move(v);
      return;
    }
    Container& top = stack_.back();
    if (top.is_map) {
      if (!top.key) return fail("a key that is not text");
      top.map.insert_or_assign(std::move(*top.key), std::move(v));
      top.key.reset();
    } else {
      top.items.push_back(std::move(v));
    }
    --top.remaining;
    closeFinished();
  }

  void closeFinished() {
    while (!stack_.empty() && stack_.back().remaining == 0) {
      Container done = std::move(stack_.back());
      stack_.pop_back();
      add(done.is_map ? Value::dict(Dict(std::move(done.map)))
                      : Value::array(std::move(done.items)));
      if (failed()) return;
    }
  }

  std::vector<Container> stack_;
  std::optional<Value> root_;
  bool date_pending_ = false;
  size_t remaining_bytes_;
  std::string error_;
};

Reader& self(void* context) {
  return *static_cast<Reader*>(context);
}

cbor_callbacks makeCallbacks() {
  cbor_callbacks c = cbor_empty_callbacks;
  c.uint8 = [](void* r, uint8_t n) { self(r).integer(n, false); };
  c.uint16 = [](void* r, uint16_t n) { self(r).integer(n, false); };
  c.uint32 = [](void* r, uint32_t n) { self(r).integer(n, false); };
  c.uint64 = [](void* r, uint64_t n) { self(r).integer(n, false); };
  c.negint8 = [](void* r, uint8_t n) { self(r).integer(n, true); };
  c.negint16 = [](void* r, uint16_t n) { self(r).integer(n, true); };
  c.negint32 = [](void* r, uint32_t n) { self(r).integer(n, true); };
  c.negint64 = [](void* r, uint64_t n) { self(r).integer(n, true); };
  c.string = [](void* r, cbor_data d, size_t n) { self(r).text(d, n); };
  c.byte_string = [](void* r, cbor_data d, size_t n) { self(r).bytes(d, n); };
  c.array_start = [](void* r, size_t n) { self(r).open(false, n); };
  c.map_start = [](void* r, size_t n) { self(r).open(true, n); };
  c.tag = [](void* r, uint64_t t) { self(r).tag(t); };
  c.float8 = [](void* r, double d) { self(r).real(d); };
  c.boolean = [](void* r, bool b) { self(r).boolean(b); };
  // Everything we never write is refused.
  c.string_start = [](void* r) { self(r).fail("an indefinite-length string"); };
  c.byte_string_start = [](void* r) { self(r).fail("an indefinite-length string"); };
  c.indef_array_start = [](void* r) { self(r).fail("an indefinite-length array"); };
  c.indef_map_start = [](void* r) { self(r).fail("an indefinite-length map"); };
  c.indef_break = [](void* r) { self(r).fail("an unexpected break"); };
  c.float2 = [](void* r, float) { self(r).fail("a half-precision number"); };
  c.float4 = [](void* r, float) { self(r).fail("a single-precision number"); };
  c.null = [](void* r) { self(r).fail("a null"); };
  c.undefined = [](void* r) { self(r).fail("an undefined value"); };
  return c;
}

}  // namespace

Result<std::string> encodeCompact(const Value& value) {
  Writer writer;
  if (Status written = writer.write(value, 0); !written) return written;
  return writer.take();
}

Result<Value> decodeCompact(std::span<const uint8_t> bytes) {
  if (bytes.empty()) return Result<Value>::Error("empty compact value");
  if (bytes.size() > kMaxDocumentBytes) return Result<Value>::Error("compact value too large");
  static const cbor_callbacks callbacks = makeCallbacks();
  Reader reader(bytes.size());
  size_t offset = 0;
  while (offset < bytes.size() && !reader.failed()) {
    if (reader.complete()) {
      reader.fail("trailing bytes");
      break;
    }
    const cbor_decoder_result step =
        cbor_stream_decode(bytes.data() + offset, bytes.size() - offset, &callbacks, &reader);
    if (step.status == CBOR_DECODER_NEDATA) {
      reader.fail("truncated");
    } else if (step.status != CBOR_DECODER_FINISHED || step.read == 0) {
      reader.fail("malformed");
    } else {
      offset += step.read;
      reader.consumed(offset, bytes.size());
    }
  }
  if (!reader.failed() && !reader.complete()) reader.fail("truncated");
  if (reader.failed()) return Result<Value>::Error("compact value: " + reader.error());
  return reader.takeRoot();
}

Result<Value> decodeCompact(std::string_view bytes) {
  return decodeCompact(
      std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
}

}  // namespace sentrel::plist
