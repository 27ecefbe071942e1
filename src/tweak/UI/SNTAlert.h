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
class SNTQVAlertViewController;
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

  // This node's callback, taken out (a request merged into another record
  // hands its callback over).
  SNTAlertCallback takeCallback();

  SNTCallbackLLNode* next() const { return next_.get(); }
  SNTCallbackLLNode* lastNode() const { return lastNode_; }
  bool hasCallback() const;

 private:
  mutable Mutex mutex_;  // guards callback_
  SNTAlertCallback callback_;
  std::unique_ptr<SNTCallbackLLNode> next_;
  SNTCallbackLLNode* lastNode_;
};

// What a record's host reads while the name of its address is looked up:
// the address followed by this.
inline constexpr const char* kHostnameLookupSuffix = "_loading";

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
  // Stores rule 1 (2) for host (and ip) without answering: a lasting
  // choice made on a prompt whose record was answered meanwhile still
  // lasts. Never under a host that is no host (an address still being
  // looked up): then only the address gets the rule.
  void storeRule(bool allow);
  // Whether the host is still the placeholder of a running reverse lookup
  // (the address followed by "_loading"): no rule is ever stored under it,
  // and no prompt shows it.
  bool awaitingHostname() const;
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

  // Withdraws the record for its app's settings page: its app's prompts are
  // cleared, the pool forgets the app, the prompt windows go, SpringBoard
  // opens the app's page and, for an app, stops the asking process a second
  // later so that it restarts under its new rules, but only when that pid
  // really is a process of this app on the device. The callbacks are not
  // called. Main queue.
  void openSettings();

  // ---- The prompt queue (SpringBoard, main queue unless said otherwise) ----
  // One prompt is on screen at a time; the others wait in the queue in
  // arrival order. The queue's membership is changed under queueLock().
  //
  // Merges this record into a waiting one for the same host, answers it at
  // once when a rule has appeared, looks up the name of a bare address
  // first, or queues it and presents it.
  void showOrQueue();
  // "Allow <label> to access \n<host>?" with the custom message and, when the
  // app's settings ask for it, the URL.
  std::string promptMessage() const;

  static Mutex& queueLock();
  // REQUIRES: queueLock() held.
  static std::vector<std::shared_ptr<SNTAlert>>& alerts();
  // A copy of the queue, taken under the lock. Any thread.
  static std::vector<std::shared_ptr<SNTAlert>> alertsSnapshot();
  // The record on screen now (state 2 or 3 and its prompt really is up);
  // a record in state 2 or 3 whose prompt is not up is re-queued.
  static std::shared_ptr<SNTAlert> activeAlert();
  // The record whose prompt the prompt window presents.
  static std::shared_ptr<SNTAlert> presentedAlert();
  static void requeueUnhandledAlerts();
  // Hides every window at the prompt level.
  static void removeAllSNTWindows();
  // Shows the first queued record unless one is on screen.
  static void showNextAlert();
  // The first waiting record (state below 4) other than `alert` with the
  // same host text, whatever its app.
  static std::shared_ptr<SNTAlert> findDuplicateQueuedAlertOf(const SNTAlert& alert);
  // Starts the watchdog unless it runs: every 2 s while the queue is not
  // empty it closes a prompt that has been up for 5 s without being in the
  // prompt window, and otherwise asks for the next prompt.
  static void dispatchUnhandledAlertThread();
  // Withdraws every queued record of `bundleId` (a visible one is dismissed
  // without animation); their callbacks are not called.
  static void clearAlertsForBundleId(const std::string& bundleId);
  // "(alert, alert, ...)" with each record's description; after
  // kQueueDescriptionLimit records only how many more there are, so that a
  // long queue costs a bounded amount of log per line.
  static std::string queueDescription();
  static constexpr size_t kQueueDescriptionLimit = 8;
  // A request merged into a waiting record adds its callback to that
  // record's list; one app gets at most this many callbacks on one record.
  // Further requests of that app for the host are answered with block
  // (an app retrying in a tight loop would otherwise grow SpringBoard
  // without bound while the prompt waits).
  static constexpr size_t kMaxMergedCallbacksPerApp = 256;

  // Tests: an empty queue and no watchdog, as in a fresh process.
  static void resetQueueForTesting();

  // The time the queue's delays and ages are measured in: seconds on the
  // main queue's clock.
  static double now();

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
  // The prompt's controller while it is built or shown. The controller
  // holds its record; the record only looks at the controller.
  std::shared_ptr<SNTQVAlertViewController> alertViewController() const {
    return alertViewController_.lock();
  }
  void setAlertViewController(const std::shared_ptr<SNTQVAlertViewController>& controller) {
    alertViewController_ = controller;
  }

 private:
  void storeAnswer(bool allow);
  void hostnameResolved(std::optional<std::string> name);
  void presentQueued(const std::string& message);
  // The merge step's bookkeeping: how many callbacks of each app the list holds.
  bool admitMergedCallbackFrom(const std::optional<std::string>& bundleId);
  // Merges this record's request into `duplicate`: its callback is answered
  // with the duplicate's. False when the duplicate takes no more callbacks
  // of this app (this request is then answered "block"). Queue lock held.
  bool handCallbackTo(SNTAlert& duplicate);
  bool mergeIntoDuplicateAfterLookup();

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
  bool hostnameLookupEnded_ = false;  // its answer (a name or none) came back
  std::optional<std::string> customMessage_;
  std::weak_ptr<SNTQVAlertViewController> alertViewController_;
  std::vector<std::pair<std::string, size_t>> mergedCallbacks_;  // per bundle id
  // The lookup's grace ran out and the record went on with the address: a
  // name that comes later is not taken (the prompt asks about the address).
  bool wentOnWithAddress_ = false;
};

// What the prompt queue asks of the screen. SpringBoard's drawn half
// installs one before its services start; without one the records wait in
// the queue and nothing is shown. Main queue only.
class SNTPromptScreen {
 public:
  virtual ~SNTPromptScreen() = default;
  // The record whose controller the prompt window presents, or null.
  virtual std::shared_ptr<SNTAlert> presentedAlert() = 0;
  // Whether the record's prompt is up: its controller's view is loaded and
  // in a window, and so is that view's superview.
  virtual bool isOnScreen(const SNTAlert& alert) = 0;
  // Hides every window at the prompt level.
  virtual void removeAllSNTWindows() = 0;
  // Builds the record's prompt with `message` and presents it in a prompt
  // window (the record's state becomes 3). Throws when the prompt cannot be
  // built or presented.
  virtual void present(const std::shared_ptr<SNTAlert>& alert, const std::string& message,
                       bool animated) = 0;
  // Dismisses the record's prompt without animation; with `deactivate`, the
  // controller then hands control back to the queue.
  virtual void dismissPrompt(const SNTAlert& alert, bool deactivate) = 0;
};
void setSNTPromptScreen(std::shared_ptr<SNTPromptScreen> screen);
std::shared_ptr<SNTPromptScreen> SNTPromptScreenInstalled();

// Whether process `pid` is a process of this device started for the app
// `bundleId` (its bundle's identifier, as the launcher recorded it), and is
// neither this process nor the device's launchd. What openSettings() asks
// before it stops a process whose pid came in a request.
bool SNTIsProcessOfApp(int64_t pid, const std::string& bundleId);

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
