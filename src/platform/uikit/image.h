// Images from PNG files and the view that shows one. The process only needs
// an image's size (for layout) and its path (the page draws the file, which
// backboardd serves from under the device root), but a file is decoded in
// full when loaded, so a truncated or corrupt file is refused here and not
// drawn as a broken image later.
//
// Main thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "platform/base/status.h"
#include "platform/uikit/view.h"

namespace sentrel::uikit {

// What decoding a PNG found. Images are at most kMaxPngSide pixels a side
// (icons and glyphs; larger ones are refused rather than inflated).
struct PngInfo {
  static constexpr std::uint32_t kMaxPngSide = 4096;
  static constexpr std::size_t kMaxPngFileBytes = 16u << 20;
  std::uint32_t width{};
  std::uint32_t height{};
};

// Decodes a whole PNG (header, every row, the checksums) from memory.
// Malformed, truncated or oversized data is an error naming the reason.
Result<PngInfo> decodePng(std::span<const std::uint8_t> bytes);

class UIImage;
using UIImageRef = std::shared_ptr<const UIImage>;

class UIImage {
 public:
  // A PNG file. The scale comes from an "@2x" or "@3x" suffix of the name,
  // as on the platform, else 1. Null, with a log line, for a file that is
  // missing, unreadable or not a valid PNG.
  static UIImageRef imageWithContentsOfFile(const std::string& path);
  // `name` in the bundle folder: "name.png" at the screen's scale first
  // ("name@3x.png"), then the other scales, then the plain name as given.
  // Null (logged) when none loads.
  static UIImageRef imageNamed(std::string_view name, const std::string& bundlePath);

  // In points: pixels divided by scale.
  CGSize size() const { return {pixelWidth_ / scale_, pixelHeight_ / scale_}; }
  double scale() const { return scale_; }
  std::uint32_t pixelWidth() const { return pixelWidth_; }
  std::uint32_t pixelHeight() const { return pixelHeight_; }
  const std::string& path() const { return path_; }

 private:
  UIImage(std::string path, PngInfo info, double scale)
      : path_(std::move(path)), pixelWidth_(info.width), pixelHeight_(info.height), scale_(scale) {}
  static UIImageRef load(const std::string& path, bool logMissing);

  std::string path_;
  std::uint32_t pixelWidth_;
  std::uint32_t pixelHeight_;
  double scale_;
};

// Shows an image. Its intrinsic size is the image's size in points (none
// without an image).
class UIImageView : public UIView {
 public:
  UIImageView();
  explicit UIImageView(UIImageRef image);

  const UIImageRef& image() const { return image_; }
  void setImage(UIImageRef image);

  CGSize intrinsicContentSize() const override;

 private:
  UIImageRef image_;
};

}  // namespace sentrel::uikit
