// The device's property-list value: an immutable, shared value of one of the
// property-list kinds (null, bool, integer, real, string, data, date, array,
// dictionary with string keys).
//
// Copying a Value costs one reference-count increment; the data behind it is
// never changed once built, so a Value may be read from any thread while
// another thread swaps in a different one. Edits follow the platform's habit
// of "mutable copy, change, store back": MutableDict / MutableArray copy one
// level (the children stay shared), are changed, then build() a new Value.
//
// A "null" Value is the absence of a value: what a missing key reads as.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace sentrel::plist {

enum class Type : uint8_t { kNull, kBool, kInteger, kReal, kString, kData, kDate, kArray, kDict };

const char* typeName(Type type);  // "null", "bool", ... for log lines

// Seconds since 2001-01-01 00:00:00 UTC, the property-list epoch.
struct Date {
  double seconds_since_2001 = 0;
  bool operator==(const Date&) const = default;
};

using Data = std::vector<uint8_t>;

class Dict;
class Value;
using Array = std::vector<Value>;

class Value {
 public:
  Value() = default;  // null

  static Value boolean(bool v);
  static Value integer(int64_t v);
  static Value real(double v);
  static Value string(std::string v);
  static Value data(Data v);
  static Value date(Date v);
  static Value array(Array v);
  static Value dict(Dict v);
  // Convenience for literals: Value::dictOf({{"allowed", Value::integer(1)}}).
  static Value dictOf(std::initializer_list<std::pair<std::string, Value>> entries);

  Type type() const;
  bool isNull() const { return node_ == nullptr; }
  bool isBool() const { return type() == Type::kBool; }
  bool isInteger() const { return type() == Type::kInteger; }
  bool isReal() const { return type() == Type::kReal; }
  bool isNumber() const;  // bool, integer or real
  bool isString() const { return type() == Type::kString; }
  bool isData() const { return type() == Type::kData; }
  bool isDate() const { return type() == Type::kDate; }
  bool isArray() const { return type() == Type::kArray; }
  bool isDict() const { return type() == Type::kDict; }

  // Exact-kind accessors: empty / nullptr when the value is of another kind.
  std::optional<bool> asBool() const;
  std::optional<int64_t> asInteger() const;
  std::optional<double> asReal() const;
  std::optional<Date> asDate() const;
  const std::string* asString() const;
  const Data* asData() const;
  const Array* asArray() const;
  const Dict* asDict() const;

  // Number readings, as a Foundation number answers boolValue / integerValue:
  // a bool, integer or real is converted; any other kind is empty.
  std::optional<bool> numberAsBool() const;        // non-zero is true
  std::optional<int64_t> numberAsInteger() const;  // reals truncate toward zero

  // Dictionary lookup: null when this is not a dictionary or has no such key.
  Value get(std::string_view key) const;

  // Deep, kind-exact equality (an integer 1 is not the bool true).
  bool operator==(const Value& other) const;

  // Text for log lines, in the platform's description style:
  // {
  //     key = value;
  // }
  std::string description() const;
  // The same text cut after `limit` characters, then "..."; only as much of
  // a large value is visited as the text needs.
  std::string description(size_t limit) const;

  // Identity of the shared data (same object, not just equal).
  bool sameObject(const Value& other) const { return node_ == other.node_; }

  struct Node;  // defined in value.cc

 private:
  explicit Value(std::shared_ptr<const Node> node) : node_(std::move(node)) {}
  std::shared_ptr<const Node> node_;
};

// `next`, with every part that equals the same part of `previous` (the
// value at the same dictionary keys) being that part of `previous` itself.
// The result equals `next`; where nothing changed it is `previous`. Lets a
// holder of one version of a large document compare the next one by
// identity (sameObject) wherever it did not change, after one deep pass.
// Arrays and other kinds are shared whole or not at all.
Value shareEqualParts(const Value& next, const Value& previous);

struct StringHash {
  using is_transparent = void;
  size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};

// Immutable dictionary with hashed lookup.
class Dict {
 public:
  using Map = std::unordered_map<std::string, Value, StringHash, std::equal_to<>>;

  Dict() = default;
  explicit Dict(Map map) : map_(std::move(map)) {}

  const Value* find(std::string_view key) const;  // nullptr when absent
  Value get(std::string_view key) const;          // null when absent
  bool contains(std::string_view key) const { return find(key) != nullptr; }
  size_t size() const { return map_.size(); }
  bool empty() const { return map_.empty(); }
  Map::const_iterator begin() const { return map_.begin(); }
  Map::const_iterator end() const { return map_.end(); }
  std::vector<std::string> sortedKeys() const;
  const Map& map() const { return map_; }

  bool operator==(const Dict& other) const { return map_ == other.map_; }

 private:
  Map map_;
};

// A one-level mutable copy of a dictionary. Children stay shared.
class MutableDict {
 public:
  MutableDict() = default;
  explicit MutableDict(const Dict& from) : map_(from.map()) {}
  // A copy of the dictionary `from` holds, or an empty one when it holds none.
  explicit MutableDict(const Value& from);

  MutableDict& set(std::string key, Value value);  // a null value removes the key
  MutableDict& remove(std::string_view key);
  const Value* find(std::string_view key) const;
  Value get(std::string_view key) const;
  size_t size() const { return map_.size(); }
  bool empty() const { return map_.empty(); }

  Value build() const&;
  Value build() &&;

 private:
  Dict::Map map_;
};

// A one-level mutable copy of an array.
class MutableArray {
 public:
  MutableArray() = default;
  explicit MutableArray(const Value& from);  // empty when `from` is not an array

  MutableArray& append(Value value);
  MutableArray& removeAt(size_t index);  // out of range: no change
  size_t size() const { return items_.size(); }
  const Value& at(size_t index) const { return items_.at(index); }

  Value build() const&;
  Value build() &&;

 private:
  Array items_;
};

}  // namespace sentrel::plist
