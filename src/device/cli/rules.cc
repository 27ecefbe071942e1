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

#include "device/cli/outcome.h"
#include "device/cli/rules_file_watch.h"
#include "device/tools/springboard_ready.h"
#include "platform/apps/installed_apps.h"
#include "platform/notify/device_bus.h"
#include "platform/notify/notification_center.h"
#include "platform/paths/device_paths.h"
#include "platform/plist/plist_codec.h"
#include "platform/plist/value.h"
#include "platform/runloop/run_loop.h"
#include "tweak/SNTFirewall.h"
#include "tweak/SNTSettings.h"
#include "tweak/preftools.h"
#include "tweak/settings_image.h"

namespace sentrel::cli {

const char* const kRulesUsageText =
    "       sentrel [--root DIR] rules list [--app ID]\n"
    "       sentrel [--root DIR] rules allow|block|undefine|remove HOST (--app ID | --global)\n"
    "       sentrel [--root DIR] rules set KEY VALUE [--app ID]\n"
    "         (VALUE: on|off for a switch; off|allow|block|prompt or 0-3 for a policy)\n"
    "       sentrel [--root DIR] rules clear (--app ID | --global)\n"
    "       sentrel [--root DIR] rules forget --app ID\n"
    "         (changes wait for SpringBoard to save them: --timeout SECONDS, default 5)\n";

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
  double timeout_seconds = kDefaultTimeoutSeconds;
};

// Returns the exit code of a bad command line, or kOk with `request` filled.
int parse(const std::vector<std::string>& args, Request& request) {
  if (args.empty())
    return usage(
        "rules takes one of list, allow, block, undefine, remove, set, "
        "clear, forget");
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
    } else if (a.size() > 1 && a[0] == '-') {
      return usage("unknown option " + a);
    } else {
      request.operands.push_back(a);
    }
  }
  if (request.app && request.global) return usage("give either --app ID or --global, not both");
  return kOk;
}

// Host keys are stored as given once keyed (an IPv6 address in its one
// canonical form); refuse what could never be a rule or could not travel to
// SpringBoard.
int checkHost(const std::string& host) {
  if (host.empty()) return usage("the host is empty");
  for (unsigned char c : host) {
    if (c < 0x20 || c == 0x7f) return usage("the host holds a control character");
  }
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
int commit(const Change& change, double timeout_seconds) {
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
  // One destination, one rule: "[::1]" and "0:0:0:0:0:0:0:1" are "::1",
  // ::ffff:127.0.0.1 is 127.0.0.1.
  const std::string host = *ruleKeyOf(request.operands[0]);
  if (int rc = checkHost(host); rc != kOk) return rc;
  if (!deviceRunning(root)) return fail("device not running at " + root.string());

  const bool remove = request.command == "remove";
  const int64_t value = ruleValueOf(request.command);
  const std::string outcome = remove ? "removed" : ruleText(value);
  // Only what the edit needs: the app's entry and the top-level keys.
  const Value document = loadSettingsForApp(
      request.app ? std::optional<std::string_view>(*request.app) : std::nullopt);

  if (request.global) {
    if (remove && !storedRule(hostRules(document), host)) {
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
    return commit(change, request.timeout_seconds);
  }

  std::optional<AppTarget> app = findApp(root, *request.app, document);
  if (!app) return unknownApp(*request.app);
  SNTFirewall& firewall = *app->firewall;
  if (remove && !storedRule(firewall.hosts(), host)) {
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
  const Value document = PrefHandler::loadSettings();

  Change change;
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
  const Value document = PrefHandler::loadSettings();

  Change change;
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
  const Value document = PrefHandler::loadSettings();
  std::optional<AppTarget> app = findApp(root, *request.app, document);
  if (!app) return unknownApp(*request.app);
  if (!hasAppEntry(document, app->id))
    return nothingChanged("app: " + app->id + " has no settings");

  Change change;
  change.apply = [&] { app->firewall->deleteApp(true); };
  // deleteApp() first saves an empty entry, then the document without it.
  change.shows = [&](const Value& saved) { return appEntry(saved, app->id).isNull(); };
  change.done = "app: " + app->id + " -> settings deleted";
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

int listCommand(const fs::path& root, const Request& request) {
  if (!request.operands.empty()) return usage("list takes only --app ID");
  if (request.global) return usage("list shows the global settings without --global");
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
  if (command == "clear") return clearCommand(root, request);
  if (command == "forget") return forgetCommand(root, request);
  return usage("unknown rules command " + command);
}

}  // namespace sentrel::cli
