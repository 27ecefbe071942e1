// Settings saves and notifications between real processes on a real device
// bus. The test process plays SpringBoard or an app; tweak_messaging_peer
// processes play the other apps.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "peer_protocol.h"
#include "platform/bundle/main_bundle.h"
#include "platform/env/environment.h"
#include "platform/notify/notification_center.h"
#include "platform/paths/device_paths.h"
#include "platform/plist/plist_codec.h"
#include "platform/runloop/run_loop.h"
#include "platform/spawn/spawn.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"
#include "support/test_bus.h"
#include "tweak/SNTMessagingCenter.h"
#include "tweak/preftools.h"

namespace sentrel::testing {
namespace {

using plist::Value;
constexpr auto kPatience = std::chrono::seconds(30);

// One tweak_messaging_peer process; its output lines are read on `loop`.
class Peer {
 public:
  Peer(runloop::RunLoop& loop, const std::filesystem::path& root, const std::string& bundle_id)
      : loop_(loop) {
    int to_child[2], from_child[2];
    if (pipe2(to_child, O_CLOEXEC) != 0 || pipe2(from_child, O_CLOEXEC) != 0) return;
    spawn::Options options;
    options.stdin_ = spawn::Stdio::fromFd(to_child[0]);
    options.stdout_ = spawn::Stdio::fromFd(from_child[1]);
    Result<pid_t> pid = spawn::spawnProcess(
        SENTREL_MESSAGING_PEER, {"tweak_messaging_peer", root.string(), bundle_id}, options);
    close(to_child[0]);
    close(from_child[1]);
    in_ = to_child[1];
    out_ = from_child[0];
    if (!pid.ok()) return;
    pid_ = pid.value();
    watch_ = loop_.watchFd(out_, POLLIN, [this](short) { readSome(); });
  }
  ~Peer() {
    if (watch_) loop_.unwatchFd(watch_);
    if (in_ >= 0) close(in_);  // end of input ends the peer
    if (pid_ > 0) {
      Result<std::optional<spawn::ExitStatus>> ended = spawn::tryWait(pid_);
      if (ended.ok() && !ended.value()) {
        kill(pid_, SIGKILL);
        (void)spawn::waitForExit(pid_);
      }
    }
    if (out_ >= 0) close(out_);
  }

  bool started() const { return pid_ > 0; }
  void send(const std::string& command) {
    std::string line = command + "\n";
    ASSERT_EQ(write(in_, line.data(), line.size()), static_cast<ssize_t>(line.size()));
  }
  // The next line the peer writes, waiting on the loop for it.
  std::optional<std::string> nextLine() {
    if (!loop_.runUntil([this] { return !lines_.empty() || eof_; }, kPatience)) return std::nullopt;
    if (lines_.empty()) return std::nullopt;
    std::string line = lines_.front();
    lines_.pop_front();
    return line;
  }

 private:
  void readSome() {
    char buffer[65536];
    ssize_t n = read(out_, buffer, sizeof buffer);
    if (n <= 0) {
      eof_ = true;
      loop_.unwatchFd(watch_);
      watch_ = 0;
      return;
    }
    partial_.append(buffer, static_cast<size_t>(n));
    size_t newline;
    while ((newline = partial_.find('\n')) != std::string::npos) {
      lines_.push_back(partial_.substr(0, newline));
      partial_.erase(0, newline + 1);
    }
  }

  runloop::RunLoop& loop_;
  pid_t pid_ = -1;
  int in_ = -1;
  int out_ = -1;
  runloop::WatchId watch_ = 0;
  std::string partial_;
  std::deque<std::string> lines_;
  bool eof_ = false;
};

class BusMessaging : public ::testing::Test {
 protected:
  BusMessaging() : bus_(root_.path()) {
    env::Environment environment;
    environment.device_root = root_.path();
    environment.main_queue = &loop_;
    if (bus_.ok()) {
      Result<std::unique_ptr<notify::NotificationCenter>> center =
          notify::makeBusCenter(bus_.address(), loop_);
      if (center.ok()) {
        center_ = std::move(center).value();
        environment.notification_center = center_.get();
      } else {
        center_error_ = center.reason();
      }
    }
    installed_.emplace(std::move(environment));
  }
  ~BusMessaging() override {
    peers_.clear();
    identity_.reset();
  }

  void SetUp() override {
    SENTREL_ASSERT_BUS_STARTED(bus_);
    ASSERT_TRUE(center_) << "no bus center: " << center_error_;
  }

  void play(std::optional<std::string> bundle_identifier) {
    identity_.reset();
    bundle::MainBundle identity;
    identity.bundle_identifier = std::move(bundle_identifier);
    identity.bundle_path = "/Applications/Test.app";
    identity.executable_path = "/Applications/Test.app/Test";
    identity.process_name = "Test";
    env::Environment as;
    as.main_bundle = std::move(identity);
    identity_.emplace(std::move(as));
  }

  Peer& startPeer(const std::string& bundle_id) {
    peers_.push_back(std::make_unique<Peer>(loop_, root_.path(), bundle_id));
    Peer& peer = *peers_.back();
    EXPECT_TRUE(peer.started());
    EXPECT_EQ(peer.nextLine(), "ready");
    return peer;
  }

  // Records every delivery of `name` on this process's center.
  std::shared_ptr<std::vector<Value>> record(const std::string& name) {
    auto seen = std::make_shared<std::vector<Value>>();
    center_->addObserver(name, [seen](const std::string&, const Value& v) { seen->push_back(v); });
    return seen;
  }
  bool waitFor(const std::function<bool()>& done) { return loop_.runUntil(done, kPatience); }

  Value fileDocument() const {
    Result<Value> read = plist::readDictionaryFile(paths::resolve(kSettingsPath));
    return read.ok() ? read.value() : Value();
  }

  TempDir root_;
  TestBus bus_;
  runloop::RunLoop loop_;
  std::unique_ptr<notify::NotificationCenter> center_;
  std::string center_error_;
  std::optional<env::ScopedEnvironment> installed_;  // the device above
  std::optional<env::ScopedEnvironment> identity_;   // the process's identity, inside it
  std::vector<std::unique_ptr<Peer>> peers_;
};

Value sampleDocument(const char* host) {
  return Value::dictOf(
      {{"global_hosts", Value::dictOf({{host, Value::dictOf({{"allowed", Value::integer(1)}})}})},
       {"apps", Value::dictOf({{"com.example.one",
                                Value::dictOf({{"filter_streams", Value::boolean(false)}})}})}});
}

TEST_F(BusMessaging, AnAppsSaveIsARequestToSpringBoardAndWritesNothing) {
  play("com.example.app");
  auto save = record("SNT_SB_SAVE_SETTINGS");
  auto save_and_notify = record("SNT_SB_SAVE_SETTINGS_AND_NOTIFY");
  auto new_settings = record("SNT_NEW_SETTINGS");
  PrefHandler::saveSettings(sampleDocument("a.com"), false);
  PrefHandler::saveSettings(sampleDocument("b.com"), true);
  ASSERT_TRUE(waitFor([&] { return save->size() == 1 && save_and_notify->size() == 1; }));
  EXPECT_EQ((*save)[0], sampleDocument("a.com"));
  EXPECT_EQ((*save_and_notify)[0], sampleDocument("b.com"));
  EXPECT_TRUE(new_settings->empty());
  EXPECT_FALSE(std::filesystem::exists(paths::resolve(kSettingsPath)));
}

TEST_F(BusMessaging, SpringBoardsSaveWritesTheFileAndTellsEveryProcess) {
  Peer& app = startPeer("com.example.one");
  play(kSpringBoardBundleIdentifier);
  PrefHandler::saveSettings(sampleDocument("a.com"), true);
  EXPECT_EQ(fileDocument(), sampleDocument("a.com"));
  std::optional<std::string> line = app.nextLine();
  ASSERT_TRUE(line);
  EXPECT_EQ(*line, "global " + encodeForLine(sampleDocument("a.com")));
}

TEST_F(BusMessaging, AChangeOfOneAppsRulesReachesThatAppAndNoOther) {
  Peer& one = startPeer("com.example.one");
  Peer& two = startPeer("com.example.two");
  play("com.apple.Preferences");
  const Value entry = Value::dictOf(
      {{"domains", Value::dictOf({{"x.com", Value::dictOf({{"allowed", Value::integer(2)}})}})}});
  center_->post(newAppSettingsNotificationName("com.example.one"), entry);
  // Notifications of one sender arrive in order: the document posted next
  // shows that "two" has seen everything before it.
  center_->post("SNT_NEW_SETTINGS", sampleDocument("a.com"));

  EXPECT_EQ(one.nextLine(), "app " + encodeForLine(entry));
  EXPECT_EQ(one.nextLine(), "global " + encodeForLine(sampleDocument("a.com")));
  EXPECT_EQ(two.nextLine(), "global " + encodeForLine(sampleDocument("a.com")));
}

TEST_F(BusMessaging, AnAppsSaveWithNotificationReachesEveryProcessTheSenderIncluded) {
  Peer& sender = startPeer("com.example.one");
  Peer& other = startPeer("com.example.two");
  // This process plays SpringBoard's relay: write the document, then tell
  // everyone, as SpringBoard's service does.
  play(kSpringBoardBundleIdentifier);
  center_->addObserver(
      "SNT_SB_SAVE_SETTINGS_AND_NOTIFY",
      [](const std::string&, const Value& document) { PrefHandler::saveSettings(document, true); });
  const Value document = sampleDocument("sent.example.com");
  sender.send("save " + encodeForLine(document));

  EXPECT_EQ(sender.nextLine(), "global " + encodeForLine(document));
  EXPECT_EQ(other.nextLine(), "global " + encodeForLine(document));
  EXPECT_EQ(fileDocument(), document);
}

}  // namespace
}  // namespace sentrel::testing
