// SNTAlert: one question for the user, "may this app reach this host?", and
// SNTCallbackLLNode, the list of callbacks waiting for its answer.
//
// In an app process the interceptor makes a record per undecided request,
// keeps it pending and posts it to SpringBoard (postToSpringBoard); its state
// stays 0. In SpringBoard a second record is built from the posted payload;
// the prompt queue moves it through its states and the answer operations
// below write the rule and call the callbacks.
//
// Threads. A record is set up on one thread and then handed over: in an app
// to the interceptor's table, in SpringBoard to its main queue, where every
// later operation runs. Changes to the prompt queue's membership are made
// under queueLock(). A callback runs at most once, whatever thread calls
// invokeAll().
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/base/mutex.h"
#include "platform/foundation/url.h"

namespace sentrel {

class SNTFirewall;
struct AlertRequest;

// An answer callback: true allows, false blocks.
using SNTAlertCallback = std::function<void(bool allow)>;

// One node of a callback list. The head knows the tail (lastNode), so
// appending is constant time.
class SNTCallbackLLNode {
 public:
  // initWithCallback: the node's lastNode is the node itself.
  explicit SNTCallbackLLNode(SNTAlertCallback callback);
  ~SNTCallbackLLNode();
  SNTCallbackLLNode(const SNTCallbackLLNode&) = delete;
  SNTCallbackLLNode& operator=(const SNTCallbackLLNode&) = delete;

  // Appends a node for `callback` at the tail. Call on the head only.
  void addCallback(SNTAlertCallback callback);

  // Calls every callback still set, in list order, with `allow`, clearing
  // each before it runs, so a second invokeAll() calls nothing.
  void invokeAll(bool allow);

  SNTCallbackLLNode* next() const { return next_.get(); }
  SNTCallbackLLNode* lastNode() const { return lastNode_; }
  bool hasCallback() const;

 private:
  mutable Mutex mutex_;  // guards callback_
  SNTAlertCallback callback_;
  std::unique_ptr<SNTCallbackLLNode> next_;
  SNTCallbackLLNode* lastNode_;
};

// Prompt states.
enum SNTAlertState : int32_t {
  kSNTAlertStateNew = 0,
  kSNTAlertStateQueued = 1,
  kSNTAlertStatePresenting = 2,
  kSNTAlertStatePresented = 3,
  kSNTAlertStateHandled = 4,
};

class SNTAlert : public std::enable_shared_from_this<SNTAlert> {
 public:
  // init: state 0, a fresh upper-case UUID, resumable.
  SNTAlert();
  virtual ~SNTAlert();
  SNTAlert(const SNTAlert&) = delete;
  SNTAlert& operator=(const SNTAlert&) = delete;

  // ---- Set-up: once, on a record fresh from init ----
  void initWithHostname(std::optional<std::string> host, std::optional<int64_t> port,
                        SNTAlertCallback callback);
  // host, port (else the scheme's default port) and absolute text of the URL.
  void initWithRequest(const URLRequest& request, SNTAlertCallback callback);
  void initWithUrl(const std::optional<URL>& url, SNTAlertCallback callback);
  // The host of the parsed text; the given port, else the scheme's default;
  // the text itself as url.
  void initWithUrlString(std::optional<std::string> urlString, std::optional<int64_t> port,
                         SNTAlertCallback callback);

  // "App: <bundle id>, Host: <host>, State: <state>".
  std::string description() const;

  // ---- Answers ----
  // Records that the app asked about host: an undefined rule (0), unless the
  // host is an address or already has a rule of any value.
  void setRuleUndefinedIfNotSet();
  // Store rule 1 (2) for host (and ip) in the app's entry, then answer.
  void allowAlways();
  void blockAlways();
  // State 4, out of the queue (the pool forgets the app when the queue is
  // empty), the list answered asynchronously on the main queue, next prompt.
  void handleWithCallback(std::shared_ptr<SNTCallbackLLNode> list, bool allow);
  // Back to state 1 unless handled.
  void reQueueIfNotHandled();
  // Answers the callbacks now, on the calling thread, when a rule for host
  // has appeared; false when there is none (or no firewall or host).
  bool handleIfDefined();
  // Posts "SNT_NEW_SPRINGBOARD_ALERT" with this request (app side).
  void postToSpringBoard();

  // ---- The prompt queue (SpringBoard) ----
  static Mutex& queueLock();
  // REQUIRES: queueLock() held.
  static std::vector<std::shared_ptr<SNTAlert>>& alerts();
  // A copy of the queue, taken under the lock.
  static std::vector<std::shared_ptr<SNTAlert>> alertsSnapshot();
  // Shows the next queued prompt. Prompts are not drawn yet: this is where
  // the queue hands over to the prompt windows.
  static void showNextAlert();
  // "(alert, alert, ...)" with each record's description.
  static std::string queueDescription();

  // ---- Fields ----
  int32_t state() const { return state_; }
  void setState(int32_t state) { state_ = state; }
  const std::optional<std::string>& host() const { return host_; }
  void setHost(std::optional<std::string> host) { host_ = std::move(host); }
  const std::optional<std::string>& ip() const { return ip_; }
  void setIp(std::optional<std::string> ip) { ip_ = std::move(ip); }
  const std::optional<int64_t>& port() const { return port_; }
  void setPort(std::optional<int64_t> port) { port_ = port; }
  const std::optional<std::string>& url() const { return url_; }
  void setUrl(std::optional<std::string> url) { url_ = std::move(url); }
  const std::shared_ptr<SNTFirewall>& firewall() const { return firewall_; }
  void setFirewall(std::shared_ptr<SNTFirewall> firewall) { firewall_ = std::move(firewall); }
  const std::optional<int64_t>& pid() const { return pid_; }
  void setPid(std::optional<int64_t> pid) { pid_ = pid; }
  const std::shared_ptr<SNTCallbackLLNode>& callbackList() const { return callbackList_; }
  void setCallbackList(std::shared_ptr<SNTCallbackLLNode> list) { callbackList_ = std::move(list); }
  bool cancelled() const { return cancelled_; }
  void setCancelled(bool cancelled) { cancelled_ = cancelled; }
  bool isResumable() const { return isResumable_; }
  void setIsResumable(bool resumable) { isResumable_ = resumable; }
  const std::string& uuid() const { return uuid_; }
  void setUuid(std::string uuid) { uuid_ = std::move(uuid); }
  const std::optional<double>& presentedTime() const { return presentedTime_; }
  void setPresentedTime(std::optional<double> time) { presentedTime_ = time; }
  const std::optional<double>& hostnameLookupRequested() const { return hostnameLookupRequested_; }
  void setHostnameLookupRequested(std::optional<double> time) { hostnameLookupRequested_ = time; }
  const std::optional<std::string>& customMessage() const { return customMessage_; }
  void setCustomMessage(std::optional<std::string> message) { customMessage_ = std::move(message); }

 private:
  void storeAnswer(bool allow);

  int32_t state_ = kSNTAlertStateNew;
  std::optional<std::string> host_;
  std::optional<std::string> ip_;
  std::optional<int64_t> port_;
  std::optional<std::string> url_;
  std::shared_ptr<SNTFirewall> firewall_;
  std::optional<int64_t> pid_;
  std::shared_ptr<SNTCallbackLLNode> callbackList_;
  bool cancelled_ = false;
  bool isResumable_ = true;
  std::string uuid_;
  std::optional<double> presentedTime_;  // seconds since 1970
  std::optional<double> hostnameLookupRequested_;
  std::optional<std::string> customMessage_;
};

// What SNTInterceptor::newAlert() makes: by default a plain SNTAlert. The
// drawn half of the tweak installs its own kind of record (one that can
// build its prompt) before SpringBoard's services start; a null factory
// restores the default. Any thread.
using SNTAlertFactory = std::function<std::shared_ptr<SNTAlert>()>;
void setSNTAlertFactory(SNTAlertFactory factory);
// A new record from the installed factory (a plain one when the factory
// gives none).
std::shared_ptr<SNTAlert> makeSNTAlert();

// SpringBoard's prompt record for an app's prompt request: the app's pooled
// firewall, its pid and message, its destination (from "url" when it is not
// empty, else from "host") and a callback that posts the answer to the app
// as "SNT_ALERT_CALLBACK_<bundle id>" with the request's "alert_id".
std::shared_ptr<SNTAlert> SNTAlertFromRequest(const AlertRequest& request);

}  // namespace sentrel
