// Files in the open spool are outside input. A request that parses must be
// valid and write back to exactly the same text.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "device/tools/open_request.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 2 * sentrel::tools::kMaxOpenRequestBytes) return 0;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::optional<sentrel::tools::OpenRequest> request = sentrel::tools::parseOpenRequest(text);
  if (!request) return 0;
  if (!sentrel::tools::validateOpenRequest(*request).ok()) abort();
  if (sentrel::tools::formatOpenRequest(*request) != text) abort();
  return 0;
}
