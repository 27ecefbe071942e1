// A headless web view: the device's stand-in for the platform's WKWebView,
// its configuration and navigations. It fetches pages over real HTTP and
// keeps the last one (status and body); nothing is rendered.
//
// Dispatched through the runtime (signatures in signatures.h), so hooks on
// the classes see every call: "WKWebView" "loadRequest:", "reload", "URL",
// "configuration"; "WKWebViewConfiguration" "urlSchemeHandlerForURLScheme:".
//
// Navigations: loadRequest: returns a new navigation at once and loads in
// the background; the web view's URL is the latest navigation's from the
// moment it starts. A newer navigation supersedes an older one: the older
// transfer is stopped and its result, should it still come, is dropped. A
// URL whose scheme has a handler in the configuration goes to the handler
// instead of the network. A URL whose host is "blocked" (the firewall's
// placeholder host) is never fetched nor resolved: it fails at once with
// "blocked: host not found", as a name that does not resolve would. Only
// "http" and "https" URLs are fetched; others fail with "unsupported URL".
//
// Threads: every member function may be called from any thread. The
// navigation delegate runs on global-queue threads, one navigation at a time,
// in the order the navigations finished. Objects are owned by shared_ptr
// (std::make_shared); a web view that goes away drops its pending loads.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "platform/base/mutex.h"
#include "platform/base/status.h"
#include "platform/foundation/internal/classes.h"
#include "platform/foundation/internal/http_transfer.h"
#include "platform/foundation/internal/serial_delivery.h"
#include "platform/foundation/url.h"
#include "platform/runtime/runtime.h"

namespace sentrel::foundation {

// WKNavigation: one load of a web view.
class WKNavigation : public runtime::Object {
 public:
  explicit WKNavigation(URLRequest request);
  const URLRequest& request() const { return request_; }

 private:
  const URLRequest request_;
};

// What a scheme handler answers for one load.
struct URLSchemeTaskResult {
  long statusCode = 200;
  std::string body;
  std::optional<std::string> error;  // set: the load failed with this text
};

// WKURLSchemeHandler: serves the loads of a custom URL scheme for an app.
class WKURLSchemeHandler {
 public:
  using Finish = std::function<void(URLSchemeTaskResult)>;
  virtual ~WKURLSchemeHandler() = default;

  // webView:startURLSchemeTask:, called on a global-queue thread for each
  // load of a URL with the handler's scheme. Call `finish` once, from any
  // thread, now or later; further calls are ignored. A load whose `finish`
  // is destroyed without being called fails with "the URL scheme handler
  // dropped the load", so a forgetful handler never leaves a navigation
  // hanging.
  virtual void startURLSchemeTask(const URLRequest& request, Finish finish) = 0;
};

// WKWebViewConfiguration: which handlers serve which custom schemes.
class WKWebViewConfiguration : public runtime::Object {
 public:
  WKWebViewConfiguration();

  // setURLSchemeHandler:forURLScheme:. Schemes compare without letter case.
  // Fails (and changes nothing) for a null handler, a text that is not a
  // scheme, a scheme the web view loads itself (http, https, file, about,
  // data, blob) and a scheme that already has a handler, where the platform
  // raises.
  Status setURLSchemeHandler(std::shared_ptr<WKURLSchemeHandler> handler, std::string scheme);

  // Dispatched "urlSchemeHandlerForURLScheme:": the handler for `scheme`, or
  // nullptr.
  std::shared_ptr<WKURLSchemeHandler> urlSchemeHandlerForURLScheme(const std::string& scheme);

 private:
  friend void internal::registerWebViewClasses();
  friend class WKWebView;
  static std::shared_ptr<WKURLSchemeHandler> handlerMethod(runtime::id self, runtime::SEL cmd,
                                                           const std::string& scheme);
  std::shared_ptr<WKURLSchemeHandler> handlerFor(const std::string& scheme) const;

  mutable Mutex mu_;
  std::map<std::string, std::shared_ptr<WKURLSchemeHandler>> handlers_
      GUARDED_BY(mu_);  // by scheme
};

// A finished navigation as the web view shows it.
struct WebPage {
  std::shared_ptr<WKNavigation> navigation;
  std::optional<URL> url;            // where the load ended (after redirects)
  long statusCode = 0;               // 0 when no response came
  std::string body;                  // empty on failure
  std::optional<std::string> error;  // set when the load failed
};

class WKWebView : public runtime::Object {
 public:
  // initWithFrame:configuration:. A default configuration when none is given.
  explicit WKWebView(std::shared_ptr<WKWebViewConfiguration> configuration = nullptr);
  ~WKWebView() override;

  // Dispatched "loadRequest:": starts loading `request`; the new navigation.
  std::shared_ptr<WKNavigation> loadRequest(const URLRequest& request);
  // Dispatched "reload": loads the latest navigation's request again; nullptr
  // and nothing loaded when the web view has no URL yet.
  std::shared_ptr<WKNavigation> reload();
  // Dispatched "URL": the latest navigation's URL, from when it started.
  std::optional<sentrel::URL> URL();
  // Dispatched "configuration".
  std::shared_ptr<WKWebViewConfiguration> configuration();

  // The last navigation that finished and was not superseded.
  std::optional<WebPage> page() const;
  // Called for each such navigation (see Threads above). May be empty.
  void setNavigationDelegate(std::function<void(const WebPage&)> delegate);

 private:
  friend void internal::registerWebViewClasses();
  static std::shared_ptr<WKNavigation> loadRequestMethod(runtime::id self, runtime::SEL cmd,
                                                         const URLRequest& request);
  static std::shared_ptr<WKNavigation> reloadMethod(runtime::id self, runtime::SEL cmd);
  static std::optional<sentrel::URL> urlMethod(runtime::id self, runtime::SEL cmd);
  static std::shared_ptr<WKWebViewConfiguration> configurationMethod(runtime::id self,
                                                                     runtime::SEL cmd);

  std::shared_ptr<WKNavigation> loadNow(const URLRequest& request);
  std::shared_ptr<WKNavigation> reloadNow();
  // Records `page` as shown unless `page.navigation` was superseded.
  void finished(WebPage page);

  const std::shared_ptr<WKWebViewConfiguration> configuration_;

  mutable Mutex mu_;
  std::shared_ptr<WKNavigation> latest_ GUARDED_BY(mu_);  // the latest started
  internal::TransferId transfer_ GUARDED_BY(mu_) = 0;     // latest_'s fetch, 0: none
  std::optional<WebPage> page_ GUARDED_BY(mu_);
  std::function<void(const WebPage&)> delegate_ GUARDED_BY(mu_);
  internal::SerialDelivery deliveries_;  // delegate calls, in order
};

}  // namespace sentrel::foundation
