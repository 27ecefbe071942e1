#include "device/cli/rules.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include <nlohmann/json.hpp>

#include "device/cli/change_lock.h"
#include "device/cli/outcome.h"
#include "device/cli/rules_file_watch.h"
#include "device/tools/springboard_ready.h"
#include "platform/apps/installed_apps.h"
#include "platform/log/system_log.h"
#include "platform/notify/device_bus.h"
#include "platform/notify/notification_center.h"
#include "platform/paths/device_paths.h"
#include "platform/plist/plist_codec.h"
#include "platform/plist/value.h"
#include "platform/runloop/run_loop.h"
#include "tweak/SNTFirewall.h"
#include "tweak/SNTSettings.h"
#include "tweak/host_input.h"
#include "tweak/preftools.h"
#include "tweak/settings_image.h"

namespace sentrel::cli {

const char* const kRulesUsageText =
    "       sentrel [--root DIR] rules list [--app ID] [--json]\n"
    "       sentrel [--root DIR] rules test --app ID HOST[:PORT]\n"
    "         (the verdict for a connection and what decides it; nothing connects, nothing is "
    "saved)\n"
    "       sentrel [--root DIR] rules allow|block|undefine|remove HOST (--app ID | --global)\n"
    "         (HOST: a name, an address, host:port or a URL; a URL or port is reduced to the "
    "host)\n"
    "       sentrel [--root DIR] rules set KEY VALUE [--app ID]\n"
    "         global switches (on|off): snt_enabled, snt_system_apps_enabled, "
    "snt_hook_syscalls,\n"
    "           snt_animations, snt_show_bundle_ids, snt_alert_show_bundle, snt_alert_show_url,\n"
    "           snt_filter_custom_scheme, snt_no_network_apps_enabled, "
    "snt_upload_anonymous_data\n"
    "         global policy: new_app_policy off|allow|block|prompt (0-3)\n"
    "         per app (--app ID) switches (on|off): firewall_enabled, allow_all_outbound,\n"
    "           deny_all_outbound, filter_webviews, filter_streams\n"
    "         per app policy: new_site_policy allow|block|prompt (1-3)\n"
    "       sentrel [--root DIR] rules clear (--app ID | --global)\n"
    "       sentrel [--root DIR] rules forget --app ID\n"
    "       sentrel [--root DIR] rules export [--app ID]\n"
    "       sentrel [--root DIR] rules import FILE\n"
    "         (changes wait for SpringBoard to save them: --timeout SECONDS, default 5;\n"
    "          one change at a time per device, the others wait their turn)\n"
    "exit codes: 0 done; 1 failed (one line on stderr says why: an unknown app, a device not\n"
    "         running, a damaged settings file, a change not confirmed in time); 2 bad command\n"
    "         line or no device at DIR (nothing changed); 3 device status: not running;\n"
    "         open: the app's own exit status\n";

namespace {

namespace fs = std::filesystem;
using plist::Value;

constexpr double kDefaultTimeoutSeconds = 5;
constexpr double kMaxTimeoutSeconds = 600;

// ---- The keys the command may set ----

enum class KeyKind { kSwitch, kPolicy };
enum class Scope { kGlobal, kApp };

struct KeyInfo {
  const char* key;
  Scope scope;
  KeyKind kind;
  bool fallback;  // a switch's value when the key is absent
};

// In the order `rules list` shows them. "firewall_enabled" of an app has no
// fixed default (it follows "new_app_policy"); its fallback is not used.
constexpr KeyInfo kKeys[] = {
    {key::kEnabled, Scope::kGlobal, KeyKind::kSwitch, true},
    {key::kNewAppPolicy, Scope::kGlobal, KeyKind::kPolicy, false},
    {key::kSystemAppsEnabled, Scope::kGlobal, KeyKind::kSwitch, false},
    {key::kHookSyscalls, Scope::kGlobal, KeyKind::kSwitch, true},
    {key::kAnimations, Scope::kGlobal, KeyKind::kSwitch, true},
    {key::kShowBundleIds, Scope::kGlobal, KeyKind::kSwitch, false},
    {key::kAlertShowBundle, Scope::kGlobal, KeyKind::kSwitch, false},
    {key::kAlertShowUrl, Scope::kGlobal, KeyKind::kSwitch, false},
    {key::kFilterCustomScheme, Scope::kGlobal, KeyKind::kSwitch, false},
    {key::kNoNetworkAppsEnabled, Scope::kGlobal, KeyKind::kSwitch, false},
    {key::kUploadAnonymousData, Scope::kGlobal, KeyKind::kSwitch, false},
    {key::kFirewallEnabled, Scope::kApp, KeyKind::kSwitch, true},
    {key::kAllowAllOutbound, Scope::kApp, KeyKind::kSwitch, false},
    {key::kDenyAllOutbound, Scope::kApp, KeyKind::kSwitch, false},
    {key::kNewSitePolicy, Scope::kApp, KeyKind::kPolicy, false},
    {key::kFilterWebviews, Scope::kApp, KeyKind::kSwitch, true},
    {key::kFilterStreams, Scope::kApp, KeyKind::kSwitch, true},
};

const KeyInfo* findKey(std::string_view name) {
  for (const KeyInfo& info : kKeys) {
    if (name == info.key) return &info;
  }
  return nullptr;
}

std::string keyNames(Scope scope) {
  std::string names;
  for (const KeyInfo& info : kKeys) {
    if (info.scope != scope) continue;
    names += (names.empty() ? "" : ", ") + std::string(info.key);
  }
  return names;
}

std::optional<bool> parseSwitch(std::string_view text) {
  for (const char* word : {"on", "true", "yes", "1"}) {
    if (text == word) return true;
  }
  for (const char* word : {"off", "false", "no", "0"}) {
    if (text == word) return false;
  }
  return std::nullopt;
}

constexpr const char* kPolicyWords[] = {"off", "allow", "block", "prompt"};

// "0".."3" or its word; the stored form is the digit.
constexpr const char* kPolicyValues[] = {policy::kOff, policy::kAllow, policy::kBlock,
                                         policy::kPrompt};

std::optional<std::string> parsePolicy(std::string_view text) {
  for (int i = 0; i < 4; ++i) {
    if (text == kPolicyValues[i] || text == kPolicyWords[i]) return kPolicyValues[i];
  }
  return std::nullopt;
}

std::string policyText(std::string_view value) {
  for (int i = 0; i < 4; ++i) {
    if (value == kPolicyValues[i]) return std::string(value) + " (" + kPolicyWords[i] + ")";
  }
  return std::string(value);
}

// A stored policy as `rules list` shows it; one of another kind than text is
// named with its kind, as it matches no policy.
std::string storedPolicyText(const Value& stored) {
  if (const std::string* text = stored.asString()) return policyText(*text);
  return std::string(kUncomparablePolicy) + " " + plist::typeName(stored.type()) + " " +
         stored.description();
}

const char* switchText(bool on) {
  return on ? "on" : "off";
}

std::string ruleText(int64_t value) {
  switch (value) {
    case rule::kUndefined:
      return "undefined";
    case rule::kAllowed:
      return "allowed";
    case rule::kBlocked:
      return "blocked";
    default:
      return "unknown (" + std::to_string(value) + ")";
  }
}

// ---- The command line ----

struct Request {
  std::string command;
  std::vector<std::string> operands;
  std::optional<std::string> app;
  bool global = false;
  bool json = false;
  double timeout_seconds = kDefaultTimeoutSeconds;
};

// "-1", "-0.5": a value, not an option.
bool isNumber(std::string_view text) {
  if (text.size() < 2 || text[0] != '-') return false;
  char* end = nullptr;
  const std::string copy(text);
  (void)strtod(copy.c_str(), &end);
  return end != copy.c_str() && *end == '\0';
}

// Returns the exit code of a bad command line, or kOk with `request` filled.
int parse(const std::vector<std::string>& args, Request& request) {
  if (args.empty())
    return usage(
        "rules takes one of list, test, allow, block, undefine, remove, set, "
        "clear, forget, export, import");
  request.command = args[0];
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](std::string_view flag) -> std::optional<std::string> {
      const std::string prefix = std::string(flag) + "=";
      if (a.rfind(prefix, 0) == 0) return a.substr(prefix.size());
      if (a != flag || i + 1 >= args.size()) return std::nullopt;
      return args[++i];
    };
    if (a == "--app" || a.rfind("--app=", 0) == 0) {
      std::optional<std::string> id = value("--app");
      if (!id) return usage("--app needs a bundle id");
      if (request.app) return usage("--app given twice");
      if (Status valid = apps::validateIdentifier(*id); !valid) return usage(valid.reason());
      request.app = *id;
    } else if (a == "--global") {
      request.global = true;
    } else if (a == "--timeout" || a.rfind("--timeout=", 0) == 0) {
      std::optional<std::string> text = value("--timeout");
      if (!text) return usage("--timeout needs a number of seconds");
      char* end = nullptr;
      const double seconds = strtod(text->c_str(), &end);
      if (text->empty() || *end != '\0' || !std::isfinite(seconds) || seconds <= 0 ||
          seconds > kMaxTimeoutSeconds) {
        return usage("--timeout takes a number of seconds above 0 and at most 600");
      }
      request.timeout_seconds = seconds;
    } else if (a == "--json") {
      request.json = true;
    } else if (a == "--") {
      request.operands.insert(request.operands.end(), args.begin() + static_cast<long>(i) + 1,
                              args.end());
      break;
    } else if (a.size() > 1 && a[0] == '-' && !isNumber(a)) {
      return usage("unknown option " + a);
    } else {
      request.operands.push_back(a);
    }
  }
  if (request.app && request.global) return usage("give either --app ID or --global, not both");
  return kOk;
}

// A typed text, as a message quotes it: a 100,000-character paste is not
// repeated back.
std::string shownText(std::string_view text) {
  constexpr size_t kShown = 64;
  if (text.size() <= kShown) return "\"" + std::string(text) + "\"";
  return "\"" + std::string(text.substr(0, kShown)) + "...\" (" + std::to_string(text.size()) +
         " characters)";
}

// What a refused host is told.
int refuseHost(std::string_view typed, const std::string& reason) {
  return usage(shownText(typed) + " is not a host: " + reason);
}

// Beyond the shape of a host: the firewall's own service host takes no rule.
int checkHost(const std::string& host) {
  if (host == kServiceHost) {
    return usage(std::string(kServiceHost) +
                 " is the firewall's own service host; it takes no rule");
  }
  // The bus carries documents as property lists, which only hold valid UTF-8.
  if (!notify::encodePayload(Value::dictOf({{"host", Value::string(host)}})).ok()) {
    return usage("the host is not valid UTF-8 text");
  }
  return kOk;
}

// Says on stderr what was made of a typed host, when it was changed.
void tellHostChanges(std::string_view typed, const HostInput& input) {
  if (input.changes.empty()) return;
  fprintf(stderr, "sentrel: took %s as the host %s (%s)\n", shownText(typed).c_str(),
          input.host.c_str(), describeHostChanges(input.changes).c_str());
}

// ---- One change at a time ----

// How long a change waits for the changes before it: ten at once each
// wait for SpringBoard's round trip of the ones ahead.
constexpr auto kLockPatience = std::chrono::seconds(60);

Result<std::unique_ptr<ChangeLock>> lockChanges(const fs::path& root) {
  return ChangeLock::acquire(root, std::chrono::steady_clock::now() + kLockPatience);
}

// A damaged settings file reads as empty settings: a change then saves a
// document without any of its rules, and SpringBoard keeps the damaged file
// aside before it writes. The command says both.
struct DamageNotice {
  std::optional<std::string> damage;
  size_t kept_before = 0;
};

DamageNotice warnIfDamaged() {
  DamageNotice notice;
  notice.damage = settingsFileDamage();
  if (!notice.damage) return notice;
  const fs::path file = paths::resolve(kSettingsPath);
  notice.kept_before = damagedSettingsFiles(file).size();
  fprintf(stderr,
          "sentrel: warning: the settings file %s is damaged (%s); it reads as empty "
          "settings, so this change starts from none. SpringBoard keeps the damaged file aside "
          "before it saves.\n",
          file.c_str(), notice.damage->c_str());
  return notice;
}

void reportKeptAside(const DamageNotice& notice) {
  if (!notice.damage) return;
  const std::vector<fs::path> kept = damagedSettingsFiles(paths::resolve(kSettingsPath));
  if (kept.size() > notice.kept_before) {
    fprintf(stderr, "sentrel: the damaged settings file was kept as %s\n", kept.back().c_str());
  }
}

// What every process reads in place of a damaged file, the defaults, is
// not what the file held: shown, it would look like a firewall without
// rules. Returns kFailed, saying so on stderr and in the system log, for a
// damaged file; kOk otherwise.
int failIfDamaged(const char* command) {
  const std::optional<std::string> damage = settingsFileDamage();
  if (!damage) return kOk;
  const std::string file = paths::resolve(kSettingsPath).string();
  log::line(std::string("sentrel ") + command + ": the settings file " + file + " is damaged (" +
                *damage + ")",
            log::Level::kError);
  return fail("the settings file " + file + " is damaged (" + *damage +
              "): every process reads it as empty settings; SpringBoard keeps it aside as " + file +
              ".damaged-<time> before it next saves");
}

// ---- Reading the document ----

Value hostRules(const Value& document) {
  return document.get(key::kGlobalHosts);
}

Value appEntry(const Value& document, std::string_view bundle_id) {
  return document.get(key::kApps).get(bundle_id);
}

bool hasAppEntry(const Value& document, std::string_view bundle_id) {
  return appEntry(document, bundle_id).isDict();
}

std::optional<int64_t> storedRule(const Value& rules, std::string_view host) {
  const Value entry = rules.get(host);
  if (!entry.isDict()) return std::nullopt;
  return entry.get(key::kAllowed).numberAsInteger().value_or(rule::kUndefined);
}

// ---- The app a command is about ----

struct AppTarget {
  std::string id;
  std::optional<apps::AppRecord> record;  // absent: not installed, known by its entry only
  std::shared_ptr<SNTFirewall> firewall;
};

// The app's firewall object, as the app list pages build it: the catalogue
// gives the name and the system and hidden flags (the hidden page treats its
// apps as system apps); an app that is no longer installed goes by its
// bundle id, as on the uninstalled-apps page.
std::optional<AppTarget> findApp(const fs::path& root, const std::string& bundle_id,
                                 const Value& document) {
  AppTarget target;
  target.id = bundle_id;
  target.record = apps::newDeviceCatalogue(root)->applicationWithIdentifier(bundle_id);
  if (!target.record && !hasAppEntry(document, bundle_id)) return std::nullopt;
  const bool hidden = target.record && !target.record->isVisible();
  const bool system = hidden || (target.record && target.record->isSystemApplication());
  const std::string name = target.record ? target.record->display_name : bundle_id;
  target.firewall = SNTFirewall::pooledFirewallForBundle(
      bundle_id, name, system, hidden, determineIfDaemon(bundle_id), document,
      getAppSettingsFromCache(document, bundle_id));
  return target;
}

int unknownApp(const std::string& bundle_id) {
  return fail("unknown app " + bundle_id + ": it is not installed and has no settings");
}

// ---- Changes and their confirmation ----

struct Change {
  std::function<void()> apply;                       // the edit; it sends the document
  std::function<bool(const Value& document)> shows;  // the saved document holds the edit
  std::string done;                                  // the line printed once confirmed
  std::optional<std::string> app;                    // the app whose entry shows the edit, if any
  DamageNotice damage;                               // the file was damaged when the edit began
};

std::string secondsText(double seconds) {
  char text[32];
  snprintf(text, sizeof text, "%g s", seconds);
  return text;
}

// The bus is the device's lifeline: without it a save request is lost
// without a trace, so a change is refused up front.
bool deviceRunning(const fs::path& root) {
  runloop::RunLoop probe_loop;
  return notify::makeBusCenter(notify::busAddressForRoot(root), probe_loop).ok();
}

// Applies `change` and waits until SpringBoard has written a document that
// shows it. The watch starts before the request goes out, so the write
// cannot be missed; a document written by someone else, or an intermediate
// one of a two-step edit, is checked and waited past.
//
// SpringBoard publishes the settings image right after each write of the
// file, so the command watches the image: once it matches the file, the
// part that shows the edit is read from it instead of parsing the whole
// document. Any doubt (no image, an image of another version, a part that
// does not show the edit) is settled by reading the file itself.
int commitChange(const Change& change, double timeout_seconds);

int commit(const Change& change, double timeout_seconds) {
  const int rc = commitChange(change, timeout_seconds);
  reportKeptAside(change.damage);
  return rc;
}

int commitChange(const Change& change, double timeout_seconds) {
  const fs::path file = paths::resolve(kSettingsPath);
  const fs::path image = paths::resolve(kSettingsImagePath);
  std::error_code ec;
  // SpringBoard creates the folders on its first save as well; a fresh
  // device has none yet, and the watch needs them.
  fs::create_directories(file.parent_path(), ec);
  if (!ec) fs::create_directories(image.parent_path(), ec);
  if (ec) return fail("cannot create the settings folders: " + ec.message());
  Result<std::unique_ptr<FileWriteWatch>> watch = watchFileWrites(image);
  if (!watch) return fail(watch.reason());
  auto saved = [&] {
    if (Result<Value> part = readSettingsPart(change.app); part && change.shows(*part)) return true;
    Result<Value> document = plist::readDictionaryFile(file);
    return document && change.shows(*document);
  };

  // The SpringBoard that hears the request. One that is still launching
  // (launchd restarting it, a device just started) has no observer on the
  // bus yet and the request is lost: it is sent again once a SpringBoard has
  // registered its services.
  const fs::path root = paths::deviceRoot();
  pid_t heard_by = tools::readySpringBoard(root);
  change.apply();

  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                            std::chrono::duration<double>(timeout_seconds));
  constexpr auto kReadyCheckInterval = std::chrono::milliseconds(50);
  for (;;) {
    const auto now = std::chrono::steady_clock::now();
    Result<bool> written = (*watch)->waitForWrite(std::min(deadline, now + kReadyCheckInterval));
    if (!written) return fail(written.reason());
    if (*written) {
      if (saved()) break;
      continue;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      // A SpringBoard that saved but could not publish its image.
      if (saved()) break;
      return fail("SpringBoard did not save the change within " + secondsText(timeout_seconds) +
                  "; the request was sent but is not confirmed (is SpringBoard running?)");
    }
    if (const pid_t ready = tools::readySpringBoard(root); ready != 0 && ready != heard_by) {
      heard_by = ready;
      change.apply();
    }
  }
  printf("%s\n", change.done.c_str());
  return kOk;
}

int nothingChanged(const std::string& line) {
  printf("%s; nothing changed\n", line.c_str());
  return kOk;
}

// ---- The commands ----

int64_t ruleValueOf(const std::string& command) {
  if (command == "allow") return rule::kAllowed;
  if (command == "block") return rule::kBlocked;
  return rule::kUndefined;
}

int hostRuleCommand(const fs::path& root, const Request& request) {
  if (request.operands.size() != 1) return usage(request.command + " takes one host");
  if (!request.app && !request.global)
    return usage(request.command + " needs --app ID or --global");
  const std::string& typed = request.operands[0];
  const bool remove = request.command == "remove";
  const int64_t value = ruleValueOf(request.command);
  // A rule stored before hosts were checked keeps its key: undefining or
  // removing it names that key as it is stored.
  const bool by_stored_key = remove || value == rule::kUndefined;
  Result<HostInput> input = normalizeHostInput(typed);
  if (!input && !by_stored_key) return refuseHost(typed, input.reason());
  if (input) {
    if (int rc = checkHost(input->host); rc != kOk) return rc;
  }
  if (!deviceRunning(root)) return fail("device not running at " + root.string());
  Result<std::unique_ptr<ChangeLock>> lock = lockChanges(root);
  if (!lock) return fail(lock.reason());
  const DamageNotice damage = warnIfDamaged();

  const std::string outcome = remove ? "removed" : ruleText(value);
  // Only what the edit needs: the app's entry and the top-level keys.
  const Value document = loadSettingsForApp(
      request.app ? std::optional<std::string_view>(*request.app) : std::nullopt);
  std::optional<AppTarget> app;
  if (request.app) {
    app = findApp(root, *request.app, document);
    if (!app) return unknownApp(*request.app);
  }
  const Value stored_rules = app ? app->firewall->hosts() : hostRules(document);
  std::string host;
  if (const std::string as_stored = *ruleKeyOf(typed);
      by_stored_key && storedRule(stored_rules, as_stored)) {
    host = as_stored;
  } else if (!input) {
    return refuseHost(typed, input.reason());
  } else {
    host = input->host;
    tellHostChanges(typed, *input);
  }

  if (request.global) {
    if (remove && !storedRule(stored_rules, host)) {
      return nothingChanged("global rule: " + host + " has no rule");
    }
    Change change;
    change.apply = [&] {
      std::unique_ptr<SNTSettings> settings = SNTSettings::loadFromFile();
      if (remove) {
        settings->removeGlobalHostRule(host);
      } else if (value == rule::kUndefined) {
        settings->setGlobalHostRule(host, std::nullopt, rule::kUndefined);
        // An undefined rule is saved without an announcement; a rule that
        // was allowed or blocked before would then go on deciding in every
        // running process. Save the same document again, announced.
        settings->save(true);
      } else {
        settings->setGlobalHostBool(host, std::nullopt, value == rule::kAllowed);
      }
    };
    change.shows = [&](const Value& saved) {
      const std::optional<int64_t> rule = storedRule(hostRules(saved), host);
      return remove ? !rule : rule == value;
    };
    change.done = "global rule: " + host + " -> " + outcome;
    change.damage = damage;
    return commit(change, request.timeout_seconds);
  }

  SNTFirewall& firewall = *app->firewall;
  if (remove && !storedRule(stored_rules, host)) {
    return nothingChanged("rule: " + app->id + " " + host + " has no rule");
  }
  Change change;
  change.apply = [&] {
    if (remove) {
      // The pages have no single-rule removal; this is the per-app page's
      // edit pattern (copy of the entry, change, saveAppSettings).
      plist::MutableDict entry(firewall.appSettings());
      entry.set(key::kDomains, plist::MutableDict(firewall.hosts()).remove(host).build());
      firewall.saveAppSettings(std::move(entry).build(), true);
    } else {
      firewall.setAppHostRule(firewall.name(), host, std::nullopt, value);
      // As for the global rule: an undefined rule is saved unannounced.
      if (value == rule::kUndefined) firewall.saveAppSettings(firewall.appSettings(), true);
    }
  };
  change.shows = [&](const Value& saved) {
    const std::optional<int64_t> rule =
        storedRule(appEntry(saved, app->id).get(key::kDomains), host);
    return remove ? !rule : rule == value;
  };
  change.done = "rule: " + app->id + " " + host + " -> " + outcome;
  change.app = app->id;
  change.damage = damage;
  return commit(change, request.timeout_seconds);
}

// The root page's "OK" of a new-app-policy change: app entries that lean on
// the old policy get it written into them, so that the change only affects
// apps without an entry.
Value freezeAppsForNewAppPolicy(const Value& document, const std::string& old_policy) {
  const Value apps = document.get(key::kApps);
  if (!apps.isDict()) return document;
  plist::MutableDict frozen_apps(apps);
  for (const auto& [bundle_id, entry] : *apps.asDict()) {
    if (!entry.isDict()) continue;
    plist::MutableDict changed(entry);
    if (!changed.find(key::kFirewallEnabled)) {
      changed.set(key::kFirewallEnabled, Value::boolean(old_policy != policy::kOff));
    }
    if (!changed.find(key::kNewSitePolicy) && old_policy != policy::kOff) {
      changed.set(key::kNewSitePolicy, Value::string(old_policy));
    }
    frozen_apps.set(bundle_id, std::move(changed).build());
  }
  return plist::MutableDict(document).set(key::kApps, std::move(frozen_apps).build()).build();
}

int setCommand(const fs::path& root, const Request& request) {
  if (request.operands.size() != 2) return usage("set takes a key and a value");
  const std::string& name = request.operands[0];
  const std::string& text = request.operands[1];
  const KeyInfo* info = findKey(name);
  if (!info) {
    return usage("unknown key " + name + " (global: " + keyNames(Scope::kGlobal) +
                 "; per app: " + keyNames(Scope::kApp) + ")");
  }
  if (info->scope == Scope::kApp && !request.app)
    return usage(name + " is set per app: add --app ID");
  if (info->scope == Scope::kGlobal && request.app) {
    return usage(name + " is a global setting: drop --app");
  }
  Value value;
  std::string shown;
  if (info->kind == KeyKind::kSwitch) {
    std::optional<bool> on = parseSwitch(text);
    if (!on) return usage(name + " takes on or off");
    value = Value::boolean(*on);
    shown = switchText(*on);
  } else {
    std::optional<std::string> parsed = parsePolicy(text);
    // "0" means "not filtered" only for apps without an entry of their own;
    // for an app it would read as prompt.
    if (!parsed || (info->scope == Scope::kApp && *parsed == policy::kOff)) {
      return usage(name + (info->scope == Scope::kApp
                               ? " takes allow, block or prompt (1-3)"
                               : " takes off, allow, block or prompt (0-3)"));
    }
    value = Value::string(*parsed);
    shown = policyText(*parsed);
  }
  if (!deviceRunning(root)) return fail("device not running at " + root.string());
  Result<std::unique_ptr<ChangeLock>> lock = lockChanges(root);
  if (!lock) return fail(lock.reason());
  const DamageNotice damage = warnIfDamaged();
  const Value document = PrefHandler::loadSettings();

  Change change;
  change.damage = damage;
  if (info->scope == Scope::kGlobal) {
    change.apply = [&] {
      std::unique_ptr<SNTSettings> settings = SNTSettings::loadFromFile();
      if (name == key::kNewAppPolicy) {
        const std::string* stored = settings->settings().get(key::kNewAppPolicy).asString();
        const std::string old_policy = stored ? *stored : policy::kPrompt;
        if (old_policy != *value.asString()) {
          settings->setSettings(freezeAppsForNewAppPolicy(settings->settings(), old_policy));
        }
      }
      settings->setPref(name, value, true);
    };
    change.shows = [&](const Value& saved) { return saved.get(name) == value; };
    change.done = "setting: " + name + " -> " + shown;
    return commit(change, request.timeout_seconds);
  }

  std::optional<AppTarget> app = findApp(root, *request.app, document);
  if (!app) return unknownApp(*request.app);
  SNTFirewall& firewall = *app->firewall;
  change.apply = [&] {
    const bool on = value.asBool().value_or(false);
    if (name == key::kAllowAllOutbound) {
      firewall.setAllowAllOutbound(on);
    } else if (name == key::kDenyAllOutbound) {
      firewall.setDenyAllOutbound(on);
    } else {
      // The per-app page's setter: the entry with the row's key changed,
      // saved and announced.
      firewall.saveAppSettings(plist::MutableDict(firewall.appSettings()).set(name, value).build(),
                               true);
    }
  };
  change.shows = [&](const Value& saved) { return appEntry(saved, app->id).get(name) == value; };
  change.done = "setting: " + app->id + " " + name + " -> " + shown;
  return commit(change, request.timeout_seconds);
}

int clearCommand(const fs::path& root, const Request& request) {
  if (!request.operands.empty()) return usage("clear takes no host");
  if (!request.app && !request.global) return usage("clear needs --app ID or --global");
  if (!deviceRunning(root)) return fail("device not running at " + root.string());
  Result<std::unique_ptr<ChangeLock>> lock = lockChanges(root);
  if (!lock) return fail(lock.reason());
  const DamageNotice damage = warnIfDamaged();
  const Value document = PrefHandler::loadSettings();

  Change change;
  change.damage = damage;
  if (request.global) {
    const plist::Dict* rules = hostRules(document).asDict();
    if (!rules || rules->empty()) return nothingChanged("global rules: none");
    change.apply = [] { SNTSettings().clearGlobalHosts(true); };
    change.shows = [](const Value& saved) {
      const plist::Dict* left = hostRules(saved).asDict();
      return left && left->empty();
    };
    change.done = "global rules: " + std::to_string(rules->size()) + " cleared";
    return commit(change, request.timeout_seconds);
  }

  std::optional<AppTarget> app = findApp(root, *request.app, document);
  if (!app) return unknownApp(*request.app);
  SNTFirewall& firewall = *app->firewall;
  // clearAllHosts() saves nothing for an entry without "domains"; there
  // would be no write to wait for.
  const plist::Dict* rules = firewall.appSettings().get(key::kDomains).asDict();
  if (!rules || rules->empty()) return nothingChanged("rules: " + app->id + " has none");
  change.apply = [&] { firewall.clearAllHosts(true); };
  change.shows = [&](const Value& saved) {
    const plist::Dict* left = appEntry(saved, app->id).get(key::kDomains).asDict();
    return left && left->empty();
  };
  change.done = "rules: " + app->id + " " + std::to_string(rules->size()) + " cleared";
  return commit(change, request.timeout_seconds);
}

int forgetCommand(const fs::path& root, const Request& request) {
  if (!request.operands.empty()) return usage("forget takes no host");
  if (!request.app) return usage("forget needs --app ID");
  if (!deviceRunning(root)) return fail("device not running at " + root.string());
  Result<std::unique_ptr<ChangeLock>> lock = lockChanges(root);
  if (!lock) return fail(lock.reason());
  const DamageNotice damage = warnIfDamaged();
  const Value document = PrefHandler::loadSettings();
  std::optional<AppTarget> app = findApp(root, *request.app, document);
  if (!app) return unknownApp(*request.app);
  if (!hasAppEntry(document, app->id))
    return nothingChanged("app: " + app->id + " has no settings");

  Change change;
  change.damage = damage;
  change.apply = [&] { app->firewall->deleteApp(true); };
  // deleteApp() first saves an empty entry, then the document without it.
  change.shows = [&](const Value& saved) { return appEntry(saved, app->id).isNull(); };
  change.done = "app: " + app->id + " -> settings deleted";
  return commit(change, request.timeout_seconds);
}

// ---- Testing a destination ----

// What decided an explained decision, in the words of the settings that
// did: the steps' log lines name the step, the firewall's switches say which
// setting holds.
std::string decidedBy(const SNTFirewall& firewall, const SNTFirewall::Explanation& why,
                      const std::string& host) {
  auto said = [&](std::string_view line) {
    for (const std::string& l : why.lines) {
      if (l.find(line) != std::string::npos) return true;
    }
    return false;
  };
  auto learned = [&](int64_t value) {
    for (const SNTFirewall::Explanation::Learned& l : why.learned) {
      if (l.value == value) return true;
    }
    return false;
  };
  const Value entry = firewall.appSettings();
  if (why.wrongKind) return "a setting of the wrong kind blocks: " + *why.wrongKind;
  if (said("firewall is off")) {
    if (!firewall._globalEnabled()) return "switch snt_enabled is off: nothing is filtered";
    if (firewall.isSystemApp() && !firewall._globalSystemEnabled()) {
      return "switch snt_system_apps_enabled is off and this is a system app";
    }
    if (const std::optional<bool> own = entry.get(key::kFirewallEnabled).numberAsBool()) {
      if (!*own) return "the app's switch firewall_enabled is off";
    } else if (firewall.appPolicy() == policy::kOff) {
      return "policy new_app_policy 0 (off): apps without settings of their own are not "
             "filtered";
    }
    return "SpringBoard is not running: nothing is filtered without it";
  }
  if (said("appId set to allow all!") && why.decidedByAllow) {
    const std::string learning =
        learned(rule::kAllowed) ? "; the first connection records an allowed rule for " + host : "";
    if (firewall.allowAllOutbound()) return "the app's switch allow_all_outbound is on" + learning;
    return "the app's policy new_site_policy " + policyText(firewall.appPolicy()) + learning;
  }
  if (said("appId is a daemon")) return "a daemon: the firewall lets daemons through";
  if (said("connecting to localhost") || said("connecting to this api") ||
      said("blocked is a shortcut")) {
    return host + " is always allowed";
  }
  if (said("Bypassing alert for WebKit"))
    return "WebKit's networking process: its web views decide";
  if (said("appId set to block all!")) {
    const std::string learning =
        learned(rule::kBlocked) ? "; the first connection records a blocked rule for " + host : "";
    if (firewall.denyAllOutbound()) return "the app's switch deny_all_outbound is on" + learning;
    return "the app's policy new_site_policy " + policyText(firewall.appPolicy()) + learning;
  }
  const bool app_rule = firewall.isExplicitRuleForHostSet(host);
  const int64_t own = firewall.explicitRuleForHost(host);
  if (app_rule && own != rule::kUndefined)
    return "the app's rule for " + host + ": " + ruleText(own);
  if (learned(rule::kAllowed) || learned(rule::kBlocked)) {
    return "the global rule for " + host + ": " +
           ruleText(learned(rule::kAllowed) ? rule::kAllowed : rule::kBlocked) +
           " (the first connection copies it into the app's rules)";
  }
  return std::string(app_rule ? "the app's rule for " + host + " is undefined"
                              : "no rule for " + host) +
         " and the app's policy new_site_policy is " + policyText(firewall.appPolicy()) +
         ": SpringBoard asks";
}

int testCommand(const fs::path& root, const Request& request) {
  if (request.operands.size() != 1) return usage("test takes one HOST[:PORT]");
  if (!request.app) return usage("test needs --app ID");
  if (request.global) return usage("test decides for one app: give --app ID, not --global");
  const std::string& typed = request.operands[0];
  Result<HostInput> input = normalizeHostInput(typed);
  if (!input) return refuseHost(typed, input.reason());
  if (int rc = failIfDamaged("rules test"); rc != kOk) return rc;
  const Value document = PrefHandler::loadSettings();
  std::optional<AppTarget> app = findApp(root, *request.app, document);
  if (!app) return unknownApp(*request.app);
  const SNTFirewall& firewall = *app->firewall;
  const std::string& host = input->host;
  const SNTFirewall::Explanation why = firewall.explainDecision(SNTDestination(host));
  const char* verdict = why.verdict == SNTFirewall::Explanation::Verdict::kAllow  ? "allow"
                        : why.verdict == SNTFirewall::Explanation::Verdict::kDeny ? "block"
                                                                                  : "ask";
  printf("%s %s: %s\n", app->id.c_str(), host.c_str(), verdict);
  printf("decided by: %s\n", decidedBy(firewall, why, host).c_str());
  if (firewall.enabled() && !firewall.filterStreams()) {
    printf(
        "note: filter_streams is off for the app: its sockets connect unfiltered; URL "
        "requests are decided as above\n");
  }
  return kOk;
}

// ---- Export and import ----

// `rules export [--app ID]`: the settings document, or a document holding
// only the app's entry, as the settings file's own XML on stdout.
int exportCommand(const fs::path& root, const Request& request) {
  if (!request.operands.empty()) return usage("export takes only --app ID");
  if (request.global) return usage("export writes the global settings without --global");
  if (int rc = failIfDamaged("rules export"); rc != kOk) return rc;
  Value document = PrefHandler::loadSettings();
  if (request.app) {
    std::optional<AppTarget> app = findApp(root, *request.app, document);
    if (!app) return unknownApp(*request.app);
    document =
        Value::dictOf({{key::kApps, Value::dictOf({{app->id, app->firewall->appSettings().isDict()
                                                                 ? app->firewall->appSettings()
                                                                 : Value::dict({})}})}});
  }
  Result<std::string> xml = plist::encodeXml(document);
  if (!xml) return fail("cannot write the settings as XML: " + xml.reason());
  fwrite(xml->data(), 1, xml->size(), stdout);
  return kOk;
}

// What an import brings, checked whole before anything is sent: the hosts
// of its rules as rules name them (each checked as if typed), rule values 0
// to 2, switches that are numbers, policies that are "0" to "3" ("1" to "3"
// for an app), app ids that are bundle ids. Keys the command does not set
// are left out, each named in `ignored`.
struct Import {
  std::vector<std::pair<std::string, Value>> settings;  // global keys
  std::vector<std::pair<std::string, Value>> rules;     // global rules: host, entry
  struct App {
    std::string id;
    std::vector<std::pair<std::string, Value>> settings;
    std::vector<std::pair<std::string, Value>> rules;
    std::optional<std::string> name;
  };
  std::vector<App> apps;
  std::vector<std::string> ignored;
  std::vector<std::string> renamed;  // "HOST as KEY"
};

Status checkSetting(const KeyInfo& info, const Value& value, const std::string& where) {
  if (info.kind == KeyKind::kSwitch) {
    if (!value.isNumber()) return Status::Error(where + " must be a switch (true or false)");
    return Status::Ok();
  }
  const std::string* text = value.asString();
  const bool app = info.scope == Scope::kApp;
  if (!text || !parsePolicy(*text) || *parsePolicy(*text) != *text ||
      (app && *text == policy::kOff)) {
    return Status::Error(where +
                         (app ? " must be the text 1, 2 or 3" : " must be the text 0 to 3"));
  }
  return Status::Ok();
}

Status checkRules(const Value& rules, const std::string& where,
                  std::vector<std::pair<std::string, Value>>& out, Import& import) {
  const plist::Dict* map = rules.asDict();
  if (!map) return Status::Error(where + " is not a dictionary");
  for (const std::string& host : map->sortedKeys()) {
    Result<HostInput> input = normalizeHostInput(host);
    if (!input)
      return Status::Error(where + ": " + shownText(host) + " is not a host: " + input.reason());
    if (input->host == kServiceHost) {
      return Status::Error(where + ": " + input->host + " is the firewall's own service host");
    }
    const Value entry = map->get(host);
    const std::optional<int64_t> allowed = entry.get(key::kAllowed).asInteger();
    if (!entry.isDict() || !allowed || *allowed < rule::kUndefined || *allowed > rule::kBlocked) {
      return Status::Error(where + ": the rule for " + host + " needs \"allowed\" 0, 1 or 2");
    }
    if (!entry.get(key::kUrl).isNull() && !entry.get(key::kUrl).isString()) {
      return Status::Error(where + ": the \"url\" of " + host + " is not text");
    }
    plist::MutableDict kept;
    kept.set(key::kAllowed, Value::integer(*allowed));
    if (entry.get(key::kUrl).isString()) kept.set(key::kUrl, entry.get(key::kUrl));
    if (input->host != host) import.renamed.push_back(shownText(host) + " as " + input->host);
    out.emplace_back(input->host, std::move(kept).build());
  }
  return Status::Ok();
}

Result<Import> readImport(const fs::path& file) {
  Result<Value> read = plist::readDictionaryFile(file);
  if (!read) return Result<Import>::Error("cannot read " + file.string() + ": " + read.reason());
  Import import;
  for (const std::string& name : read->asDict()->sortedKeys()) {
    const Value value = read->get(name);
    if (name == key::kGlobalHosts) {
      if (Status s = checkRules(value, name, import.rules, import); !s) return Result<Import>(s);
    } else if (name == key::kApps) {
      const plist::Dict* apps = value.asDict();
      if (!apps) return Result<Import>::Error("\"apps\" is not a dictionary");
      for (const std::string& id : apps->sortedKeys()) {
        if (Status valid = apps::validateIdentifier(id); !valid) {
          return Result<Import>::Error("apps: " + valid.reason());
        }
        const plist::Dict* entry = apps->get(id).asDict();
        if (!entry)
          return Result<Import>::Error("apps: the entry of " + id + " is not a dictionary");
        Import::App app;
        app.id = id;
        for (const std::string& k : entry->sortedKeys()) {
          const Value v = entry->get(k);
          const std::string where = "apps: " + id + " " + k;
          const KeyInfo* info = findKey(k);
          if (k == key::kDomains) {
            if (Status s = checkRules(v, "apps: " + id, app.rules, import); !s) {
              return Result<Import>(s);
            }
          } else if (k == key::kName && v.isString()) {
            app.name = *v.asString();
          } else if (info && info->scope == Scope::kApp) {
            if (Status s = checkSetting(*info, v, where); !s) return Result<Import>(s);
            app.settings.emplace_back(k, v);
          } else {
            import.ignored.push_back(id + " " + k);
          }
        }
        import.apps.push_back(std::move(app));
      }
    } else if (const KeyInfo* info = findKey(name); info && info->scope == Scope::kGlobal) {
      if (Status s = checkSetting(*info, value, name); !s) return Result<Import>(s);
      import.settings.emplace_back(name, value);
    } else {
      import.ignored.push_back(name);
    }
  }
  return import;
}

// `rules import FILE`: the file's rules merged into the settings rule by
// rule (a host it names takes its rule; every other rule stays), its
// switches and policies set, all in one save.
int importCommand(const fs::path& root, const Request& request) {
  if (request.operands.size() != 1) return usage("import takes one settings file");
  if (request.app || request.global) return usage("import takes the apps and rules from the file");
  Result<Import> import = readImport(request.operands[0]);
  if (!import) return usage("nothing imported: " + import.reason());
  for (const std::string& renamed : import->renamed) {
    fprintf(stderr, "sentrel: took %s\n", renamed.c_str());
  }
  for (const std::string& ignored : import->ignored) {
    fprintf(stderr, "sentrel: ignored %s (not a setting the CLI sets)\n", ignored.c_str());
  }
  if (!deviceRunning(root)) return fail("device not running at " + root.string());
  Result<std::unique_ptr<ChangeLock>> lock = lockChanges(root);
  if (!lock) return fail(lock.reason());
  const DamageNotice damage = warnIfDamaged();

  size_t rules = import->rules.size();
  for (const Import::App& app : import->apps) rules += app.rules.size();
  Change change;
  change.damage = damage;
  change.apply = [&] {
    std::unique_ptr<SNTSettings> settings = SNTSettings::loadFromFile();
    plist::MutableDict document(settings->settings());
    for (const auto& [name, value] : import->settings) document.set(name, value);
    plist::MutableDict hosts(settings->globalHosts());
    for (const auto& [host, entry] : import->rules) hosts.set(host, entry);
    document.set(key::kGlobalHosts, std::move(hosts).build());
    const Value stored_apps = settings->settings().get(key::kApps);
    plist::MutableDict apps(stored_apps.isDict() ? stored_apps : Value::dict({}));
    for (const Import::App& app : import->apps) {
      const Value stored = apps.get(app.id);
      plist::MutableDict entry(stored.isDict() ? stored : Value::dict({}));
      for (const auto& [name, value] : app.settings) entry.set(name, value);
      if (app.name && entry.get(key::kName).isNull())
        entry.set(key::kName, Value::string(*app.name));
      const Value stored_rules = entry.get(key::kDomains);
      plist::MutableDict domains(stored_rules.isDict() ? stored_rules : Value::dict({}));
      for (const auto& [host, rule_entry] : app.rules) domains.set(host, rule_entry);
      entry.set(key::kDomains, std::move(domains).build());
      apps.set(app.id, std::move(entry).build());
    }
    document.set(key::kApps, std::move(apps).build());
    settings->setSettings(std::move(document).build());
    settings->save(true);
  };
  change.shows = [&](const Value& saved) {
    for (const auto& [name, value] : import->settings) {
      if (saved.get(name) != value) return false;
    }
    for (const auto& [host, entry] : import->rules) {
      if (hostRules(saved).get(host) != entry) return false;
    }
    for (const Import::App& app : import->apps) {
      const Value entry = appEntry(saved, app.id);
      if (!entry.isDict()) return false;
      for (const auto& [name, value] : app.settings) {
        if (entry.get(name) != value) return false;
      }
      for (const auto& [host, rule_entry] : app.rules) {
        if (entry.get(key::kDomains).get(host) != rule_entry) return false;
      }
    }
    return true;
  };
  change.done = "imported " + std::to_string(rules) + " rules, " +
                std::to_string(import->settings.size()) + " global settings and " +
                std::to_string(import->apps.size()) + " app entries from " + request.operands[0];
  return commit(change, request.timeout_seconds);
}

// ---- Listing ----

void printRow(const std::string& label, const std::string& value) {
  printf("  %-30s %s\n", label.c_str(), value.c_str());
}

std::string switchRow(const Value& container, const char* key, bool fallback) {
  std::optional<bool> stored = container.get(key).numberAsBool();
  return stored ? switchText(*stored) : std::string(switchText(fallback)) + " (default)";
}

void printRules(const Value& rules) {
  const plist::Dict* map = rules.asDict();
  printf("rules (%zu):\n", map ? map->size() : 0);
  if (!map) return;
  for (const std::string& host : map->sortedKeys()) {
    printRow(host, ruleText(storedRule(rules, host).value_or(0)));
  }
}

int listGlobal(const fs::path& root) {
  std::unique_ptr<SNTSettings> settings = SNTSettings::loadFromFile();
  const Value document = settings->settings();
  printf("settings:\n");
  for (const KeyInfo& info : kKeys) {
    if (info.scope != Scope::kGlobal) continue;
    if (info.kind == KeyKind::kSwitch) {
      printRow(info.key, switchRow(document, info.key, info.fallback));
    } else {
      const Value stored = document.get(info.key);
      printRow(info.key, stored.isNull() ? policyText(policy::kPrompt) + " (default)"
                                         : storedPolicyText(stored));
    }
  }
  printf("global ");
  printRules(settings->globalHosts());

  const plist::Dict* entries = document.get(key::kApps).asDict();
  printf("apps (%zu):\n", entries ? entries->size() : 0);
  if (!entries) return kOk;
  for (const std::string& bundle_id : entries->sortedKeys()) {
    std::optional<AppTarget> app = findApp(root, bundle_id, document);
    if (!app) continue;
    std::string description = app->firewall->ruleDescription();
    if (!app->record) description += " [not installed]";
    printRow(bundle_id, description);
  }
  return kOk;
}

int listApp(const fs::path& root, const std::string& bundle_id) {
  const Value document = PrefHandler::loadSettings();
  std::optional<AppTarget> app = findApp(root, bundle_id, document);
  if (!app) return unknownApp(bundle_id);
  const SNTFirewall& firewall = *app->firewall;
  const Value entry = firewall.appSettings();
  printf("%s: %s", bundle_id.c_str(), firewall.ruleDescription().c_str());
  if (app->record) {
    printf(" [%s%s]\n", app->record->applicationType(), app->record->isVisible() ? "" : ", hidden");
  } else {
    printf(" [not installed]\n");
  }
  if (!hasAppEntry(document, bundle_id)) printf("no settings of its own\n");
  printf("settings:\n");
  for (const KeyInfo& info : kKeys) {
    if (info.scope != Scope::kApp) continue;
    if (info.kind == KeyKind::kPolicy) {
      const Value own = entry.get(info.key);
      printRow(info.key, own.isNull() ? policyText(firewall.appPolicy()) + " (default)"
                                      : storedPolicyText(own));
    } else if (info.key == std::string_view(key::kFirewallEnabled)) {
      printRow(info.key,
               switchRow(entry, info.key, firewall.globalDefaultAppPolicy() != policy::kOff));
    } else {
      printRow(info.key, switchRow(entry, info.key, info.fallback));
    }
  }
  printRules(firewall.hosts());
  return kOk;
}

// ---- Listing as JSON ----

using json = nlohmann::json;

// A stored value as JSON, for one of a kind no key expects: data and dates
// as their description.
json plistJson(const Value& value) {
  switch (value.type()) {
    case plist::Type::kNull:
      return nullptr;
    case plist::Type::kBool:
      return *value.asBool();
    case plist::Type::kInteger:
      return *value.asInteger();
    case plist::Type::kReal:
      return *value.asReal();
    case plist::Type::kString:
      return *value.asString();
    case plist::Type::kArray: {
      json items = json::array();
      for (const Value& item : *value.asArray()) items.push_back(plistJson(item));
      return items;
    }
    case plist::Type::kDict: {
      json entries = json::object();
      for (const auto& [k, v] : *value.asDict()) entries[k] = plistJson(v);
      return entries;
    }
    default:
      return value.description();
  }
}

json switchJson(const Value& container, const char* key, bool fallback) {
  const std::optional<bool> stored = container.get(key).numberAsBool();
  return {{"value", stored.value_or(fallback)}, {"default", !stored.has_value()}};
}

json policyJson(const Value& stored, const std::string& fallback) {
  if (stored.isNull()) return {{"value", fallback}, {"default", true}};
  return {{"value", plistJson(stored)}, {"default", false}};
}

json rulesJson(const Value& rules) {
  json out = json::object();
  if (const plist::Dict* map = rules.asDict()) {
    for (const std::string& host : map->sortedKeys()) {
      out[host] = ruleText(storedRule(rules, host).value_or(0));
    }
  }
  return out;
}

void printJson(const json& value) {
  // Texts of the settings may hold anything; bad UTF-8 is replaced.
  printf("%s\n", value.dump(2, ' ', false, json::error_handler_t::replace).c_str());
}

int listGlobalJson(const fs::path& root) {
  std::unique_ptr<SNTSettings> settings = SNTSettings::loadFromFile();
  const Value document = settings->settings();
  json out;
  json keys = json::object();
  for (const KeyInfo& info : kKeys) {
    if (info.scope != Scope::kGlobal) continue;
    keys[info.key] = info.kind == KeyKind::kSwitch
                         ? switchJson(document, info.key, info.fallback)
                         : policyJson(document.get(info.key), policy::kPrompt);
  }
  out["settings"] = std::move(keys);
  out["global_rules"] = rulesJson(settings->globalHosts());
  json apps_out = json::object();
  if (const plist::Dict* entries = document.get(key::kApps).asDict()) {
    for (const std::string& bundle_id : entries->sortedKeys()) {
      std::optional<AppTarget> app = findApp(root, bundle_id, document);
      if (!app) continue;
      apps_out[bundle_id] = {{"description", app->firewall->ruleDescription()},
                             {"installed", app->record.has_value()}};
    }
  }
  out["apps"] = std::move(apps_out);
  printJson(out);
  return kOk;
}

int listAppJson(const fs::path& root, const std::string& bundle_id) {
  const Value document = PrefHandler::loadSettings();
  std::optional<AppTarget> app = findApp(root, bundle_id, document);
  if (!app) return unknownApp(bundle_id);
  const SNTFirewall& firewall = *app->firewall;
  const Value entry = firewall.appSettings();
  json out = {{"id", bundle_id},
              {"description", firewall.ruleDescription()},
              {"installed", app->record.has_value()},
              {"has_settings", hasAppEntry(document, bundle_id)}};
  if (app->record) {
    out["name"] = app->record->display_name;
    out["type"] = app->record->applicationType();
    out["hidden"] = !app->record->isVisible();
  }
  json keys = json::object();
  for (const KeyInfo& info : kKeys) {
    if (info.scope != Scope::kApp) continue;
    if (info.kind == KeyKind::kPolicy) {
      keys[info.key] = policyJson(entry.get(info.key), firewall.appPolicy());
    } else if (info.key == std::string_view(key::kFirewallEnabled)) {
      keys[info.key] =
          switchJson(entry, info.key, firewall.globalDefaultAppPolicy() != policy::kOff);
    } else {
      keys[info.key] = switchJson(entry, info.key, info.fallback);
    }
  }
  out["settings"] = std::move(keys);
  out["rules"] = rulesJson(firewall.hosts());
  printJson(out);
  return kOk;
}

int listCommand(const fs::path& root, const Request& request) {
  if (!request.operands.empty()) return usage("list takes only --app ID and --json");
  if (request.global) return usage("list shows the global settings without --global");
  if (int rc = failIfDamaged("rules list"); rc != kOk) return rc;
  if (request.json) return request.app ? listAppJson(root, *request.app) : listGlobalJson(root);
  return request.app ? listApp(root, *request.app) : listGlobal(root);
}

}  // namespace

int runRules(const fs::path& root, const std::vector<std::string>& args) {
  Request request;
  if (int rc = parse(args, request); rc != kOk) return rc;
  const std::string& command = request.command;
  if (command == "list") return listCommand(root, request);
  if (command == "allow" || command == "block" || command == "undefine" || command == "remove") {
    return hostRuleCommand(root, request);
  }
  if (command == "set") return setCommand(root, request);
  if (command == "test") return testCommand(root, request);
  if (command == "export") return exportCommand(root, request);
  if (command == "import") return importCommand(root, request);
  if (command == "clear") return clearCommand(root, request);
  if (command == "forget") return forgetCommand(root, request);
  return usage("unknown rules command " + command);
}

}  // namespace sentrel::cli
