// The prompt queue in SpringBoard over a screen that records what it is
// asked: merging, early answers, address lookups, one prompt at a time, the
// watchdog, withdrawing an app's prompts, and what a request may cost.
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "firewall_test_env.h"
#include "platform/base/mutex.h"
#include "platform/resolve/resolver.h"
#include "tweak/UI/SNTAlert.h"

extern char** environ;

namespace sentrel {
namespace {

using namespace std::chrono_literals;
using plist::Value;
using testing::FirewallTestEnv;

constexpr const char* kOtherAppId = "com.example.other";

// Shows at most one record; the test decides when a prompt leaves.
class RecordingScreen final : public SNTPromptScreen {
 public:
  std::shared_ptr<SNTAlert> presentedAlert() override { return stale ? nullptr : shown; }
  bool isOnScreen(const SNTAlert& alert) override { return shown.get() == &alert; }
  void removeAllSNTWindows() override {
    ++removals;
    shown.reset();
  }
  void present(const std::shared_ptr<SNTAlert>& alert, const std::string& message, bool) override {
    if (fail) throw std::runtime_error("cannot draw");
    presented.push_back(alert->host().value_or("(null)"));
    messages.push_back(message);
    alert->setState(kSNTAlertStatePresented);
    alert->setPresentedTime(SNTAlert::now());
    shown = alert;
  }
  void dismissPrompt(const SNTAlert& alert, bool deactivate) override {
    if (shown.get() != &alert) return;  // a record without a prompt has nothing to dismiss
    dismissed.push_back(alert.host().value_or("(null)"));
    leave(deactivate);
  }
  // The prompt leaves the screen; the controller hands back to the queue.
  void leave(bool deactivate = true) {
    std::shared_ptr<SNTAlert> gone = std::move(shown);
    if (deactivate && gone) {
      gone->reQueueIfNotHandled();
      SNTAlert::showNextAlert();
    }
  }

  std::shared_ptr<SNTAlert> shown;
  bool stale = false;  // the prompt is up but not in the prompt window
  bool fail = false;
  int removals = 0;
  std::vector<std::string> presented;
  std::vector<std::string> messages;
  std::vector<std::string> dismissed;
};

// A resolver whose answer comes only when the test lets it: a reverse lookup
// slower than the queue's grace.
class HeldResolver final : public resolve::Resolver {
 public:
  HeldResolver(std::string address, resolve::Names names)
      : address_(std::move(address)), names_(std::move(names)) {}
  ~HeldResolver() override { release(); }
  Result<resolve::Names> namesForAddress(const std::string& address) override {
    MutexLock lock(mu_);
    cv_.wait(lock.native(), [this] {
      mu_.assertHeld();
      return released_;
    });
    return address == address_ ? names_ : resolve::Names{};
  }
  void release() {
    {
      MutexLock lock(mu_);
      released_ = true;
    }
    cv_.notify_all();
  }

 private:
  const std::string address_;
  const resolve::Names names_;
  Mutex mu_;
  std::condition_variable cv_;
  bool released_ GUARDED_BY(mu_) = false;
};

// Whether any key of the app's rules is no host: the placeholder of a lookup.
bool holdsALookupPlaceholder(const Value& entry) {
  const plist::Dict* domains = entry.get("domains").asDict();
  if (domains == nullptr) return false;
  for (const auto& [key, rule] : *domains) {
    if (key.find("_loading") != std::string::npos) return true;
  }
  return false;
}

class ThePromptQueue : public ::testing::Test {
 protected:
  ThePromptQueue() : env_(FirewallTestEnv::springBoardIdentity(), &clock_) {
    SNTAlert::resetQueueForTesting();
    env_.writeSettings(Value::dictOf({}));
    setSNTPromptScreen(screen_);
  }
  ~ThePromptQueue() override {
    setSNTPromptScreen(nullptr);
    SNTAlert::resetQueueForTesting();
  }

  // SpringBoard's record of a request from `app` (named "Example" for the
  // example app) whose answers land in `answers`.
  std::shared_ptr<SNTAlert> request(const std::string& host, std::vector<bool>* answers,
                                    const char* app = testing::kAppId) {
    auto alert = std::make_shared<SNTAlert>();
    alert->initWithHostname(host, 443, [answers](bool allow) {
      if (answers) answers->push_back(allow);
    });
    alert->setFirewall(SNTFirewall::pooledFirewallForBundle(
        std::string(app), std::string(app) == testing::kAppId ? "Example" : "Other", false, false,
        false, env_.readSettings(), env_.readSettings().get("apps").get(app)));
    return alert;
  }
  std::shared_ptr<SNTAlert> ask(const std::string& host, std::vector<bool>* answers,
                                const char* app = testing::kAppId) {
    auto alert = request(host, answers, app);
    alert->showOrQueue();
    env_.runUntilIdle();
    return alert;
  }
  void advance(std::chrono::milliseconds by) {
    for (auto step = 0ms; step < by; step += 100ms) {
      clock_.advance(100ms);
      env_.runUntilIdle();
    }
  }
  // Waits for the resolver's answer to come back on the main queue.
  void finishLookups() {
    ASSERT_TRUE(loopUntil([&] { return env_.logs().contains("got hostname"); }));
  }
  bool loopUntil(const std::function<bool()>& done) {
    return runloop::MainQueue::get().runUntil(done, 30s);
  }
  Value appEntry(const char* app = testing::kAppId) {
    return env_.readSettings().get("apps").get(app);
  }
  int64_t rule(const std::string& host, const char* app = testing::kAppId) {
    return appEntry(app).get("domains").get(host).get("allowed").asInteger().value_or(-1);
  }
  size_t queued() { return SNTAlert::alertsSnapshot().size(); }

  runloop::FakeClock clock_;
  FirewallTestEnv env_;
  std::shared_ptr<RecordingScreen> screen_ = std::make_shared<RecordingScreen>();
};

TEST_F(ThePromptQueue, ShowsOnePromptAtATimeAndTheNextAfterAnAnswer) {
  std::vector<bool> first, second;
  auto a = ask("a.example.com", &first);
  auto b = ask("b.example.com", &second);
  EXPECT_EQ(screen_->presented, (std::vector<std::string>{"a.example.com"}));
  EXPECT_EQ(a->state(), kSNTAlertStatePresented);
  EXPECT_EQ(b->state(), kSNTAlertStateQueued);
  EXPECT_TRUE(env_.logs().contains("Unable to present queued alert:"));
  // The app's entry is named after the app, not after SpringBoard.
  EXPECT_EQ(rule("a.example.com"), 0);
  EXPECT_EQ(appEntry().get("name").asString() ? *appEntry().get("name").asString() : "", "Example");

  a->allowAlways();
  env_.runUntilIdle();
  screen_->leave();
  env_.runUntilIdle();
  EXPECT_EQ(first, std::vector<bool>{true});
  EXPECT_EQ(rule("a.example.com"), 1);
  EXPECT_EQ(screen_->presented, (std::vector<std::string>{"a.example.com", "b.example.com"}));
  EXPECT_EQ(queued(), 1u);

  b->blockAlways();
  env_.runUntilIdle();
  EXPECT_EQ(second, std::vector<bool>{false});
  EXPECT_EQ(queued(), 0u);
}

TEST_F(ThePromptQueue, MergesRequestsForAWaitingHostAcrossAppsAndAnswersThemInArrivalOrder) {
  std::vector<std::string> order;
  auto first = request("shared.example.com", nullptr);
  first->initWithHostname("shared.example.com", 443,
                          [&order](bool allow) { order.push_back(allow ? "A:allow" : "A:block"); });
  first->showOrQueue();
  env_.runUntilIdle();
  auto second = request("shared.example.com", nullptr, kOtherAppId);
  second->initWithHostname("shared.example.com", 443, [&order](bool allow) {
    order.push_back(allow ? "B:allow" : "B:block");
  });
  second->showOrQueue();
  env_.runUntilIdle();

  EXPECT_EQ(screen_->presented.size(), 1u);
  EXPECT_EQ(queued(), 1u);
  first->allowAlways();
  env_.runUntilIdle();
  EXPECT_EQ(order, (std::vector<std::string>{"A:allow", "B:allow"}));
  EXPECT_EQ(rule("shared.example.com"), 1);
  EXPECT_EQ(rule("shared.example.com", kOtherAppId), -1);  // the answer is the asking app's
}

TEST_F(ThePromptQueue, AnswersAtOnceWhenARuleExistsAndShowsNoPrompt) {
  env_.writeSettings(Value::dictOf(
      {{"apps",
        Value::dictOf({{testing::kAppId,
                        Value::dictOf({{"domains", Value::dictOf({{"ok.example.com",
                                                                   testing::rule(1)}})}})}})}}));
  std::vector<bool> answers;
  ask("ok.example.com", &answers);
  EXPECT_EQ(answers, std::vector<bool>{true});
  EXPECT_TRUE(screen_->presented.empty());
  EXPECT_EQ(queued(), 0u);
  EXPECT_TRUE(env_.logs().contains("We were able to handle"));
}

TEST_F(ThePromptQueue, NamesAnAddressBeforeAskingAndCopiesTheNamesRuleToTheAddress) {
  auto names = std::make_shared<resolve::InMemoryResolver>();
  names->setNames("192.0.2.10", {"named.example.com"});
  resolve::ScopedResolverOverride resolver(names);
  env_.writeSettings(Value::dictOf(
      {{"apps",
        Value::dictOf({{testing::kAppId,
                        Value::dictOf({{"domains", Value::dictOf({{"named.example.com",
                                                                   testing::rule(1)}})}})}})}}));
  std::vector<bool> answers;
  auto alert = request("192.0.2.10", &answers);
  alert->showOrQueue();
  EXPECT_EQ(alert->host(), "192.0.2.10_loading");
  EXPECT_EQ(alert->ip(), "192.0.2.10");
  EXPECT_EQ(queued(), 1u);
  finishLookups();
  env_.runUntilIdle();
  EXPECT_EQ(alert->host(), "named.example.com");
  EXPECT_EQ(answers, std::vector<bool>{true});
  EXPECT_EQ(rule("192.0.2.10"), 1);
  EXPECT_TRUE(screen_->presented.empty());
  EXPECT_EQ(queued(), 0u);
}

TEST_F(ThePromptQueue, AsksAboutAnAddressWhoseNameIsLetThroughWithoutARuleOfItsOwn) {
  // 127.0.0.1 is "localhost", which the rules always let through. Answered
  // by the name, the address would stay without a rule: a socket app's
  // retries would be answered again and again and never connect.
  auto names = std::make_shared<resolve::InMemoryResolver>();
  names->setNames("127.0.0.1", {"localhost"});
  resolve::ScopedResolverOverride resolver(names);
  std::vector<bool> answers;
  auto alert = request("127.0.0.1", &answers);
  alert->showOrQueue();
  finishLookups();
  advance(3000ms);
  EXPECT_TRUE(answers.empty());
  ASSERT_EQ(screen_->presented, std::vector<std::string>{"127.0.0.1"});
  alert->allowAlways();
  env_.runUntilIdle();
  EXPECT_EQ(answers, std::vector<bool>{true});
  EXPECT_EQ(rule("127.0.0.1"), 1);
}

TEST_F(ThePromptQueue, MergesRequestsForAnAddressAskedWhileEachWaitedForItsLookup) {
  auto names = std::make_shared<resolve::InMemoryResolver>();
  resolve::ScopedResolverOverride resolver(names);
  std::vector<bool> mine, other;
  auto first = request("192.0.2.7", &mine);
  auto second = request("192.0.2.7", &other, kOtherAppId);
  first->showOrQueue();
  second->showOrQueue();
  ASSERT_TRUE(loopUntil([&] {
    return first->host() == "192.0.2.7" && second->host() == "192.0.2.7" && queued() == 1;
  }));
  advance(3000ms);
  ASSERT_EQ(screen_->presented, std::vector<std::string>{"192.0.2.7"}) << "one prompt for both";
  // Either lookup may come back first; the prompt belongs to whichever record
  // kept its place in the queue.
  ASSERT_TRUE(screen_->shown);
  screen_->shown->blockAlways();
  env_.runUntilIdle();
  EXPECT_EQ(mine, std::vector<bool>{false});
  EXPECT_EQ(other, std::vector<bool>{false});
  EXPECT_EQ(queued(), 0u);
}

// The grace is a limit on the wait for a name, not a wait of its own: once
// the lookup answered, with a name or without one, the prompt comes.
TEST_F(ThePromptQueue, ShowsAnAddressWithoutANameAsTheAddressAsSoonAsTheLookupAnswers) {
  auto names = std::make_shared<resolve::InMemoryResolver>();
  resolve::ScopedResolverOverride resolver(names);
  std::vector<bool> answers;
  auto alert = request("192.0.2.99", &answers);
  alert->showOrQueue();
  finishLookups();
  env_.runUntilIdle();
  EXPECT_EQ(alert->host(), "192.0.2.99");  // never null: a null host passes every rule
  ASSERT_EQ(screen_->presented, std::vector<std::string>{"192.0.2.99"})
      << "the clock never moved: no grace was waited out";
  EXPECT_NE(screen_->messages[0].find("Allow Example to access \n192.0.2.99?"), std::string::npos);
  alert->allowAlways();
  env_.runUntilIdle();
  EXPECT_EQ(rule("192.0.2.99"), 1);
}

TEST_F(ThePromptQueue, ShowsAnAddressByItsNameAsSoonAsTheNameIsKnown) {
  auto names = std::make_shared<resolve::InMemoryResolver>();
  names->setNames("192.0.2.12", {"fresh.example.com"});
  resolve::ScopedResolverOverride resolver(names);
  std::vector<bool> answers;
  auto alert = request("192.0.2.12", &answers);
  alert->showOrQueue();
  EXPECT_TRUE(screen_->presented.empty()) << "shown before the lookup answered";
  finishLookups();
  env_.runUntilIdle();
  ASSERT_EQ(screen_->presented, std::vector<std::string>{"fresh.example.com"});
  EXPECT_TRUE(answers.empty());
}

// A name slower than the grace: the prompt asks about the address, stores
// nothing under the lookup's placeholder, and the late name changes neither
// the question on screen nor who gets the answer.
TEST_F(ThePromptQueue, GoesOnWithTheAddressWhenTheNameIsLateAndKeepsThePromptWhenItComes) {
  auto names = std::make_shared<HeldResolver>("192.0.2.20", resolve::Names{"late.example.com"});
  resolve::ScopedResolverOverride resolver(names);
  std::vector<bool> answers;
  auto alert = request("192.0.2.20", &answers);
  alert->showOrQueue();
  env_.runUntilIdle();
  advance(3000ms);
  ASSERT_EQ(screen_->presented, std::vector<std::string>{"192.0.2.20"});
  EXPECT_NE(screen_->messages[0].find("Allow Example to access \n192.0.2.20?"), std::string::npos)
      << screen_->messages[0];
  EXPECT_FALSE(holdsALookupPlaceholder(appEntry()));

  names->release();
  finishLookups();
  env_.runUntilIdle();
  advance(3000ms);
  EXPECT_EQ(alert->host(), "192.0.2.20");
  EXPECT_EQ(screen_->shown, alert) << "the prompt on screen was taken down";
  EXPECT_EQ(screen_->presented.size(), 1u) << "asked twice";
  EXPECT_EQ(alert->state(), kSNTAlertStatePresented);

  alert->blockAlways();
  env_.runUntilIdle();
  EXPECT_EQ(answers, std::vector<bool>{false});
  EXPECT_EQ(rule("192.0.2.20"), 2);
  EXPECT_FALSE(holdsALookupPlaceholder(appEntry()));
  EXPECT_EQ(queued(), 0u);
}

TEST_F(ThePromptQueue, ClearsOneAppsPromptsWithoutAnsweringThemAndKeepsTheOthers) {
  std::vector<bool> mine, other;
  auto visible = ask("a.example.com", &mine);
  auto waiting = ask("b.example.com", &mine);
  auto others = ask("c.example.com", &other, kOtherAppId);
  SNTAlert::clearAlertsForBundleId(testing::kAppId);
  env_.runUntilIdle();
  EXPECT_TRUE(visible->cancelled());
  EXPECT_TRUE(waiting->cancelled());
  EXPECT_EQ(screen_->dismissed, std::vector<std::string>{"a.example.com"});
  ASSERT_EQ(queued(), 1u);
  EXPECT_EQ(SNTAlert::alertsSnapshot()[0], others);
  EXPECT_TRUE(mine.empty());
  SNTAlert::showNextAlert();
  env_.runUntilIdle();
  EXPECT_EQ(screen_->presented.back(), "c.example.com");
}

TEST_F(ThePromptQueue, FormsTheMessageFromTheAppsSettings) {
  auto alert = request("a.example.com", nullptr);
  alert->setUrl("https://a.example.com/feed");
  alert->setCustomMessage("Port 22");
  EXPECT_EQ(alert->promptMessage(), "Allow Example to access \na.example.com?\n\nPort 22");

  env_.writeSettings(Value::dictOf(
      {{"snt_alert_show_bundle", testing::yes()}, {"snt_alert_show_url", testing::yes()}}));
  alert = request("a.example.com", nullptr);
  alert->setUrl("https://a.example.com/feed");
  EXPECT_EQ(alert->promptMessage(),
            "Allow Example (com.example.app) to access \na.example.com?\n\nURL: "
            "https://a.example.com/feed");

  env_.writeSettings(Value::dictOf(
      {{"snt_alert_show_bundle", testing::yes()}, {"snt_show_bundle_ids", testing::yes()}}));
  EXPECT_EQ(request("a.example.com", nullptr)->promptMessage(),
            "Allow com.example.app to access \na.example.com?");
}

TEST_F(ThePromptQueue, WatchdogClosesAPromptStuckOutsideThePromptWindowAndShowsItAgain) {
  auto alert = ask("a.example.com", nullptr);
  screen_->stale = true;  // its view is still in a window, but not the prompt window's
  advance(4000ms);
  EXPECT_TRUE(screen_->dismissed.empty()) << "it has been up for less than 5 s";
  advance(4000ms);
  ASSERT_FALSE(screen_->dismissed.empty());
  EXPECT_TRUE(env_.logs().contains("presentedTime is earlier than oldestValidTime! Closing alert"));
  EXPECT_EQ(screen_->presented.size(), 2u) << "shown again";
  EXPECT_EQ(alert->state(), kSNTAlertStatePresented);
}

TEST_F(ThePromptQueue, AFailedPresentationBlocksTheRequestAndMovesOn) {
  screen_->fail = true;
  std::vector<bool> answers;
  ask("a.example.com", &answers);
  EXPECT_EQ(answers, std::vector<bool>{false});
  EXPECT_EQ(queued(), 0u);
  EXPECT_TRUE(env_.logs().contains("Exception:"));
  screen_->fail = false;
  ask("b.example.com", nullptr);
  EXPECT_EQ(screen_->presented, std::vector<std::string>{"b.example.com"});
}

TEST_F(ThePromptQueue, AnAppAskingInATightLoopCostsBoundedMemoryAndLog) {
  // Other hosts wait too, so that a line listing the queue would grow.
  for (int i = 0; i < 40; ++i) ask("host" + std::to_string(i) + ".example.com", nullptr);
  env_.logs().clear();
  std::vector<bool> answers;
  constexpr int kRequests = 5000;
  for (int i = 0; i < kRequests; ++i) ask("busy.example.com", &answers);
  EXPECT_EQ(queued(), 41u);

  size_t bytes = 0;
  for (const std::string& line : env_.logs().lines()) bytes += line.size();
  EXPECT_LT(bytes / kRequests, 2000u) << "log per request must not grow with the queue";

  // The app's callbacks on the waiting record stop at the cap; the rest
  // are answered with block at once.
  size_t nodes = 0;
  auto busy = SNTAlert::alertsSnapshot().back();
  for (auto* node = busy->callbackList().get(); node != nullptr; node = node->next()) ++nodes;
  EXPECT_EQ(nodes, SNTAlert::kMaxMergedCallbacksPerApp);
  EXPECT_EQ(answers.size(), kRequests - SNTAlert::kMaxMergedCallbacksPerApp);
  // Another app still joins.
  std::vector<bool> other;
  ask("busy.example.com", &other, kOtherAppId);
  EXPECT_TRUE(other.empty());
  nodes = 0;
  for (auto* node = busy->callbackList().get(); node != nullptr; node = node->next()) ++nodes;
  EXPECT_EQ(nodes, SNTAlert::kMaxMergedCallbacksPerApp + 1);
}

TEST_F(ThePromptQueue, DescribesALongQueueInBoundedText) {
  for (int i = 0; i < 30; ++i) ask("host" + std::to_string(i) + ".example.com", nullptr);
  const std::string text = SNTAlert::queueDescription();
  EXPECT_NE(text.find("... 22 more"), std::string::npos);
  EXPECT_LT(text.size(), 1000u);
}

// A child process that runs until the test ends it.
class Child {
 public:
  explicit Child(const std::string& bundlePath) {
    std::vector<std::string> env{"SENTREL_BUNDLE_PATH=" + bundlePath};
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[0], 0);
    posix_spawn_file_actions_addclose(&actions, fds[1]);
    char cat[] = "cat";
    char* argv[] = {cat, nullptr};
    EXPECT_EQ(posix_spawnp(&pid_, "cat", &actions, nullptr, argv, envp.data()), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[0]);
    stdin_ = fds[1];
    // posix_spawn returns once the child has begun its exec, which sets up
    // the new environment a moment later: wait until /proc shows it.
    const std::string environ = "/proc/" + std::to_string(pid_) + "/environ";
    EXPECT_TRUE(runloop::MainQueue::get().runUntil(
        [&] {
          std::ifstream in(environ);
          return std::string(std::istreambuf_iterator<char>(in), {}).find("SENTREL_BUNDLE_PATH") !=
                 std::string::npos;
        },
        std::chrono::seconds(10)));
  }
  ~Child() {
    close(stdin_);  // cat ends at end of input
    int status = 0;
    waitpid(pid_, &status, 0);
  }
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = 0;
  int stdin_ = -1;
};

TEST_F(ThePromptQueue, StopsOnlyAProcessOfTheRecordsAppForItsSettingsPage) {
  const auto bundle = env_.root() / "Applications" / "Example.app";
  std::filesystem::create_directories(bundle);
  ASSERT_TRUE(plist::writeFileAtomically(
                  bundle / "Info.plist",
                  Value::dictOf({{"CFBundleIdentifier", Value::string(testing::kAppId)}}))
                  .ok());
  Child app(bundle.string());
  Child stranger((env_.root() / "Applications" / "Nothing.app").string());
  env_.processes().add(app.pid(), 1, "cat");
  env_.processes().add(stranger.pid(), 1, "cat");

  EXPECT_TRUE(SNTIsProcessOfApp(app.pid(), testing::kAppId));
  EXPECT_FALSE(SNTIsProcessOfApp(app.pid(), kOtherAppId));
  EXPECT_FALSE(SNTIsProcessOfApp(stranger.pid(), testing::kAppId));
  EXPECT_FALSE(SNTIsProcessOfApp(getpid(), testing::kAppId)) << "SpringBoard itself";
  EXPECT_FALSE(SNTIsProcessOfApp(1, testing::kAppId)) << "launchd";
  EXPECT_FALSE(SNTIsProcessOfApp(-1, testing::kAppId));
  EXPECT_FALSE(SNTIsProcessOfApp(int64_t{1} << 40, testing::kAppId));
  {
    Child offDevice(bundle.string());  // the right bundle, not a process of this device
    EXPECT_FALSE(SNTIsProcessOfApp(offDevice.pid(), testing::kAppId));
  }

  // A request carrying SpringBoard's pid: the prompt is withdrawn, the page
  // asked for, nothing stopped.
  testing::PostRecorder launches(env_.center(), "SNT_LAUNCH_TWEAK_SETTINGS");
  std::vector<bool> answers;
  auto forged = ask("a.example.com", &answers);
  forged->firewall()->setIsApp(true);
  forged->setPid(getpid());
  forged->openSettings();
  env_.runUntilIdle();
  advance(1500ms);
  EXPECT_TRUE(forged->cancelled());
  EXPECT_EQ(queued(), 0u);
  EXPECT_EQ(launches.count(), 1u);
  EXPECT_TRUE(env_.logs().contains("is not a process of com.example.app; not stopping it"));
  EXPECT_TRUE(answers.empty());
}

}  // namespace
}  // namespace sentrel
