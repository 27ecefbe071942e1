#include "tweak/UI/SNTAlert.h"

#include <unistd.h>

#include <algorithm>
#include <utility>

#include "platform/base/mutex.h"
#include "platform/bundle/main_bundle.h"
#include "platform/foundation/foundation.h"
#include "platform/log/system_log.h"
#include "platform/notify/notification_center.h"
#include "platform/runloop/run_loop.h"
#include "tweak/Network/ReverseDNSLookup.h"
#include "tweak/SNTFirewall.h"
#include "tweak/SNTMessagingCenter.h"
#include "tweak/SNTSettings.h"
#include "tweak/intercept.h"

namespace sentrel {

// ---- SNTCallbackLLNode ------------------------------------------------------

SNTCallbackLLNode::SNTCallbackLLNode(SNTAlertCallback callback)
    : callback_(std::move(callback)), lastNode_(this) {}

SNTCallbackLLNode::~SNTCallbackLLNode() {
  // Unlink iteratively: a long list must not recurse once per node.
  std::unique_ptr<SNTCallbackLLNode> next = std::move(next_);
  while (next) next = std::move(next->next_);
}

void SNTCallbackLLNode::addCallback(SNTAlertCallback callback) {
  auto node = std::make_unique<SNTCallbackLLNode>(std::move(callback));
  SNTCallbackLLNode* tail = node.get();
  lastNode_->next_ = std::move(node);
  lastNode_ = tail;
}

SNTAlertCallback SNTCallbackLLNode::takeCallback() {
  MutexLock lock(mutex_);
  return std::exchange(callback_, nullptr);
}

bool SNTCallbackLLNode::hasCallback() const {
  MutexLock lock(mutex_);
  return static_cast<bool>(callback_);
}

void SNTCallbackLLNode::invokeAll(bool allow) {
  for (SNTCallbackLLNode* node = this; node != nullptr; node = node->next_.get()) {
    SNTAlertCallback callback;
    {
      MutexLock lock(node->mutex_);
      callback = std::exchange(node->callback_, nullptr);
    }
    if (callback) callback(allow);
  }
}

// ---- SNTAlert -----------------------------------------------------------------

namespace {

std::optional<int64_t> portOf(const std::optional<URL>& url) {
  if (url && url->port()) return static_cast<int64_t>(*url->port());
  if (std::optional<uint16_t> port = SNTGetPortFromUrlScheme(url)) {
    return static_cast<int64_t>(*port);
  }
  return std::nullopt;
}

std::string processName() {
  return bundle::mainBundle().process_name;
}

}  // namespace

SNTAlert::SNTAlert() : uuid_(foundation::UUID::UUIDString()) {}

SNTAlert::~SNTAlert() = default;

void SNTAlert::initWithHostname(std::optional<std::string> host, std::optional<int64_t> port,
                                SNTAlertCallback callback) {
  host_ = std::move(host);
  port_ = port;
  url_.reset();
  callbackList_ = std::make_shared<SNTCallbackLLNode>(std::move(callback));
}

void SNTAlert::initWithRequest(const URLRequest& request, SNTAlertCallback callback) {
  initWithUrl(request.url(), std::move(callback));
}

void SNTAlert::initWithUrl(const std::optional<URL>& url, SNTAlertCallback callback) {
  host_ = url ? ruleKeyOf(url->host()) : std::nullopt;  // "[::1]" asks about "::1"
  port_ = portOf(url);
  url_ = url ? std::optional<std::string>(url->absoluteString()) : std::nullopt;
  callbackList_ = std::make_shared<SNTCallbackLLNode>(std::move(callback));
}

void SNTAlert::initWithUrlString(std::optional<std::string> urlString, std::optional<int64_t> port,
                                 SNTAlertCallback callback) {
  std::optional<URL> parsed = urlString ? URL::URLWithString(*urlString) : std::nullopt;
  host_ = parsed ? ruleKeyOf(parsed->host()) : std::nullopt;
  port_ = port ? port : portOf(parsed);
  url_ = std::move(urlString);
  callbackList_ = std::make_shared<SNTCallbackLLNode>(std::move(callback));
}

std::string SNTAlert::description() const {
  std::optional<std::string> bundleId = firewall_ ? firewall_->bundleId() : std::nullopt;
  return "App: " + bundleId.value_or("(null)") + ", Host: " + host_.value_or("(null)") +
         ", State: " + std::to_string(state_);
}

void SNTAlert::setRuleUndefinedIfNotSet() {
  // The app's entry is named after the app: in SpringBoard the running
  // process is SpringBoard, so the firewall's name (the app's, as it sent
  // it) is taken there; in the app the two are the same.
  std::string name = processName();
  if (firewall_ != nullptr) {
    if (std::optional<std::string> app = firewall_->name(); app && !app->empty()) name = *app;
  }
  if (ReverseDNSLookup::isValidIP(host_)) return;
  if (awaitingHostname()) return;  // the address's placeholder is no host
  if (firewall_ == nullptr) return;
  if (firewall_->isExplicitRuleForHostSet(host_)) return;
  firewall_->setAppHostRule(name, host_, url_, 0);
}

bool SNTAlert::awaitingHostname() const {
  return ip_ && host_ && *host_ == *ip_ + kHostnameLookupSuffix;
}

void SNTAlert::storeRule(bool allow) {
  const int64_t value = allow ? 1 : 2;
  if (firewall_ == nullptr) return;
  if (!awaitingHostname()) {
    log::line("Setting app host rule: " + firewall_->bundleId().value_or("(null)") + ", " +
              host_.value_or("(null)") + ", " + std::to_string(value));
    firewall_->setAppHostRule(firewall_->name(), host_, std::nullopt, value);
  }
  if (ip_ && ip_ != host_) firewall_->setAppHostRule(firewall_->name(), ip_, std::nullopt, value);
}

void SNTAlert::storeAnswer(bool allow) {
  log::line(std::string(allow ? "Allowing Host " : "Blocking Host ") + host_.value_or("(null)"));
  storeRule(allow);
  handleWithCallback(callbackList_, allow);
}

void SNTAlert::allowAlways() {
  storeAnswer(true);
}

void SNTAlert::blockAlways() {
  storeAnswer(false);
}

void SNTAlert::handleWithCallback(std::shared_ptr<SNTCallbackLLNode> list, bool allow) {
  state_ = kSNTAlertStateHandled;
  {
    MutexLock lock(queueLock());
    std::vector<std::shared_ptr<SNTAlert>>& queue = alerts();
    std::erase_if(queue, [this](const std::shared_ptr<SNTAlert>& a) { return a.get() == this; });
    if (queue.empty() && firewall_ != nullptr) {
      if (std::optional<std::string> bundleId = firewall_->bundleId()) {
        SNTFirewall::pool().removeObjectForKey(*bundleId);
      }
    }
  }
  if (list != nullptr) {
    runloop::asyncMain([list = std::move(list), allow] { list->invokeAll(allow); });
  }
  showNextAlert();
}

void SNTAlert::reQueueIfNotHandled() {
  if (state_ >= kSNTAlertStateHandled) return;
  const int32_t old = state_;
  state_ = kSNTAlertStateQueued;
  if (old != kSNTAlertStateQueued) {
    log::line("_Set SNTAlert state to QUEUED. Alerts: " + queueDescription());
  }
}

bool SNTAlert::handleIfDefined() {
  if (firewall_ == nullptr || !host_) return false;
  if (firewall_->shouldAllow(*host_)) {
    if (callbackList_) callbackList_->invokeAll(true);
    return true;
  }
  if (firewall_->shouldDeny(*host_)) {
    if (callbackList_) callbackList_->invokeAll(false);
    return true;
  }
  return false;
}

void SNTAlert::postToSpringBoard() {
  AlertRequest request;
  request.alertId = uuid_;
  request.bundleId = bundle::mainBundle().bundle_identifier;
  request.pid = static_cast<int64_t>(::getpid());
  std::shared_ptr<SNTFirewall> current = SNTFirewall::current();
  if (current != nullptr) request.appName = current->name();
  request.host = host_;
  request.port = port_;
  request.url = url_;
  request.customMessage = customMessage_;
  if (current != nullptr) {
    request.isSystemApp = current->isSystemApp();
    request.isHiddenApp = current->isHiddenApp();
    request.isDaemon = current->isDaemon();
    request.appSettings = current->appSettings();
    request.globalSettings = current->globalSettings();
  }
  notify::distributedCenter().post(kNewSpringBoardAlertNotification, request.toPayload());
}

namespace {
Mutex& factoryLock() {
  static Mutex* lock = new Mutex;
  return *lock;
}
SNTAlertFactory& factorySlot() {
  static SNTAlertFactory* factory = new SNTAlertFactory;
  return *factory;
}
}  // namespace

void setSNTAlertFactory(SNTAlertFactory factory) {
  MutexLock lock(factoryLock());
  factorySlot() = std::move(factory);
}

std::shared_ptr<SNTAlert> makeSNTAlert() {
  SNTAlertFactory factory;
  {
    MutexLock lock(factoryLock());
    factory = factorySlot();
  }
  std::shared_ptr<SNTAlert> alert = factory ? factory() : nullptr;
  return alert ? alert : std::make_shared<SNTAlert>();
}

std::shared_ptr<SNTAlert> SNTAlertFromRequest(const AlertRequest& request) {
  std::shared_ptr<SNTFirewall> firewall = SNTFirewall::pooledFirewallForBundle(
      request.bundleId, request.appName, request.isSystemApp.value_or(false),
      request.isHiddenApp.value_or(false), request.isDaemon.value_or(false), request.globalSettings,
      request.appSettings);
  std::shared_ptr<SNTAlert> alert = SNTInterceptor::newAlert();
  alert->setPid(request.pid);
  if (request.customMessage) alert->setCustomMessage(request.customMessage);
  // The answer goes back under the identifier the app sent, as it was sent.
  SNTAlertCallback callback = [bundleId = request.bundleId, alertId = request.alertId](bool allow) {
    AlertCallback answer;
    answer.alertId = alertId;
    answer.allow = allow;
    notify::distributedCenter().post(alertCallbackNotificationName(bundleId), answer.toPayload());
  };
  if (request.url && !request.url->empty()) {
    alert->initWithUrlString(request.url, request.port, std::move(callback));
  } else {
    alert->initWithHostname(request.host, request.port, std::move(callback));
  }
  alert->setFirewall(firewall);
  return alert;
}

}  // namespace sentrel
