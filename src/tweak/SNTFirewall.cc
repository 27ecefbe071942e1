#include "tweak/SNTFirewall.h"

#include <execinfo.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <utility>

#include "platform/apps/application_workspace.h"
#include "platform/base/mutex.h"
#include "platform/bundle/main_bundle.h"
#include "platform/log/system_log.h"
#include "platform/paths/device_paths.h"
#include "platform/proc/process_table.h"
#include "platform/runloop/run_loop.h"
#include "tweak/SNTMessagingCenter.h"
#include "tweak/SNTSettings.h"
#include "tweak/common.h"
#include "tweak/connect_requests.h"
#include "tweak/intercept.h"
#include "tweak/preftools.h"
#include "tweak/settings_image.h"

namespace sentrel {

namespace internal {

// A value of the documents as the decisions read it: what a lenient reader
// sees, and why a strict reader fails (empty when it does not).
template <class T>
struct Field {
  std::optional<T> value;
  std::string wrong;
};

// The values every decision reads, looked up once when a document is
// swapped in rather than on every decision. Views and pointers point into
// the documents of the same snapshot.
struct FirewallDigest {
  Field<bool> enabled;        // "snt_enabled"
  Field<bool> systemEnabled;  // "snt_system_apps_enabled"
  Field<std::string_view> newAppPolicy;
  Field<bool> firewallEnabled;  // of the app entry
  Field<bool> allowAll;
  Field<bool> denyAll;
  Field<std::string_view> newSitePolicy;
  Field<const plist::Dict*> domains;
  const plist::Dict* globalHosts = nullptr;  // read leniently, as SNTSettings reads it
};

}  // namespace internal

// Every property of one firewall object; immutable once published.
struct SNTFirewallState {
  plist::Value globalSettings;
  plist::Value appSettings;
  std::optional<std::string> bundleId;
  bool isDaemon = false;
  bool isApp = false;
  std::optional<std::string> name;
  bool isSystemApp = false;
  bool isHiddenApp = false;
  internal::FirewallDigest digest;  // of globalSettings and appSettings
};

namespace {

constexpr const char* kLaunchdProcessName = "launchd";
constexpr const char* kSpringBoardProcessName = "SpringBoard";
constexpr const char* kLocalhost = "localhost";
constexpr const char* kSystemApplicationType = "System";
constexpr const char* kHiddenTag = "hidden";

// "%@" of a text that may be absent.
std::string objectText(std::optional<std::string_view> text) {
  return text ? std::string(*text) : std::string("(null)");
}

// ---------------------------------------------------------------------------
// Reading the documents.

// How a value of the wrong kind reads. Lenient (the default): as absent.
// Strict, inside a guarded step: it fails the step (the phone raises an
// exception there). A strict reading records the first failure in its
// WrongKind and reads the value as absent; the step checks the WrongKind
// before it acts. Nothing is thrown and nothing allocated, so the connect
// hook decides by the same code.
class Reading {
 public:
  constexpr Reading() = default;
  explicit constexpr Reading(internal::WrongKind* failure) : failure_(failure) {}

  void fail(std::string_view prebuilt) const {
    if (failure_ != nullptr && !failure_->failed()) failure_->prebuilt = prebuilt;
  }
  void fail(std::string_view what, const plist::Value& value, const char* expected) const {
    if (failure_ == nullptr || failure_->failed()) return;
    failure_->what = what;
    failure_->type = plist::typeName(value.type());
    failure_->expected = expected;
  }

 private:
  internal::WrongKind* failure_ = nullptr;
};

std::string wrongKindReason(std::string_view what, const plist::Value& value,
                            const char* expected) {
  return std::string(what) + " holds a " + plist::typeName(value.type()) + " where a " + expected +
         " is expected";
}

// The frames of the calling thread, one per line, as glibc names them.
std::string callStackText() {
  std::array<void*, 32> frames{};
  const int count = ::backtrace(frames.data(), static_cast<int>(frames.size()));
  std::string text = "(";
  char** symbols = ::backtrace_symbols(frames.data(), count);
  for (int i = 0; i < count; ++i) {
    text += "\n    ";
    text += symbols ? symbols[i] : "?";
  }
  std::free(symbols);
  return text + "\n)";
}

void logGuardedStepFailure(std::string_view name, std::string_view reason,
                           std::string_view call_stack) {
  log::line("Exception: " + std::string(name) + " " + std::string(reason), log::Level::kError);
  log::line(call_stack, log::Level::kError);
  log::line("Intercept... prematurely blocking because prefs aren't loaded", log::Level::kError);
}

// The dictionary `value` holds; nullptr when it is null (absent) or, read
// leniently, of another kind.
const plist::Dict* dictionaryOf(const plist::Value& value, std::string_view what, Reading reading) {
  if (value.isNull()) return nullptr;
  if (const plist::Dict* dict = value.asDict()) return dict;
  reading.fail(what, value, "dictionary");
  return nullptr;
}

const plist::Value* valueIn(const plist::Dict* dict, std::string_view key) {
  return dict ? dict->find(key) : nullptr;
}

std::optional<bool> boolIn(const plist::Dict* dict, std::string_view key, Reading reading) {
  const plist::Value* value = valueIn(dict, key);
  if (!value || value->isNull()) return std::nullopt;
  if (std::optional<bool> flag = value->numberAsBool()) return flag;
  reading.fail(key, *value, "number");
  return std::nullopt;
}

std::optional<int64_t> integerIn(const plist::Dict* dict, std::string_view key, Reading reading) {
  const plist::Value* value = valueIn(dict, key);
  if (!value || value->isNull()) return std::nullopt;
  if (std::optional<int64_t> number = value->numberAsInteger()) return number;
  reading.fail(key, *value, "number");
  return std::nullopt;
}

// The dictionary a lenient reader sees: `value` when it is one, else empty.
plist::Value dictionaryOrEmpty(const plist::Value& value) {
  return value.isDict() ? value : plist::Value::dict({});
}

// "/Applications/Foo.app/Foo" for an executable inside the device root,
// whose real path is "<root>/Applications/Foo.app/Foo"; other paths as they
// are.
std::string devicePathOf(const std::string& path) {
  std::string root = paths::deviceRoot().lexically_normal().string();
  while (!root.empty() && root.back() == '/') root.pop_back();
  if (!root.empty() && path.size() > root.size() && path.compare(0, root.size(), root) == 0 &&
      path[root.size()] == '/') {
    return path.substr(root.size());
  }
  return path;
}

template <class T>
std::optional<T> read(const internal::Field<T>& field, Reading reading) {
  if (!field.wrong.empty()) reading.fail(field.wrong);
  return field.value;
}

// A field of `dict`; `container_wrong` says why the container itself is of
// the wrong kind. `convert` gives the value, or nothing for a wrong kind.
template <class T, class Convert>
internal::Field<T> fieldOf(const plist::Dict* dict, const std::string& container_wrong,
                           const char* key, const char* expected, Convert convert) {
  internal::Field<T> field;
  if (!container_wrong.empty()) {
    field.wrong = container_wrong;
    return field;
  }
  const plist::Value* value = valueIn(dict, key);
  if (!value || value->isNull()) return field;
  field.value = convert(*value);
  if (!field.value) field.wrong = wrongKindReason(key, *value, expected);
  return field;
}

internal::Field<bool> boolField(const plist::Dict* dict, const std::string& wrong,
                                const char* key) {
  return fieldOf<bool>(dict, wrong, key, "number",
                       [](const plist::Value& v) { return v.numberAsBool(); });
}

internal::Field<std::string_view> stringField(const plist::Dict* dict, const std::string& wrong,
                                              const char* key) {
  return fieldOf<std::string_view>(dict, wrong, key, "string", [](const plist::Value& v) {
    const std::string* text = v.asString();
    return text ? std::optional<std::string_view>(*text) : std::nullopt;
  });
}

// A policy is compared as text, so one stored as another kind (a number)
// is present, as the text kUncomparablePolicy, and equals none of the
// policies; a strict read still fails on it.
internal::Field<std::string_view> policyField(const plist::Dict* dict, const std::string& wrong,
                                              const char* key) {
  internal::Field<std::string_view> field = stringField(dict, wrong, key);
  if (!field.value && wrong.empty() && !field.wrong.empty()) field.value = kUncomparablePolicy;
  return field;
}

internal::Field<const plist::Dict*> dictField(const plist::Dict* dict, const std::string& wrong,
                                              const char* key) {
  return fieldOf<const plist::Dict*>(dict, wrong, key, "dictionary", [](const plist::Value& v) {
    const plist::Dict* d = v.asDict();
    return d ? std::optional<const plist::Dict*>(d) : std::nullopt;
  });
}

void refreshDigest(SNTFirewallState& s) {
  internal::FirewallDigest& d = s.digest;
  std::string global_wrong;
  std::string app_wrong;
  const plist::Dict* global = s.globalSettings.asDict();
  if (!global && !s.globalSettings.isNull()) {
    global_wrong = wrongKindReason("globalSettings", s.globalSettings, "dictionary");
  }
  const plist::Dict* app = s.appSettings.asDict();
  if (!app && !s.appSettings.isNull()) {
    app_wrong = wrongKindReason("appSettings", s.appSettings, "dictionary");
  }
  d.enabled = boolField(global, global_wrong, key::kEnabled);
  d.systemEnabled = boolField(global, global_wrong, key::kSystemAppsEnabled);
  d.newAppPolicy = policyField(global, global_wrong, key::kNewAppPolicy);
  d.firewallEnabled = boolField(app, app_wrong, key::kFirewallEnabled);
  d.allowAll = boolField(app, app_wrong, key::kAllowAllOutbound);
  d.denyAll = boolField(app, app_wrong, key::kDenyAllOutbound);
  d.newSitePolicy = policyField(app, app_wrong, key::kNewSitePolicy);
  d.domains = dictField(app, app_wrong, key::kDomains);
  const plist::Value* hosts = valueIn(global, key::kGlobalHosts);
  d.globalHosts = hosts ? hosts->asDict() : nullptr;
}

bool hasAppExtension(std::string bundle_path) {
  while (bundle_path.size() > 1 && bundle_path.back() == '/') bundle_path.pop_back();
  return std::filesystem::path(bundle_path).extension() == ".app";
}

}  // namespace

// ---------------------------------------------------------------------------
// One evaluation: every answer of one call is taken from one snapshot, and
// the process table is asked at most once (on first need).

class FirewallEvaluation {
 public:
  explicit FirewallEvaluation(std::shared_ptr<const SNTFirewallState> state)
      : keep_(std::move(state)), s_(*keep_), d_(s_.digest) {}
  // On a state the caller keeps alive (the connect hook's borrowed one).
  explicit FirewallEvaluation(const SNTFirewallState& state) : s_(state), d_(s_.digest) {}

  const SNTFirewallState& state() const { return s_; }

  // Switches that no decision reads, looked up when asked.
  bool globalFlag(const char* key, bool fallback, Reading r) const {
    return boolIn(dictionaryOf(s_.globalSettings, "globalSettings", r), key, r).value_or(fallback);
  }
  bool appFlag(const char* key, bool fallback, Reading r) const {
    return boolIn(dictionaryOf(s_.appSettings, "appSettings", r), key, r).value_or(fallback);
  }

  bool globalEnabled(Reading r) const { return read(d_.enabled, r).value_or(true); }
  bool globalSystemEnabled(Reading r) const { return read(d_.systemEnabled, r).value_or(false); }

  std::string_view globalDefaultAppPolicy(Reading r) const {
    return read(d_.newAppPolicy, r).value_or(policy::kPrompt);
  }
  std::string_view appPolicy(Reading r) const {
    if (std::optional<std::string_view> site = read(d_.newSitePolicy, r)) return *site;
    return globalDefaultAppPolicy(r);
  }
  bool allowAllOutbound(Reading r) const { return read(d_.allowAll, r).value_or(false); }
  bool denyAllOutbound(Reading r) const { return read(d_.denyAll, r).value_or(false); }
  bool allowNewOutbound(Reading r) const { return appPolicy(r) == policy::kAllow; }
  bool blockNewOutbound(Reading r) const { return appPolicy(r) == policy::kBlock; }

  bool enabled(Reading r) const {
    if (!globalEnabled(r)) return false;
    askProcessTable();
    if (launchd_pid_ != 0 && springboard_pid_ == 0) return false;
    if (s_.isSystemApp && !globalSystemEnabled(r)) return false;
    if (std::optional<bool> own = read(d_.firewallEnabled, r)) return *own;
    return globalDefaultAppPolicy(r) != policy::kOff;
  }

  // `key` of the app entry: true when not enabled, allow-all, deny-all or
  // absent; else the stored value.
  bool filterFlag(const char* key, Reading r) const {
    if (!enabled(r) || allowAllOutbound(r) || denyAllOutbound(r)) return true;
    return appFlag(key, true, r);
  }

  const plist::Dict* hosts(Reading r) const { return read(d_.domains, r).value_or(nullptr); }
  const plist::Dict* ruleEntry(std::optional<std::string_view> host, Reading r) const {
    if (!host) return nullptr;
    const plist::Value* entry = valueIn(hosts(r), *host);
    return entry ? dictionaryOf(*entry, "rule entry", r) : nullptr;
  }
  int64_t explicitRuleForHost(std::optional<std::string_view> host, Reading r) const {
    return integerIn(ruleEntry(host, r), key::kAllowed, r).value_or(rule::kUndefined);
  }
  bool isExplicitRuleForHostSet(std::optional<std::string_view> host, Reading r) const {
    const plist::Value* allowed = valueIn(ruleEntry(host, r), key::kAllowed);
    return allowed && !allowed->isNull();
  }
  int64_t ruleForHost(std::optional<std::string_view> host, Reading r) const {
    if (!enabled(r)) return rule::kAllowed;
    if (denyAllOutbound(r)) return rule::kBlocked;
    if (allowAllOutbound(r)) return rule::kAllowed;
    return explicitRuleForHost(host, r);
  }

  // The global rule of a host: "allowed" of its entry in "global_hosts",
  // read exactly as SNTSettings::explicitGlobalRuleForHost() reads it
  // (values of the wrong kind are absent), without building a temporary
  // settings object on every decision.
  int64_t globalRuleForHost(std::optional<std::string_view> host) const {
    if (!host || !d_.globalHosts) return rule::kUndefined;
    const plist::Value* entry = d_.globalHosts->find(*host);
    return entry ? entry->get(key::kAllowed).numberAsInteger().value_or(rule::kUndefined)
                 : rule::kUndefined;
  }

 private:
  // snt_pid_of_process answers 0 for "not found" and for an unreadable table.
  void askProcessTable() const {
    if (asked_) return;
    launchd_pid_ = snt_pid_of_process(kLaunchdProcessName);
    springboard_pid_ = snt_pid_of_process(kSpringBoardProcessName);
    asked_ = true;
  }

  std::shared_ptr<const SNTFirewallState> keep_;
  const SNTFirewallState& s_;
  const internal::FirewallDigest& d_;
  mutable bool asked_ = false;
  mutable pid_t launchd_pid_ = 0;
  mutable pid_t springboard_pid_ = 0;
};

// ---------------------------------------------------------------------------
// The decisions' effects

namespace internal {

std::string_view joinInto(std::initializer_list<std::string_view> parts, char* out,
                          size_t capacity) {
  size_t length = 0;
  for (std::string_view part : parts) {
    const size_t n = std::min(part.size(), capacity - length);
    std::memcpy(out + length, part.data(), n);
    length += n;
  }
  return std::string_view(out, length);
}

std::string_view WrongKind::write(char* out, size_t capacity) const {
  if (!prebuilt.empty()) return joinInto({prebuilt}, out, capacity);
  return joinInto({what, " holds a ", type != nullptr ? type : "?", " where a ",
                   expected != nullptr ? expected : "?", " is expected"},
                  out, capacity);
}

}  // namespace internal

// ---------------------------------------------------------------------------
// SNTDestination

SNTDestination::SNTDestination(const URLRequest& request) : SNTDestination(request.url()) {}

SNTDestination::SNTDestination(const URL& url)
    : host_(ruleKeyOf(url.host())), url_(url.absoluteString()) {}

SNTDestination::SNTDestination(const std::optional<URL>& url) {
  if (url) *this = SNTDestination(*url);
}

SNTDestination::SNTDestination(std::string_view text) : host_(ruleKeyOf(text)), url_(text) {}

SNTDestination::SNTDestination(const char* text) {
  if (text) *this = SNTDestination(std::string_view(text));
}

// ---------------------------------------------------------------------------
// The pool

std::shared_ptr<SNTFirewall> SNTFirewallPool::objectForKey(std::string_view bundleId) const {
  MutexLock lock(mutex_);
  auto it = map_.find(bundleId);
  return it == map_.end() ? nullptr : it->second;
}

void SNTFirewallPool::setObject(std::shared_ptr<SNTFirewall> firewall, std::string bundleId) {
  MutexLock lock(mutex_);
  map_[std::move(bundleId)] = std::move(firewall);
}

void SNTFirewallPool::removeObjectForKey(std::string_view bundleId) {
  std::shared_ptr<SNTFirewall> dropped;  // released outside the lock
  MutexLock lock(mutex_);
  auto it = map_.find(bundleId);
  if (it == map_.end()) return;
  dropped = std::move(it->second);
  map_.erase(it);
}

void SNTFirewallPool::removeAllObjects() {
  std::map<std::string, std::shared_ptr<SNTFirewall>, std::less<>> dropped;
  MutexLock lock(mutex_);
  dropped.swap(map_);
}

size_t SNTFirewallPool::count() const {
  MutexLock lock(mutex_);
  return map_.size();
}

// ---------------------------------------------------------------------------
// The process firewall

namespace {

struct ProcessFirewallSlot {
  Mutex creation_mutex;                          // the once-only guard
  std::atomic<bool> fired{false};                // current() has created (or tried)
  internal::SnapshotCell<SNTFirewall> firewall;  // null after unregister()
};

// Never destroyed: the process firewall outlives every static, so nothing
// at exit touches a center or log that is already gone.
ProcessFirewallSlot& processFirewallSlot() {
  static ProcessFirewallSlot* slot = new ProcessFirewallSlot;
  return *slot;
}

Mutex& poolBuildMutex() {
  static Mutex* mutex = new Mutex;
  return *mutex;
}

}  // namespace

namespace {

// The settings of the app `id` as its process firewall holds them: only its
// entry and the top-level keys, since the rest of the document is other
// apps' business and would cost every process start its size.
std::pair<plist::Value, plist::Value> ownSettings(const std::optional<std::string>& id) {
  const std::optional<std::string_view> app =
      id ? std::optional<std::string_view>(*id) : std::nullopt;
  plist::Value document = dictionaryOrEmpty(loadSettingsForApp(app));
  plist::Value entry = dictionaryOrEmpty(getAppSettingsFromCache(document, app));
  return {std::move(document), std::move(entry)};
}

}  // namespace

void SNTFirewall::load() {
  current();
}

std::shared_ptr<SNTFirewall> SNTFirewall::current() {
  ProcessFirewallSlot& slot = processFirewallSlot();
  if (!slot.fired.load(std::memory_order_acquire)) {
    MutexLock lock(slot.creation_mutex);
    if (!slot.fired.load(std::memory_order_relaxed)) {
      auto firewall = std::make_shared<SNTFirewall>();
      firewall->loadFromMainBundle();
      slot.firewall.store(std::move(firewall));
      slot.fired.store(true, std::memory_order_release);
    }
  }
  return slot.firewall.load();
}

std::shared_ptr<SNTFirewall> SNTFirewall::current_raw() {
  return processFirewallSlot().firewall.load();
}

void SNTFirewall::unregister() {
  processFirewallSlot().firewall.store(nullptr);
}

void SNTFirewall::resetProcessFirewallForTesting() {
  ProcessFirewallSlot& slot = processFirewallSlot();
  MutexLock lock(slot.creation_mutex);
  slot.firewall.store(nullptr);
  slot.fired.store(false, std::memory_order_release);
}

SNTFirewallPool& SNTFirewall::pool() {
  static SNTFirewallPool* pool = new SNTFirewallPool;  // lives with the process
  return *pool;
}

std::shared_ptr<SNTFirewall> SNTFirewall::pooledFirewallForBundle(
    std::optional<std::string_view> bundleId, std::optional<std::string_view> processName,
    bool isSystemApp, bool isHiddenApp, bool isDaemon, const plist::Value& globalSettings,
    const plist::Value& appSettings) {
  // Look-up and insertion as one step, so two callers never build two
  // instances for one app.
  MutexLock lock(poolBuildMutex());
  if (bundleId) {
    if (std::shared_ptr<SNTFirewall> pooled = pool().objectForKey(*bundleId)) {
      pooled->reload();
      return pooled;
    }
  }
  auto firewall = std::make_shared<SNTFirewall>();
  if (bundleId) pool().setObject(firewall, std::string(*bundleId));

  std::optional<std::string> name;
  if (processName) {
    const size_t paren = processName->find('(');
    name = std::string(paren != std::string_view::npos && paren > 0 ? processName->substr(0, paren)
                                                                    : *processName);
  }
  auto state = std::make_shared<SNTFirewallState>();
  state->bundleId = bundleId ? std::optional<std::string>(*bundleId) : std::nullopt;
  state->isSystemApp = isSystemApp;
  state->isHiddenApp = isHiddenApp;
  state->isDaemon = isDaemon;
  state->globalSettings = dictionaryOrEmpty(globalSettings);
  state->appSettings = dictionaryOrEmpty(appSettings);
  state->isApp = !isDaemon;
  state->name = std::move(name);
  refreshDigest(*state);
  firewall->state_.store(std::move(state));
  return firewall;
}

// ---------------------------------------------------------------------------
// Construction, identity and listeners

SNTFirewall::SNTFirewall() : state_(std::make_shared<const SNTFirewallState>()) {}

SNTFirewall::~SNTFirewall() {
  MutexLock lock(listeners_mutex_);
  for (notify::ObserverId id : listeners_) listener_center_->removeObserver(id);
}

std::shared_ptr<const SNTFirewallState> SNTFirewall::snapshot() const {
  return state_.load();
}

template <class Change>
void SNTFirewall::update(Change&& change) {
  MutexLock lock(state_write_mutex_);
  auto next = std::make_shared<SNTFirewallState>(*state_.load());
  change(*next);
  refreshDigest(*next);
  state_.store(std::move(next));
}

void SNTFirewall::loadFromMainBundle() {
  const bundle::MainBundle& main = bundle::mainBundle();
  const std::optional<std::string>& id = main.bundle_identifier;
  const bool is_app_bundle = hasAppExtension(main.bundle_path);
  // Not a structured binding: clang 14 cannot capture one in a lambda.
  const std::pair<plist::Value, plist::Value> own = ownSettings(id);
  const plist::Value& document = own.first;
  const plist::Value& entry = own.second;
  update([&](SNTFirewallState& s) {
    s.bundleId = id;
    s.isDaemon = !is_app_bundle;
    s.isApp = is_app_bundle;
    s.isSystemApp = devicePathOf(main.executable_path).starts_with("/Applications/");
    s.name = main.process_name;
    s.globalSettings = document;
    s.appSettings = entry;
  });
  log::line("SNTFirewall init(" + objectText(id) + ")!");
  determineIfSystemAppAndInitNotificationListeners();
  const bool hidden = isSystemApp() && determineIfHiddenApp();
  update([hidden](SNTFirewallState& s) { s.isHiddenApp = hidden; });
}

void SNTFirewall::determineIfSystemAppAndInitNotificationListeners() {
  const std::shared_ptr<const SNTFirewallState> s = snapshot();
  const std::string app_name = newAppSettingsNotificationName(
      s->bundleId ? std::optional<std::string_view>(*s->bundleId) : std::nullopt);

  std::weak_ptr<SNTFirewall> weak = weak_from_this();
  {
    // The connect hook's requests run on the main queue from now on; this
    // needs no other process, so it is never deferred.
    MutexLock lock(listeners_mutex_);
    if (connect_requests_ == nullptr) {
      connect_requests_ = std::make_unique<ConnectRequestWatch>(runloop::MainQueue::get());
    }
  }
  if (settingsObserversDeferred()) {
    runloop::afterMain(kDeferredObserversDelay, [weak, app_name] {
      std::shared_ptr<SNTFirewall> firewall = weak.lock();
      if (firewall == nullptr) return;
      firewall->addSettingsListeners(app_name);
      firewall->refreshOwnSettings();
    });
  } else {
    addSettingsListeners(app_name);
  }

  if (!s->bundleId || !s->isApp || s->isSystemApp) return;
  for (const LSApplicationProxy& app : ApplicationWorkspace::defaultWorkspace().allApplications()) {
    if (app.applicationIdentifier == *s->bundleId) {
      const bool system = app.applicationType == kSystemApplicationType;
      update([system](SNTFirewallState& st) { st.isSystemApp = system; });
      return;
    }
  }
  log::line("Failed to find " + *s->bundleId + " in LSApplicationWorkspace...",
            log::Level::kWarning);
}

void SNTFirewall::addSettingsListeners(const std::string& app_name) {
  std::weak_ptr<SNTFirewall> weak = weak_from_this();
  notify::NotificationCenter& center = notify::distributedCenter();
  const notify::ObserverId app_listener =
      center.addObserver(app_name, [weak](const std::string& name, const plist::Value& info) {
        log::line("Received NSDistributedNotificationCenter message (" + name + ")");
        log::line("received new app settings!");
        if (!isSettingsPayload(name, info)) return;
        if (std::shared_ptr<SNTFirewall> firewall = weak.lock()) firewall->setAppSettings(info);
      });
  notify::ObserverId global_listener;
  if (settingsObserversDeferred()) {
    global_listener = center.addObserverIgnoringPayload(
        kNewSettingsNotification, [weak](const std::string& name, const plist::Value&) {
          log::line("Received NSDistributedNotificationCenter message (" + name + ")");
          log::line("received new global settings!");
          if (std::shared_ptr<SNTFirewall> firewall = weak.lock()) firewall->refreshOwnSettings();
        });
  } else {
    global_listener = center.addObserver(
        kNewSettingsNotification, [weak](const std::string& name, const plist::Value& info) {
          log::line("Received NSDistributedNotificationCenter message (" + name + ")");
          log::line("received new global settings!");
          if (!isSettingsPayload(name, info)) return;
          if (std::shared_ptr<SNTFirewall> firewall = weak.lock())
            firewall->setGlobalSettings(info);
        });
  }
  {
    MutexLock lock(listeners_mutex_);
    if (listener_center_ && listener_center_ != &center) {
      // Registered before on a center that has since been replaced (tests):
      // those listeners stay until that center goes; only this center's
      // ones can be removed by the destructor.
      listeners_.clear();
    }
    listener_center_ = &center;
    listeners_.push_back(app_listener);
    listeners_.push_back(global_listener);
  }
}

void SNTFirewall::refreshOwnSettings() {
  const std::pair<plist::Value, plist::Value> own = ownSettings(bundleId());
  const plist::Value& document = own.first;
  const plist::Value& entry = own.second;
  update([&](SNTFirewallState& st) {
    st.globalSettings = document;
    st.appSettings = entry;
  });
}

bool SNTFirewall::determineIfHiddenApp() const {
  const std::optional<std::string> id = bundleId();
  if (!id) return false;
  for (const LSApplicationProxy& app : ApplicationWorkspace::defaultWorkspace().allApplications()) {
    if (app.applicationIdentifier != *id) continue;
    for (const std::string& tag : app.appTags) {
      if (tag == kHiddenTag) return true;
    }
  }
  return false;
}

void SNTFirewall::reload() {
  const plist::Value document = PrefHandler::loadSettings();
  update([&document](SNTFirewallState& s) {
    plist::Value entry;
    if (s.bundleId) entry = document.get(key::kApps).get(*s.bundleId);
    s.globalSettings = document;
    s.appSettings = entry;
  });
}

// ---------------------------------------------------------------------------
// Properties

plist::Value SNTFirewall::globalSettings() const {
  return snapshot()->globalSettings;
}
void SNTFirewall::setGlobalSettings(plist::Value v) {
  update([&v](SNTFirewallState& s) { s.globalSettings = std::move(v); });
}
plist::Value SNTFirewall::appSettings() const {
  return snapshot()->appSettings;
}
void SNTFirewall::setAppSettings(plist::Value v) {
  update([&v](SNTFirewallState& s) { s.appSettings = std::move(v); });
}
std::optional<std::string> SNTFirewall::bundleId() const {
  return snapshot()->bundleId;
}
void SNTFirewall::setBundleId(std::optional<std::string> v) {
  update([&v](SNTFirewallState& s) { s.bundleId = std::move(v); });
}
bool SNTFirewall::isDaemon() const {
  return snapshot()->isDaemon;
}
void SNTFirewall::setIsDaemon(bool v) {
  update([v](SNTFirewallState& s) { s.isDaemon = v; });
}
bool SNTFirewall::isApp() const {
  return snapshot()->isApp;
}
void SNTFirewall::setIsApp(bool v) {
  update([v](SNTFirewallState& s) { s.isApp = v; });
}
std::optional<std::string> SNTFirewall::name() const {
  return snapshot()->name;
}
void SNTFirewall::setName(std::optional<std::string> v) {
  update([&v](SNTFirewallState& s) { s.name = std::move(v); });
}
bool SNTFirewall::isSystemApp() const {
  return snapshot()->isSystemApp;
}
void SNTFirewall::setIsSystemApp(bool v) {
  update([v](SNTFirewallState& s) { s.isSystemApp = v; });
}
bool SNTFirewall::isHiddenApp() const {
  return snapshot()->isHiddenApp;
}
void SNTFirewall::setIsHiddenApp(bool v) {
  update([v](SNTFirewallState& s) { s.isHiddenApp = v; });
}

// ---------------------------------------------------------------------------
// Switches and look-ups (values of the wrong kind read as absent)

namespace {
constexpr Reading kLenient{};  // a value of the wrong kind reads as absent
}

bool SNTFirewall::_globalEnabled() const {
  return FirewallEvaluation(snapshot()).globalEnabled(kLenient);
}
bool SNTFirewall::_globalSystemEnabled() const {
  return FirewallEvaluation(snapshot()).globalSystemEnabled(kLenient);
}
std::string SNTFirewall::globalDefaultAppPolicy() const {
  return std::string(FirewallEvaluation(snapshot()).globalDefaultAppPolicy(kLenient));
}
std::string SNTFirewall::appPolicy() const {
  return std::string(FirewallEvaluation(snapshot()).appPolicy(kLenient));
}
bool SNTFirewall::allowAllOutbound() const {
  return FirewallEvaluation(snapshot()).allowAllOutbound(kLenient);
}
bool SNTFirewall::denyAllOutbound() const {
  return FirewallEvaluation(snapshot()).denyAllOutbound(kLenient);
}
bool SNTFirewall::allowNewOutbound() const {
  return FirewallEvaluation(snapshot()).allowNewOutbound(kLenient);
}
bool SNTFirewall::blockNewOutbound() const {
  return FirewallEvaluation(snapshot()).blockNewOutbound(kLenient);
}
bool SNTFirewall::enabled() const {
  return FirewallEvaluation(snapshot()).enabled(kLenient);
}
bool SNTFirewall::filterStreams() const {
  return FirewallEvaluation(snapshot()).filterFlag(key::kFilterStreams, kLenient);
}
bool SNTFirewall::filterWebViews() const {
  return FirewallEvaluation(snapshot()).filterFlag(key::kFilterWebviews, kLenient);
}
bool SNTFirewall::globalHookSyscalls() const {
  FirewallEvaluation ev(snapshot());
  if (!ev.enabled(kLenient)) return true;
  return ev.globalFlag(key::kHookSyscalls, true, kLenient);
}
bool SNTFirewall::shouldAnimate() const {
  return FirewallEvaluation(snapshot()).globalFlag(key::kAnimations, true, kLenient);
}
bool SNTFirewall::shouldShowBundleIdInPopup() const {
  return FirewallEvaluation(snapshot()).globalFlag(key::kAlertShowBundle, false, kLenient);
}
bool SNTFirewall::shouldShowUrlInPopup() const {
  return FirewallEvaluation(snapshot()).globalFlag(key::kAlertShowUrl, false, kLenient);
}
bool SNTFirewall::shouldFilterCustomWebkitUrlSchemeHandler() const {
  return FirewallEvaluation(snapshot()).globalFlag(key::kFilterCustomScheme, false, kLenient);
}

plist::Value SNTFirewall::hosts() const {
  return dictionaryOrEmpty(snapshot()->appSettings.get(key::kDomains));
}
int64_t SNTFirewall::explicitRuleForHost(std::optional<std::string_view> host) const {
  const std::optional<std::string> key = ruleKeyOf(host);
  return FirewallEvaluation(snapshot()).explicitRuleForHost(key, kLenient);
}
bool SNTFirewall::isExplicitRuleForHostSet(std::optional<std::string_view> host) const {
  const std::optional<std::string> key = ruleKeyOf(host);
  return FirewallEvaluation(snapshot()).isExplicitRuleForHostSet(key, kLenient);
}
int64_t SNTFirewall::ruleForHost(std::optional<std::string_view> host) const {
  const std::optional<std::string> key = ruleKeyOf(host);
  return FirewallEvaluation(snapshot()).ruleForHost(key, kLenient);
}
bool SNTFirewall::allowHost(std::optional<std::string_view> host) const {
  return ruleForHost(host) == rule::kAllowed;
}
bool SNTFirewall::allowHostExplicit(std::optional<std::string_view> host) const {
  return explicitRuleForHost(host) == rule::kAllowed;
}
std::optional<std::string> SNTFirewall::getHostFromHRU(const SNTDestination& destination) {
  return destination.host();
}
std::optional<std::string> SNTFirewall::getUrlFromHRU(const SNTDestination& destination) {
  return destination.url();
}

// ---------------------------------------------------------------------------
// Decisions

namespace {

std::string_view hostText(std::optional<std::string_view> host) {
  return host ? *host : std::string_view("(null)");
}

std::optional<std::string_view> viewOf(const std::optional<std::string>& text) {
  return text ? std::optional<std::string_view>(*text) : std::nullopt;
}

// shouldAllow()'s steps on one evaluation; what they log and learn goes to
// `fx`. Allocates nothing and throws nothing of its own.
bool decideAllow(const FirewallEvaluation& ev, std::optional<std::string_view> host,
                 std::optional<std::string_view> url, internal::DecisionEffects& fx) {
  const SNTFirewallState& s = ev.state();
  if (!ev.enabled(kLenient)) {
    fx.say({"shouldAllow() called but firewall is off. Returning early!"});
    return true;
  }
  if (ev.allowAllOutbound(kLenient) ||
      (ev.ruleForHost(host, kLenient) != rule::kBlocked && ev.allowNewOutbound(kLenient) &&
       !ev.denyAllOutbound(kLenient))) {
    fx.say({"appId set to allow all!"});
    if (host && !ev.isExplicitRuleForHostSet(host, kLenient))
      fx.learn(*host, url, rule::kAllowed, true);
    return true;
  }
  if (s.isDaemon || (s.bundleId && *s.bundleId == kSpringBoardBundleIdentifier)) {
    fx.say({"appId is a daemon... Skipping for now."});
    return true;
  }
  if (!host) {
    fx.say({"yes... host is nil"});
    return true;
  }
  if (*host == kLocalhost) {
    fx.say({"yes... connecting to localhost and inbound is not yet supported."});
    return true;
  }
  if (*host == kServiceHost) {
    fx.say({"yes... connecting to this api..."});
    return true;
  }
  if (*host == kPlaceholderHost) {
    fx.say({"yes... blocked is a shortcut?"});
    return true;
  }
  if (s.bundleId && *s.bundleId == kWebKitNetworkingBundleIdentifier) {
    fx.say({"Bypassing alert for WebKit, it should be already handled via WebKit hooks."});
    return true;
  }
  internal::WrongKind failure;
  const bool system = ev.globalSystemEnabled(Reading(&failure));
  if (failure.failed()) {
    fx.guardedStepFailed(failure);
    return false;
  }
  if (!system) fx.say({"System firewall not on."});
  if (*host == kLocalhost) return true;
  const int64_t value = ev.ruleForHost(host, kLenient);
  if (value == rule::kAllowed) return true;
  if (value == rule::kBlocked) return false;
  if (ev.globalRuleForHost(host) == rule::kAllowed) {
    fx.learn(*host, url, rule::kAllowed, false);
    return true;
  }
  return false;
}

// shouldDeny()'s steps, likewise. Everything after the firewall-off test is
// the guarded step: the first value of the wrong kind blocks.
bool decideDeny(const FirewallEvaluation& ev, std::optional<std::string_view> host,
                std::optional<std::string_view> url, internal::DecisionEffects& fx) {
  fx.say({"Should block ", hostText(host), "?"});
  if (!ev.enabled(kLenient)) {
    fx.say({"Firewall disabled. Should NOT block ", hostText(host), "!"});
    return false;
  }
  internal::WrongKind failure;
  const Reading kStrict(&failure);
  auto failed = [&] {
    if (!failure.failed()) return false;
    fx.guardedStepFailed(failure);
    return true;
  };
  const bool block_all = ev.denyAllOutbound(kStrict) ||
                         (ev.ruleForHost(host, kStrict) != rule::kAllowed &&
                          ev.blockNewOutbound(kStrict) && !ev.allowAllOutbound(kStrict));
  if (failed()) return true;
  if (block_all) {
    fx.say({"appId set to block all!"});
    if (host) {
      const bool set = ev.isExplicitRuleForHostSet(host, kStrict);
      if (failed()) return true;
      if (!set) fx.learn(*host, url, rule::kBlocked, true);
    }
    return true;
  }
  const bool allow_all = ev.allowAllOutbound(kStrict);
  if (failed()) return true;
  if (allow_all) {
    fx.say({"appId set to allow all!"});
    return false;
  }
  const int64_t value = ev.explicitRuleForHost(host, kStrict);
  if (failed()) return true;
  if (value == rule::kBlocked) {
    fx.say({"Should block ", hostText(host), " based on rule."});
    return true;
  }
  if (value == rule::kAllowed) {
    fx.say({"Should NOT block ", hostText(host), " based on rule."});
    return false;
  }
  if (ev.globalRuleForHost(host) == rule::kBlocked) {
    fx.learn(*host, url, rule::kBlocked, false);
    return true;
  }
  return false;
}

// The decisions' effects for ordinary callers: lines to the system log,
// learning rules written at once on the caller's thread.
class LoggingEffects final : public internal::DecisionEffects {
 public:
  explicit LoggingEffects(SNTFirewall& firewall) : firewall_(firewall) {}

  void say(std::initializer_list<std::string_view> parts) override {
    std::string text;
    for (std::string_view part : parts) text += part;
    log::line(text);
  }
  void learn(std::string_view host, std::optional<std::string_view> url, int64_t value,
             bool onlyIfUnset) override {
    firewall_.learnRule(host, url ? std::optional<std::string>(*url) : std::nullopt, value,
                        onlyIfUnset);
  }
  void guardedStepFailed(const internal::WrongKind& failure) override {
    char reason[512];
    logGuardedStepFailure("NSInvalidArgumentException", failure.write(reason, sizeof reason),
                          callStackText());
  }

 private:
  SNTFirewall& firewall_;
};

}  // namespace

bool SNTFirewall::shouldAllow(const SNTDestination& d) {
  FirewallEvaluation ev(snapshot());
  LoggingEffects fx(*this);
  return decideAllow(ev, viewOf(d.host()), viewOf(d.url()), fx);
}

bool SNTFirewall::shouldDeny(const SNTDestination& d) {
  FirewallEvaluation ev(snapshot());
  LoggingEffects fx(*this);
  try {
    return decideDeny(ev, viewOf(d.host()), viewOf(d.url()), fx);
  } catch (const std::exception& failure) {
    // Anything else going wrong in here (a failed allocation, a failed save)
    // blocks as well: a hook never lets an unexpected failure through.
    logGuardedStepFailure("std::exception", failure.what(), callStackText());
    return true;
  }
}

namespace {

SNTFirewall::SocketVerdict socketVerdict(const FirewallEvaluation& ev,
                                         std::optional<std::string_view> peer,
                                         internal::DecisionEffects& fx) {
  using SocketVerdict = SNTFirewall::SocketVerdict;
  if (!ev.enabled(kLenient) || !ev.filterFlag(key::kFilterStreams, kLenient)) {
    return SocketVerdict::kPassThrough;
  }
  if (decideAllow(ev, peer, peer, fx)) return SocketVerdict::kAllow;
  if (decideDeny(ev, peer, peer, fx)) return SocketVerdict::kDeny;
  return SocketVerdict::kAsk;
}

}  // namespace

SNTFirewall::SocketVerdict SNTFirewall::decideForConnectHook(std::optional<std::string_view> peer,
                                                             internal::DecisionEffects& fx) {
  proc::MappedTableReadsOnly mapped_only;
  return processFirewallSlot().firewall.borrow([&](SNTFirewall* firewall) {
    if (firewall == nullptr) return SocketVerdict::kPassThrough;
    return firewall->state_.borrow([&](const SNTFirewallState* state) {
      if (state == nullptr) return SocketVerdict::kPassThrough;
      return socketVerdict(FirewallEvaluation(*state), peer, fx);
    });
  });
}

SNTFirewall::SocketVerdict SNTFirewall::decideSocket(std::optional<std::string_view> peer,
                                                     internal::DecisionEffects& fx) const {
  return socketVerdict(FirewallEvaluation(snapshot()), peer, fx);
}

void SNTFirewall::learnRule(std::string_view host, const std::optional<std::string>& url,
                            int64_t value, bool onlyIfUnset) {
  MutexLock lock(edit_mutex_);
  // Another thread may have written a rule for this host since the decision
  // looked; "if none set" holds for the entry as it is now.
  if (onlyIfUnset && FirewallEvaluation(snapshot()).isExplicitRuleForHostSet(host, kLenient))
    return;
  const std::optional<std::string> name = this->name();
  setAppHostRuleLocked(name ? std::optional<std::string_view>(*name) : std::nullopt, host,
                       url ? std::optional<std::string_view>(*url) : std::nullopt, value);
}

// ---------------------------------------------------------------------------
// Edits

bool SNTFirewall::notifyChoice() const {
  const std::optional<std::string> own = bundleId();
  const std::optional<std::string>& running = bundle::mainBundle().bundle_identifier;
  return !(own && running && *own == *running);
}

void SNTFirewall::saveAppSettings(const plist::Value& entry, bool notify) {
  MutexLock lock(edit_mutex_);
  saveAppSettingsLocked(entry, notify);
}

void SNTFirewall::saveAppSettingsLocked(const plist::Value& entry, bool notify) {
  log::line("SNTFirewall saveAppSettings: " + entry.description());
  const std::optional<std::string> id = bundleId();
  if (!id) {
    // The phone would raise here (an entry stored under no key) and take the
    // process down; a bare executable keeps the entry in memory only.
    log::line("SNTFirewall saveAppSettings: no bundle id, the entry is not saved",
              log::Level::kWarning);
    setAppSettings(entry);
    return;
  }
  plist::MutableDict document(PrefHandler::loadSettings());
  plist::MutableDict apps(document.get(key::kApps));
  apps.set(*id, entry);
  document.set(key::kApps, std::move(apps).build());
  log::line("SNTFirewall saving app settings: " + entry.description());
  PrefHandler::saveSettings(std::move(document).build(), notify);
  setAppSettings(entry);
  // Receivers refuse anything but a dictionary; an absent entry is an empty one.
  if (notify) {
    notify::distributedCenter().post(newAppSettingsNotificationName(*id),
                                     entry.isDict() ? entry : plist::Value::dict({}));
  }
}

void SNTFirewall::setAppHostRule(std::optional<std::string_view> name,
                                 std::optional<std::string_view> host,
                                 std::optional<std::string_view> urlString, int64_t value) {
  MutexLock lock(edit_mutex_);
  setAppHostRuleLocked(name, host, urlString, value);
}

void SNTFirewall::setAppHostRuleLocked(std::optional<std::string_view> name,
                                       std::optional<std::string_view> host,
                                       std::optional<std::string_view> urlString, int64_t value) {
  const std::optional<std::string> rule_key = ruleKeyOf(host);
  if (!rule_key || *rule_key == kServiceHost) return;
  host = *rule_key;
  plist::MutableDict entry(appSettings());
  plist::MutableDict map(entry.get(key::kDomains));
  plist::MutableDict hostRule(map.get(*host));
  hostRule.set(key::kAllowed, plist::Value::integer(value));
  if (urlString) hostRule.set(key::kUrl, plist::Value::string(std::string(*urlString)));
  map.set(std::string(*host), std::move(hostRule).build());
  entry.set(key::kDomains, std::move(map).build());
  if (name) entry.set(key::kName, plist::Value::string(std::string(*name)));
  log::line("save setAppHostRule (" + objectText(name) + ", " + std::string(*host) + ", " +
            std::to_string(value) + ")");
  saveAppSettingsLocked(std::move(entry).build(), value != rule::kUndefined && notifyChoice());
}

void SNTFirewall::setAppHostBool(std::optional<std::string_view> name,
                                 std::optional<std::string_view> host,
                                 std::optional<std::string_view> urlString, bool value) {
  setAppHostRule(name, host, urlString, value ? rule::kAllowed : rule::kBlocked);
}

void SNTFirewall::setAllOutboundLocked(const char* key, bool flag) {
  plist::MutableDict entry(appSettings());
  entry.set(key, plist::Value::boolean(flag));
  saveAppSettingsLocked(std::move(entry).build(), notifyChoice());
}

void SNTFirewall::setAllowAllOutbound(bool flag) {
  MutexLock lock(edit_mutex_);
  setAllOutboundLocked(key::kAllowAllOutbound, flag);
}

void SNTFirewall::setDenyAllOutbound(bool flag) {
  MutexLock lock(edit_mutex_);
  setAllOutboundLocked(key::kDenyAllOutbound, flag);
}

void SNTFirewall::setRuleGlobally(std::optional<std::string_view> host,
                                  std::optional<std::string_view> url, int64_t value) {
  SNTSettings settings;
  settings.initWithDictionary(globalSettings());
  settings.setGlobalHostRule(host, url, value);
}

void SNTFirewall::clearAllHosts(bool notify) {
  MutexLock lock(edit_mutex_);
  const plist::Value current = appSettings();
  if (!current.isDict()) return;
  plist::MutableDict entry(current);
  if (!entry.find(key::kDomains)) return;
  entry.set(key::kDomains, plist::Value::dict({}));
  saveAppSettingsLocked(std::move(entry).build(), notify);
}

void SNTFirewall::deleteApp(bool notify) {
  MutexLock lock(edit_mutex_);
  if (!appSettings().isDict()) return;
  plist::MutableDict document(PrefHandler::loadSettings());
  const std::optional<std::string> id = bundleId();
  const plist::Value apps = document.get(key::kApps);
  if (id && apps.isDict()) {
    document.set(key::kApps, plist::MutableDict(apps).remove(*id).build());
  }
  const plist::Value without = std::move(document).build();
  saveAppSettingsLocked(plist::Value::dict({}), notify);
  setGlobalSettings(without);
  PrefHandler::saveSettings(without, true);
}

std::string SNTFirewall::ruleDescription() const {
  FirewallEvaluation ev(snapshot());
  const SNTFirewallState& s = ev.state();
  std::string label = objectText(s.name);
  if (ev.globalFlag(key::kShowBundleIds, false, kLenient)) label = objectText(s.bundleId);
  if (!ev.enabled(kLenient)) return label + " (off)";
  if (ev.allowAllOutbound(kLenient)) return label + " (all allowed)";
  if (ev.denyAllOutbound(kLenient)) return label + " (all blocked)";
  int allowed = 0;
  int total = 0;
  if (const plist::Dict* map = ev.hosts(kLenient)) {
    for (const auto& [host, entry] : *map) {
      ++total;
      if (entry.get(key::kAllowed).numberAsInteger() == rule::kAllowed) ++allowed;
    }
  }
  return label + " (" + std::to_string(allowed) + "/" + std::to_string(total) + " allowed)";
}

// ---------------------------------------------------------------------------

bool determineIfApp(std::optional<std::string_view>) {
  return true;
}
bool determineIfDaemon(std::optional<std::string_view>) {
  return false;
}
bool _determineIfSystemApp(std::optional<std::string_view>) {
  return false;
}

// ---------------------------------------------------------------------------
// Explaining a decision

namespace {

// The decisions' effects recorded, for a decision that must change nothing.
class RecordingEffects final : public internal::DecisionEffects {
 public:
  explicit RecordingEffects(SNTFirewall::Explanation& out) : out_(out) {}

  void say(std::initializer_list<std::string_view> parts) override {
    std::string text;
    for (std::string_view part : parts) text += part;
    out_.lines.push_back(std::move(text));
  }
  void learn(std::string_view host, std::optional<std::string_view>, int64_t value,
             bool onlyIfUnset) override {
    out_.learned.push_back({std::string(host), value, onlyIfUnset});
  }
  void guardedStepFailed(const internal::WrongKind& failure) override {
    char reason[512];
    out_.wrongKind = std::string(failure.write(reason, sizeof reason));
  }

 private:
  SNTFirewall::Explanation& out_;
};

}  // namespace

SNTFirewall::Explanation SNTFirewall::explainDecision(const SNTDestination& d) const {
  Explanation out;
  FirewallEvaluation ev(snapshot());
  RecordingEffects fx(out);
  if (decideAllow(ev, viewOf(d.host()), viewOf(d.url()), fx)) {
    out.verdict = Explanation::Verdict::kAllow;
    out.decidedByAllow = true;
    return out;
  }
  try {
    const bool deny = decideDeny(ev, viewOf(d.host()), viewOf(d.url()), fx);
    out.verdict = deny ? Explanation::Verdict::kDeny : Explanation::Verdict::kAsk;
  } catch (const std::exception& failure) {
    // As shouldDeny(): anything going wrong in here blocks.
    out.verdict = Explanation::Verdict::kDeny;
    out.wrongKind = failure.what();
  }
  return out;
}

}  // namespace sentrel
