// Host and port helpers of the request hooks: the placeholder that replaces a
// denied or pending destination, and the default port of a URL's scheme.
//
// The placeholder host is "blocked"; the rule engine always lets it through,
// so loading a placeholder never raises a prompt. All functions are
// thread-safe and return new values.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "platform/foundation/url.h"

namespace sentrel {

inline constexpr const char* kPlaceholderHost = "blocked";

// The URL "http://blocked/".
std::optional<URL> makeDummyUrl();

// The URL "http://blocked/<host>"; an absent host is written "(null)". No URL
// when the text does not parse (a host text with spaces, for example).
std::optional<URL> makeDummyUrlWithDomain(std::optional<std::string_view> host);

// A new request for makeDummyUrlWithDomain(host); a request without a URL
// when that gives none.
URLRequest makeDummyRequestWithDomain(std::optional<std::string_view> host);

// The port the services database lists for the URL's scheme over TCP
// ("https" -> 443, "http" -> 80), in host byte order. None for an absent
// URL, a URL without a scheme, a scheme the database does not list, or a
// listed port of 0. The URL's explicit port is never consulted.
std::optional<uint16_t> SNTGetPortFromUrlScheme(const std::optional<URL>& url);

}  // namespace sentrel
