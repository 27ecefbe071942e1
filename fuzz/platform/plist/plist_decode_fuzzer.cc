// Property lists are outside input: settings files any process may have
// written, and bus payloads. decode() must refuse bad input without crashing,
// and whatever it accepts must survive both encodings: exactly through binary,
// and through XML up to what XML text can carry (reals printed with limited
// precision).
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>

#include "platform/plist/plist_codec.h"

namespace {

using sentrel::plist::Type;
using sentrel::plist::Value;

bool closeReals(double a, double b) {
  if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
  if (a == b) return true;
  return std::fabs(a - b) <= 1e-6 * std::fmax(1.0, std::fmax(std::fabs(a), std::fabs(b)));
}

// Structural equality; `loose` lets reals and dates differ by print precision.
bool same(const Value& a, const Value& b, bool loose) {
  if (a.type() != b.type()) return false;
  switch (a.type()) {
    case Type::kReal:
      return loose ? closeReals(*a.asReal(), *b.asReal())
                   : (std::isnan(*a.asReal()) ? std::isnan(*b.asReal()) : a == b);
    case Type::kDate:
      // Binary keeps microseconds (libplist's resolution); XML property-list
      // dates are whole seconds by format, so only the second survives.
      return std::fabs(a.asDate()->seconds_since_2001 - b.asDate()->seconds_since_2001) <
             (loose ? 1.0 : 1.5e-6);
    case Type::kArray: {
      const auto& x = *a.asArray();
      const auto& y = *b.asArray();
      if (x.size() != y.size()) return false;
      for (size_t i = 0; i < x.size(); ++i) {
        if (!same(x[i], y[i], loose)) return false;
      }
      return true;
    }
    case Type::kDict: {
      const auto& x = *a.asDict();
      const auto& y = *b.asDict();
      if (x.size() != y.size()) return false;
      for (const auto& [key, value] : x) {
        const Value* other = y.find(key);
        if (other == nullptr || !same(value, *other, loose)) return false;
      }
      return true;
    }
    default:
      return a == b;
  }
}

[[noreturn]] void fail(const char* what, const Value& before, const std::string& detail) {
  fprintf(stderr, "%s\n%s\n---\n%s\n", what, before.description().c_str(), detail.c_str());
  abort();
}

void roundTrip(const Value& value, bool binary) {
  sentrel::Result<std::string> encoded =
      binary ? sentrel::plist::encodeBinary(value) : sentrel::plist::encodeXml(value);
  if (!encoded) fail("a decoded value does not encode", value, encoded.reason());
  sentrel::Result<Value> back = sentrel::plist::decode(*encoded);
  if (!back)
    fail(binary ? "binary re-encoding does not decode" : "XML re-encoding does not decode", value,
         back.reason() + "\n" + (binary ? std::string() : *encoded));
  if (!same(value, *back, /*loose=*/!binary)) {
    fail(binary ? "value changed through binary" : "value changed through XML", value,
         back->description());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 64 * 1024) return 0;
  sentrel::Result<Value> decoded = sentrel::plist::decode(std::span<const uint8_t>(data, size));
  if (!decoded) return 0;
  roundTrip(*decoded, /*binary=*/true);
  roundTrip(*decoded, /*binary=*/false);
  return 0;
}
