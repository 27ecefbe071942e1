// The prompt queue: SpringBoard shows one prompt at a time. Requests arrive
// from many apps, in bursts and often several for one host; each is merged
// into a waiting record for the same host, answered at once when a rule has
// appeared, looked up first when its host is a bare address, or queued and
// shown. Prompts that leave the screen unanswered go back into the queue, and
// a watchdog closes stale ones and keeps the queue moving.
//
// Everything here runs on SpringBoard's main queue. The watchdog is a timer
// on that queue too (every 2 s while the queue has records), so the windows
// are never read from another thread.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <exception>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "platform/base/mutex.h"
#include "platform/bundle/main_bundle.h"
#include "platform/log/system_log.h"
#include "platform/proc/process_table.h"
#include "platform/runloop/run_loop.h"
#include "tweak/Network/ReverseDNSLookup.h"
#include "tweak/SNTFirewall.h"
#include "tweak/UI/SNTAlert.h"
#include "tweak/common.h"
#include "tweak/preftools.h"

namespace sentrel {
namespace {

using namespace std::chrono_literals;

constexpr double kLookupGraceSeconds = 2;
constexpr auto kRetryDelay = 1s;
constexpr auto kWatchdogPeriod = 2s;
constexpr double kStaleAgeSeconds = 5;

Mutex& screenLock() {
  static Mutex* lock = new Mutex;
  return *lock;
}
std::shared_ptr<SNTPromptScreen>& screenSlot() {
  static auto* screen = new std::shared_ptr<SNTPromptScreen>;
  return *screen;
}

bool& watchdogRunning() {
  static bool running = false;  // main queue only
  return running;
}

std::string text(const std::optional<std::string>& value) {
  return value.value_or("(null)");
}

bool inQueue(const std::vector<std::shared_ptr<SNTAlert>>& queue, const SNTAlert* alert) {
  return std::any_of(queue.begin(), queue.end(),
                     [alert](const std::shared_ptr<SNTAlert>& a) { return a.get() == alert; });
}

void removeFromQueue(const SNTAlert* alert) {
  MutexLock lock(SNTAlert::queueLock());
  std::erase_if(SNTAlert::alerts(),
                [alert](const std::shared_ptr<SNTAlert>& a) { return a.get() == alert; });
}

void watchdogPass();

void scheduleWatchdogPass() {
  runloop::afterMain(kWatchdogPeriod, watchdogPass);
}

void watchdogPass() {
  if (SNTAlert::alertsSnapshot().empty() || SNTAlert::presentedAlert() != nullptr) {
    // The next showOrQueue starts it again.
    watchdogRunning() = false;
    return;
  }
  const double oldestValidTime = SNTAlert::now() - kStaleAgeSeconds;
  std::shared_ptr<SNTAlert> active = SNTAlert::activeAlert();
  if (active && active->presentedTime() && *active->presentedTime() < oldestValidTime) {
    log::line("presentedTime is earlier than oldestValidTime! Closing alert");
    active->reQueueIfNotHandled();
    if (std::shared_ptr<SNTPromptScreen> screen = SNTPromptScreenInstalled()) {
      screen->dismissPrompt(*active, /*deactivate=*/true);
    }
  } else {
    SNTAlert::showNextAlert();
  }
  if (SNTAlert::alertsSnapshot().empty()) {
    watchdogRunning() = false;
    return;
  }
  scheduleWatchdogPass();
}

}  // namespace

void setSNTPromptScreen(std::shared_ptr<SNTPromptScreen> screen) {
  MutexLock lock(screenLock());
  screenSlot() = std::move(screen);
}

std::shared_ptr<SNTPromptScreen> SNTPromptScreenInstalled() {
  MutexLock lock(screenLock());
  return screenSlot();
}

double SNTAlert::now() {
  return std::chrono::duration<double>(runloop::MainQueue::get().clock().now().time_since_epoch())
      .count();
}

Mutex& SNTAlert::queueLock() {
  static Mutex lock;
  return lock;
}

std::vector<std::shared_ptr<SNTAlert>>& SNTAlert::alerts() {
  static auto* queue = new std::vector<std::shared_ptr<SNTAlert>>;
  return *queue;
}

std::vector<std::shared_ptr<SNTAlert>> SNTAlert::alertsSnapshot() {
  MutexLock lock(queueLock());
  return alerts();
}

std::string SNTAlert::queueDescription() {
  std::vector<std::shared_ptr<SNTAlert>> queue = alertsSnapshot();
  std::string out = "(";
  const size_t shown = std::min(queue.size(), kQueueDescriptionLimit);
  for (size_t i = 0; i < shown; ++i) out += (i ? ", " : "") + queue[i]->description();
  if (queue.size() > shown) out += ", ... " + std::to_string(queue.size() - shown) + " more";
  return out + ")";
}

std::string SNTAlert::promptMessage() const {
  std::string label = text(firewall_ ? firewall_->name() : std::nullopt);
  const std::string bundleId = text(firewall_ ? firewall_->bundleId() : std::nullopt);
  if (firewall_ != nullptr) {
    if (firewall_->globalSettings().get(key::kShowBundleIds).numberAsBool().value_or(false)) {
      label = bundleId;
    } else if (firewall_->shouldShowBundleIdInPopup()) {
      label += " (" + bundleId + ")";
    }
  }
  const std::string custom = customMessage_ ? "\n\n" + *customMessage_ : "";
  const std::string urlPart =
      url_ && firewall_ != nullptr && firewall_->shouldShowUrlInPopup() ? "\n\nURL: " + *url_ : "";
  return "Allow " + label + " to access \n" + text(host_) + "?" + custom + urlPart;
}

bool SNTAlert::handCallbackTo(SNTAlert& duplicate) {
  if (!callbackList_ || !duplicate.callbackList_) return true;
  const std::optional<std::string> from =
      firewall_ ? firewall_->bundleId() : std::optional<std::string>();
  if (!duplicate.admitMergedCallbackFrom(from)) return false;
  duplicate.callbackList_->addCallback(callbackList_->takeCallback());
  return true;
}

bool SNTAlert::admitMergedCallbackFrom(const std::optional<std::string>& bundleId) {
  const std::string key = bundleId.value_or("");
  if (mergedCallbacks_.empty()) {
    // The record's own request is the first callback of its app.
    mergedCallbacks_.emplace_back(firewall_ ? firewall_->bundleId().value_or("") : std::string(),
                                  1);
  }
  auto it = std::find_if(mergedCallbacks_.begin(), mergedCallbacks_.end(),
                         [&](const auto& entry) { return entry.first == key; });
  if (it == mergedCallbacks_.end()) {
    mergedCallbacks_.emplace_back(key, 1);
    return true;
  }
  if (it->second >= kMaxMergedCallbacksPerApp) return false;
  ++it->second;
  return true;
}

void SNTAlert::showOrQueue() {
  dispatchUnhandledAlertThread();

  // A record waiting for its name is shown once the lookup answered, or
  // has had its time: the grace is a limit, not a wait.
  if (hostnameLookupRequested_ && !hostnameLookupEnded_ &&
      *hostnameLookupRequested_ > now() - kLookupGraceSeconds) {
    runloop::afterMain(kRetryDelay, [] { showNextAlert(); });
    return;
  }
  if (awaitingHostname()) {
    // The name did not come in time: the prompt asks about the address the
    // app connects to, and a name that comes later is not taken (it would
    // change the question while the user reads it).
    log::line("no hostname for " + text(ip_) + " in time; asking about the address");
    host_ = ip_;
    wentOnWithAddress_ = true;
  }

  if (!hostnameLookupRequested_ && ReverseDNSLookup::isValidIP(host_)) {
    const std::string address = *host_;
    log::line("requesting hostname lookup for " + address + "! ");
    hostnameLookupRequested_ = now();
    ip_ = address;
    host_ = address + kHostnameLookupSuffix;
    std::weak_ptr<SNTAlert> weak = weak_from_this();
    ReverseDNSLookup(address).resolveWithCompletionHandler([weak](std::optional<std::string> name) {
      if (std::shared_ptr<SNTAlert> self = weak.lock()) self->hostnameResolved(std::move(name));
    });
    {
      MutexLock lock(queueLock());
      if (!inQueue(alerts(), this)) alerts().push_back(shared_from_this());
    }
    reQueueIfNotHandled();
    runloop::afterMain(kRetryDelay, [] { showNextAlert(); });
    return;
  }

  // Merge or queue.
  bool dropped = false;
  bool answerBlock = false;
  std::shared_ptr<SNTCallbackLLNode> refused;
  {
    MutexLock lock(queueLock());
    std::vector<std::shared_ptr<SNTAlert>>& queue = alerts();
    std::shared_ptr<SNTAlert> duplicate = findDuplicateQueuedAlertOf(*this);
    if (inQueue(queue, this)) {
      log::line("Re-showing this alert...");
    } else if (duplicate != nullptr) {
      dropped = true;
      if (!handCallbackTo(*duplicate)) {
        answerBlock = true;
        refused = callbackList_;
      }
    } else if (cancelled_) {
      dropped = true;
    } else {
      queue.push_back(shared_from_this());
    }
  }
  if (answerBlock) {
    // Counted per record, so the line comes once per host and app however
    // often the app asks.
    runloop::asyncMain([refused] { refused->invokeAll(false); });
  }
  if (dropped) {
    showNextAlert();
    return;
  }

  log::line("show or queue queued request: showFirewallAlert (" + description() + ")");
  const std::string message = promptMessage();
  log::line("Sentrel: msg = " + message);

  if (handleIfDefined()) {
    handleWithCallback(nullptr, true);
    log::line("We were able to handle (" + description() + ")! Finding next queued alert!");
    return;
  }

  setRuleUndefinedIfNotSet();
  log::line("dispatching " + text(host_) + " to main queue.");
  runloop::asyncMain([self = shared_from_this(), message] { self->presentQueued(message); });
  log::line("Sentrel:Dispatched!");
}

void SNTAlert::hostnameResolved(std::optional<std::string> name) {
  log::line("got hostname  for " + text(ip_) + ": " + text(name) + "! ");
  hostnameLookupEnded_ = true;
  if (wentOnWithAddress_ || state_ >= kSNTAlertStatePresenting || cancelled_) {
    // The record went on with the address (or was answered, or withdrawn):
    // the request it stands for is asked, or answered, once.
    log::line("the hostname for " + text(ip_) + " came after the prompt went on; ignored");
    return;
  }
  // Without a name the address is what the app asked for: a null host would
  // pass every rule.
  host_ = name ? name : ip_;
  setRuleUndefinedIfNotSet();
  if (firewall_ != nullptr && name) {
    const bool allowed = firewall_->shouldAllow(*name);
    const bool denied = !allowed && firewall_->shouldDeny(*name);
    const int64_t stored = firewall_->explicitRuleForHost(*name);
    if ((allowed && stored == 1) || (denied && stored == 2)) {
      // The name's own rule answers, and is copied to the address that
      // the app connects to.
      firewall_->setAppHostBool(firewall_->name(), ip_, std::nullopt, allowed);
      handleWithCallback(callbackList_, allowed);
    } else if (allowed || denied) {
      // Decided without a rule of the name's own (localhost, which is always
      // let through, or a rule of another scope): answering by the name would
      // leave the address without a rule, so the app's retries would be
      // answered the same way and a socket app would never connect, nor be
      // asked. The user is asked about the address instead.
      log::line("The name " + *name + " of " + text(ip_) +
                " has no rule of its own; asking about the address");
      host_ = ip_;
    }
  }
  if (state_ >= kSNTAlertStateHandled || !mergeIntoDuplicateAfterLookup()) reQueueIfNotHandled();
  runloop::asyncMain([] { showNextAlert(); });
}

// Requests for one address that came while each waited for its own lookup
// are one question once they have their host: the record whose lookup ends
// last hands its callback to the one already queued and leaves the queue, as
// a request merged on arrival would have.
bool SNTAlert::mergeIntoDuplicateAfterLookup() {
  std::shared_ptr<SNTCallbackLLNode> refused;
  {
    MutexLock lock(queueLock());
    std::shared_ptr<SNTAlert> duplicate = findDuplicateQueuedAlertOf(*this);
    if (duplicate == nullptr) return false;
    if (!handCallbackTo(*duplicate)) refused = callbackList_;
    cancelled_ = true;
    std::erase_if(alerts(), [this](const std::shared_ptr<SNTAlert>& a) { return a.get() == this; });
  }
  log::line("Merged " + description() + " into the request already queued for its host");
  if (refused) runloop::asyncMain([refused] { refused->invokeAll(false); });
  return true;
}

void SNTAlert::presentQueued(const std::string& message) {
  log::line("Sentrel: Main queue presenting queued alert:" + description() + "!");
  if (std::shared_ptr<SNTAlert> presented = presentedAlert()) {
    // Two retries of the queue can both dispatch the same record: once it is
    // up, the second finds it there and leaves it be (queued again while on
    // screen, it would be presented a second time).
    if (presented.get() == this) return;
    log::line("Unable to present queued alert:" + description() + "! " + presented->description() +
              " is currently active.");
    reQueueIfNotHandled();
    return;
  }
  if (std::shared_ptr<SNTAlert> active = activeAlert()) active->reQueueIfNotHandled();
  if (state_ >= kSNTAlertStateHandled) return;  // answered while it waited for the main queue

  state_ = kSNTAlertStatePresenting;
  removeAllSNTWindows();
  requeueUnhandledAlerts();

  std::shared_ptr<SNTPromptScreen> screen = SNTPromptScreenInstalled();
  try {
    if (screen == nullptr) throw std::runtime_error("no prompt screen in this process");
    const bool animated = firewall_ == nullptr || firewall_->shouldAnimate();
    screen->present(shared_from_this(), message, animated);
  } catch (const std::exception& e) {
    log::line(std::string("Exception: SNTAlertPresentation ") + e.what(), log::Level::kError);
    // The app's request is blocked. The record leaves the queue with its
    // answer: left there, it would be presented and fail again at every
    // watchdog pass.
    handleWithCallback(callbackList_, false);
  }
}

std::shared_ptr<SNTAlert> SNTAlert::activeAlert() {
  std::shared_ptr<SNTAlert> first;
  {
    MutexLock lock(queueLock());
    for (const std::shared_ptr<SNTAlert>& alert : alerts()) {
      if (alert->state_ == kSNTAlertStatePresenting || alert->state_ == kSNTAlertStatePresented) {
        first = alert;
        break;
      }
    }
  }
  if (first == nullptr) return nullptr;
  std::shared_ptr<SNTPromptScreen> screen = SNTPromptScreenInstalled();
  if (screen != nullptr && screen->isOnScreen(*first)) return first;
  first->reQueueIfNotHandled();
  return nullptr;
}

std::shared_ptr<SNTAlert> SNTAlert::presentedAlert() {
  std::shared_ptr<SNTPromptScreen> screen = SNTPromptScreenInstalled();
  return screen ? screen->presentedAlert() : nullptr;
}

void SNTAlert::requeueUnhandledAlerts() {
  for (const std::shared_ptr<SNTAlert>& alert : alertsSnapshot()) alert->reQueueIfNotHandled();
}

void SNTAlert::removeAllSNTWindows() {
  if (std::shared_ptr<SNTPromptScreen> screen = SNTPromptScreenInstalled()) {
    screen->removeAllSNTWindows();
  }
}

void SNTAlert::showNextAlert() {
  const std::vector<std::shared_ptr<SNTAlert>> queue = alertsSnapshot();
  log::line("showNextAlert: queuedAlerts: " + queueDescription());
  if (std::shared_ptr<SNTAlert> active = activeAlert()) {
    log::line("showNextAlert: attempted to find a queued alert, but found an active request for " +
              active->description() + "!");
    return;
  }
  for (const std::shared_ptr<SNTAlert>& alert : queue) {
    if (alert->state_ != kSNTAlertStateQueued) continue;
    log::line("showNextAlert: Found a queued request for " + text(alert->host_) + "!");
    alert->showOrQueue();
    return;
  }
  log::line("Failed to find a queued request!");
}

std::shared_ptr<SNTAlert> SNTAlert::findDuplicateQueuedAlertOf(const SNTAlert& alert) {
  for (const std::shared_ptr<SNTAlert>& queued : alerts()) {
    if (queued.get() == &alert || queued->state_ >= kSNTAlertStateHandled) continue;
    if (queued->host_ == alert.host_) return queued;
  }
  return nullptr;
}

void SNTAlert::dispatchUnhandledAlertThread() {
  if (watchdogRunning()) return;
  watchdogRunning() = true;
  scheduleWatchdogPass();
}

void SNTAlert::clearAlertsForBundleId(const std::string& bundleId) {
  log::line("Clearing all alerts for bundleId: " + bundleId + ": " + queueDescription());
  for (const std::shared_ptr<SNTAlert>& alert : alertsSnapshot()) {
    if (alert->firewall_ == nullptr || alert->firewall_->bundleId() != bundleId) continue;
    runloop::asyncMain([alert] {
      if (std::shared_ptr<SNTPromptScreen> screen = SNTPromptScreenInstalled()) {
        screen->dismissPrompt(*alert, /*deactivate=*/false);
      }
    });
    alert->cancelled_ = true;
    removeFromQueue(alert.get());
  }
  log::line("Cleared all alerts for bundleId: " + bundleId + ": " + queueDescription());
}

void SNTAlert::openSettings() {
  cancelled_ = true;
  std::optional<std::string> bundleId = firewall_ ? firewall_->bundleId() : std::nullopt;
  if (bundleId) {
    clearAlertsForBundleId(*bundleId);
    SNTFirewall::pool().removeObjectForKey(*bundleId);
  } else {
    removeFromQueue(this);
  }
  removeAllSNTWindows();
  PrefHandler::launchTweakSettingsForApp(firewall_.get());
  if (firewall_ == nullptr || !firewall_->isApp() || !pid_) {
    log::line("openSettings: no app process to stop for " + description());
    return;
  }
  // The pid came in the app's request: only a process of that app is ever
  // stopped, never SpringBoard, launchd or another app.
  const int64_t pid = *pid_;
  if (!bundleId || !SNTIsProcessOfApp(pid, *bundleId)) {
    log::line("openSettings: pid " + std::to_string(pid) + " is not a process of " +
                  text(bundleId) + "; not stopping it",
              log::Level::kWarning);
    return;
  }
  runloop::afterMain(kRetryDelay, [pid, bundle = *bundleId] {
    // Checked again: the process may have ended and its pid been reused.
    if (!SNTIsProcessOfApp(pid, bundle)) {
      log::line("openSettings: pid " + std::to_string(pid) + " is no longer a process of " +
                bundle + "; not stopping it");
      return;
    }
    log::line("openSettings: stopping " + bundle + " (pid " + std::to_string(pid) + ")");
    SNT_kill_pid(pid);
  });
}

void SNTAlert::resetQueueForTesting() {
  {
    MutexLock lock(queueLock());
    alerts().clear();
  }
  watchdogRunning() = false;
}

bool SNTIsProcessOfApp(int64_t pid, const std::string& bundleId) {
  if (pid <= 1 || pid > std::numeric_limits<pid_t>::max() || pid == ::getpid()) return false;
  Result<std::vector<proc::ProcessRecord>> table = proc::deviceProcessTable().snapshot();
  if (!table) return false;
  const bool onDevice = std::any_of(table->begin(), table->end(), [pid](const auto& record) {
    return record.pid == static_cast<pid_t>(pid);
  });
  if (!onDevice) return false;
  return bundle::bundleIdentifierOfProcess(static_cast<int>(pid)) == bundleId;
}

}  // namespace sentrel
