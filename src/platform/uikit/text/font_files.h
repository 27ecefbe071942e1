// Where the system font's files are: Inter regular, semibold and bold.
#pragma once

#include <optional>
#include <string>

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

}  // namespace sentrel::uikit
