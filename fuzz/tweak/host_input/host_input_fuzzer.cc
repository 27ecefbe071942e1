// Hosts typed for a rule are outside input: the CLI and the Settings app's
// "New Host" dialog pass any text through normalizeHostInput(). Nothing may
// crash; a host it accepts is a key it accepts again unchanged, at most 253
// characters of lower-case ASCII without spaces, and never a wildcard.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "tweak/host_input.h"

namespace {

constexpr size_t kMaxInput = 8 * 1024;

void check(bool holds) {
  if (!holds) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > kMaxInput) return 0;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  sentrel::Result<sentrel::HostInput> input = sentrel::normalizeHostInput(text);
  if (!input.ok()) {
    check(!input.reason().empty());
    return 0;
  }
  const std::string& host = input->host;
  check(!host.empty() && host.size() <= sentrel::kMaxHostNameLength);
  for (char c : host) {
    check(static_cast<unsigned char>(c) > 0x20 && static_cast<unsigned char>(c) < 0x7f);
    check(!(c >= 'A' && c <= 'Z') && c != '*' && c != '/');
  }
  sentrel::Result<sentrel::HostInput> again = sentrel::normalizeHostInput(host);
  check(again.ok() && again->host == host && again->changes.empty());
  return 0;
}
