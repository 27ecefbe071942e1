// `sentrel rules` run as a real process against a fresh device root with its
// own bus. The test plays SpringBoard: it answers save requests on the bus by
// writing the settings file, as the device's SpringBoard does.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "device/cli/rules_file_watch.h"
#include "platform/apps/installed_apps.h"
#include "platform/notify/notification_center.h"
#include "platform/paths/device_paths.h"
#include "platform/plist/plist_codec.h"
#include "platform/plist/value.h"
#include "platform/runloop/run_loop.h"
#include "platform/spawn/spawn.h"
#include "support/temp_dir.h"
#include "support/test_bus.h"
#include "tweak/SNTMessagingCenter.h"
#include "tweak/preftools.h"

namespace sentrel {
namespace {

namespace fs = std::filesystem;
using plist::Value;

constexpr auto kPatience = std::chrono::seconds(30);
constexpr const char* kCurl = "com.example.curl";

Value rule(int64_t allowed) {
  return Value::dictOf({{"allowed", Value::integer(allowed)}});
}

std::string slurp(const fs::path& p) {
  std::ifstream in(p);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

struct Outcome {
  int code = -1;
  std::string out;
  std::string err;
};

struct Heard {
  std::string name;
  Value user_info;
};

// SpringBoard's side of a save: write the document, and announce it for the
// notifying variant. Everything the center hears is recorded.
class FakeSpringBoard {
 public:
  FakeSpringBoard(notify::NotificationCenter& center, fs::path settings_file)
      : center_(center), file_(std::move(settings_file)) {
    auto save = [this](const std::string& name, const Value& document) {
      // SpringBoard's own writer: the file (a damaged one kept aside
      // first), then the settings image the command watches.
      EXPECT_EQ(paths::resolve(kSettingsPath), file_);
      EXPECT_TRUE(PrefHandler::writeSettingsFile(document));
      if (name == kSaveSettingsAndNotifyNotification) {
        center_.post(kNewSettingsNotification, document);
      }
    };
    ids_.push_back(center_.addObserver(kSaveSettingsNotification, save));
    ids_.push_back(center_.addObserver(kSaveSettingsAndNotifyNotification, save));
  }
  ~FakeSpringBoard() {
    for (notify::ObserverId id : ids_) center_.removeObserver(id);
  }

 private:
  notify::NotificationCenter& center_;
  fs::path file_;
  std::vector<notify::ObserverId> ids_;
};

class ARulesCommand : public ::testing::Test {
 protected:
  void SetUp() override {
    SENTREL_ASSERT_BUS_STARTED(bus_);
    paths::setDeviceRoot(root());  // where the fake SpringBoard writes
    Result<std::unique_ptr<notify::NotificationCenter>> center =
        notify::makeBusCenter(bus_.address(), loop_);
    ASSERT_TRUE(center.ok()) << center.reason();
    center_ = std::move(center).value();
    for (std::string name :
         {std::string(kSaveSettingsNotification), std::string(kSaveSettingsAndNotifyNotification),
          std::string(kNewSettingsNotification),
          std::string(kNewAppSettingsNotificationPrefix) + kCurl}) {
      center_->addObserver(name, [this](const std::string& n, const Value& v) {
        heard_.push_back({n, v});
      });
    }
  }
  void TearDown() override {
    springboard_.reset();
    center_.reset();
    paths::setDeviceRoot({});
  }

  const fs::path& root() const { return bus_.root(); }
  fs::path settingsFile() const { return paths::resolveUnder(root(), kSettingsPath); }

  void startSpringBoard() {
    springboard_ = std::make_unique<FakeSpringBoard>(*center_, settingsFile());
  }

  void install(const std::string& id, const std::string& name,
               apps::AppType type = apps::AppType::kUser, std::vector<std::string> tags = {}) {
    apps::InstallOptions options;
    options.identifier = id;
    options.display_name = name;
    options.executable = "/bin/sh";
    options.type = type;
    options.tags = std::move(tags);
    Result<apps::AppRecord> installed = apps::installApp(root(), options);
    ASSERT_TRUE(installed.ok()) << installed.reason();
  }

  void seed(const Value& document) {
    fs::create_directories(settingsFile().parent_path());
    ASSERT_TRUE(plist::writeFileAtomically(settingsFile(), document).ok());
  }

  Value saved() const {
    Result<Value> document = plist::readDictionaryFile(settingsFile());
    return document.ok() ? *document : Value();
  }

  // Runs the CLI while this thread serves the bus (and so SpringBoard).
  Outcome rules(std::vector<std::string> args) {
    std::vector<std::string> argv{"sentrel", "--root", root().string(), "rules"};
    argv.insert(argv.end(), args.begin(), args.end());
    const fs::path out = io_.path() / "out", err = io_.path() / "err";
    const int out_fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const int err_fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    spawn::Options options;
    options.stdin_ = spawn::Stdio::devNull();
    options.stdout_ = spawn::Stdio::fromFd(out_fd);
    options.stderr_ = spawn::Stdio::fromFd(err_fd);
    Result<pid_t> pid = spawn::spawnProcess(SENTREL_CLI, argv, options);
    close(out_fd);
    close(err_fd);
    Outcome r;
    if (!pid.ok()) {
      ADD_FAILURE() << pid.reason();
      return r;
    }
    std::optional<spawn::ExitStatus> ended;
    loop_.runUntil(
        [&] {
          Result<std::optional<spawn::ExitStatus>> status = spawn::tryWait(*pid);
          if (status.ok() && status.value()) ended = *status.value();
          return ended.has_value();
        },
        kPatience);
    if (!ended) {
      ADD_FAILURE() << "sentrel rules did not end";
      kill(*pid, SIGKILL);
      (void)spawn::waitForExit(*pid);
      return r;
    }
    r.code = ended->signaled ? 128 + ended->signal : ended->code;
    r.out = slurp(out);
    r.err = slurp(err);
    return r;
  }

  // Runs every command at the same time while this thread serves the bus;
  // the outcomes in the order of `commands`.
  std::vector<Outcome> rulesAtOnce(const std::vector<std::vector<std::string>>& commands) {
    struct Running {
      pid_t pid = -1;
      std::unique_ptr<testing::TempDir> io;
      std::optional<spawn::ExitStatus> ended;
    };
    std::vector<Running> running(commands.size());
    for (size_t i = 0; i < commands.size(); ++i) {
      std::vector<std::string> argv{"sentrel", "--root", root().string(), "rules"};
      argv.insert(argv.end(), commands[i].begin(), commands[i].end());
      running[i].io = std::make_unique<testing::TempDir>();
      const fs::path out = running[i].io->path() / "out", err = running[i].io->path() / "err";
      const int out_fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
      const int err_fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
      spawn::Options options;
      options.stdin_ = spawn::Stdio::devNull();
      options.stdout_ = spawn::Stdio::fromFd(out_fd);
      options.stderr_ = spawn::Stdio::fromFd(err_fd);
      Result<pid_t> pid = spawn::spawnProcess(SENTREL_CLI, argv, options);
      close(out_fd);
      close(err_fd);
      if (!pid.ok()) ADD_FAILURE() << pid.reason();
      running[i].pid = pid.ok() ? *pid : -1;
    }
    loop_.runUntil(
        [&] {
          bool all = true;
          for (Running& r : running) {
            if (r.pid < 0 || r.ended) continue;
            Result<std::optional<spawn::ExitStatus>> status = spawn::tryWait(r.pid);
            if (status.ok() && status.value()) r.ended = *status.value();
            all = all && r.ended.has_value();
          }
          return all;
        },
        std::chrono::seconds(120));
    std::vector<Outcome> outcomes;
    for (Running& r : running) {
      Outcome o;
      if (r.pid >= 0 && !r.ended) {
        ADD_FAILURE() << "sentrel rules did not end";
        kill(r.pid, SIGKILL);
        (void)spawn::waitForExit(r.pid);
      } else if (r.ended) {
        o.code = r.ended->signaled ? 128 + r.ended->signal : r.ended->code;
        o.out = slurp(r.io->path() / "out");
        o.err = slurp(r.io->path() / "err");
      }
      outcomes.push_back(std::move(o));
    }
    return outcomes;
  }

  // Waits until the bus has delivered a notification `name` that `matches`.
  bool heard(const std::string& name, const std::function<bool(const Value&)>& matches = {}) {
    return loop_.runUntil(
        [&] {
          for (const Heard& h : heard_) {
            if (h.name == name && (!matches || matches(h.user_info))) return true;
          }
          return false;
        },
        kPatience);
  }
  size_t saveRequests() {
    loop_.runUntilIdle();
    size_t n = 0;
    for (const Heard& h : heard_) {
      n += h.name == kSaveSettingsNotification || h.name == kSaveSettingsAndNotifyNotification;
    }
    return n;
  }

  testing::TestBus bus_;
  testing::TempDir io_;
  runloop::RunLoop loop_;
  std::unique_ptr<notify::NotificationCenter> center_;
  std::unique_ptr<FakeSpringBoard> springboard_;
  std::vector<Heard> heard_;  // loop thread (this one)
};

// ---- Host rules ----

TEST_F(ARulesCommand, BlocksAnAppsHostThroughSpringBoardAndAnnouncesTheEntry) {
  install(kCurl, "Curl");
  startSpringBoard();

  Outcome r = rules({"block", "127.0.0.1", "--app", kCurl});

  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "rule: com.example.curl 127.0.0.1 -> blocked\n");
  const Value entry = saved().get("apps").get(kCurl);
  EXPECT_EQ(entry.get("domains").get("127.0.0.1"), rule(2));
  EXPECT_EQ(entry.get("name"), Value::string("Curl"));
  EXPECT_TRUE(heard(std::string(kNewAppSettingsNotificationPrefix) + kCurl,
                    [](const Value& v) { return v.get("domains").get("127.0.0.1") == rule(2); }));
  EXPECT_TRUE(heard(kNewSettingsNotification));
}

TEST_F(ARulesCommand, AllowsAGlobalHostAndKeepsTheRestOfTheDocument) {
  const Value other = Value::dictOf({{"domains", Value::dictOf({{"a.example", rule(1)}})}});
  seed(Value::dictOf({{"snt_animations", Value::boolean(false)},
                      {"apps", Value::dictOf({{"com.example.other", other}})}}));
  startSpringBoard();

  Outcome r = rules({"allow", "example.com", "--global"});

  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "global rule: example.com -> allowed\n");
  const Value document = saved();
  EXPECT_EQ(document.get("global_hosts").get("example.com"), rule(1));
  EXPECT_EQ(document.get("snt_animations"), Value::boolean(false));
  EXPECT_EQ(document.get("apps").get("com.example.other"), other);
  EXPECT_TRUE(heard(kNewSettingsNotification));
}

// The settings objects save an undefined rule without telling anyone; the
// command must still reach the processes that hold the old decision.
TEST_F(ARulesCommand, AnnouncesAnUndefinedRuleToo) {
  install(kCurl, "Curl");
  seed(Value::dictOf(
      {{"global_hosts", Value::dictOf({{"example.com", rule(2)}})},
       {"apps",
        Value::dictOf(
            {{kCurl, Value::dictOf({{"domains", Value::dictOf({{"1.2.3.4", rule(1)}})}})}})}}));
  startSpringBoard();

  Outcome global = rules({"undefine", "example.com", "--global"});
  ASSERT_EQ(global.code, 0) << global.err;
  EXPECT_EQ(global.out, "global rule: example.com -> undefined\n");
  EXPECT_TRUE(heard(kNewSettingsNotification, [](const Value& v) {
    return v.get("global_hosts").get("example.com") == rule(0);
  }));

  Outcome app = rules({"undefine", "1.2.3.4", "--app", kCurl});
  ASSERT_EQ(app.code, 0) << app.err;
  EXPECT_EQ(app.out, "rule: com.example.curl 1.2.3.4 -> undefined\n");
  EXPECT_EQ(saved().get("apps").get(kCurl).get("domains").get("1.2.3.4"), rule(0));
  EXPECT_TRUE(heard(std::string(kNewAppSettingsNotificationPrefix) + kCurl,
                    [](const Value& v) { return v.get("domains").get("1.2.3.4") == rule(0); }));
}

TEST_F(ARulesCommand, RemovesARuleAndReportsAMissingOneAsNoChange) {
  install(kCurl, "Curl");
  seed(Value::dictOf(
      {{"global_hosts", Value::dictOf({{"example.com", rule(2)}, {"keep.example", rule(1)}})},
       {"apps",
        Value::dictOf(
            {{kCurl, Value::dictOf({{"domains", Value::dictOf({{"1.2.3.4", rule(1)}})}})}})}}));
  startSpringBoard();

  Outcome global = rules({"remove", "example.com", "--global"});
  ASSERT_EQ(global.code, 0) << global.err;
  EXPECT_EQ(global.out, "global rule: example.com -> removed\n");
  Outcome app = rules({"remove", "1.2.3.4", "--app", kCurl});
  ASSERT_EQ(app.code, 0) << app.err;
  EXPECT_EQ(app.out, "rule: com.example.curl 1.2.3.4 -> removed\n");
  const Value document = saved();
  EXPECT_EQ(document.get("global_hosts"), Value::dictOf({{"keep.example", rule(1)}}));
  EXPECT_EQ(document.get("apps").get(kCurl).get("domains"), Value::dictOf({}));

  // Nothing to remove: no request, no wait for a write that never comes.
  const size_t before = saveRequests();
  Outcome again = rules({"remove", "1.2.3.4", "--app", kCurl, "--timeout", "0.2"});
  EXPECT_EQ(again.code, 0) << again.err;
  EXPECT_NE(again.out.find("nothing changed"), std::string::npos) << again.out;
  EXPECT_EQ(saveRequests(), before);
}

// ---- Switches and policies ----

TEST_F(ARulesCommand, SetsSwitchesAndPoliciesGivenAsWords) {
  install(kCurl, "Curl");
  startSpringBoard();

  Outcome deny = rules({"set", "deny_all_outbound", "on", "--app", kCurl});
  ASSERT_EQ(deny.code, 0) << deny.err;
  EXPECT_EQ(deny.out, "setting: com.example.curl deny_all_outbound -> on\n");
  Outcome policy = rules({"set", "new_site_policy", "block", "--app", kCurl});
  ASSERT_EQ(policy.code, 0) << policy.err;
  EXPECT_EQ(policy.out, "setting: com.example.curl new_site_policy -> 2 (block)\n");
  Outcome master = rules({"set", "snt_enabled", "off"});
  ASSERT_EQ(master.code, 0) << master.err;
  EXPECT_EQ(master.out, "setting: snt_enabled -> off\n");

  const Value document = saved();
  const Value entry = document.get("apps").get(kCurl);
  EXPECT_EQ(entry.get("deny_all_outbound"), Value::boolean(true));
  EXPECT_EQ(entry.get("new_site_policy"), Value::string("2"));
  EXPECT_EQ(document.get("snt_enabled"), Value::boolean(false));
  EXPECT_TRUE(heard(std::string(kNewAppSettingsNotificationPrefix) + kCurl,
                    [](const Value& v) { return v.get("new_site_policy") == Value::string("2"); }));
}

// As the root page does: apps that already have an entry keep behaving as
// the old policy made them; only apps without one follow the new policy.
TEST_F(ARulesCommand, KeepsExistingAppsOnTheOldPolicyWhenTheNewAppPolicyChanges) {
  seed(Value::dictOf(
      {{"new_app_policy", Value::string("1")},
       {"apps", Value::dictOf({{"com.example.plain", Value::dict({})},
                               {"com.example.own",
                                Value::dictOf({{"new_site_policy", Value::string("3")},
                                               {"firewall_enabled", Value::boolean(false)}})}})}}));
  startSpringBoard();

  Outcome r = rules({"set", "new_app_policy", "block"});

  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "setting: new_app_policy -> 2 (block)\n");
  const Value document = saved();
  EXPECT_EQ(document.get("new_app_policy"), Value::string("2"));
  EXPECT_EQ(document.get("apps").get("com.example.plain"),
            Value::dictOf({{"firewall_enabled", Value::boolean(true)},
                           {"new_site_policy", Value::string("1")}}));
  EXPECT_EQ(document.get("apps").get("com.example.own"),
            Value::dictOf({{"new_site_policy", Value::string("3")},
                           {"firewall_enabled", Value::boolean(false)}}));
}

// ---- Whole entries ----

TEST_F(ARulesCommand, ClearsAnAppsRulesThenForgetsTheApp) {
  install(kCurl, "Curl");
  seed(Value::dictOf(
      {{"apps",
        Value::dictOf({{kCurl, Value::dictOf({{"allow_all_outbound", Value::boolean(true)},
                                              {"domains", Value::dictOf({{"a", rule(1)},
                                                                         {"b", rule(2)}})}})}})}}));
  startSpringBoard();

  Outcome clear = rules({"clear", "--app", kCurl});
  ASSERT_EQ(clear.code, 0) << clear.err;
  EXPECT_EQ(clear.out, "rules: com.example.curl 2 cleared\n");
  EXPECT_EQ(
      saved().get("apps").get(kCurl),
      Value::dictOf({{"allow_all_outbound", Value::boolean(true)}, {"domains", Value::dict({})}}));

  // Deleting writes an empty entry first and the document without it second;
  // only the second is the confirmation.
  Outcome forget = rules({"forget", "--app", kCurl});
  ASSERT_EQ(forget.code, 0) << forget.err;
  EXPECT_EQ(forget.out, "app: com.example.curl -> settings deleted\n");
  EXPECT_TRUE(saved().get("apps").isDict());
  EXPECT_TRUE(saved().get("apps").get(kCurl).isNull());
}

// ---- Refusals and failures ----

TEST_F(ARulesCommand, RefusesBadCommandLinesWithExitTwoAndSendsNothing) {
  install(kCurl, "Curl");
  startSpringBoard();
  const std::vector<std::vector<std::string>> bad = {
      {"set", "snt_turbo", "on"},
      {"set", "new_site_policy", "prompt"},               // per app only
      {"set", "snt_enabled", "on", "--app", kCurl},       // global only
      {"set", "new_site_policy", "off", "--app", kCurl},  // "off" means nothing for an app
      {"set", "snt_enabled", "maybe"},
      {"block", "example.com"},
      {"block", "example.com", "--app", kCurl, "--global"},
      {"block", "", "--global"},
      {"block", kServiceHost, "--global"},
      {"allow", "example.com", "--app", "../etc"},
      {"frobnicate"},
  };
  for (const auto& args : bad) {
    Outcome r = rules(args);
    EXPECT_EQ(r.code, 2) << args[0] << " " << (args.size() > 1 ? args[1] : "");
    EXPECT_NE(r.err.find("sentrel: "), std::string::npos);
  }
  Outcome unknown_key = rules({"set", "snt_turbo", "on"});
  EXPECT_NE(unknown_key.err.find("unknown key snt_turbo"), std::string::npos) << unknown_key.err;
  EXPECT_EQ(saveRequests(), 0u);
}

TEST_F(ARulesCommand, FailsForAnAppThatIsNeitherInstalledNorInTheSettings) {
  startSpringBoard();
  Outcome r = rules({"block", "example.com", "--app", "com.example.ghost"});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("unknown app com.example.ghost"), std::string::npos) << r.err;
  EXPECT_EQ(saveRequests(), 0u);
}

TEST_F(ARulesCommand, FailsWithALineWhenSpringBoardDoesNotSave) {
  install(kCurl, "Curl");

  Outcome r = rules({"block", "example.com", "--app", kCurl, "--timeout", "0.3"});

  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("SpringBoard did not save the change within 0.3 s"), std::string::npos)
      << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_FALSE(fs::exists(settingsFile()));
}

TEST_F(ARulesCommand, FailsWhenTheDeviceIsNotRunning) {
  install(kCurl, "Curl");
  bus_.stop();

  Outcome r = rules({"allow", "example.com", "--global"});

  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("device not running"), std::string::npos) << r.err;
}

// ---- Listing ----

TEST_F(ARulesCommand, ListsGlobalSettingsRulesAndOneLinePerAppEntry) {
  install(kCurl, "Curl");
  seed(Value::dictOf(
      {{"snt_system_apps_enabled", Value::boolean(true)},
       {"new_app_policy", Value::string("2")},
       {"global_hosts", Value::dictOf({{"example.com", rule(1)}, {"ads.example", rule(2)}})},
       {"apps",
        Value::dictOf(
            {{kCurl, Value::dictOf({{"domains", Value::dictOf({{"a", rule(1)}, {"b", rule(2)}})}})},
             {"com.example.gone",
              Value::dictOf({{"deny_all_outbound", Value::boolean(true)}})}})}}));

  Outcome r = rules({"list"});

  ASSERT_EQ(r.code, 0) << r.err;
  for (const char* line : {
           "  snt_enabled                    on (default)\n",
           "  snt_system_apps_enabled        on\n",
           "  new_app_policy                 2 (block)\n",
           "global rules (2):\n",
           "  ads.example                    blocked\n",
           "  example.com                    allowed\n",
           "apps (2):\n",
           "  com.example.curl               Curl (1/2 allowed)\n",
           "  com.example.gone               com.example.gone (all blocked) [not installed]\n",
       }) {
    EXPECT_NE(r.out.find(line), std::string::npos) << line << "in:\n" << r.out;
  }
  // Sorted, so scripts can rely on the order.
  EXPECT_LT(r.out.find("ads.example"), r.out.find("example.com"));
}

TEST_F(ARulesCommand, ListsOneAppsSwitchesPoliciesAndRules) {
  install(kCurl, "Curl");
  seed(Value::dictOf(
      {{"new_app_policy", Value::string("1")},
       {"apps",
        Value::dictOf(
            {{kCurl, Value::dictOf({{"filter_streams", Value::boolean(false)},
                                    {"domains", Value::dictOf({{"a.example", rule(1)},
                                                               {"b.example", rule(2)},
                                                               {"c.example", rule(0)}})}})}})}}));

  Outcome r = rules({"list", "--app", kCurl});

  ASSERT_EQ(r.code, 0) << r.err;
  for (const char* line : {
           "com.example.curl: Curl (1/3 allowed) [User]\n",
           "  firewall_enabled               on (default)\n",
           "  deny_all_outbound              off (default)\n",
           "  new_site_policy                1 (allow) (default)\n",
           "  filter_streams                 off\n",
           "rules (3):\n",
           "  a.example                      allowed\n",
           "  b.example                      blocked\n",
           "  c.example                      undefined\n",
       }) {
    EXPECT_NE(r.out.find(line), std::string::npos) << line << "in:\n" << r.out;
  }
  Outcome unknown = rules({"list", "--app", "com.example.ghost"});
  EXPECT_EQ(unknown.code, 1);
}

TEST_F(ARulesCommand, StoresAnIPv6HostUnderTheOneTextItsConnectionsAreDecidedBy) {
  install(kCurl, "Curl");
  startSpringBoard();

  Outcome bracketed = rules({"block", "[0:0:0:0:0:0:0:1]", "--app", kCurl});
  ASSERT_EQ(bracketed.code, 0) << bracketed.err;
  EXPECT_EQ(bracketed.out, "rule: com.example.curl ::1 -> blocked\n");
  Outcome mapped = rules({"allow", "::ffff:127.0.0.1", "--global"});
  ASSERT_EQ(mapped.code, 0) << mapped.err;
  EXPECT_EQ(mapped.out, "global rule: 127.0.0.1 -> allowed\n");
  EXPECT_EQ(saved().get("apps").get(kCurl).get("domains"), Value::dictOf({{"::1", rule(2)}}));
  EXPECT_EQ(saved().get("global_hosts"), Value::dictOf({{"127.0.0.1", rule(1)}}));

  // Any text of the address names the same rule.
  Outcome removed = rules({"remove", "::1", "--app", kCurl});
  ASSERT_EQ(removed.code, 0) << removed.err;
  EXPECT_EQ(removed.out, "rule: com.example.curl ::1 -> removed\n");
  EXPECT_EQ(saved().get("apps").get(kCurl).get("domains"), Value::dict({}));
}

TEST_F(ARulesCommand, ListsAPolicyStoredAsANumberAsMatchingNoPolicy) {
  install(kCurl, "Curl");
  seed(Value::dictOf(
      {{"new_app_policy", Value::integer(1)},
       {"apps",
        Value::dictOf({{kCurl, Value::dictOf({{"new_site_policy", Value::integer(2)}})}})}}));
  Outcome app = rules({"list", "--app", kCurl});
  ASSERT_EQ(app.code, 0) << app.err;
  EXPECT_NE(app.out.find("  new_site_policy                (not text) integer 2\n"),
            std::string::npos)
      << app.out;
  Outcome global = rules({"list"});
  ASSERT_EQ(global.code, 0) << global.err;
  EXPECT_NE(global.out.find("  new_app_policy                 (not text) integer 1\n"),
            std::string::npos)
      << global.out;
}

// ---- Hosts as typed ----

TEST_F(ARulesCommand, ReducesAURLOrAPortToItsHostAndSaysSo) {
  install(kCurl, "Curl");
  startSpringBoard();

  Outcome url = rules({"block", "http://Example.COM:8080/index.html", "--global"});
  ASSERT_EQ(url.code, 0) << url.err;
  EXPECT_EQ(url.out, "global rule: example.com -> blocked\n");
  EXPECT_NE(url.err.find("as the host example.com (took the host of the URL, dropped the port "
                         "8080, lower-cased)"),
            std::string::npos)
      << url.err;
  Outcome port = rules({"allow", "127.0.0.1:8765", "--app", kCurl});
  ASSERT_EQ(port.code, 0) << port.err;
  EXPECT_EQ(port.out, "rule: com.example.curl 127.0.0.1 -> allowed\n");
  EXPECT_NE(port.err.find("dropped the port 8765"), std::string::npos) << port.err;
  Outcome upper = rules({"block", "LOCALHOST", "--global"});
  ASSERT_EQ(upper.code, 0) << upper.err;
  EXPECT_EQ(upper.out, "global rule: localhost -> blocked\n");

  const Value document = saved();
  EXPECT_EQ(document.get("global_hosts"),
            Value::dictOf({{"example.com", rule(2)}, {"localhost", rule(2)}}));
  EXPECT_EQ(document.get("apps").get(kCurl).get("domains"),
            Value::dictOf({{"127.0.0.1", rule(1)}}));
}

TEST_F(ARulesCommand, RefusesTextsThatCannotBeAHostWithExitTwoAndSendsNothing) {
  install(kCurl, "Curl");
  startSpringBoard();
  for (const std::string& typed :
       {std::string("1.2.3.4/24"), std::string("256.1.1.1"), std::string("127.1"),
        std::string("0x7f000001"), std::string("*.example.com"), std::string("[::1"),
        std::string("[]"), std::string("a b"), std::string(100000, 'a')}) {
    Outcome r = rules({"block", typed, "--global"});
    EXPECT_EQ(r.code, 2) << typed.substr(0, 40) << ": " << r.err;
    EXPECT_NE(r.err.find("is not a host: "), std::string::npos) << r.err.substr(0, 200);
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err.substr(0, 200);
    EXPECT_LT(r.err.size(), 400u);  // the text is not repeated back in full
    EXPECT_EQ(r.out, "");
  }
  Outcome app = rules({"allow", "host:99999", "--app", kCurl});
  EXPECT_EQ(app.code, 2);
  EXPECT_NE(app.err.find("not a port"), std::string::npos) << app.err;
  EXPECT_EQ(saveRequests(), 0u);
  EXPECT_FALSE(fs::exists(settingsFile()));
}

// Rules written before hosts were checked are not rewritten, and can still
// be undefined and removed by the key they are stored under.
TEST_F(ARulesCommand, UndefinesAndRemovesAnOldRuleByTheKeyItIsStoredUnder) {
  seed(Value::dictOf(
      {{"global_hosts", Value::dictOf({{"*.example.com", rule(2)}, {"LOCALHOST", rule(1)}})}}));
  startSpringBoard();

  Outcome removed = rules({"remove", "*.example.com", "--global"});
  ASSERT_EQ(removed.code, 0) << removed.err;
  EXPECT_EQ(removed.out, "global rule: *.example.com -> removed\n");
  Outcome undefined = rules({"undefine", "LOCALHOST", "--global"});
  ASSERT_EQ(undefined.code, 0) << undefined.err;
  EXPECT_EQ(undefined.out, "global rule: LOCALHOST -> undefined\n");
  EXPECT_EQ(saved().get("global_hosts"), Value::dictOf({{"LOCALHOST", rule(0)}}));

  // A text that is neither a host nor a stored key is still refused.
  Outcome missing = rules({"remove", "*.other.example", "--global"});
  EXPECT_EQ(missing.code, 2);
  EXPECT_NE(missing.err.find("wildcard"), std::string::npos) << missing.err;
}

// ---- Values ----

TEST_F(ARulesCommand, TakesANegativeNumberAsAValueNotAnOption) {
  install(kCurl, "Curl");
  startSpringBoard();
  Outcome r = rules({"set", "snt_enabled", "-1"});
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find("snt_enabled takes on or off"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("unknown option"), std::string::npos) << r.err;
  // "--" ends the options.
  Outcome dashed = rules({"set", "--", "snt_enabled", "off"});
  ASSERT_EQ(dashed.code, 0) << dashed.err;
  EXPECT_EQ(saved().get("snt_enabled"), Value::boolean(false));
}

// ---- A damaged settings file ----

TEST_F(ARulesCommand, FailsToListADamagedSettingsFileAndLeavesItAsItIs) {
  fs::create_directories(settingsFile().parent_path());
  std::ofstream(settingsFile()) << "<plist><dict><key>global_hosts";

  Outcome r = rules({"list"});

  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("is damaged"), std::string::npos) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(slurp(settingsFile()), "<plist><dict><key>global_hosts");
  Outcome app = rules({"list", "--app", kCurl});
  EXPECT_EQ(app.code, 1);
}

TEST_F(ARulesCommand, WarnsThatAChangeOnADamagedFileStartsFromNoSettings) {
  fs::create_directories(settingsFile().parent_path());
  std::ofstream(settingsFile()) << "garbage";
  startSpringBoard();

  Outcome r = rules({"block", "example.com", "--global"});

  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.err.find("warning: the settings file"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("is damaged"), std::string::npos) << r.err;
}

// ---- Changes at the same moment ----

TEST_F(ARulesCommand, KeepsEveryConfirmedChangeOfManyMadeAtOnce) {
  install(kCurl, "Curl");
  startSpringBoard();
  constexpr int kGlobal = 8, kApp = 4;
  std::vector<std::vector<std::string>> commands;
  for (int n = 0; n < kGlobal; ++n) {
    commands.push_back({"block", "10.1.0." + std::to_string(n), "--global", "--timeout", "60"});
  }
  for (int n = 0; n < kApp; ++n) {
    commands.push_back({"allow", "10.2.0." + std::to_string(n), "--app", kCurl, "--timeout", "60"});
  }
  commands.push_back({"set", "snt_animations", "off", "--timeout", "60"});

  std::vector<Outcome> outcomes = rulesAtOnce(commands);

  for (size_t i = 0; i < outcomes.size(); ++i) {
    EXPECT_EQ(outcomes[i].code, 0) << commands[i][1] << ": " << outcomes[i].err;
  }
  const Value document = saved();
  for (int n = 0; n < kGlobal; ++n) {
    EXPECT_EQ(document.get("global_hosts").get("10.1.0." + std::to_string(n)), rule(2)) << n;
  }
  for (int n = 0; n < kApp; ++n) {
    EXPECT_EQ(document.get("apps").get(kCurl).get("domains").get("10.2.0." + std::to_string(n)),
              rule(1))
        << n;
  }
  EXPECT_EQ(document.get("snt_animations"), Value::boolean(false));
}

// ---- Testing a destination ----

// One row per step of the precedence: the settings, the host, the verdict
// and what `rules test` names as deciding it.
struct Verdict {
  const char* what;
  Value document;
  const char* host;
  const char* verdict;
  const char* decided_by;
};

Value appDocument(const Value& entry, const Value& top = Value::dict({})) {
  return plist::MutableDict(top).set("apps", Value::dictOf({{kCurl, entry}})).build();
}

TEST_F(ARulesCommand, TestsADestinationAgainstThePrecedenceWithoutSavingAnything) {
  install(kCurl, "Curl");
  const Value blocked_here = Value::dictOf({{"domains", Value::dictOf({{"a.example", rule(2)}})}});
  const std::vector<Verdict> rows = {
      {"master switch", Value::dictOf({{"snt_enabled", Value::boolean(false)}}), "a.example",
       "allow", "switch snt_enabled is off"},
      {"app firewall off",
       appDocument(Value::dictOf({{"firewall_enabled", Value::boolean(false)}})), "a.example",
       "allow", "the app's switch firewall_enabled is off"},
      {"deny all beats an allow rule",
       appDocument(Value::dictOf({{"deny_all_outbound", Value::boolean(true)},
                                  {"domains", Value::dictOf({{"a.example", rule(1)}})}})),
       "a.example", "block", "the app's switch deny_all_outbound is on"},
      {"allow all", appDocument(Value::dictOf({{"allow_all_outbound", Value::boolean(true)}})),
       "b.example", "allow",
       "the app's switch allow_all_outbound is on; the first connection "
       "records an allowed rule for b.example"},
      {"localhost", Value::dict({}), "localhost", "allow", "localhost is always allowed"},
      {"app rule", appDocument(blocked_here), "a.example", "block",
       "the app's rule for a.example: blocked"},
      {"app rule over global rule",
       appDocument(blocked_here,
                   Value::dictOf({{"global_hosts", Value::dictOf({{"a.example", rule(1)}})}})),
       "a.example", "block", "the app's rule for a.example: blocked"},
      {"global rule", Value::dictOf({{"global_hosts", Value::dictOf({{"g.example", rule(1)}})}}),
       "g.example", "allow", "the global rule for g.example: allowed"},
      {"block policy", appDocument(Value::dictOf({{"new_site_policy", Value::string("2")}})),
       "n.example", "block", "the app's policy new_site_policy 2 (block)"},
      {"no rule", Value::dict({}), "n.example", "ask",
       "no rule for n.example and the app's policy new_site_policy is 3 (prompt)"},
  };
  for (const Verdict& row : rows) {
    seed(row.document);
    Outcome r = rules({"test", "--app", kCurl, std::string(row.host) + ":443"});
    ASSERT_EQ(r.code, 0) << row.what << ": " << r.err;
    EXPECT_EQ(r.out.substr(0, r.out.find('\n')),
              std::string(kCurl) + " " + row.host + ": " + row.verdict)
        << row.what << ":\n"
        << r.out;
    EXPECT_NE(r.out.find(std::string("decided by: ") + row.decided_by), std::string::npos)
        << row.what << ":\n"
        << r.out;
    EXPECT_EQ(saved(), row.document) << row.what << ": the test changed the settings";
  }
  EXPECT_EQ(saveRequests(), 0u);

  Outcome bad = rules({"test", "--app", kCurl, "1.2.3.4/8"});
  EXPECT_EQ(bad.code, 2);
  Outcome unknown = rules({"test", "--app", "com.example.ghost", "a.example"});
  EXPECT_EQ(unknown.code, 1);
  EXPECT_NE(unknown.err.find("unknown app"), std::string::npos) << unknown.err;
}

// ---- JSON ----

TEST_F(ARulesCommand, ListsAsJsonForScripts) {
  install(kCurl, "Curl");
  seed(Value::dictOf(
      {{"snt_animations", Value::boolean(false)},
       {"global_hosts", Value::dictOf({{"g.example", rule(2)}})},
       {"apps",
        Value::dictOf(
            {{kCurl, Value::dictOf({{"domains", Value::dictOf({{"a.example", rule(1)}})}})}})}}));

  Outcome global = rules({"list", "--json"});
  ASSERT_EQ(global.code, 0) << global.err;
  const nlohmann::json all = nlohmann::json::parse(global.out);
  EXPECT_EQ(all["settings"]["snt_animations"],
            nlohmann::json({{"value", false}, {"default", false}}));
  EXPECT_EQ(all["settings"]["snt_enabled"], nlohmann::json({{"value", true}, {"default", true}}));
  EXPECT_EQ(all["settings"]["new_app_policy"], nlohmann::json({{"value", "3"}, {"default", true}}));
  EXPECT_EQ(all["global_rules"], nlohmann::json({{"g.example", "blocked"}}));
  EXPECT_EQ(all["apps"][kCurl]["installed"], true);

  Outcome app = rules({"list", "--app", kCurl, "--json"});
  ASSERT_EQ(app.code, 0) << app.err;
  const nlohmann::json one = nlohmann::json::parse(app.out);
  EXPECT_EQ(one["id"], kCurl);
  EXPECT_EQ(one["name"], "Curl");
  EXPECT_EQ(one["rules"], nlohmann::json({{"a.example", "allowed"}}));
  EXPECT_EQ(one["settings"]["deny_all_outbound"],
            nlohmann::json({{"value", false}, {"default", true}}));
}

// ---- Export and import ----

TEST_F(ARulesCommand, ExportsTheDocumentAndImportsItRuleByRule) {
  install(kCurl, "Curl");
  const Value exported_entry =
      Value::dictOf({{"deny_all_outbound", Value::boolean(true)},
                     {"domains", Value::dictOf({{"a.example", rule(1)}, {"b.example", rule(2)}})}});
  seed(Value::dictOf({{"global_hosts", Value::dictOf({{"g.example", rule(2)}})},
                      {"apps", Value::dictOf({{kCurl, exported_entry}})}}));
  Outcome exported = rules({"export", "--app", kCurl});
  ASSERT_EQ(exported.code, 0) << exported.err;
  Result<Value> file = plist::decode(exported.out);
  ASSERT_TRUE(file.ok()) << file.reason();
  EXPECT_EQ(*file, Value::dictOf({{"apps", Value::dictOf({{kCurl, exported_entry}})}}));
  Outcome whole = rules({"export"});
  ASSERT_EQ(whole.code, 0) << whole.err;
  EXPECT_EQ(*plist::decode(whole.out), saved());

  // Later: other rules, one of them for a host the file also names.
  seed(Value::dictOf(
      {{"global_hosts", Value::dictOf({{"keep.example", rule(1)}})},
       {"apps",
        Value::dictOf(
            {{kCurl, Value::dictOf({{"domains", Value::dictOf({{"a.example", rule(2)},
                                                               {"c.example", rule(1)}})}})}})}}));
  startSpringBoard();
  const fs::path backup = io_.path() / "backup.plist";
  std::ofstream(backup) << exported.out;

  Outcome imported = rules({"import", backup.string()});

  ASSERT_EQ(imported.code, 0) << imported.err;
  EXPECT_EQ(imported.out.rfind("imported 2 rules", 0), 0u) << imported.out;
  const Value document = saved();
  EXPECT_EQ(document.get("global_hosts"), Value::dictOf({{"keep.example", rule(1)}}));
  EXPECT_EQ(
      document.get("apps").get(kCurl).get("domains"),
      Value::dictOf({{"a.example", rule(1)}, {"b.example", rule(2)}, {"c.example", rule(1)}}));
  EXPECT_EQ(document.get("apps").get(kCurl).get("deny_all_outbound"), Value::boolean(true));
}

TEST_F(ARulesCommand, RefusesAnImportWithAnyBadPartAndSavesNothing) {
  startSpringBoard();
  const std::vector<Value> bad = {
      Value::dictOf({{"global_hosts", Value::dictOf({{"*.example.com", rule(2)}})}}),
      Value::dictOf(
          {{"global_hosts", Value::dictOf({{"ok.example", rule(1)}, {"bad.example", rule(7)}})}}),
      Value::dictOf({{"snt_enabled", Value::string("yes")}}),
      Value::dictOf({{"apps", Value::dictOf({{"../etc", Value::dict({})}})}}),
      Value::dictOf(
          {{"apps",
            Value::dictOf({{kCurl, Value::dictOf({{"new_site_policy", Value::string("0")}})}})}}),
  };
  const fs::path file = io_.path() / "import.plist";
  for (const Value& document : bad) {
    ASSERT_TRUE(plist::writeFileAtomically(file, document).ok());
    Outcome r = rules({"import", file.string()});
    EXPECT_EQ(r.code, 2) << document.description();
    EXPECT_NE(r.err.find("nothing imported"), std::string::npos) << r.err;
  }
  std::ofstream(file) << "garbage";
  EXPECT_EQ(rules({"import", file.string()}).code, 2);
  EXPECT_EQ(saveRequests(), 0u);
}

// ---- The write watch ----

TEST(AFileWriteWatch, ReportsAnAtomicReplacementButNotOtherFilesOfTheFolder) {
  testing::TempDir dir;
  const fs::path file = dir.path() / "settings.plist";
  Result<std::unique_ptr<cli::FileWriteWatch>> watch = cli::watchFileWrites(file);
  ASSERT_TRUE(watch.ok()) << watch.reason();
  const auto soon = [] { return std::chrono::steady_clock::now() + std::chrono::milliseconds(50); };

  ASSERT_TRUE(plist::writeFileAtomically(dir.path() / "other.plist", Value::dict({})).ok());
  Result<bool> other = (*watch)->waitForWrite(soon());
  ASSERT_TRUE(other.ok()) << other.reason();
  EXPECT_FALSE(*other);

  ASSERT_TRUE(plist::writeFileAtomically(file, Value::dict({})).ok());
  Result<bool> ours = (*watch)->waitForWrite(std::chrono::steady_clock::now() + kPatience);
  ASSERT_TRUE(ours.ok()) << ours.reason();
  EXPECT_TRUE(*ours);
}

TEST(AFileWriteWatch, FailsForAFolderThatDoesNotExist) {
  testing::TempDir dir;
  EXPECT_FALSE(cli::watchFileWrites(dir.path() / "missing" / "settings.plist").ok());
}

}  // namespace
}  // namespace sentrel
