#include "tweak/intercept.h"

#include <string>

#include "platform/base/fork_registry.h"
#include "platform/bundle/main_bundle.h"
#include "platform/log/system_log.h"
#include "platform/netdb/netdb.h"
#include "tweak/SNTFirewall.h"
#include "tweak/SNTMessagingCenter.h"
#include "tweak/UI/SNTAlert.h"

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

// ---- SNTInterceptor ---------------------------------------------------------

SNTInterceptor& SNTInterceptor::shared() {
  static SNTInterceptor* const interceptor = [] {
    auto* shared = new SNTInterceptor(notify::distributedCenter());
    // A leaf lock: a fork()ed child must not inherit it held.
    base::holdAcrossFork(shared->mutex_);
    return shared;
  }();
  return *interceptor;
}

SNTInterceptor::SNTInterceptor(notify::NotificationCenter& center) : center_(center) {}

SNTInterceptor::~SNTInterceptor() {
  if (observer_) center_.removeObserver(*observer_);
}

std::shared_ptr<SNTAlert> SNTInterceptor::newAlert() {
  return makeSNTAlert();
}

void SNTInterceptor::registerAnswerObserverOnce() {
  std::call_once(observer_once_, [this] {
    const std::optional<std::string>& bundleId = bundle::mainBundle().bundle_identifier;
    if (!bundleId) return;
    observer_ = center_.addObserver(alertCallbackNotificationName(*bundleId),
                                    [this](const std::string&, const plist::Value& userInfo) {
                                      AlertCallback answer = AlertCallback::fromPayload(userInfo);
                                      handleAlertForId(answer.alertId, answer.allow);
                                    });
  });
}

void SNTInterceptor::showFirewallAlert(const URLRequest& request, Callback callback) {
  registerAnswerObserverOnce();
  std::shared_ptr<SNTAlert> alert = newAlert();
  if (!request.url() || !request.url()->host()) {
    log::line("no URL found in request!");
    if (callback) callback(true);
    return;
  }
  alert->initWithRequest(request, std::move(callback));
  registerRequestedAlert(alert);
  _showFirewallAlert(true, alert, std::nullopt);
}

void SNTInterceptor::showUnResumableFirewallAlert(std::optional<std::string> host,
                                                  std::optional<int64_t> port,
                                                  std::optional<std::string> message,
                                                  Callback callback) {
  std::shared_ptr<SNTAlert> alert = newAlert();
  alert->initWithHostname(std::move(host), port, std::move(callback));
  registerRequestedAlert(alert);
  _showFirewallAlert(false, alert, std::move(message));
}

void SNTInterceptor::_showFirewallAlert(bool resumable, const std::shared_ptr<SNTAlert>& alert,
                                        std::optional<std::string> message) {
  alert->setFirewall(SNTFirewall::current_raw());
  if (!alert->host()) {
    log::line("host is nil... returning...");
    return;
  }
  alert->setIsResumable(resumable);
  if (!resumable) alert->setCustomMessage(std::move(message));
  alert->setRuleUndefinedIfNotSet();
  alert->postToSpringBoard();
}

void SNTInterceptor::registerRequestedAlert(const std::shared_ptr<SNTAlert>& alert) {
  MutexLock lock(mutex_);
  requestedAlerts_[alert->uuid()] = alert;
}

void SNTInterceptor::handleAlertForId(std::optional<std::string_view> alertId, bool allow) {
  if (!alertId) return;
  std::shared_ptr<SNTAlert> alert;
  {
    // Taken out before its callbacks run: a duplicated answer finds nothing.
    MutexLock lock(mutex_);
    auto it = requestedAlerts_.find(std::string(*alertId));
    if (it == requestedAlerts_.end()) return;
    alert = std::move(it->second);
    requestedAlerts_.erase(it);
  }
  if (alert->callbackList()) alert->callbackList()->invokeAll(allow);
}

std::map<std::string, std::shared_ptr<SNTAlert>> SNTInterceptor::requestedAlerts() const {
  MutexLock lock(mutex_);
  return requestedAlerts_;
}

}  // namespace sentrel
