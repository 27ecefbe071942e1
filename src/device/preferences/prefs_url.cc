#include "device/preferences/prefs_url.h"

namespace sentrel::settings_app {
namespace {

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  while (true) {
    size_t at = text.find(separator);
    parts.push_back(text.substr(0, at));
    if (at == std::string_view::npos) break;
    text.remove_prefix(at + 1);
  }
  return parts;
}

}  // namespace

std::optional<std::string> percentDecode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out.push_back(text[i]);
      continue;
    }
    if (text.size() - i < 3) return std::nullopt;
    int high = hexValue(text[i + 1]);
    int low = hexValue(text[i + 2]);
    if (high < 0 || low < 0) return std::nullopt;
    char c = static_cast<char>(high * 16 + low);
    if (c == '\0') return std::nullopt;
    out.push_back(c);
    i += 2;
  }
  return out;
}

std::optional<PrefsLocation> parsePrefsURL(std::string_view url) {
  constexpr std::string_view kScheme = "prefs:";
  if (url.substr(0, kScheme.size()) != kScheme) return std::nullopt;
  url.remove_prefix(kScheme.size());
  if (url.substr(0, 2) == "//") url.remove_prefix(2);
  PrefsLocation location;
  bool have_root = false;
  for (std::string_view pair : split(url, '&')) {
    size_t eq = pair.find('=');
    if (eq == std::string_view::npos) continue;
    std::string_view key = pair.substr(0, eq);
    std::string_view value = pair.substr(eq + 1);
    if (key == "root") {
      auto root = percentDecode(value);
      if (!root || root->empty()) return std::nullopt;
      location.root = std::move(*root);
      have_root = true;
    } else if (key == "path") {
      location.path.clear();
      for (std::string_view component : split(value, '/')) {
        if (component.empty()) continue;
        auto decoded = percentDecode(component);
        if (!decoded) return std::nullopt;
        location.path.push_back(std::move(*decoded));
      }
    }
  }
  if (!have_root) return std::nullopt;
  return location;
}

}  // namespace sentrel::settings_app
