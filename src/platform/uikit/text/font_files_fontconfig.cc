// fontconfig is used here only.
#include <fontconfig/fontconfig.h>
#include <unistd.h>

#include <cstring>

#include "platform/uikit/text/font_files.h"

namespace sentrel::uikit {
namespace {

struct WeightQuery {
  FontWeight weight;
  int fc_weight;          // FC_WEIGHT_*
  const char* file_name;  // in kDebianInterFolder
};

constexpr WeightQuery kWeights[] = {
    {FontWeight::kRegular, FC_WEIGHT_REGULAR, "Inter-Regular.otf"},
    {FontWeight::kSemibold, FC_WEIGHT_SEMIBOLD, "Inter-SemiBold.otf"},
    {FontWeight::kBold, FC_WEIGHT_BOLD, "Inter-Bold.otf"},
};

// The file of Inter at exactly `fc_weight`, upright, or "" when fontconfig
// has none.
std::string matchInter(FcConfig* config, int fc_weight) {
  if (config == nullptr) return {};
  FcPattern* pattern = FcPatternCreate();
  if (pattern == nullptr) return {};
  FcPatternAddString(pattern, FC_FAMILY, reinterpret_cast<const FcChar8*>("Inter"));
  FcPatternAddInteger(pattern, FC_WEIGHT, fc_weight);
  FcPatternAddInteger(pattern, FC_SLANT, FC_SLANT_ROMAN);
  FcConfigSubstitute(config, pattern, FcMatchPattern);
  FcDefaultSubstitute(pattern);
  FcResult result = FcResultNoMatch;
  FcPattern* match = FcFontMatch(config, pattern, &result);
  FcPatternDestroy(pattern);
  if (match == nullptr) return {};
  std::string path;
  FcChar8* family = nullptr;
  FcChar8* file = nullptr;
  int weight = -1;
  int slant = -1;
  if (FcPatternGetString(match, FC_FAMILY, 0, &family) == FcResultMatch &&
      std::strcmp(reinterpret_cast<const char*>(family), "Inter") == 0 &&
      FcPatternGetInteger(match, FC_WEIGHT, 0, &weight) == FcResultMatch && weight == fc_weight &&
      FcPatternGetInteger(match, FC_SLANT, 0, &slant) == FcResultMatch && slant == FC_SLANT_ROMAN &&
      FcPatternGetString(match, FC_FILE, 0, &file) == FcResultMatch) {
    path = reinterpret_cast<const char*>(file);
  }
  FcPatternDestroy(match);
  return path;
}

}  // namespace

const std::string& FontFilePaths::forWeight(FontWeight weight) const {
  switch (weight) {
    case FontWeight::kSemibold:
      return semibold;
    case FontWeight::kBold:
      return bold;
    case FontWeight::kRegular:
      break;
  }
  return regular;
}

std::vector<WebFont> systemWebFonts(const FontFilePaths& paths) {
  std::vector<WebFont> fonts;
  for (const WeightQuery& query : kWeights) {
    const std::string& path = paths.forWeight(query.weight);
    if (path.empty()) continue;
    fonts.push_back(
        WebFont{.path = path,
                .family = std::string(Font::cssFamily()),
                .weight = Font::systemFont(Font::kDefaultPointSize, query.weight).cssWeight()});
  }
  return fonts;
}

std::optional<FontFilePaths> findSystemFontFiles(std::string* error) {
  // FcInitLoadConfigAndFonts() gives a private configuration: no global
  // fontconfig state is touched, so this is safe from any thread.
  FcConfig* config = FcInitLoadConfigAndFonts();
  FontFilePaths paths;
  std::string missing;
  for (const WeightQuery& query : kWeights) {
    std::string path = matchInter(config, query.fc_weight);
    if (path.empty() || access(path.c_str(), R_OK) != 0) {
      path = std::string(kDebianInterFolder) + "/" + query.file_name;
      if (access(path.c_str(), R_OK) != 0) {
        if (!missing.empty()) missing += ", ";
        missing += path;
        path.clear();
      }
    }
    switch (query.weight) {
      case FontWeight::kRegular:
        paths.regular = path;
        break;
      case FontWeight::kSemibold:
        paths.semibold = path;
        break;
      case FontWeight::kBold:
        paths.bold = path;
        break;
    }
  }
  if (config != nullptr) FcConfigDestroy(config);
  if (!missing.empty()) {
    if (error != nullptr) {
      *error = "system font Inter not found (fontconfig has no match and " + missing +
               " is missing; install the Debian package fonts-inter)";
    }
    return std::nullopt;
  }
  return paths;
}

}  // namespace sentrel::uikit
