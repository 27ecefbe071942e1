// SNTFirewall: the rule engine's object. One instance stands for one app: who
// it is (bundle id, name, app or daemon, system or hidden app) and the two
// settings dictionaries that decide for it, the whole settings document
// (globalSettings) and the app's own entry (appSettings). It answers whether
// a destination may be reached or must be blocked, writes learning rules,
// and edits the app's entry.
//
// Two ways to get one:
//  - current(): the process firewall, describing this process, created once,
//    kept up to date by two listeners on the distributed center;
//  - pooledFirewallForBundle(): an instance per bundle id that SpringBoard
//    and the Settings app build for other apps; it does not listen and
//    reloads from the settings file each time it is taken from the pool.
//
// Threads. Decisions, switches and look-ups may run on any thread, at the
// same time as a listener replaces a document. Every property lives in one
// immutable snapshot that a setter replaces in one step; a reader takes the
// snapshot without a lock and answers a whole decision from it, so it never
// sees half of a change. Listeners run on the main queue. Edits of one object
// are serialised (a learning rule on one thread and a prompt's edit on
// another never lose each other's host); edits save synchronously on the
// caller's thread.
//
// Settings of the wrong kind. A boolean switch accepts a bool, integer or
// real (non-zero is true); a policy must be a string; the documents, the
// host rule maps and their entries must be dictionaries; "allowed" must be a
// number. Inside the guarded steps of shouldAllow() (the system switch) and
// shouldDeny() (everything after the firewall-off test) a value of the
// wrong kind fails the step: three log lines, and shouldDeny() blocks while
// shouldAllow() refuses. Everywhere else (switches, look-ups, the other
// decision steps, edits, ruleDescription) such a value reads as absent and
// takes the key's default; edits replace it. The exception is a policy:
// policies are compared as text, so a policy of another kind (a number) is
// present and reads as kUncomparablePolicy, which is none of "0" to "3".
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <initializer_list>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/mutex.h"
#include "platform/foundation/url.h"
#include "platform/notify/notification_center.h"
#include "platform/plist/value.h"
#include "tweak/firewall_snapshot.h"

namespace sentrel {

class SNTFirewall;
struct SNTFirewallState;
class ConnectRequestWatch;

namespace internal {

// Why a guarded step failed: a value of the wrong kind, kept as pieces so
// that it can be written out without allocating.
struct WrongKind {
  std::string_view prebuilt;  // a reason written when the document was swapped in
  std::string_view what;      // else "<what> holds a <type> where a <expected> is expected"
  const char* type = nullptr;
  const char* expected = nullptr;

  bool failed() const { return !prebuilt.empty() || type != nullptr; }
  // The reason, written into `out` (cut at `capacity` bytes).
  std::string_view write(char* out, size_t capacity) const;
};

// The parts one after the other in `out`, cut at `capacity` bytes.
std::string_view joinInto(std::initializer_list<std::string_view> parts, char* out,
                          size_t capacity);

// What a decision does besides answering. Ordinary callers log and write
// learning rules at once; the connect hook does both without allocating or
// locking (CHooks.cc).
class DecisionEffects {
 public:
  // One log line, the parts joined.
  virtual void say(std::initializer_list<std::string_view> parts) = 0;
  // A learning rule for `host` (see SNTFirewall::learnRule()).
  virtual void learn(std::string_view host, std::optional<std::string_view> url, int64_t value,
                     bool onlyIfUnset) = 0;
  // A guarded step failed: its three log lines.
  virtual void guardedStepFailed(const WrongKind& failure) = 0;

 protected:
  ~DecisionEffects() = default;
};

}  // namespace internal

// What a policy stored as another kind than text reads as (see above).
inline constexpr const char* kUncomparablePolicy = "(not text)";

// The destination a decision is asked about: a URL request, a URL, a string
// (host name or peer address text), or anything else. Implicit on purpose,
// so shouldAllow(request), shouldAllow(url) and shouldAllow("host") read as
// the hooks' calls do. host() is the host's rule key (ruleKeyOf(): a URL's
// "[::1]" is "::1"); url() is the text as given.
class SNTDestination {
 public:
  SNTDestination() = default;                     // anything else: no host, no URL text
  SNTDestination(const URLRequest& request);      // NOLINT: host and absolute text of its URL
  SNTDestination(const URL& url);                 // NOLINT: its host and absolute text
  SNTDestination(const std::optional<URL>& url);  // NOLINT: a nil URL is "anything else"
  SNTDestination(std::string_view text);          // NOLINT: host and URL text are the text
  SNTDestination(const std::string& text) : SNTDestination(std::string_view(text)) {}  // NOLINT
  SNTDestination(const char* text);  // NOLINT: nullptr is "anything else"

  const std::optional<std::string>& host() const { return host_; }
  const std::optional<std::string>& url() const { return url_; }

 private:
  std::optional<std::string> host_;
  std::optional<std::string> url_;
};

// The firewall pool: bundle id -> pooled firewall. Thread-safe (the design
// asks for it on the main thread only; the lock costs nothing there).
class SNTFirewallPool {
 public:
  std::shared_ptr<SNTFirewall> objectForKey(std::string_view bundleId) const;
  void setObject(std::shared_ptr<SNTFirewall> firewall, std::string bundleId);
  void removeObjectForKey(std::string_view bundleId);
  void removeAllObjects();
  size_t count() const;

 private:
  mutable Mutex mutex_;
  std::map<std::string, std::shared_ptr<SNTFirewall>, std::less<>> map_ GUARDED_BY(mutex_);
};

class SNTFirewall : public std::enable_shared_from_this<SNTFirewall> {
 public:
  // init: every property null or false, no listener.
  SNTFirewall();
  // Removes this object's listeners from the center they were added to.
  ~SNTFirewall();
  SNTFirewall(const SNTFirewall&) = delete;
  SNTFirewall& operator=(const SNTFirewall&) = delete;

  // ---- The process firewall and the pool (any thread) ----

  // Class load: current().
  static void load();
  // The process firewall, created on the first call (init, then
  // loadFromMainBundle()) under a once-only guard; null after unregister(),
  // which nothing undoes.
  static std::shared_ptr<SNTFirewall> current();
  // The process firewall as it is, never creating one.
  static std::shared_ptr<SNTFirewall> current_raw();
  // Drops the process firewall.
  static void unregister();
  // Tests: forgets the process firewall and re-arms the once-only guard.
  static void resetProcessFirewallForTesting();

  static SNTFirewallPool& pool();
  // The pooled firewall of `bundleId`. A known one is reload()ed from the
  // settings file and returned; the other arguments are ignored. Otherwise a
  // new one (no listeners) is filled from the arguments: null or non-
  // dictionary settings become empty dictionaries, isApp = !isDaemon, and
  // name = the process name up to its first "(" when that is not its first
  // character ("Foo (Bar)" -> "Foo "), else the whole name. A null bundle id
  // builds an instance that is not pooled.
  static std::shared_ptr<SNTFirewall> pooledFirewallForBundle(
      std::optional<std::string_view> bundleId, std::optional<std::string_view> processName,
      bool isSystemApp, bool isHiddenApp, bool isDaemon, const plist::Value& globalSettings,
      const plist::Value& appSettings);

  // ---- Identity ----

  // Fills identity and settings from the running process (main bundle, and
  // of the settings only this app's entry and the top-level keys:
  // loadSettingsForApp()), logs "SNTFirewall init(<bundle id>)!", registers
  // the listeners (on the main queue, later, when
  // settingsObserversDeferred()) and settles the system and hidden flags.
  // REQUIRES: this object is owned by a shared_ptr (the listeners hold it
  // weakly and do nothing once it is gone).
  void loadFromMainBundle();
  // Registers the two listeners on notify::distributedCenter() (and has the
  // main queue run the connect hook's requests) and, for an
  // app with a bundle id that is not a system app by its path, takes the
  // system flag from the application workspace ("Failed to find <id> in
  // LSApplicationWorkspace..." when the workspace does not list it).
  void determineIfSystemAppAndInitNotificationListeners();
  // Whether the workspace lists this bundle id with the tag "hidden".
  bool determineIfHiddenApp() const;
  // globalSettings <- PrefHandler::loadSettings(); appSettings <- its
  // "apps" -> bundleId (null when absent). Both in one step.
  void reload();
  // globalSettings and appSettings <- this app's part of the current
  // settings (loadSettingsForApp(): the settings image, else the file), in
  // one step. What the injected library does on "SNT_NEW_SETTINGS" instead
  // of decoding the whole document that the notification carries
  // (settingsObserversDeferred()); SpringBoard writes the file and the image
  // before it posts.
  void refreshOwnSettings();

  // ---- Properties (any thread; each setter replaces one value) ----

  plist::Value globalSettings() const;  // the whole document
  void setGlobalSettings(plist::Value globalSettings);
  plist::Value appSettings() const;  // the app entry; null or empty: no entry
  void setAppSettings(plist::Value appSettings);
  std::optional<std::string> bundleId() const;
  void setBundleId(std::optional<std::string> bundleId);
  bool isDaemon() const;
  void setIsDaemon(bool isDaemon);
  bool isApp() const;
  void setIsApp(bool isApp);
  std::optional<std::string> name() const;
  void setName(std::optional<std::string> name);
  bool isSystemApp() const;
  void setIsSystemApp(bool isSystemApp);
  bool isHiddenApp() const;
  void setIsHiddenApp(bool isHiddenApp);

  // ---- Switches ----

  bool _globalEnabled() const;                 // "snt_enabled", true
  bool _globalSystemEnabled() const;           // "snt_system_apps_enabled", false
  std::string globalDefaultAppPolicy() const;  // "new_app_policy", "3"
  std::string appPolicy() const;               // "new_site_policy", else globalDefaultAppPolicy()
  bool allowAllOutbound() const;               // "allow_all_outbound", false
  bool denyAllOutbound() const;                // "deny_all_outbound", false
  bool allowNewOutbound() const;               // appPolicy() is "1"
  bool blockNewOutbound() const;               // appPolicy() is "2"
  // Whether the firewall filters this app now: the master switch, SpringBoard
  // running (when launchd is visible), the system switch for system apps, the
  // app's "firewall_enabled", else the app policy is not "0". Looks up
  // "launchd" and "SpringBoard" in the device's process table.
  bool enabled() const;
  bool filterStreams() const;       // true unless enabled and the app's "filter_streams" is false
  bool filterWebViews() const;      // likewise with "filter_webviews"
  bool globalHookSyscalls() const;  // true unless enabled and "snt_hook_syscalls" is false
  bool shouldAnimate() const;       // "snt_animations", true
  bool shouldShowBundleIdInPopup() const;                 // "snt_alert_show_bundle", false
  bool shouldShowUrlInPopup() const;                      // "snt_alert_show_url", false
  bool shouldFilterCustomWebkitUrlSchemeHandler() const;  // "snt_filter_custom_scheme", false

  // ---- Rule look-ups (host may be null) ----

  plist::Value hosts() const;  // the app's "domains"; an empty dictionary when none
  // Hosts are looked up by their rule key (ruleKeyOf() in SNTSettings.h).
  int64_t explicitRuleForHost(std::optional<std::string_view> host) const;    // 0 when none
  bool isExplicitRuleForHostSet(std::optional<std::string_view> host) const;  // a stored 0 counts
  // 1 when not enabled, else 2 with deny-all, else 1 with allow-all, else the
  // explicit rule.
  int64_t ruleForHost(std::optional<std::string_view> host) const;
  bool allowHost(std::optional<std::string_view> host) const;
  bool allowHostExplicit(std::optional<std::string_view> host) const;
  static std::optional<std::string> getHostFromHRU(const SNTDestination& destination);
  static std::optional<std::string> getUrlFromHRU(const SNTDestination& destination);

  // ---- Decisions (any thread; never wait for the user) ----
  // Callers ask shouldAllow() first, shouldDeny() second, and ask the user
  // when both are false. Both may write a learning rule (a synchronous save
  // on the calling thread).

  bool shouldAllow(const SNTDestination& destination);
  bool shouldDeny(const SNTDestination& destination);

  // The connect hook's decision, by the process firewall, for the peer
  // address text `peer` (its host and its URL text): kPassThrough when there
  // is no process firewall or it does not filter streams now (enabled() and
  // filterStreams()), else shouldAllow(), then shouldDeny(), on one snapshot:
  // the same steps, log lines and learning rules, handed to `effects`.
  // Async-signal-safe when `effects` is: takes no lock, allocates nothing,
  // throws nothing; the process table is read only as it is mapped already.
  // The snapshot it reads is kept alive by borrowing (a writer replacing it
  // waits for the decision to end), never by a reference count that the
  // hook would have to drop.
  enum class SocketVerdict { kPassThrough, kAllow, kDeny, kAsk };
  static SocketVerdict decideForConnectHook(std::optional<std::string_view> peer,
                                            internal::DecisionEffects& effects);
  // The same steps by this firewall, on one snapshot of it: how the
  // device's supervisor decides a connection of an app it launched, by a
  // firewall it keeps for that app. Allocates only what `effects` does.
  SocketVerdict decideSocket(std::optional<std::string_view> peer,
                             internal::DecisionEffects& effects) const;

  // Writes a learning rule (name: this object's name). With `onlyIfUnset`
  // the rule is written only when the host still has no rule entry once the
  // edit lock is held. The decisions call it; the connect hook's rules come
  // here from the library's main queue.
  void learnRule(std::string_view host, const std::optional<std::string>& url, int64_t value,
                 bool onlyIfUnset);

  // ---- Edits (caller's thread) ----
  // "Notify choice": a host rule other than 0 and the two all-switches are
  // saved with notification exactly when this object does not describe the
  // running process (its bundle id differs from the main bundle's).

  // Puts `entry` at "apps" -> bundleId of a freshly loaded document, saves
  // the document (PrefHandler::saveSettings), adopts `entry` as appSettings
  // and, with `notify`, posts "SNT_NEW_APP_SETTINGS_<bundle id>" with it.
  // Without a bundle id nothing is saved or posted; the entry is adopted.
  void saveAppSettings(const plist::Value& entry, bool notify);
  // Stores {"allowed": value[, "url": urlString]} under the host's rule key
  // (ruleKeyOf()) in the app's "domains" (an earlier "url" stays when
  // urlString is null) and `name` as the entry's "name" when not null. A null host or the service
  // host changes nothing. Logs "save setAppHostRule (<name>, <host>, <value>)".
  void setAppHostRule(std::optional<std::string_view> name, std::optional<std::string_view> host,
                      std::optional<std::string_view> urlString, int64_t value);
  void setAppHostBool(std::optional<std::string_view> name, std::optional<std::string_view> host,
                      std::optional<std::string_view> urlString, bool value);  // 1 / 2
  void setAllowAllOutbound(bool flag);
  void setDenyAllOutbound(bool flag);
  // A global host rule, through a temporary SNTSettings seeded with
  // globalSettings (it reloads the file, refuses the service host and a
  // null host, and notifies exactly when value is not 0). globalSettings
  // itself changes when "SNT_NEW_SETTINGS" arrives.
  void setRuleGlobally(std::optional<std::string_view> host, std::optional<std::string_view> url,
                       int64_t value);
  // Empties the app's "domains" and saves; nothing when appSettings is null
  // or has no "domains".
  void clearAllHosts(bool notify);
  // Removes the app's entry from the document (nothing when appSettings is
  // null): saves an empty entry, then the document without it, with
  // notification; globalSettings becomes that document.
  void deleteApp(bool notify);

  // "<label> (off)", "<label> (all allowed)", "<label> (all blocked)" or
  // "<label> (<allowed>/<total> allowed)"; the label is the name, or the
  // bundle id when "snt_show_bundle_ids" is on.
  std::string ruleDescription() const;

  // ---- Explaining a decision (any thread; no effects) ----

  // What shouldAllow() and then shouldDeny() would answer for `destination`
  // now, with the lines they would log and the learning rules they would
  // write recorded instead of logged and written: nothing is saved, nothing
  // is logged. For `sentrel rules test`.
  struct Explanation {
    enum class Verdict { kAllow, kDeny, kAsk };
    struct Learned {
      std::string host;
      int64_t value = 0;
      bool onlyIfUnset = false;
    };
    Verdict verdict = Verdict::kAsk;
    bool decidedByAllow = false;           // shouldAllow() answered true
    std::vector<std::string> lines;        // the log lines, in order
    std::vector<Learned> learned;          // the learning rules, in order
    std::optional<std::string> wrongKind;  // a guarded step failed on this value
  };
  Explanation explainDecision(const SNTDestination& destination) const;

 private:
  std::shared_ptr<const SNTFirewallState> snapshot() const;
  template <class Change>
  void update(Change&& change);

  bool notifyChoice() const;
  void saveAppSettingsLocked(const plist::Value& entry, bool notify) REQUIRES(edit_mutex_);
  void setAppHostRuleLocked(std::optional<std::string_view> name,
                            std::optional<std::string_view> host,
                            std::optional<std::string_view> urlString, int64_t value)
      REQUIRES(edit_mutex_);
  void setAllOutboundLocked(const char* key, bool flag) REQUIRES(edit_mutex_);
  // The two settings listeners on notify::distributedCenter().
  void addSettingsListeners(const std::string& app_name);

  internal::SnapshotCell<const SNTFirewallState> state_;  // every property
  Mutex state_write_mutex_;                               // serialises read-change-store of state_
  Mutex edit_mutex_;                                      // serialises the edits of this object

  Mutex listeners_mutex_;
  notify::NotificationCenter* listener_center_ GUARDED_BY(listeners_mutex_) = nullptr;
  std::vector<notify::ObserverId> listeners_ GUARDED_BY(listeners_mutex_);
  // Runs the connect hook's requests on the main queue; set with the listeners.
  std::unique_ptr<ConnectRequestWatch> connect_requests_ GUARDED_BY(listeners_mutex_);
};

// Free functions of the identity rules; none of them looks at its argument.
bool determineIfApp(std::optional<std::string_view> bundleId);         // true
bool determineIfDaemon(std::optional<std::string_view> bundleId);      // false
bool _determineIfSystemApp(std::optional<std::string_view> bundleId);  // false

}  // namespace sentrel
