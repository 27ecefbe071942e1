#include "platform/uikit/image.h"

#include <png.h>

#include <csetjmp>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include "platform/log/system_log.h"
#include "platform/uikit/main_thread.h"
#include "platform/uikit/screen.h"

namespace sentrel::uikit {
namespace {

// Everything the libpng callbacks touch. Allocated before setjmp and never
// reassigned after it, so a longjmp out of libpng leaves it intact.
struct PngDecode {
  std::span<const std::uint8_t> bytes;
  std::size_t offset = 0;
  char error[160] = {};
  std::vector<png_byte> row;
};

[[noreturn]] void pngError(png_structp png, png_const_charp message) {
  auto* state = static_cast<PngDecode*>(png_get_error_ptr(png));
  std::snprintf(state->error, sizeof state->error, "%s", message ? message : "libpng error");
  png_longjmp(png, 1);
}

void pngWarning(png_structp, png_const_charp) {}

void pngRead(png_structp png, png_bytep out, png_size_t length) {
  auto* state = static_cast<PngDecode*>(png_get_io_ptr(png));
  if (length > state->bytes.size() - state->offset) png_error(png, "file ends early");
  std::memcpy(out, state->bytes.data() + state->offset, length);
  state->offset += length;
}

// Returns false with state.error set. Kept free of objects with destructors
// between setjmp and the returns, as longjmp requires.
bool decodeRows(png_structp png, png_infop info, PngDecode& state, PngInfo& out) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_set_user_limits(png, PngInfo::kMaxPngSide, PngInfo::kMaxPngSide);
  png_set_chunk_malloc_max(png, 8u << 20);
  png_set_read_fn(png, &state, pngRead);
  png_read_info(png, info);
  out.width = png_get_image_width(png, info);
  out.height = png_get_image_height(png, info);
  const int passes = png_set_interlace_handling(png);
  png_read_update_info(png, info);
  state.row.resize(png_get_rowbytes(png, info));
  for (int pass = 0; pass < passes; ++pass)
    for (std::uint32_t y = 0; y < out.height; ++y) png_read_row(png, state.row.data(), nullptr);
  png_read_end(png, nullptr);
  return true;
}

double scaleFromName(std::string_view path) {
  std::string_view name = path.substr(path.find_last_of('/') + 1);
  if (const auto dot = name.rfind('.'); dot != std::string_view::npos) name = name.substr(0, dot);
  if (name.ends_with("@2x")) return 2;
  if (name.ends_with("@3x")) return 3;
  return 1;
}

}  // namespace

Result<PngInfo> decodePng(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < 8 || png_sig_cmp(bytes.data(), 0, 8) != 0)
    return Result<PngInfo>::Error("not a PNG file (bad signature)");
  if (bytes.size() > PngInfo::kMaxPngFileBytes) return Result<PngInfo>::Error("PNG file too large");
  auto state = std::make_unique<PngDecode>();
  state->bytes = bytes;
  png_structp png =
      png_create_read_struct(PNG_LIBPNG_VER_STRING, state.get(), pngError, pngWarning);
  if (!png) return Result<PngInfo>::Error("out of memory");
  png_infop info = png_create_info_struct(png);
  if (!info) {
    png_destroy_read_struct(&png, nullptr, nullptr);
    return Result<PngInfo>::Error("out of memory");
  }
  PngInfo out;
  const bool ok = decodeRows(png, info, *state, out);
  png_destroy_read_struct(&png, &info, nullptr);
  if (!ok) return Result<PngInfo>::Error(std::string("malformed PNG: ") + state->error);
  if (out.width == 0 || out.height == 0) return Result<PngInfo>::Error("PNG without pixels");
  return out;
}

// ---------------------------------------------------------------- UIImage

UIImageRef UIImage::load(const std::string& path, bool logMissing) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    if (logMissing) log::line("UIImage: cannot open " + path, log::Level::kWarning);
    return nullptr;
  }
  std::vector<std::uint8_t> bytes;
  char buffer[65536];
  while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
    bytes.insert(bytes.end(), buffer, buffer + in.gcount());
    if (bytes.size() > PngInfo::kMaxPngFileBytes) break;  // decodePng refuses it
  }
  if (in.bad()) {
    log::line("UIImage: cannot read " + path, log::Level::kWarning);
    return nullptr;
  }
  Result<PngInfo> info = decodePng(bytes);
  if (!info.ok()) {
    log::line("UIImage: " + path + ": " + info.reason(), log::Level::kWarning);
    return nullptr;
  }
  return UIImageRef(new UIImage(path, info.value(), scaleFromName(path)));
}

UIImageRef UIImage::imageWithContentsOfFile(const std::string& path) {
  SENTREL_UIKIT_ASSERT_MAIN_THREAD();
  return load(path, true);
}

UIImageRef UIImage::imageNamed(std::string_view name, const std::string& bundlePath) {
  SENTREL_UIKIT_ASSERT_MAIN_THREAD();
  if (name.empty() || name.find('/') != std::string_view::npos || name == "." || name == "..") {
    log::line("UIImage: refusing image name '" + std::string(name) + "'", log::Level::kWarning);
    return nullptr;
  }
  std::string base(name);
  if (base.ends_with(".png")) base.resize(base.size() - 4);
  const std::string dir =
      bundlePath.empty() || bundlePath.ends_with('/') ? bundlePath : bundlePath + "/";
  std::vector<std::string> candidates;
  const int screen = UIScreen::mainScreen().scale() >= 2.5   ? 3
                     : UIScreen::mainScreen().scale() >= 1.5 ? 2
                                                             : 1;
  const int order[3][3] = {{1, 2, 3}, {2, 3, 1}, {3, 2, 1}};
  for (int s : order[screen - 1])
    candidates.push_back(dir + base + (s == 1 ? "" : "@" + std::to_string(s) + "x") + ".png");
  candidates.push_back(dir + std::string(name));
  for (const std::string& path : candidates)
    if (UIImageRef image = load(path, false)) return image;
  log::line("UIImage: no loadable image named '" + std::string(name) + "' in " + bundlePath,
            log::Level::kWarning);
  return nullptr;
}

// ------------------------------------------------------------ UIImageView

UIImageView::UIImageView() {
  setUserInteractionEnabled(false);
}

UIImageView::UIImageView(UIImageRef image) : image_(std::move(image)) {
  setUserInteractionEnabled(false);
  if (image_) setFrame({{0, 0}, image_->size()});
}

void UIImageView::setImage(UIImageRef image) {
  SENTREL_UIKIT_ASSERT_MAIN_THREAD();
  if (image == image_) return;
  image_ = std::move(image);
  markDirty(kDirtyAppearance);
  invalidateIntrinsicContentSize();
}

CGSize UIImageView::intrinsicContentSize() const {
  if (!image_) return {UIViewNoIntrinsicMetric, UIViewNoIntrinsicMetric};
  return image_->size();
}

}  // namespace sentrel::uikit
