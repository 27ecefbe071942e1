// A settings bundle's row list is a file anyone who installs a bundle
// writes. Whatever it holds, reading it must give rows of known kinds, each
// with the selectors it names or the page's own, and never crash.
#include <cstdint>
#include <cstdlib>
#include <span>

#include "platform/plist/plist_codec.h"
#include "platform/preferences/preferences.h"

using namespace sentrel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 64 * 1024) return 0;
  Result<plist::Value> list = plist::decodeDictionary(std::span<const std::uint8_t>(data, size));
  if (!list) return 0;
  const auto rows = preferences::PSListController::specifiersFromPlist(*list, {});
  for (const preferences::PSSpecifierRef& row : rows) {
    if (!row) std::abort();
    if (row->cellType() != preferences::PSCellType::PSGroupCell && row->getSelector().empty())
      std::abort();
    if (row->titles().size() > 0 && row->values().empty()) std::abort();
  }
  return 0;
}
