#include "tweak/intercept.h"

#include <string>

#include "platform/netdb/netdb.h"

namespace sentrel {

std::optional<URL> makeDummyUrl() {
  return URL::URLWithString("http://blocked/");
}

std::optional<URL> makeDummyUrlWithDomain(std::optional<std::string_view> host) {
  std::string text = "http://blocked/";
  text += host ? *host : std::string_view("(null)");
  return URL::URLWithString(text);
}

URLRequest makeDummyRequestWithDomain(std::optional<std::string_view> host) {
  return URLRequest(makeDummyUrlWithDomain(host));
}

std::optional<uint16_t> SNTGetPortFromUrlScheme(const std::optional<URL>& url) {
  if (!url || !url->scheme() || url->scheme()->empty()) return std::nullopt;
  // The services database answers in host byte order already; only the low
  // 16 bits are a port.
  const int port = netdb::portForService(*url->scheme());
  if (port <= 0 || port > 0xFFFF) return std::nullopt;
  return static_cast<uint16_t>(port);
}

}  // namespace sentrel
