// Bus payloads come from any process on the device bus. decodePayload must
// refuse what is not a dictionary without crashing, and whatever it accepts
// must survive encode -> decode unchanged, since observers re-post payloads.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "platform/notify/notification_center.h"

namespace {

using sentrel::plist::Value;

// Equality, except that a NaN equals a NaN. (Dates travel exactly; the
// tolerance of a microsecond is kept from an older, lossy encoding.)
bool same(const Value& a, const Value& b) {
  if (a.type() != b.type()) return false;
  switch (a.type()) {
    case sentrel::plist::Type::kDate: {
      double d = a.asDate()->seconds_since_2001 - b.asDate()->seconds_since_2001;
      return d < 1.5e-6 && d > -1.5e-6;
    }
    case sentrel::plist::Type::kReal:  // a NaN travels as a NaN
      if (std::isnan(*a.asReal())) return std::isnan(*b.asReal());
      return a == b;
    case sentrel::plist::Type::kArray: {
      const auto& x = *a.asArray();
      const auto& y = *b.asArray();
      if (x.size() != y.size()) return false;
      for (size_t i = 0; i < x.size(); ++i) {
        if (!same(x[i], y[i])) return false;
      }
      return true;
    }
    case sentrel::plist::Type::kDict: {
      if (a.asDict()->size() != b.asDict()->size()) return false;
      for (const auto& [key, value] : *a.asDict()) {
        const Value* other = b.asDict()->find(key);
        if (other == nullptr || !same(value, *other)) return false;
      }
      return true;
    }
    default:
      return a == b;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 64 * 1024) return 0;
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  sentrel::Result<sentrel::plist::Value> first = sentrel::notify::decodePayload(bytes);
  if (!first) return 0;
  if (!first->isNull() && !first->isDict()) {
    fprintf(stderr, "decodePayload accepted a %s\n", sentrel::plist::typeName(first->type()));
    abort();
  }
  sentrel::Result<std::string> encoded = sentrel::notify::encodePayload(*first);
  if (!encoded) {
    fprintf(stderr, "a decoded payload does not encode: %s\n", encoded.reason().c_str());
    abort();
  }
  sentrel::Result<sentrel::plist::Value> second = sentrel::notify::decodePayload(*encoded);
  if (!second) {
    fprintf(stderr, "a re-encoded payload does not decode: %s\n", second.reason().c_str());
    abort();
  }
  if (!same(*first, *second)) {
    fprintf(stderr, "payload changed in a round trip:\n%s\n---\n%s\n", first->description().c_str(),
            second->description().c_str());
    abort();
  }
  return 0;
}
