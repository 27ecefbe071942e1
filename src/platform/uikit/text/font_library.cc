// FreeType and HarfBuzz are used here only.
#include "platform/uikit/text/font_library.h"

#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_TRUETYPE_TABLES_H
#include <hb-ft.h>
#include <hb.h>

#include <cassert>
#include <climits>
#include <cstdint>
#include <functional>
#include <unordered_map>

#include "platform/log/system_log.h"

namespace sentrel::uikit {

namespace {

constexpr size_t kMaxCachedWordBytes = 64;
constexpr size_t kMaxCachedWords = 4096;  // per face; the cache starts over when full

struct WordHash {
  using is_transparent = void;
  size_t operator()(std::string_view word) const { return std::hash<std::string_view>{}(word); }
};

}  // namespace

struct FontLibrary::Face {
  FT_Face ft = nullptr;
  hb_font_t* hb = nullptr;
  hb_buffer_t* buffer = nullptr;  // reused by every shaping of this face
  double units_per_em = 1;
  // In font units.
  double ascender = 0;
  double descender = 0;
  double line_gap = 0;
  double cap_height = 0;
  double x_height = 0;
  // Shaped words: each byte's advance in font units (so good for every size).
  mutable std::unordered_map<std::string, std::vector<int32_t>, WordHash, std::equal_to<>> words;

  ~Face() {
    if (buffer != nullptr) hb_buffer_destroy(buffer);
    if (hb != nullptr) hb_font_destroy(hb);
    if (ft != nullptr) FT_Done_Face(ft);
  }
};

namespace {

size_t indexOf(FontWeight weight) {
  return static_cast<size_t>(weight);
}

// The height of a glyph's outline above the baseline in font units, or 0.
double glyphTop(FT_Face face, FT_ULong character) {
  if (FT_Load_Char(face, character, FT_LOAD_NO_SCALE) != 0) return 0;
  return static_cast<double>(face->glyph->metrics.horiBearingY);
}

}  // namespace

FontLibrary& FontLibrary::shared() {
  static FontLibrary* library = [] {
    std::string error;
    std::optional<FontFilePaths> paths = findSystemFontFiles(&error);
    if (!paths) {
      log::line("UI text: " + error, log::Level::kError);
      auto* made = new FontLibrary(FontFilePaths{});
      made->error_ = error;
      return made;
    }
    return new FontLibrary(*paths);
  }();
  return *library;
}

FontLibrary::FontLibrary(const FontFilePaths& paths) : paths_(paths) {
  FT_Library freetype = nullptr;
  if (FT_Init_FreeType(&freetype) != 0) {
    error_ = "FreeType could not start";
    log::line("UI text: " + error_, log::Level::kError);
    return;
  }
  freetype_ = freetype;
  for (FontWeight weight : {FontWeight::kRegular, FontWeight::kSemibold, FontWeight::kBold}) {
    const std::string& path = paths_.forWeight(weight);
    std::string problem;
    FT_Face ft = nullptr;
    if (path.empty()) {
      problem = "no font file for the " + std::string(weightName(weight)) + " weight";
    } else if (FT_Error code = FT_New_Face(freetype, path.c_str(), 0, &ft); code != 0) {
      problem = "cannot open font file " + path + " (FreeType error " + std::to_string(code) +
                (code == FT_Err_Unknown_File_Format ? ": not a font" : "") + ")";
    } else if (!FT_IS_SCALABLE(ft) || ft->units_per_EM == 0) {
      problem = "font file " + path + " has no scalable outlines";
      FT_Done_Face(ft);
    }
    if (!problem.empty()) {
      if (!error_.empty()) error_ += "; ";
      error_ += problem;
      continue;
    }
    auto face = std::make_unique<Face>();
    face->ft = ft;
    face->units_per_em = ft->units_per_EM;
    face->ascender = ft->ascender;
    face->descender = ft->descender;
    face->line_gap = ft->height - (ft->ascender - ft->descender);
    if (face->line_gap < 0) face->line_gap = 0;
    const auto* os2 = static_cast<const TT_OS2*>(FT_Get_Sfnt_Table(ft, FT_SFNT_OS2));
    if (os2 != nullptr && os2->version >= 2 && os2->sCapHeight > 0) {
      face->cap_height = os2->sCapHeight;
      face->x_height = os2->sxHeight;
    } else {
      face->cap_height = glyphTop(ft, 'H');
      face->x_height = glyphTop(ft, 'x');
    }
    // HarfBuzz reads the same face's tables; advances come out in font units
    // (no hinting), scaled to points per measurement.
    hb_face_t* hb_face = hb_ft_face_create_referenced(ft);
    face->hb = hb_font_create(hb_face);
    hb_face_destroy(hb_face);
    hb_font_set_scale(face->hb, static_cast<int>(ft->units_per_EM),
                      static_cast<int>(ft->units_per_EM));
    face->buffer = hb_buffer_create();
    faces_[indexOf(weight)] = std::move(face);
  }
  if (!error_.empty()) log::line("UI text: " + error_, log::Level::kError);
}

FontLibrary::~FontLibrary() {
  for (auto& face : faces_) face.reset();  // before the FT_Library they came from
  if (freetype_ != nullptr) FT_Done_FreeType(static_cast<FT_Library>(freetype_));
}

void FontLibrary::checkThread() const {
#ifndef NDEBUG
  if (owner_ == std::thread::id{}) owner_ = std::this_thread::get_id();
  assert(owner_ == std::this_thread::get_id() && "FontLibrary is main thread only");
#endif
}

const FontLibrary::Face* FontLibrary::face(FontWeight weight) const {
  checkThread();
  size_t index = indexOf(weight);
  return index < faces_.size() ? faces_[index].get() : nullptr;
}

FontMetrics FontLibrary::metrics(const Font& font) const {
  const Face* f = face(font.weight());
  if (f == nullptr) return {};
  double scale = font.pointSize() / f->units_per_em;
  FontMetrics m;
  m.ascender = f->ascender * scale;
  m.descender = f->descender * scale;
  m.leading = f->line_gap * scale;
  m.line_height = m.ascender - m.descender + m.leading;
  m.cap_height = f->cap_height * scale;
  m.x_height = f->x_height * scale;
  return m;
}

WebFont FontLibrary::webFont(const Font& font) const {
  return WebFont{.path = filePath(font.weight()),
                 .family = std::string(Font::cssFamily()),
                 .weight = font.cssWeight()};
}

const std::string& FontLibrary::filePath(FontWeight weight) const {
  return paths_.forWeight(weight);
}

double FontLibrary::width(std::string_view text, const Font& font) const {
  std::vector<double> advances(text.size() + 1, 0.0);
  addAdvances(text, 0, text.size(), font, advances);
  double total = 0;
  for (double advance : advances) total += advance;
  return total;
}

namespace {

// Shapes text[begin, end) with the rest of `text` as context and adds each
// cluster's advance, in font units times `scale`, to out[cluster - begin].
template <typename Number>
void shape(hb_font_t* font, hb_buffer_t* buffer, std::string_view text, size_t begin, size_t end,
           double scale, Number* out) {
  hb_buffer_clear_contents(buffer);
  hb_buffer_add_utf8(buffer, text.data(), static_cast<int>(text.size()),
                     static_cast<unsigned>(begin), static_cast<int>(end - begin));
  hb_buffer_guess_segment_properties(buffer);
  hb_shape(font, buffer, nullptr, 0);
  unsigned count = 0;
  const hb_glyph_info_t* infos = hb_buffer_get_glyph_infos(buffer, &count);
  const hb_glyph_position_t* positions = hb_buffer_get_glyph_positions(buffer, &count);
  for (unsigned i = 0; i < count; ++i) {
    size_t cluster = infos[i].cluster;
    if (cluster >= begin && cluster < end) {
      out[cluster - begin] += static_cast<Number>(positions[i].x_advance * scale);
    }
  }
}

}  // namespace

void FontLibrary::addAdvances(std::string_view text, size_t begin, size_t end, const Font& font,
                              std::vector<double>& advances) const {
  const Face* f = face(font.weight());
  if (f == nullptr || begin >= end || end > text.size() || advances.size() < text.size()) return;
  if (text.size() > static_cast<size_t>(INT_MAX)) {
    log::line("UI text: text too long to measure", log::Level::kError);
    return;
  }
  const double scale = font.pointSize() / f->units_per_em;
  // Word by word, each space its own word, as the page's browser shapes
  // (and caches) text: a word measures the same wherever it stands, and a
  // label measured again costs look-ups, not shaping.
  for (size_t word = begin; word < end;) {
    size_t word_end = word + 1;
    if (text[word] != ' ') {
      while (word_end < end && text[word_end] != ' ') ++word_end;
    }
    const size_t length = word_end - word;
    if (length > kMaxCachedWordBytes) {
      shape(f->hb, f->buffer, text, word, word_end, scale, advances.data() + word);
    } else {
      std::string_view key = text.substr(word, length);
      auto found = f->words.find(key);
      if (found == f->words.end()) {
        if (f->words.size() >= kMaxCachedWords) f->words.clear();
        std::vector<int32_t> units(length, 0);
        shape(f->hb, f->buffer, key, 0, length, 1.0, units.data());
        found = f->words.emplace(std::string(key), std::move(units)).first;
      }
      const std::vector<int32_t>& units = found->second;
      for (size_t k = 0; k < length; ++k) advances[word + k] += units[k] * scale;
    }
    word = word_end;
  }
}

}  // namespace sentrel::uikit
