// Decodes arbitrary bytes as a PNG, as UIImage does for a file. Decoding must
// never crash or read out of bounds; a success must report a size within the
// limits, and decoding the same bytes again must give the same answer.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>

#include "platform/uikit/image.h"

namespace {

void check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "png decode: %s\n", what);
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using sentrel::uikit::PngInfo;
  const std::span<const std::uint8_t> bytes(data, size);
  const sentrel::Result<PngInfo> first = sentrel::uikit::decodePng(bytes);
  const sentrel::Result<PngInfo> second = sentrel::uikit::decodePng(bytes);
  check(first.ok() == second.ok(), "decoding is not repeatable");
  if (!first.ok()) {
    check(!first.reason().empty(), "an error without a reason");
    return 0;
  }
  const PngInfo& info = first.value();
  check(info.width > 0 && info.height > 0, "an image without pixels");
  check(info.width <= PngInfo::kMaxPngSide && info.height <= PngInfo::kMaxPngSide,
        "an image over the size limit");
  check(info.width == second.value().width && info.height == second.value().height,
        "sizes differ between decodes");
  return 0;
}
