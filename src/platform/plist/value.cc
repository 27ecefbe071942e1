#include "platform/plist/value.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <variant>

namespace sentrel::plist {

struct Value::Node {
  std::variant<bool, int64_t, double, std::string, Data, Date, Array, Dict> v;
};

namespace {

template <class T>
const T* get_if(const std::shared_ptr<const Value::Node>& node) {
  return node ? std::get_if<T>(&node->v) : nullptr;
}

}  // namespace

const char* typeName(Type type) {
  switch (type) {
    case Type::kNull:
      return "null";
    case Type::kBool:
      return "bool";
    case Type::kInteger:
      return "integer";
    case Type::kReal:
      return "real";
    case Type::kString:
      return "string";
    case Type::kData:
      return "data";
    case Type::kDate:
      return "date";
    case Type::kArray:
      return "array";
    case Type::kDict:
      return "dictionary";
  }
  return "unknown";
}

Value Value::boolean(bool v) {
  return Value(std::make_shared<const Node>(Node{v}));
}
Value Value::integer(int64_t v) {
  return Value(std::make_shared<const Node>(Node{v}));
}
Value Value::real(double v) {
  return Value(std::make_shared<const Node>(Node{v}));
}
Value Value::string(std::string v) {
  return Value(std::make_shared<const Node>(Node{std::move(v)}));
}
Value Value::data(Data v) {
  return Value(std::make_shared<const Node>(Node{std::move(v)}));
}
Value Value::date(Date v) {
  return Value(std::make_shared<const Node>(Node{v}));
}
Value Value::array(Array v) {
  return Value(std::make_shared<const Node>(Node{std::move(v)}));
}
Value Value::dict(Dict v) {
  return Value(std::make_shared<const Node>(Node{std::move(v)}));
}

Value Value::dictOf(std::initializer_list<std::pair<std::string, Value>> entries) {
  MutableDict d;
  for (const auto& [k, v] : entries) d.set(k, v);
  return std::move(d).build();
}

Type Value::type() const {
  if (!node_) return Type::kNull;
  switch (node_->v.index()) {
    case 0:
      return Type::kBool;
    case 1:
      return Type::kInteger;
    case 2:
      return Type::kReal;
    case 3:
      return Type::kString;
    case 4:
      return Type::kData;
    case 5:
      return Type::kDate;
    case 6:
      return Type::kArray;
    default:
      return Type::kDict;
  }
}

bool Value::isNumber() const {
  Type t = type();
  return t == Type::kBool || t == Type::kInteger || t == Type::kReal;
}

std::optional<bool> Value::asBool() const {
  if (auto* p = get_if<bool>(node_)) return *p;
  return std::nullopt;
}
std::optional<int64_t> Value::asInteger() const {
  if (auto* p = get_if<int64_t>(node_)) return *p;
  return std::nullopt;
}
std::optional<double> Value::asReal() const {
  if (auto* p = get_if<double>(node_)) return *p;
  return std::nullopt;
}
std::optional<Date> Value::asDate() const {
  if (auto* p = get_if<Date>(node_)) return *p;
  return std::nullopt;
}
const std::string* Value::asString() const {
  return get_if<std::string>(node_);
}
const Data* Value::asData() const {
  return get_if<Data>(node_);
}
const Array* Value::asArray() const {
  return get_if<Array>(node_);
}
const Dict* Value::asDict() const {
  return get_if<Dict>(node_);
}

std::optional<bool> Value::numberAsBool() const {
  if (auto* b = get_if<bool>(node_)) return *b;
  if (auto* i = get_if<int64_t>(node_)) return *i != 0;
  if (auto* r = get_if<double>(node_)) return *r != 0.0;
  return std::nullopt;
}

std::optional<int64_t> Value::numberAsInteger() const {
  if (auto* b = get_if<bool>(node_)) return *b ? 1 : 0;
  if (auto* i = get_if<int64_t>(node_)) return *i;
  if (auto* r = get_if<double>(node_)) {
    // Out-of-range and NaN reals must not be converted (undefined behaviour).
    if (std::isnan(*r)) return 0;
    if (*r >= 9.2233720368547758e18) return INT64_MAX;
    if (*r <= -9.2233720368547758e18) return INT64_MIN;
    return static_cast<int64_t>(*r);
  }
  return std::nullopt;
}

Value Value::get(std::string_view key) const {
  if (const Dict* d = asDict()) return d->get(key);
  return Value();
}

bool Value::operator==(const Value& other) const {
  if (node_ == other.node_) return true;
  if (!node_ || !other.node_) return false;
  return node_->v == other.node_->v;
}

Value shareEqualParts(const Value& next, const Value& previous) {
  if (next.sameObject(previous)) return previous;
  const Dict* after = next.asDict();
  const Dict* before = previous.asDict();
  if (after == nullptr || before == nullptr) return next == previous ? previous : next;
  // Rebuilt only when some child can be shared; the whole of `previous`
  // when every child is previous's own.
  Dict::Map map;
  bool all_previous = after->size() == before->size();
  bool any_shared = false;
  for (const auto& [key, child] : *after) {
    const Value* old = before->find(key);
    if (old == nullptr) {
      all_previous = false;
      continue;
    }
    Value shared = shareEqualParts(child, *old);
    if (!shared.sameObject(*old)) all_previous = false;
    if (shared.sameObject(child)) continue;
    if (!any_shared) {
      map = after->map();
      any_shared = true;
    }
    map.find(key)->second = std::move(shared);
  }
  if (all_previous) return previous;
  if (!any_shared) return next;
  return Value::dict(Dict(std::move(map)));
}

namespace {

void quoteIfNeeded(const std::string& s, std::string& out) {
  bool plain = !s.empty() && std::all_of(s.begin(), s.end(), [](unsigned char c) {
    return std::isalnum(c) || c == '_' || c == '.' || c == '/' || c == '-' || c == '$' || c == ':';
  });
  if (plain) {
    out += s;
    return;
  }
  out += '"';
  for (char c : s) {
    if (c == '"' || c == '\\') out += '\\';
    if (c == '\n') {
      out += "\\n";
      continue;
    }
    out += c;
  }
  out += '"';
}

// Stops adding elements once `out` holds `limit` characters.
void describe(const Value& v, int indent, std::string& out, size_t limit) {
  if (out.size() >= limit) return;
  std::string pad(static_cast<size_t>(indent) * 4, ' ');
  char buf[64];
  switch (v.type()) {
    case Type::kNull:
      out += "(null)";
      break;
    case Type::kBool:
      out += *v.asBool() ? "1" : "0";
      break;
    case Type::kInteger:
      snprintf(buf, sizeof buf, "%" PRId64, *v.asInteger());
      out += buf;
      break;
    case Type::kReal:
      snprintf(buf, sizeof buf, "%g", *v.asReal());
      out += buf;
      break;
    case Type::kString:
      quoteIfNeeded(*v.asString(), out);
      break;
    case Type::kData: {
      out += '{';
      snprintf(buf, sizeof buf, "length = %zu", v.asData()->size());
      out += buf;
      out += '}';
      break;
    }
    case Type::kDate:
      snprintf(buf, sizeof buf, "%.3f", v.asDate()->seconds_since_2001);
      out += buf;
      break;
    case Type::kArray: {
      out += "(\n";
      const Array& a = *v.asArray();
      for (size_t i = 0; i < a.size(); ++i) {
        out += pad + "    ";
        describe(a[i], indent + 1, out, limit);
        if (out.size() >= limit) return;
        if (i + 1 < a.size()) out += ',';
        out += '\n';
      }
      out += pad + ")";
      break;
    }
    case Type::kDict: {
      out += "{\n";
      const Dict& d = *v.asDict();
      for (const std::string& k : d.sortedKeys()) {
        out += pad + "    ";
        quoteIfNeeded(k, out);
        out += " = ";
        describe(*d.find(k), indent + 1, out, limit);
        if (out.size() >= limit) return;
        out += ";\n";
      }
      out += pad + "}";
      break;
    }
  }
}

}  // namespace

std::string Value::description() const {
  std::string out;
  describe(*this, 0, out, std::string::npos);
  return out;
}

std::string Value::description(size_t limit) const {
  std::string out;
  describe(*this, 0, out, limit);
  if (out.size() <= limit) return out;
  out.resize(limit);
  return out + "...";
}

const Value* Dict::find(std::string_view key) const {
  auto it = map_.find(key);
  return it == map_.end() ? nullptr : &it->second;
}

Value Dict::get(std::string_view key) const {
  const Value* v = find(key);
  return v ? *v : Value();
}

std::vector<std::string> Dict::sortedKeys() const {
  std::vector<std::string> keys;
  keys.reserve(map_.size());
  for (const auto& [k, v] : map_) keys.push_back(k);
  std::sort(keys.begin(), keys.end());
  return keys;
}

MutableDict::MutableDict(const Value& from) {
  if (const Dict* d = from.asDict()) map_ = d->map();
}

MutableDict& MutableDict::set(std::string key, Value value) {
  if (value.isNull()) {
    map_.erase(key);
  } else {
    map_.insert_or_assign(std::move(key), std::move(value));
  }
  return *this;
}

MutableDict& MutableDict::remove(std::string_view key) {
  auto it = map_.find(key);
  if (it != map_.end()) map_.erase(it);
  return *this;
}

const Value* MutableDict::find(std::string_view key) const {
  auto it = map_.find(key);
  return it == map_.end() ? nullptr : &it->second;
}

Value MutableDict::get(std::string_view key) const {
  const Value* v = find(key);
  return v ? *v : Value();
}

Value MutableDict::build() const& {
  return Value::dict(Dict(map_));
}
Value MutableDict::build() && {
  return Value::dict(Dict(std::move(map_)));
}

MutableArray::MutableArray(const Value& from) {
  if (const Array* a = from.asArray()) items_ = *a;
}

MutableArray& MutableArray::append(Value value) {
  items_.push_back(std::move(value));
  return *this;
}

MutableArray& MutableArray::removeAt(size_t index) {
  if (index < items_.size()) items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(index));
  return *this;
}

Value MutableArray::build() const& {
  return Value::array(items_);
}
Value MutableArray::build() && {
  return Value::array(std::move(items_));
}

}  // namespace sentrel::plist
