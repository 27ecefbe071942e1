// The one file that talks to libcurl's URL API.
#include "tweak/url.h"

#include <curl/curl.h>

#include <atomic>
#include <charconv>
#include <memory>

#include "platform/log/system_log.h"
#include "platform/paths/device_paths.h"
#include "platform/runloop/run_loop.h"
#include "platform/spawn/spawn.h"

namespace sentrel {
namespace {

struct CurlUrlDeleter {
  void operator()(CURLU* handle) const { curl_url_cleanup(handle); }
};
using CurlUrl = std::unique_ptr<CURLU, CurlUrlDeleter>;

// One part of a parsed URL; nullopt when the URL has no such part.
std::optional<std::string> getPart(CURLU* handle, CURLUPart part) {
  char* text = nullptr;
  if (curl_url_get(handle, part, &text, 0) != CURLUE_OK || text == nullptr) return std::nullopt;
  std::string result(text);
  curl_free(text);
  return result;
}

bool isAlpha(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool isDigit(char c) {
  return c >= '0' && c <= '9';
}
bool isHex(char c) {
  return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Characters a URL may carry literally (RFC 3986 unreserved and reserved).
bool isUrlCharacter(char c) {
  if (isAlpha(c) || isDigit(c)) return true;
  switch (c) {
    case '-':
    case '.':
    case '_':
    case '~':  // unreserved
    case ':':
    case '/':
    case '?':
    case '#':
    case '[':
    case ']':
    case '@':  // gen-delims
    case '!':
    case '$':
    case '&':
    case '\'':
    case '(':
    case ')':
    case '*':
    case '+':  // sub-delims
    case ',':
    case ';':
    case '=':
      return true;
    default:
      return false;
  }
}

// The scheme of "scheme:rest" (RFC 3986: a letter, then letters, digits,
// "+", "-", "."), or 0 when the text does not start with one.
size_t schemeLength(std::string_view text) {
  if (text.empty() || !isAlpha(text[0])) return 0;
  size_t i = 1;
  while (i < text.size() && (isAlpha(text[i]) || isDigit(text[i]) || text[i] == '+' ||
                             text[i] == '-' || text[i] == '.')) {
    ++i;
  }
  return i < text.size() && text[i] == ':' ? i : 0;
}

bool isValidOpaquePart(std::string_view rest) {
  for (size_t i = 0; i < rest.size(); ++i) {
    if (rest[i] == '%') {
      if (i + 2 >= rest.size() || !isHex(rest[i + 1]) || !isHex(rest[i + 2])) return false;
      i += 2;
    } else if (!isUrlCharacter(rest[i])) {
      return false;
    }
  }
  return true;
}

bool isFragmentAllowed(unsigned char c) {
  if (isAlpha(static_cast<char>(c)) || isDigit(static_cast<char>(c))) return true;
  switch (c) {
    case '!':
    case '$':
    case '&':
    case '\'':
    case '(':
    case ')':
    case '*':
    case '+':
    case ',':
    case '-':
    case '.':
    case '/':
    case ':':
    case ';':
    case '=':
    case '?':
    case '@':
    case '_':
    case '~':
      return true;
    default:
      return false;
  }
}

std::atomic<URLOpener*> g_opener_override{nullptr};

constexpr const char* kSettingsAppBundleIdentifier = "com.apple.Preferences";

class DeviceURLOpener final : public URLOpener {
 public:
  void openURL(const std::optional<URL>& url) override {
    if (!url) {
      log::line("openURL((null)): not a URL, nothing opened", log::Level::kWarning);
      return;
    }
    log::line("openURL(" + url->absoluteString() + ")");
    if (url->scheme() != "prefs") {
      log::line("openURL(" + url->absoluteString() + "): no app on this device opens it",
                log::Level::kWarning);
      return;
    }
    runloop::asyncGlobal([text = url->absoluteString()] {
      Result<spawn::ExitStatus> ran =
          spawn::run(paths::resolve("/usr/bin/open"), {"open", kSettingsAppBundleIdentifier, text});
      if (!ran.ok()) {
        log::line("openURL(" + text + "): " + ran.reason(), log::Level::kWarning);
      } else if (!ran->success()) {
        log::line("openURL(" + text + "): open ended with " +
                      (ran->signaled ? "signal " + std::to_string(ran->signal)
                                     : "code " + std::to_string(ran->code)),
                  log::Level::kWarning);
      }
    });
  }
};

}  // namespace

std::optional<URL> URL::URLWithString(std::string_view text) {
  CurlUrl handle(curl_url());
  if (!handle) return std::nullopt;
  const std::string owned(text);  // curl wants a C string
  if (owned.size() != text.size() || owned.find('\0') != std::string::npos) return std::nullopt;
  const CURLUcode parsed =
      curl_url_set(handle.get(), CURLUPART_URL, owned.c_str(), CURLU_NON_SUPPORT_SCHEME);
  URL url;
  if (parsed == CURLUE_OK) {
    url.absolute_ = getPart(handle.get(), CURLUPART_URL).value_or(owned);
    url.scheme_ = getPart(handle.get(), CURLUPART_SCHEME);
    url.host_ = getPart(handle.get(), CURLUPART_HOST);
    if (std::optional<std::string> port = getPart(handle.get(), CURLUPART_PORT)) {
      unsigned value = 0;
      auto [end, error] = std::from_chars(port->data(), port->data() + port->size(), value);
      if (error == std::errc() && end == port->data() + port->size() && value <= 65535) {
        url.port_ = static_cast<uint16_t>(value);
      }
    }
    url.path_ = getPart(handle.get(), CURLUPART_PATH).value_or("");
    url.query_ = getPart(handle.get(), CURLUPART_QUERY);
    url.fragment_ = getPart(handle.get(), CURLUPART_FRAGMENT);
    return url;
  }
  // curl parses hierarchical URLs ("scheme://authority/path") only. Opaque
  // ones such as "prefs:root=Sentrel" or "mailto:a@b" are URLs too: a
  // scheme, then URL characters. They have no host, port or path.
  const size_t scheme = schemeLength(owned);
  if (parsed != CURLUE_BAD_SLASHES || scheme == 0) return std::nullopt;
  const std::string_view rest = std::string_view(owned).substr(scheme + 1);
  if (rest.empty() || rest[0] == '/' || !isValidOpaquePart(rest)) return std::nullopt;
  std::string lower_scheme = owned.substr(0, scheme);
  for (char& c : lower_scheme) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  const size_t hash = rest.find('#');
  if (hash != std::string_view::npos) url.fragment_ = std::string(rest.substr(hash + 1));
  url.absolute_ = lower_scheme + ":" + std::string(rest);
  url.scheme_ = std::move(lower_scheme);
  return url;
}

std::optional<URL> URL::fileURLWithPath(std::string_view path) {
  std::string encoded;
  for (unsigned char c : path) {
    if (isFragmentAllowed(c) && c != '?') {
      encoded += static_cast<char>(c);
    } else {
      static constexpr char kHex[] = "0123456789ABCDEF";
      encoded += '%';
      encoded += kHex[c >> 4];
      encoded += kHex[c & 0xF];
    }
  }
  if (encoded.empty() || encoded[0] != '/') encoded.insert(encoded.begin(), '/');
  return URLWithString("file://" + encoded);
}

std::string percentEncodeForURLFragment(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    if (isFragmentAllowed(c)) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 0xF];
    }
  }
  return out;
}

URLOpener& urlOpener() {
  if (URLOpener* override_opener = g_opener_override.load()) return *override_opener;
  static DeviceURLOpener* device_opener = new DeviceURLOpener();  // lives as long as the process
  return *device_opener;
}

URLOpener* setURLOpenerForTesting(URLOpener* opener) {
  return g_opener_override.exchange(opener);
}

void openURL(const std::optional<URL>& url) {
  urlOpener().openURL(url);
}

}  // namespace sentrel
