// A navigation is current from the moment it starts until a newer one starts;
// results are checked against the current navigation under the lock, so a
// superseded load can never overwrite the page, however late it finishes.
#include "platform/base/mutex.h"
#include "platform/foundation/web_view.h"

#include <atomic>

#include "platform/foundation/foundation.h"
#include "platform/foundation/signatures.h"
#include "platform/log/system_log.h"
#include "platform/runloop/run_loop.h"

namespace sentrel::foundation {
namespace {

template <class T>
T* objectOf(runtime::id self, runtime::SEL cmd) {
  auto* object = dynamic_cast<T*>(self);
  if (object == nullptr && self != nullptr) {
    log::line(std::string(runtime::sel_getName(cmd)) + " sent to an object of class " +
                  runtime::class_getName(self->getClass()) + ", which cannot answer it",
              log::Level::kError);
  }
  return object;
}

std::string lowerCase(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

// RFC 3986: ALPHA *( ALPHA / DIGIT / "+" / "-" / "." )
bool isScheme(const std::string& text) {
  if (text.empty()) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const bool alpha = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    const bool other = (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
    if (!alpha && (i == 0 || !other)) return false;
  }
  return true;
}

// Calls `finish` once: with the handler's answer, or with a failure when the
// handler lets go of every copy of its Finish without answering.
class SchemeLoad {
 public:
  explicit SchemeLoad(std::function<void(URLSchemeTaskResult)> finish)
      : finish_(std::move(finish)) {}
  ~SchemeLoad() { answer(URLSchemeTaskResult{0, "", "the URL scheme handler dropped the load"}); }

  void answer(URLSchemeTaskResult result) {
    if (answered_.exchange(true)) return;
    finish_(std::move(result));
  }

 private:
  std::atomic<bool> answered_{false};
  const std::function<void(URLSchemeTaskResult)> finish_;
};

}  // namespace

void internal::registerWebViewClasses() {
  defineClass("WKNavigation");
  runtime::Class configuration = defineClass("WKWebViewConfiguration");
  defineMethod<sig::SchemeHandlerFor>(
      configuration, "urlSchemeHandlerForURLScheme:", &WKWebViewConfiguration::handlerMethod);
  runtime::Class web_view = defineClass("WKWebView");
  defineMethod<sig::LoadRequest>(web_view, "loadRequest:", &WKWebView::loadRequestMethod);
  defineMethod<sig::Reload>(web_view, "reload", &WKWebView::reloadMethod);
  defineMethod<sig::WebViewURL>(web_view, "URL", &WKWebView::urlMethod);
  defineMethod<sig::Configuration>(web_view, "configuration", &WKWebView::configurationMethod);
}

// --- WKNavigation -------------------------------------------------------------

WKNavigation::WKNavigation(URLRequest request)
    : Object(internal::foundationClass("WKNavigation")), request_(std::move(request)) {}

// --- WKWebViewConfiguration ---------------------------------------------------

WKWebViewConfiguration::WKWebViewConfiguration()
    : Object(internal::foundationClass("WKWebViewConfiguration")) {}

Status WKWebViewConfiguration::setURLSchemeHandler(std::shared_ptr<WKURLSchemeHandler> handler,
                                                   std::string scheme) {
  if (!handler) return Status::Error("no URL scheme handler given for \"" + scheme + "\"");
  if (!isScheme(scheme)) return Status::Error("\"" + scheme + "\" is not a URL scheme");
  scheme = lowerCase(std::move(scheme));
  for (const char* native : {"http", "https", "file", "about", "data", "blob"}) {
    if (scheme == native) {
      return Status::Error("'" + scheme + "' is a URL scheme that WKWebView handles natively");
    }
  }
  MutexLock lock(mu_);
  if (handlers_.contains(scheme)) {
    return Status::Error("the URL scheme '" + scheme + "' already has a registered handler");
  }
  handlers_.emplace(std::move(scheme), std::move(handler));
  return Status::Ok();
}

std::shared_ptr<WKURLSchemeHandler> WKWebViewConfiguration::urlSchemeHandlerForURLScheme(
    const std::string& scheme) {
  static const runtime::SEL sel = runtime::sel_registerName("urlSchemeHandlerForURLScheme:");
  return runtime::msgSend<sig::SchemeHandlerFor>(this, sel, scheme);
}

std::shared_ptr<WKURLSchemeHandler> WKWebViewConfiguration::handlerMethod(
    runtime::id self, runtime::SEL cmd, const std::string& scheme) {
  auto* configuration = objectOf<WKWebViewConfiguration>(self, cmd);
  return configuration ? configuration->handlerFor(scheme) : nullptr;
}

std::shared_ptr<WKURLSchemeHandler> WKWebViewConfiguration::handlerFor(
    const std::string& scheme) const {
  MutexLock lock(mu_);
  auto it = handlers_.find(lowerCase(scheme));
  return it == handlers_.end() ? nullptr : it->second;
}

// --- WKWebView ------------------------------------------------------------------

WKWebView::WKWebView(std::shared_ptr<WKWebViewConfiguration> configuration)
    : Object(internal::foundationClass("WKWebView")),
      configuration_(configuration ? std::move(configuration)
                                   : std::make_shared<WKWebViewConfiguration>()) {}

WKWebView::~WKWebView() {
  // Nobody is left to show the page: stop its fetch.
  if (transfer_ != 0) internal::HttpTransfers::shared().cancel(transfer_);
}

std::shared_ptr<WKNavigation> WKWebView::loadRequest(const URLRequest& request) {
  static const runtime::SEL sel = runtime::sel_registerName("loadRequest:");
  return runtime::msgSend<sig::LoadRequest>(this, sel, request);
}

std::shared_ptr<WKNavigation> WKWebView::reload() {
  static const runtime::SEL sel = runtime::sel_registerName("reload");
  return runtime::msgSend<sig::Reload>(this, sel);
}

std::optional<URL> WKWebView::URL() {
  static const runtime::SEL sel = runtime::sel_registerName("URL");
  return runtime::msgSend<sig::WebViewURL>(this, sel);
}

std::shared_ptr<WKWebViewConfiguration> WKWebView::configuration() {
  static const runtime::SEL sel = runtime::sel_registerName("configuration");
  return runtime::msgSend<sig::Configuration>(this, sel);
}

std::optional<WebPage> WKWebView::page() const {
  MutexLock lock(mu_);
  return page_;
}

void WKWebView::setNavigationDelegate(std::function<void(const WebPage&)> delegate) {
  MutexLock lock(mu_);
  delegate_ = std::move(delegate);
}

std::shared_ptr<WKNavigation> WKWebView::loadRequestMethod(runtime::id self, runtime::SEL cmd,
                                                           const URLRequest& request) {
  auto* web_view = objectOf<WKWebView>(self, cmd);
  return web_view ? web_view->loadNow(request) : nullptr;
}

std::shared_ptr<WKNavigation> WKWebView::reloadMethod(runtime::id self, runtime::SEL cmd) {
  auto* web_view = objectOf<WKWebView>(self, cmd);
  return web_view ? web_view->reloadNow() : nullptr;
}

std::optional<URL> WKWebView::urlMethod(runtime::id self, runtime::SEL cmd) {
  auto* web_view = objectOf<WKWebView>(self, cmd);
  if (web_view == nullptr) return std::nullopt;
  MutexLock lock(web_view->mu_);
  if (!web_view->latest_) return std::nullopt;
  return web_view->latest_->request().url();
}

std::shared_ptr<WKWebViewConfiguration> WKWebView::configurationMethod(runtime::id self,
                                                                       runtime::SEL cmd) {
  auto* web_view = objectOf<WKWebView>(self, cmd);
  return web_view ? web_view->configuration_ : nullptr;
}

std::shared_ptr<WKNavigation> WKWebView::loadNow(const URLRequest& request) {
  auto navigation = std::make_shared<WKNavigation>(request);
  internal::HttpTransfers& transfers = internal::HttpTransfers::shared();
  internal::TransferId superseded = 0;
  {
    MutexLock lock(mu_);
    latest_ = navigation;
    superseded = transfer_;
    transfer_ = 0;
  }
  if (superseded != 0) transfers.cancel(superseded);

  std::weak_ptr<Object> weak = weak_from_this();
  auto show = [weak, navigation](WebPage page) {
    auto self = std::static_pointer_cast<WKWebView>(weak.lock());
    if (!self) return;  // the web view is gone
    page.navigation = navigation;
    self->finished(std::move(page));
  };

  const std::optional<sentrel::URL>& url = request.url();
  // The web view's own lookup, not the dispatched one: loading is not a call
  // the app makes.
  std::shared_ptr<WKURLSchemeHandler> handler =
      url && url->scheme() ? configuration_->handlerFor(*url->scheme()) : nullptr;
  if (handler) {
    auto load = std::make_shared<SchemeLoad>([show, url](URLSchemeTaskResult result) {
      WebPage page;
      page.url = url;
      page.statusCode = result.error ? 0 : result.statusCode;
      if (!result.error) page.body = std::move(result.body);
      page.error = std::move(result.error);
      show(std::move(page));
    });
    runloop::asyncGlobal([handler = std::move(handler), request, load = std::move(load)]() mutable {
      // `load` moves into the Finish: once the handler drops every copy of
      // it, an unanswered load fails.
      handler->startURLSchemeTask(request, [load = std::move(load)](URLSchemeTaskResult result) {
        load->answer(std::move(result));
      });
    });
    return navigation;
  }

  const internal::TransferId id =
      transfers.start(request, [show, url](internal::HttpResult result) {
        WebPage page;
        page.url = result.url ? std::move(result.url) : url;
        page.statusCode = result.statusCode;
        page.body = std::move(result.body);
        if (result.error) page.error = std::move(result.error->message);
        show(std::move(page));
      });
  bool stop = false;
  {
    MutexLock lock(mu_);
    if (latest_ == navigation) {
      transfer_ = id;
    } else {
      stop = true;  // a newer load started meanwhile
    }
  }
  if (stop) transfers.cancel(id);
  return navigation;
}

std::shared_ptr<WKNavigation> WKWebView::reloadNow() {
  std::optional<URLRequest> request;
  {
    MutexLock lock(mu_);
    if (latest_ && latest_->request().url()) request = latest_->request();
  }
  // Loaded directly, not through "loadRequest:": a reload is one call to
  // hook, and a hook that lets it through must not be asked again.
  return request ? loadNow(*request) : nullptr;
}

void WKWebView::finished(WebPage page) {
  std::function<void(const WebPage&)> delegate;
  {
    MutexLock lock(mu_);
    if (page.navigation != latest_) return;  // superseded
    transfer_ = 0;
    page_ = page;
    delegate = delegate_;
  }
  if (!delegate) return;
  deliveries_.post([delegate = std::move(delegate), page = std::move(page)] { delegate(page); });
}

}  // namespace sentrel::foundation
