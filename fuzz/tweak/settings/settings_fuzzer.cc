// Settings documents are outside input: any process may post one, and the
// file may hold anything. The fuzz bytes build a property list of random
// shape (or, with the first byte odd, are the settings file's bytes), which
// goes through every reader of the settings store and the prompt payloads.
// Nothing may crash, readers answer with their defaults, and global rule
// edits must land in the file exactly as asked.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "platform/bundle/main_bundle.h"
#include "platform/env/environment.h"
#include "platform/log/system_log.h"
#include "platform/notify/notification_center.h"
#include "platform/paths/device_paths.h"
#include "platform/plist/plist_codec.h"
#include "platform/runloop/run_loop.h"
#include "tweak/SNTFirewall.h"
#include "tweak/SNTMessagingCenter.h"
#include "tweak/SNTSettings.h"
#include "tweak/UI/SNTAlert.h"
#include "tweak/preftools.h"

namespace {

using sentrel::plist::Value;
namespace plist = sentrel::plist;

constexpr size_t kMaxInput = 64 * 1024;

// Keys the readers look at, so random documents hit them often.
const char* const kKeys[] = {"snt_enabled",
                             "snt_system_apps_enabled",
                             "snt_animations",
                             "snt_show_bundle_ids",
                             "snt_upload_anonymous_data",
                             "snt_no_network_apps_enabled",
                             "snt_anonymous_identifier",
                             "global_hosts",
                             "apps",
                             "allowed",
                             "url",
                             "domains",
                             "com.example.app",
                             "example.com",
                             "api.sentrel.kelmora.ca",
                             "alert_id",
                             "pid",
                             "port",
                             "is_system_app",
                             "app_settings",
                             "global_settings",
                             "path"};

std::string randomKey(FuzzedDataProvider& in) {
  if (in.ConsumeBool()) return kKeys[in.ConsumeIntegralInRange<size_t>(0, std::size(kKeys) - 1)];
  return in.ConsumeRandomLengthString(24);
}

Value randomDict(FuzzedDataProvider& in, int depth);

Value randomValue(FuzzedDataProvider& in, int depth) {
  const int kind = in.ConsumeIntegralInRange(0, depth >= 6 ? 6 : 8);
  switch (kind) {
    case 0:
      return Value::boolean(in.ConsumeBool());
    case 1:
      return Value::integer(in.ConsumeIntegral<int64_t>());
    case 2:
      return Value::real(in.ConsumeFloatingPoint<double>());
    case 3:
      return Value::string(in.ConsumeRandomLengthString(32));
    case 4: {
      std::string bytes = in.ConsumeRandomLengthString(16);
      return Value::data(plist::Data(bytes.begin(), bytes.end()));
    }
    case 5:
      return Value::date({in.ConsumeFloatingPoint<double>()});
    case 6:
      return Value();
    case 7: {
      plist::MutableArray array;
      const size_t n = in.ConsumeIntegralInRange<size_t>(0, 4);
      for (size_t i = 0; i < n; ++i) array.append(randomValue(in, depth + 1));
      return std::move(array).build();
    }
    default:
      return randomDict(in, depth + 1);
  }
}

}  // namespace

namespace {

Value randomDict(FuzzedDataProvider& in, int depth) {
  plist::MutableDict dict;
  const size_t n = in.ConsumeIntegralInRange<size_t>(0, 6);
  for (size_t i = 0; i < n && in.remaining_bytes() > 0; ++i) {
    dict.set(randomKey(in), randomValue(in, depth + 1));
  }
  return std::move(dict).build();
}

class NullSink final : public sentrel::log::Sink {
  void write(sentrel::log::Level, std::string_view) override {}
};

struct Device {
  Device() {
    char pattern[] = "/tmp/sentrel-settings-fuzz-XXXXXX";
    if (mkdtemp(pattern) == nullptr) abort();
    root = pattern;
    sentrel::log::setSink(&sink);
    center = sentrel::notify::makeInProcessCenter(loop);
    sentrel::bundle::MainBundle identity;
    identity.bundle_identifier = sentrel::kSpringBoardBundleIdentifier;
    identity.process_name = "SpringBoard";
    installed = std::make_unique<sentrel::env::ScopedEnvironment>(sentrel::env::Environment{
        .device_root = root, .notification_center = center.get(), .main_bundle = identity});
    std::filesystem::create_directories(
        sentrel::paths::resolve(sentrel::kSettingsPath).parent_path());
  }
  std::filesystem::path root;
  NullSink sink;
  sentrel::runloop::RunLoop loop;
  std::unique_ptr<sentrel::notify::NotificationCenter> center;
  std::unique_ptr<sentrel::env::ScopedEnvironment> installed;
};

void readEverything(const sentrel::SNTSettings& settings, const std::string& host,
                    const std::string& bundle_id) {
  (void)settings.firewallEnabled();
  (void)settings.systemSentrelEnabled();
  (void)settings.shouldShowAppsWithNoNetworkActivity();
  (void)settings.shouldUploadAnonymousData();
  (void)settings.shouldShowOnlyBundleIds();
  (void)settings.shouldAnimate();
  if (!settings.globalHosts().isDict()) abort();
  const int64_t rule = settings.explicitGlobalRuleForHost(host);
  (void)rule;
  if (!settings.getAppSettings(bundle_id).isDict()) abort();
  if (!sentrel::getAppSettingsFromCache(settings.settings(), bundle_id).isDict()) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0 || size > kMaxInput) return 0;
  static Device* device = new Device();
  const std::filesystem::path file = sentrel::paths::resolve(sentrel::kSettingsPath);

  if (data[0] & 1) {
    // The bytes are the settings file.
    FILE* f = fopen(file.c_str(), "wb");
    if (f == nullptr) abort();
    fwrite(data + 1, 1, size - 1, f);
    fclose(f);
    const Value loaded = sentrel::PrefHandler::loadSettings();
    if (!loaded.isDict()) abort();
    sentrel::SNTSettings settings;
    settings.initWithDictionary(loaded);
    readEverything(settings, "example.com", "com.example.app");
    return 0;
  }

  FuzzedDataProvider in(data + 1, size - 1);
  const Value document = in.ConsumeBool() ? randomDict(in, 0) : randomValue(in, 0);
  const std::string host = randomKey(in);
  const std::string bundle_id = randomKey(in);

  sentrel::SNTSettings settings;
  settings.initWithDictionary(document);
  readEverything(settings, host, bundle_id);
  (void)sentrel::getAppSettingsFromCache(document, bundle_id);

  // Prompt payloads: whatever is read must write back and read the same.
  const sentrel::AlertRequest request = sentrel::AlertRequest::fromPayload(document);
  const Value payload = request.toPayload();
  if (!(sentrel::AlertRequest::fromPayload(payload).toPayload() == payload)) abort();
  const sentrel::AlertCallback answer = sentrel::AlertCallback::fromPayload(document);
  if (!(sentrel::AlertCallback::fromPayload(answer.toPayload()).toPayload() ==
        answer.toPayload())) {
    abort();
  }
  (void)sentrel::launchTweakSettingsPath(document);
  // SpringBoard builds its prompt record from any request it receives.
  if (const auto alert = sentrel::SNTAlertFromRequest(request)) {
    (void)alert->description();
    sentrel::SNTFirewall::pool().removeAllObjects();
  }

  // Edits, now and then (they write the file): the document on disk is the
  // base, the edit lands exactly as asked and nothing else changes.
  // A host holding a NUL byte is left out: no URL parser or address text
  // yields one, and the XML writer cannot keep it.
  // Text that cannot be encoded (not UTF-8) is refused by the writer, so
  // such a host never reaches the file either.
  const bool encodable_host = host.find('\0') == std::string::npos &&
                              plist::encodeBinary(Value::dictOf({{host, Value::integer(0)}})).ok();
  if (document.isDict() && encodable_host && in.ConsumeIntegralInRange(0, 7) == 0) {
    if (!plist::writeFileAtomically(file, document).ok()) return 0;  // unencodable (e.g. NaN)
    const Value on_disk = sentrel::PrefHandler::loadSettings();
    const int64_t value = in.ConsumeIntegralInRange<int64_t>(0, 2);
    const bool remove = in.ConsumeBool();
    if (remove) {
      settings.removeGlobalHostRule(host);
    } else {
      settings.setGlobalHostRule(host, std::nullopt, value);
    }
    const Value after = sentrel::PrefHandler::loadSettings();
    // Stored under its rule key ("[::1]" as "::1").
    const Value entry = after.get("global_hosts").get(*sentrel::ruleKeyOf(host));
    if (host == sentrel::kServiceHost) {
      if (!(after == on_disk)) abort();
    } else if (remove) {
      if (!entry.isNull()) abort();
    } else if (entry.get("allowed").asInteger() != value) {
      abort();
    }
    plist::MutableDict others(after);
    plist::MutableDict before(on_disk);
    others.remove("global_hosts");
    before.remove("global_hosts");
    if (!(std::move(others).build() == std::move(before).build())) abort();
    device->loop.runUntilIdle();
  }
  device->loop.runUntilIdle();
  return 0;
}
