// A settings image is outside input: it is a file under the device root that
// anything may have written. The fuzz bytes are either an image to read
// (first byte even) or a settings document from which an image is made and
// then read back (first byte odd). Reading must never crash; an image that
// reads must give a dictionary; a made image must give back, for each app,
// exactly its part of the document, and refuse every truncation.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>

#include "platform/log/system_log.h"
#include "platform/plist/plist_codec.h"
#include "platform/plist/value.h"
#include "tweak/settings_image.h"

namespace {

using sentrel::plist::Value;
namespace plist = sentrel::plist;

constexpr size_t kMaxInput = 256 * 1024;

class NullSink final : public sentrel::log::Sink {
 public:
  void write(sentrel::log::Level, std::string_view) override {}
};

std::span<const uint8_t> bytesOf(const std::string& s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

void check(bool condition) {
  if (!condition) std::abort();
}

// Equality, except that a NaN equals a NaN (it travels as one) and a date
// may move by the microsecond the binary property-list codec loses when it
// splits seconds and microseconds.
bool same(const Value& a, const Value& b) {
  if (a.type() != b.type()) return false;
  if (a.type() == plist::Type::kReal && std::isnan(*a.asReal())) return std::isnan(*b.asReal());
  if (a.type() == plist::Type::kDate) {
    const double x = a.asDate()->seconds_since_2001;
    const double y = b.asDate()->seconds_since_2001;
    if (std::isnan(x) || std::isnan(y)) return std::isnan(x) && std::isnan(y);
    const double d = x - y;
    return d < 1.5e-6 && d > -1.5e-6;
  }
  if (const auto* items = a.asArray()) {
    const auto& other = *b.asArray();
    if (items->size() != other.size()) return false;
    for (size_t i = 0; i < items->size(); ++i) {
      if (!same((*items)[i], other[i])) return false;
    }
    return true;
  }
  if (const plist::Dict* entries = a.asDict()) {
    if (entries->size() != b.asDict()->size()) return false;
    for (const auto& [key, value] : *entries) {
      const Value* other = b.asDict()->find(key);
      if (other == nullptr || !same(value, *other)) return false;
    }
    return true;
  }
  return a == b;
}

// Every app of `document`, and an id that is none of them, reads back as
// its part; the whole image reads back as the document; every shorter image
// is refused.
void roundTrip(const Value& document) {
  sentrel::SettingsFileIdentity source;
  source.inode = 7;
  sentrel::Result<std::string> image = sentrel::encodeSettingsImage(document, source);
  if (!image) return;  // a document the binary encoding refuses
  const plist::Dict* apps = document.get("apps").asDict();
  bool all_dictionaries = apps != nullptr;
  if (apps) {
    for (const auto& [id, entry] : *apps) all_dictionaries = all_dictionaries && entry.isDict();
  }
  std::vector<std::string> ids = apps ? apps->sortedKeys() : std::vector<std::string>{};
  ids.push_back("\x7f not an app");
  for (const std::string& id : ids) {
    sentrel::Result<Value> part = sentrel::decodeSettingsImage(bytesOf(*image), id, &source);
    check(part.ok());
    if (!all_dictionaries) {
      check(same(*part, document));
      continue;
    }
    plist::MutableDict expected(document);
    plist::MutableDict own;
    if (const Value* entry = apps->find(id)) own.set(id, *entry);
    expected.set("apps", std::move(own).build());
    check(same(*part, std::move(expected).build()));
  }
  sentrel::Result<Value> whole = sentrel::decodeWholeSettingsImage(bytesOf(*image), &source);
  check(whole.ok());
  check(same(*whole, document));
  for (size_t cut : {size_t{0}, image->size() / 2, image->size() - 1}) {
    check(!sentrel::decodeSettingsImage(bytesOf(image->substr(0, cut)), "x", nullptr).ok());
    check(!sentrel::decodeWholeSettingsImage(bytesOf(image->substr(0, cut)), nullptr).ok());
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  static NullSink sink;
  sentrel::log::setSink(&sink);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0 || size > kMaxInput) return 0;
  const std::span<const uint8_t> rest(data + 1, size - 1);
  if (data[0] % 2 == 0) {
    for (const char* id : {"com.a", "", "com.example.app"}) {
      sentrel::Result<Value> part =
          sentrel::decodeSettingsImage(rest, std::string_view(id), nullptr);
      if (part.ok()) check(part->isDict());
    }
    sentrel::Result<Value> whole = sentrel::decodeWholeSettingsImage(rest, nullptr);
    if (whole.ok()) check(whole->isDict());
    return 0;
  }
  sentrel::Result<Value> document = plist::decodeDictionary(rest);
  if (document.ok()) roundTrip(*document);
  return 0;
}
