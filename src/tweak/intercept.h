// Host and port helpers of the request hooks: the placeholder that replaces a
// denied or pending destination, and the default port of a URL's scheme.
//
// The placeholder host is "blocked"; the rule engine always lets it through,
// so loading a placeholder never raises a prompt. All functions are
// thread-safe and return new values.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/base/mutex.h"
#include "platform/foundation/url.h"
#include "platform/notify/notification_center.h"

namespace sentrel {

inline constexpr const char* kPlaceholderHost = "blocked";

// The URL "http://blocked/".
std::optional<URL> makeDummyUrl();

// The URL "http://blocked/<host>"; an absent host is written "(null)". No URL
// when the text does not parse (a host text with spaces, for example).
std::optional<URL> makeDummyUrlWithDomain(std::optional<std::string_view> host);

// A new request for makeDummyUrlWithDomain(host); a request without a URL
// when that gives none.
URLRequest makeDummyRequestWithDomain(std::optional<std::string_view> host);

// The port the services database lists for the URL's scheme over TCP
// ("https" -> 443, "http" -> 80), in host byte order. None for an absent
// URL, a URL without a scheme, a scheme the database does not list, or a
// listed port of 0. The URL's explicit port is never consulted.
std::optional<uint16_t> SNTGetPortFromUrlScheme(const std::optional<URL>& url);

// ---- SNTInterceptor ---------------------------------------------------------
// Turns an undecided request of a hook into a prompt request: wraps it in a
// prompt record, keeps the record pending under its identifier, posts it to
// SpringBoard and, when "SNT_ALERT_CALLBACK_<bundle id>" brings the answer,
// calls the hook's callback. Nothing here waits for the answer; a request
// whose answer never comes stays pending for the life of the process.
//
// Threads. The show operations run on the hooks' threads; answers arrive on
// the main queue, where the callbacks run (except the immediate allow of a
// request without a host, which runs on the caller's thread). The pending
// table is locked.

class SNTAlert;

class SNTInterceptor {
 public:
  using Callback = std::function<void(bool allow)>;

  // The process's interceptor, made once (thread-safe), listening on
  // notify::distributedCenter(). Lives as long as the process.
  static SNTInterceptor& shared();

  // Tests: an interceptor on `center`, which must outlive it.
  explicit SNTInterceptor(notify::NotificationCenter& center);
  ~SNTInterceptor();
  SNTInterceptor(const SNTInterceptor&) = delete;
  SNTInterceptor& operator=(const SNTInterceptor&) = delete;

  // A request-level prompt: registers the answer observer on first use; a
  // request without a URL host is allowed at once; otherwise the record is
  // made, registered and posted.
  void showFirewallAlert(const URLRequest& request, Callback callback);
  // A socket-level prompt for host and port, carrying `message`.
  void showUnResumableFirewallAlert(std::optional<std::string> host, std::optional<int64_t> port,
                                    std::optional<std::string> message, Callback callback);
  void _showFirewallAlert(bool resumable, const std::shared_ptr<SNTAlert>& alert,
                          std::optional<std::string> message);
  void registerRequestedAlert(const std::shared_ptr<SNTAlert>& alert);
  // Calls the pending record's callbacks with `allow` and forgets it; an
  // identifier that is not pending is ignored.
  void handleAlertForId(std::optional<std::string_view> alertId, bool allow);

  // A new prompt record from the installed factory (setSNTAlertFactory in
  // SNTAlert.h), destination not yet set.
  static std::shared_ptr<SNTAlert> newAlert();

  // A copy of the pending table.
  std::map<std::string, std::shared_ptr<SNTAlert>> requestedAlerts() const;

 private:
  void registerAnswerObserverOnce();

  notify::NotificationCenter& center_;
  std::once_flag observer_once_;
  std::optional<notify::ObserverId> observer_;  // set once under observer_once_
  mutable Mutex mutex_;
  std::map<std::string, std::shared_ptr<SNTAlert>> requestedAlerts_ GUARDED_BY(mutex_);
};

}  // namespace sentrel
