// URLs, URL requests and URL opening: the device's stand-ins for the
// platform's NSURL, NSMutableURLRequest and UIApplication's URL opening.
//
// Parsing is done by libcurl's URL parser (wrapped in url.cc, the only file
// that sees it): scheme, host, port, path and the absolute text are exactly
// what that parser returns. In particular
//  - the scheme is lower case; a text without "scheme:" is not a URL;
//  - the host keeps its letter case; an IPv6 host keeps its brackets
//    ("[::1]") and loses its zone id;
//  - port() is the explicit port only (none for "http://a/");
//  - absoluteString() is the parser's normalised text ("http://a" gives
//    "http://a/").
// Texts the parser refuses (spaces, bad ports, ...) give no URL, as
// URLWithString: gives nil.
//
// URL and URLRequest are small immutable-after-construction values; copies
// are independent. Thread-safe.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace sentrel {

class URL {
 public:
  // NSURL URLWithString:. std::nullopt when the parser refuses the text.
  static std::optional<URL> URLWithString(std::string_view text);
  // NSURL fileURLWithPath: for an absolute path ("file:///var/...").
  static std::optional<URL> fileURLWithPath(std::string_view path);

  const std::string& absoluteString() const { return absolute_; }
  const std::optional<std::string>& scheme() const { return scheme_; }
  const std::optional<std::string>& host() const { return host_; }
  std::optional<uint16_t> port() const { return port_; }
  const std::string& path() const { return path_; }  // percent-encoded, as parsed
  const std::optional<std::string>& query() const { return query_; }
  const std::optional<std::string>& fragment() const { return fragment_; }

  bool operator==(const URL& other) const { return absolute_ == other.absolute_; }

 private:
  URL() = default;

  std::string absolute_;
  std::optional<std::string> scheme_;
  std::optional<std::string> host_;
  std::optional<uint16_t> port_;
  std::string path_;
  std::optional<std::string> query_;
  std::optional<std::string> fragment_;
};

// NSMutableURLRequest: a URL (possibly none) and a method.
class URLRequest {
 public:
  URLRequest() = default;
  // initWithURL:
  explicit URLRequest(std::optional<URL> url) : url_(std::move(url)) {}

  const std::optional<URL>& url() const { return url_; }
  void setURL(std::optional<URL> url) { url_ = std::move(url); }
  const std::string& HTTPMethod() const { return method_; }
  void setHTTPMethod(std::string method) { method_ = std::move(method); }

 private:
  std::optional<URL> url_;
  std::string method_ = "GET";
};

// Percent-encodes `text` (as UTF-8 bytes), keeping the characters of the
// platform's URL-fragment set: letters, digits and !$&'()*+,-./:;=?@_~
std::string percentEncodeForURLFragment(std::string_view text);

// Opening a URL in another app (UIApplication _openURL:). One process-wide
// opener; tests install their own through an env::Environment.
class URLOpener {
 public:
  virtual ~URLOpener() = default;
  // Called on the main queue. `url` may be absent (a text that was not a URL);
  // the opener then does nothing but log.
  virtual void openURL(const std::optional<URL>& url) = 0;
};

// The default opener logs "openURL(<url>)". A "prefs:" URL belongs to the
// Settings app: it runs the device's "/usr/bin/open com.apple.Preferences
// <url>" (launch the app with the URL as its argument), waiting for it on a
// global queue so the main queue never blocks. Other schemes have no app on
// the device and are only logged, as is a failing "open".
URLOpener& urlOpener();
// Installs `opener` (nullptr restores the default) and returns the previous
// override. `opener` must outlive its installation. Only
// env::ScopedEnvironment calls it.
URLOpener* setURLOpenerForTesting(URLOpener* opener);

// urlOpener().openURL(url).
void openURL(const std::optional<URL>& url);

}  // namespace sentrel
