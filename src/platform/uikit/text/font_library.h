// Loaded font faces: metrics from the real font files (FreeType) and widths of
// shaped text (HarfBuzz).
//
// Threads: main thread only, like the rest of the toolkit. A library is bound
// to the thread that first uses it; debug builds assert on any other thread.
//
// Faces are opened once, when the library is made, and kept for its life;
// nothing is loaded per measurement, and shaped words are cached. If a font
// file cannot be opened the library still works: ok() is false, error() says
// which file and why (also logged once), and every metric and width of that
// weight is 0.
#pragma once

#include <array>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/uikit/text/font.h"
#include "platform/uikit/text/font_files.h"

namespace sentrel::uikit {

// In points at the font's size, as the platform's UIFont reports them.
struct FontMetrics {
  double ascender{};     // above the baseline, positive
  double descender{};    // below the baseline, negative
  double leading{};      // the font's line gap
  double line_height{};  // ascender - descender + leading
  double cap_height{};
  double x_height{};
};

class FontLibrary {
 public:
  // The process's library, made on first use from findSystemFontFiles().
  static FontLibrary& shared();

  // Opens the three files now. Tests pass their own paths.
  explicit FontLibrary(const FontFilePaths& paths);
  ~FontLibrary();
  FontLibrary(const FontLibrary&) = delete;
  FontLibrary& operator=(const FontLibrary&) = delete;

  bool ok() const { return error_.empty(); }
  const std::string& error() const { return error_; }  // "" when ok()

  FontMetrics metrics(const Font& font) const;
  WebFont webFont(const Font& font) const;
  const std::string& filePath(FontWeight weight) const;

  // The advance width of `text` (UTF-8) as one shaped run in `font`, with no
  // wrapping (layoutText() is what wraps and skips line-break characters).
  // Invalid UTF-8 is shaped as HarfBuzz does (each bad byte a replacement
  // character).
  double width(std::string_view text, const Font& font) const;

  // Shapes text[begin, end) in `font` and adds each cluster's advance
  // (points) to advances[cluster's first byte]. Text is shaped word by word
  // (a space is a word of its own), as the page's browser shapes it, and
  // shaped words are cached per face, so measuring a label again only looks
  // words up. REQUIRES: advances.size() >= text.size(); begin <= end <= size.
  void addAdvances(std::string_view text, size_t begin, size_t end, const Font& font,
                   std::vector<double>& advances) const;

 private:
  struct Face;

  const Face* face(FontWeight weight) const;
  void checkThread() const;

  std::array<std::unique_ptr<Face>, 3> faces_;
  FontFilePaths paths_;
  std::string error_;
  mutable std::thread::id owner_;
  void* freetype_ = nullptr;  // FT_Library
};

}  // namespace sentrel::uikit
