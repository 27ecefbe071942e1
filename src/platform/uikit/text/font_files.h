// Where the system font's files are: Inter regular, semibold and bold.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/uikit/text/font.h"

namespace sentrel::uikit {

struct FontFilePaths {
  std::string regular{};
  std::string semibold{};
  std::string bold{};

  const std::string& forWeight(FontWeight weight) const;
};

// Debian's fonts-inter folder, used when fontconfig does not know Inter.
inline constexpr const char* kDebianInterFolder = "/usr/share/fonts/opentype/inter";

// Asks fontconfig for Inter at each weight and accepts a match only if its
// family really is Inter (fontconfig otherwise answers with a fallback such as
// DejaVu); a weight fontconfig cannot give is looked for in kDebianInterFolder.
// Returns nullopt, with `*error` saying which file is missing and which
// package provides it, when a weight is found nowhere. Any thread.
std::optional<FontFilePaths> findSystemFontFiles(std::string* error);

// What the page needs to draw a Font as the process measured it: an
// @font-face with `src` from `path` (served by backboardd), `font-family`
// `family` and `font-weight` `weight`.
struct WebFont {
  std::string path{};    // the font file on this machine
  std::string family{};  // "Inter"
  int weight{};          // 400, 600, 700
};

// The faces text runs name (Font::cssFamily() at each weight's cssWeight()),
// each with its file from `paths`: regular, semibold, bold. Weights without
// a file are left out.
std::vector<WebFont> systemWebFonts(const FontFilePaths& paths);

}  // namespace sentrel::uikit
