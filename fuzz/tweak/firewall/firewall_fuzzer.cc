// Random settings documents (property lists of random shape, biased towards
// the keys, kinds and hosts the firewall reads) fed to every switch,
// look-up, decision and edit of SNTFirewall, in an app and in SpringBoard.
// Nothing may crash, and a host rule just set must read back.
//
// Saves stay inside a private device root in a temporary folder, and
// notifications go to an in-process center: no bus, no file outside it.
#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <fuzzer/FuzzedDataProvider.h>

#include "platform/apps/application_workspace.h"
#include "platform/bundle/main_bundle.h"
#include "platform/env/environment.h"
#include "platform/log/system_log.h"
#include "platform/notify/notification_center.h"
#include "platform/paths/device_paths.h"
#include "platform/plist/plist_codec.h"
#include "platform/plist/value.h"
#include "platform/proc/process_table.h"
#include "platform/runloop/run_loop.h"
#include "tweak/SNTFirewall.h"
#include "tweak/preftools.h"

namespace sentrel {
namespace {

using plist::Value;

constexpr size_t kMaxInput = 4096;
constexpr const char* kAppId = "com.example.app";

constexpr const char* kWords[] = {"snt_enabled",
                                  "snt_system_apps_enabled",
                                  "new_app_policy",
                                  "snt_hook_syscalls",
                                  "snt_animations",
                                  "snt_show_bundle_ids",
                                  "snt_alert_show_url",
                                  "snt_filter_custom_scheme",
                                  "global_hosts",
                                  "apps",
                                  "firewall_enabled",
                                  "allow_all_outbound",
                                  "deny_all_outbound",
                                  "new_site_policy",
                                  "filter_streams",
                                  "filter_webviews",
                                  "domains",
                                  "name",
                                  "allowed",
                                  "url",
                                  kAppId,
                                  "a.example.com",
                                  "b.example.com",
                                  "localhost",
                                  "blocked",
                                  kServiceHost,
                                  "0",
                                  "1",
                                  "2",
                                  "3",
                                  ""};

class NullSink final : public log::Sink {
 public:
  void write(log::Level, std::string_view) override {}
};

struct Device {
  Device() {
    std::string pattern = (std::filesystem::temp_directory_path() / "sentrel-fuzz-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) abort();
    root = pattern;
    log::setSink(&sink);
    workspace.add(kAppId, "System", {"hidden"});
    installed.emplace(env::Environment{.device_root = root,
                                       .process_table = &processes,
                                       .notification_center = center.get(),
                                       .app_workspace = &workspace,
                                       .main_queue = &loop});
  }
  std::filesystem::path root;
  NullSink sink;
  runloop::RunLoop loop;
  std::unique_ptr<notify::NotificationCenter> center = notify::makeInProcessCenter(loop);
  proc::InMemoryProcessTable processes;
  InMemoryApplicationWorkspace workspace;
  std::optional<env::ScopedEnvironment> installed;
};

std::string word(FuzzedDataProvider& in) {
  if (in.ConsumeBool()) return kWords[in.ConsumeIntegralInRange<size_t>(0, std::size(kWords) - 1)];
  return in.ConsumeRandomLengthString(24);
}

Value randomValue(FuzzedDataProvider& in, int depth);

Value randomDict(FuzzedDataProvider& in, int depth) {
  plist::MutableDict dict;
  const int entries = in.ConsumeIntegralInRange(0, 6);
  for (int i = 0; i < entries && in.remaining_bytes() > 0; ++i) {
    dict.set(word(in), randomValue(in, depth + 1));
  }
  return std::move(dict).build();
}

Value randomValue(FuzzedDataProvider& in, int depth) {
  switch (in.ConsumeIntegralInRange(0, depth >= 4 ? 6 : 8)) {
    case 0:
      return Value::boolean(in.ConsumeBool());
    case 1:
      return Value::integer(in.ConsumeBool() ? in.ConsumeIntegralInRange<int64_t>(-1, 3)
                                             : in.ConsumeIntegral<int64_t>());
    case 2:
      return Value::real(in.ConsumeFloatingPoint<double>());
    case 3:
    case 4:
      return Value::string(word(in));
    case 5:
      return Value::data(in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange(0, 8)));
    case 6:
      return Value::date({in.ConsumeFloatingPoint<double>()});
    case 7: {
      plist::MutableArray array;
      const int items = in.ConsumeIntegralInRange(0, 4);
      for (int i = 0; i < items && in.remaining_bytes() > 0; ++i) {
        array.append(randomValue(in, depth + 1));
      }
      return std::move(array).build();
    }
    default:
      return randomDict(in, depth);
  }
}

// Mostly dictionaries; sometimes a value of another kind or nothing.
Value randomDocument(FuzzedDataProvider& in) {
  switch (in.ConsumeIntegralInRange(0, 9)) {
    case 0:
      return Value();
    case 1:
      return randomValue(in, 3);
    default:
      return randomDict(in, 0);
  }
}

std::optional<std::string> maybeText(FuzzedDataProvider& in) {
  if (in.ConsumeIntegralInRange(0, 7) == 0) return std::nullopt;
  return word(in);
}

std::optional<std::string_view> view(const std::optional<std::string>& text) {
  return text ? std::optional<std::string_view>(*text) : std::nullopt;
}

void exercise(SNTFirewall& firewall, FuzzedDataProvider& in) {
  (void)firewall._globalEnabled();
  (void)firewall._globalSystemEnabled();
  (void)firewall.globalDefaultAppPolicy();
  (void)firewall.appPolicy();
  (void)firewall.allowNewOutbound();
  (void)firewall.blockNewOutbound();
  (void)firewall.filterStreams();
  (void)firewall.filterWebViews();
  (void)firewall.globalHookSyscalls();
  (void)firewall.shouldAnimate();
  (void)firewall.shouldShowBundleIdInPopup();
  (void)firewall.shouldShowUrlInPopup();
  (void)firewall.shouldFilterCustomWebkitUrlSchemeHandler();
  (void)firewall.hosts();
  (void)firewall.ruleDescription();

  const int decisions = in.ConsumeIntegralInRange(1, 4);
  for (int i = 0; i < decisions; ++i) {
    const std::optional<std::string> host = maybeText(in);
    (void)firewall.explicitRuleForHost(view(host));
    (void)firewall.isExplicitRuleForHostSet(view(host));
    (void)firewall.ruleForHost(view(host));
    SNTDestination destination;
    if (host && in.ConsumeBool()) {
      destination = SNTDestination(URL::URLWithString("https://" + *host + "/p"));
    } else if (host) {
      destination = SNTDestination(*host);
    }
    if (!firewall.shouldAllow(destination)) (void)firewall.shouldDeny(destination);
  }

  const int edits = in.ConsumeIntegralInRange(0, 3);
  for (int i = 0; i < edits; ++i) {
    switch (in.ConsumeIntegralInRange(0, 7)) {
      case 0: {
        const std::optional<std::string> host = maybeText(in);
        const int64_t value = in.ConsumeIntegralInRange<int64_t>(0, 2);
        firewall.setAppHostRule(view(maybeText(in)), view(host), view(maybeText(in)), value);
        // The rule just set reads back (unless the host is refused).
        if (host && *host != kServiceHost && firewall.explicitRuleForHost(*host) != value) abort();
        break;
      }
      case 1:
        firewall.setAllowAllOutbound(in.ConsumeBool());
        break;
      case 2:
        firewall.setDenyAllOutbound(in.ConsumeBool());
        break;
      case 3:
        firewall.clearAllHosts(in.ConsumeBool());
        break;
      case 4:
        firewall.deleteApp(in.ConsumeBool());
        break;
      case 5:
        firewall.setRuleGlobally(view(maybeText(in)), view(maybeText(in)),
                                 in.ConsumeIntegralInRange<int64_t>(0, 2));
        break;
      case 6:
        firewall.saveAppSettings(randomDocument(in), in.ConsumeBool());
        break;
      default:
        firewall.reload();
        break;
    }
  }
}

}  // namespace
}  // namespace sentrel

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace sentrel;
  if (size > kMaxInput) return 0;
  static Device* device = new Device;  // one device for the whole run
  FuzzedDataProvider in(data, size);

  const bool in_springboard = in.ConsumeBool();
  env::ScopedEnvironment identity(
      {.main_bundle =
           in_springboard
               ? bundle::MainBundle{std::string(kSpringBoardBundleIdentifier),
                                    "/System/Library/CoreServices/SpringBoard.app",
                                    "/System/Library/CoreServices/SpringBoard.app/SpringBoard",
                                    "SpringBoard"}
               : bundle::MainBundle{std::string(kAppId), "/Applications/Example.app",
                                    "/Applications/Example.app/Example", "Example"}});
  device->processes.clear();
  device->processes.add(1, 0, "launchd");
  if (in.ConsumeIntegralInRange(0, 3) != 0) device->processes.add(50, 1, "SpringBoard");

  const std::filesystem::path file = paths::resolve(kSettingsPath);
  const Value on_disk = randomDocument(in);
  std::error_code ignored;
  std::filesystem::remove(file, ignored);
  if (on_disk.isDict()) {
    std::filesystem::create_directories(file.parent_path(), ignored);
    (void)plist::writeFileAtomically(file, on_disk);
  }

  const Value global = randomDocument(in);
  const Value app = in.ConsumeBool() ? global.get("apps").get(kAppId) : randomDocument(in);
  std::shared_ptr<SNTFirewall> firewall;
  switch (in.ConsumeIntegralInRange(0, 2)) {
    case 0: {
      firewall = std::make_shared<SNTFirewall>();
      firewall->loadFromMainBundle();
      firewall->setGlobalSettings(global);
      firewall->setAppSettings(app);
      break;
    }
    case 1:
      firewall = SNTFirewall::pooledFirewallForBundle(kAppId, in.ConsumeRandomLengthString(16),
                                                      in.ConsumeBool(), in.ConsumeBool(),
                                                      in.ConsumeBool(), global, app);
      if (in.ConsumeBool()) {
        firewall = SNTFirewall::pooledFirewallForBundle(kAppId, "again", false, false, false,
                                                        Value(), Value());
      }
      break;
    default: {
      firewall = std::make_shared<SNTFirewall>();
      const int id = in.ConsumeIntegralInRange(0, 3);
      if (id == 1) firewall->setBundleId(std::string(kAppId));
      if (id == 2) firewall->setBundleId(std::string(kSpringBoardBundleIdentifier));
      if (id == 3) firewall->setBundleId(std::string("com.apple.WebKit.Networking"));
      firewall->setName(maybeText(in));
      firewall->setIsDaemon(in.ConsumeBool());
      firewall->setIsApp(in.ConsumeBool());
      firewall->setIsSystemApp(in.ConsumeBool());
      firewall->setGlobalSettings(global);
      firewall->setAppSettings(app);
      break;
    }
  }
  exercise(*firewall, in);

  // Deliver what was posted (listeners included), then forget the pool.
  device->loop.runUntilIdle();
  firewall.reset();
  SNTFirewall::pool().removeAllObjects();
  device->loop.runUntilIdle();
  return 0;
}
