// Reading the "prefs:" URLs the Settings app is launched with.
//
// "prefs:root=Sentrel&path=UserApps/com.example.App" names the settings
// entry whose label is "Sentrel", then the rows to follow from its root page,
// one path component per page. The text may be percent-encoded; it is decoded
// after splitting, so an encoded '&', '=' or '/' stays part of a value.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sentrel::settings_app {

struct PrefsLocation {
  std::string root;               // the entry's label
  std::vector<std::string> path;  // row identifiers, outermost first

  bool operator==(const PrefsLocation&) const = default;
};

// Decodes %XX escapes. Nullopt for a '%' not followed by two hex digits or
// for an escape that decodes to NUL.
std::optional<std::string> percentDecode(std::string_view text);

// Splits a "prefs:" URL. Nullopt (the caller logs and shows the root list)
// when the scheme is not "prefs:", there is no non-empty "root", or an
// escape is malformed. Empty path components ("a//b", a trailing '/') are
// skipped; unknown query keys are ignored.
std::optional<PrefsLocation> parsePrefsURL(std::string_view url);

}  // namespace sentrel::settings_app
