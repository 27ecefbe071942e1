// The one file that talks to URL parsers: libcurl's URL API for hierarchical
// URLs, uriparser for opaque ones ("prefs:root=...").
//
// libcurl is loaded on the first parse, not linked: this file is part of the
// tweak library, which every program of the device carries, and libcurl
// brings some thirty libraries (TLS, Kerberos, LDAP, SSH...) that a program
// which never parses a URL should not pay for at start. Programs built on
// the Foundation stand-ins link libcurl anyway; loading it then finds it.
#include "platform/foundation/url.h"

#include <curl/curl.h>
#include <dlfcn.h>
#include <uriparser/Uri.h>

#include <atomic>
#include <charconv>
#include <memory>

#include "platform/base/publish_once.h"
#include "platform/log/system_log.h"
#include "platform/paths/device_paths.h"
#include "platform/runloop/run_loop.h"
#include "platform/spawn/spawn.h"

namespace sentrel {
namespace {

// The part of libcurl's API that parsing uses.
struct CurlUrlApi {
  decltype(&curl_url) url;
  decltype(&curl_url_set) set;
  decltype(&curl_url_get) get;
  decltype(&curl_url_cleanup) cleanup;
  decltype(&curl_free) free;
};

constexpr const char* kCurlLibrary = "libcurl.so.4";

// libcurl's URL API, loaded on first use; nullptr (logged once) when the
// library cannot be loaded, and every hierarchical URL is then refused.
const CurlUrlApi* curlUrlApi() {
  static std::atomic<const CurlUrlApi*> loaded{nullptr};
  static std::atomic<bool> reported{false};
  return base::publishOnce(loaded, []() -> const CurlUrlApi* {
    void* library = dlopen(kCurlLibrary, RTLD_NOW | RTLD_LOCAL);
    if (library != nullptr) {
      auto* api = new CurlUrlApi{
          reinterpret_cast<decltype(&curl_url)>(dlsym(library, "curl_url")),
          reinterpret_cast<decltype(&curl_url_set)>(dlsym(library, "curl_url_set")),
          reinterpret_cast<decltype(&curl_url_get)>(dlsym(library, "curl_url_get")),
          reinterpret_cast<decltype(&curl_url_cleanup)>(dlsym(library, "curl_url_cleanup")),
          reinterpret_cast<decltype(&curl_free)>(dlsym(library, "curl_free"))};
      if (api->url && api->set && api->get && api->cleanup && api->free) return api;
      delete api;
    }
    if (!reported.exchange(true)) {
      const char* why = dlerror();
      log::line(std::string("URL parsing unavailable: cannot load ") + kCurlLibrary + ": " +
                    (why ? why : "symbols missing"),
                log::Level::kError);
    }
    return nullptr;
  });
}

struct CurlUrlDeleter {
  const CurlUrlApi* api;
  void operator()(CURLU* handle) const { api->cleanup(handle); }
};
using CurlUrl = std::unique_ptr<CURLU, CurlUrlDeleter>;

// One part of a parsed URL; nullopt when the URL has no such part.
std::optional<std::string> getPart(const CurlUrlApi& api, CURLU* handle, CURLUPart part) {
  char* text = nullptr;
  if (api.get(handle, part, &text, 0) != CURLUE_OK || text == nullptr) return std::nullopt;
  std::string result(text);
  api.free(text);
  return result;
}

bool isAlpha(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool isDigit(char c) {
  return c >= '0' && c <= '9';
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
  const CurlUrlApi* api = curlUrlApi();
  if (api == nullptr) return std::nullopt;
  CurlUrl handle(api->url(), CurlUrlDeleter{api});
  if (!handle) return std::nullopt;
  const std::string owned(text);  // curl wants a C string
  if (owned.size() != text.size() || owned.find('\0') != std::string::npos) return std::nullopt;
  const CURLUcode parsed =
      api->set(handle.get(), CURLUPART_URL, owned.c_str(), CURLU_NON_SUPPORT_SCHEME);
  URL url;
  if (parsed == CURLUE_OK) {
    url.absolute_ = getPart(*api, handle.get(), CURLUPART_URL).value_or(owned);
    url.scheme_ = getPart(*api, handle.get(), CURLUPART_SCHEME);
    url.host_ = getPart(*api, handle.get(), CURLUPART_HOST);
    if (std::optional<std::string> port = getPart(*api, handle.get(), CURLUPART_PORT)) {
      unsigned value = 0;
      auto [end, error] = std::from_chars(port->data(), port->data() + port->size(), value);
      if (error == std::errc() && end == port->data() + port->size() && value <= 65535) {
        url.port_ = static_cast<uint16_t>(value);
      }
    }
    url.path_ = getPart(*api, handle.get(), CURLUPART_PATH).value_or("");
    url.query_ = getPart(*api, handle.get(), CURLUPART_QUERY);
    url.fragment_ = getPart(*api, handle.get(), CURLUPART_FRAGMENT);
    return url;
  }
  // curl parses hierarchical URLs ("scheme://authority/path") only. Opaque
  // ones such as "prefs:root=Sentrel" or "mailto:a@b" are URLs too; uriparser
  // reads those: a scheme and a path, no host or port.
  if (parsed != CURLUE_BAD_SLASHES) return std::nullopt;
  UriUriA uri;
  const char* error_at = nullptr;
  if (uriParseSingleUriA(&uri, owned.c_str(), &error_at) != URI_SUCCESS) return std::nullopt;
  auto text_of = [](const UriTextRangeA& range) -> std::optional<std::string> {
    if (range.first == nullptr) return std::nullopt;
    return std::string(range.first, range.afterLast);
  };
  std::optional<std::string> scheme = text_of(uri.scheme);
  const bool opaque =
      scheme && !uri.absolutePath && uri.hostText.first == nullptr && uri.pathHead != nullptr;
  if (opaque) url.fragment_ = text_of(uri.fragment);
  uriFreeUriMembersA(&uri);
  if (!opaque) return std::nullopt;
  for (char& c : *scheme) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  url.absolute_ = *scheme + owned.substr(scheme->size());
  url.scheme_ = std::move(scheme);
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
