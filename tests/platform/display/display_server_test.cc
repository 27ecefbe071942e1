// backboardd's side of the display socket, driven over socketpairs (and one
// real socket under a temp root) on a run loop.
#include "platform/display/display_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/display/screen_server.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace sentrel::display {
namespace {

// A UI process's end of the link.
class Client {
 public:
  explicit Client(int fd) : fd_(fd) {}
  ~Client() { closeNow(); }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  void closeNow() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

  void sendRaw(const std::string& bytes) {
    ASSERT_EQ(write(fd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  void send(const ClientMessage& message) {
    Result<std::string> payload = encodeClientMessage(message);
    ASSERT_TRUE(payload) << payload.reason();
    sendRaw(*frameMessage(*payload));
  }
  void hello(const std::string& name, int64_t pid = 0) {
    send(Hello{name, pid == 0 ? getpid() : pid});
  }

  // Reads whatever arrived and returns the messages decoded so far.
  std::vector<ServerMessage> received() {
    char buffer[4096];
    for (;;) {
      ssize_t n = recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
      if (n <= 0) break;
      reader_.append(std::string_view(buffer, static_cast<size_t>(n)));
    }
    while (std::optional<std::string> payload = reader_.next()) {
      Result<ServerMessage> message = decodeServerMessage(
          std::span(reinterpret_cast<const uint8_t*>(payload->data()), payload->size()));
      if (message) messages_.push_back(*message);
    }
    return messages_;
  }

  // Whether the server closed its end.
  bool closedByServer() {
    char c;
    ssize_t n = recv(fd_, &c, 1, MSG_DONTWAIT | MSG_PEEK);
    return n == 0;
  }

  int fd() const { return fd_; }

 private:
  int fd_;
  FrameReader reader_;
  std::vector<ServerMessage> messages_;
};

WindowTree window(int64_t id, double level = 0, Rect frame = {0, 0, 100, 100}) {
  WindowTree tree;
  tree.window_id = id;
  tree.level = level;
  tree.frame = frame;
  tree.nodes.push_back(Node{.id = 1, .frame = {0, 0, 10, 10}});
  return tree;
}

class ADisplayServer : public ::testing::Test {
 protected:
  const std::string me = std::to_string(getpid());  // the peer of every socketpair
  explicit ADisplayServer(DisplayServerOptions options = {})
      : server_(
            loop_, [this](std::vector<WindowTree> w) { shown_ = std::move(w); }, options) {}

  std::unique_ptr<Client> connect() {
    int fds[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    server_.adoptConnection(fds[0]);
    return std::make_unique<Client>(fds[1]);
  }

  bool until(const std::function<bool()>& done) {
    return loop_.runUntil(done, std::chrono::seconds(5));
  }
  std::vector<int64_t> shownIds() const {
    std::vector<int64_t> ids;
    for (const WindowTree& w : shown_) ids.push_back(w.window_id);
    return ids;
  }

  testing::LogCapture log_;
  runloop::RunLoop loop_;
  std::vector<WindowTree> shown_;
  DisplayServer server_;
};

TEST_F(ADisplayServer, DisconnectsAProcessWhoseFirstMessageIsNotAHelloOrThatSaysHelloTwice) {
  auto rude = connect();
  auto twice = connect();
  auto polite = connect();
  rude->send(Commit{{window(1)}});
  twice->hello("Twice", 4242);
  twice->send(Hello{"Twice", 4242});
  polite->hello("Polite");
  polite->send(Commit{{window(1)}});

  ASSERT_TRUE(until([&] { return rude->closedByServer() && twice->closedByServer(); }));
  ASSERT_TRUE(until([&] { return shown_.size() == 1; }));
  EXPECT_TRUE(log_.contains("backboardd: disconnecting unknown (pid " + std::to_string(getpid()) +
                            "): the first message is not a hello"));
  EXPECT_TRUE(log_.contains("backboardd: disconnecting Twice (pid " + me + "): a second hello"));
  // The pid in a Hello is the process's claim; logs keep the kernel's.
  EXPECT_TRUE(log_.contains("backboardd: Twice (pid " + me + ") says it is pid 4242"));
  EXPECT_FALSE(polite->closedByServer());
  EXPECT_EQ(server_.connectionCount(), 1u);
}

TEST_F(ADisplayServer, CommitReplacesTheNamedWindowsAndRemoveTakesOneAway) {
  auto app = connect();
  app->hello("App");
  app->send(Commit{{window(1), window(2)}});
  ASSERT_TRUE(until([&] { return shown_.size() == 2; }));
  const std::vector<int64_t> ids = shownIds();
  EXPECT_NE(ids[0], ids[1]);

  // Window 1 again, moved: same global id, same place in the order, and
  // window 2 untouched.
  app->send(Commit{{window(1, 0, Rect{5, 6, 70, 80})}});
  ASSERT_TRUE(until([&] { return !shown_.empty() && shown_[0].frame.x == 5; }));
  EXPECT_EQ(shownIds(), ids);
  EXPECT_EQ(shown_[0].frame, (Rect{5, 6, 70, 80}));

  app->send(RemoveWindow{2});
  ASSERT_TRUE(until([&] { return shown_.size() == 1; }));
  EXPECT_EQ(shown_[0].window_id, ids[0]);

  // Removing a window that is gone is no fault.
  app->send(RemoveWindow{2});
  app->send(RemoveWindow{77});
  app->send(Commit{{window(3)}});
  ASSERT_TRUE(until([&] { return shown_.size() == 2; }));
  EXPECT_FALSE(app->closedByServer());
}

TEST_F(ADisplayServer, MovesAnimationStartsOntoItsOwnClockKeepingTheirAge) {
  auto app = connect();
  app->hello("App");
  WindowTree w = window(1);
  Node node;
  node.id = 1;
  node.animations = {
      Animation{3, AnimatedProperty::kAlpha, {0}, AnimationCurve::kLinear, 1, 0, 0.5, 0, 49.75}};
  w.nodes = {node};
  const double before = secondsOf(loop_.clock().now());
  // The process's clock says 50 at the commit: the animation is a quarter
  // of a second old, whatever this clock reads.
  app->send(Commit{{w}, 50});
  ASSERT_TRUE(until([&] { return shown_.size() == 1; }));
  const double after = secondsOf(loop_.clock().now());
  ASSERT_EQ(shown_[0].nodes.size(), 1u);
  ASSERT_EQ(shown_[0].nodes[0].animations.size(), 1u);
  const double start = shown_[0].nodes[0].animations[0].start;
  EXPECT_GE(start, before - 0.25);
  EXPECT_LE(start, after - 0.25);
}

TEST_F(ADisplayServer, DropsTheWindowsOfAProcessThatGoesAway) {
  auto first = connect();
  auto second = connect();
  first->hello("First");
  second->hello("Second");
  first->send(Commit{{window(1), window(2)}});
  second->send(Commit{{window(1)}});
  ASSERT_TRUE(until([&] { return shown_.size() == 3; }));
  const int64_t second_window = shown_.back().window_id;

  first->closeNow();
  ASSERT_TRUE(until([&] { return shown_.size() == 1; }));
  EXPECT_EQ(shown_[0].window_id, second_window);
  EXPECT_EQ(server_.connectionCount(), 1u);
  EXPECT_EQ(server_.windows().size(), 1u);
}

TEST_F(ADisplayServer, DisconnectsOnlyTheProcessThatSendsGarbageOrAnOversizedFrame) {
  auto garbage = connect();
  auto oversized = connect();
  auto good = connect();
  garbage->hello("Garbage", 11);
  oversized->hello("Huge", 12);
  good->hello("Good");
  garbage->send(Commit{{window(1)}});
  oversized->send(Commit{{window(1)}});
  good->send(Commit{{window(1)}});
  ASSERT_TRUE(until([&] { return shown_.size() == 3; }));

  garbage->sendRaw(*frameMessage("this is not a property list"));
  const uint32_t too_big = htonl(static_cast<uint32_t>(kMaxMessageBytes + 1));
  oversized->sendRaw(std::string(reinterpret_cast<const char*>(&too_big), 4));

  ASSERT_TRUE(until([&] { return garbage->closedByServer() && oversized->closedByServer(); }));
  ASSERT_TRUE(until([&] { return shown_.size() == 1; }));
  EXPECT_TRUE(
      log_.contains("backboardd: disconnecting Garbage (pid " + me + "): malformed message"));
  EXPECT_TRUE(log_.contains("backboardd: disconnecting Huge (pid " + me + "): "));
  EXPECT_FALSE(good->closedByServer());

  // A well-formed message of the wrong direction is refused as well.
  auto liar = connect();
  liar->hello("Liar", 13);
  Result<std::string> touch = encodeServerMessage(Touch{1, TouchPhase::kBegan, Point{1, 1}});
  ASSERT_TRUE(touch);
  liar->sendRaw(*frameMessage(*touch));
  ASSERT_TRUE(until([&] { return liar->closedByServer(); }));
  EXPECT_TRUE(log_.contains("backboardd: disconnecting Liar (pid " + me + "): malformed message"));
  EXPECT_FALSE(good->closedByServer());
}

TEST_F(ADisplayServer, MapsWindowIdsPerProcessAndRoutesTouchesAndKeysToTheOwner) {
  auto a = connect();
  auto b = connect();
  a->hello("A");
  b->hello("B");
  a->send(Commit{{window(1, 0, Rect{0, 0, 100, 100})}});
  ASSERT_TRUE(until([&] { return shown_.size() == 1; }));
  b->send(Commit{{window(1, 0, Rect{0, 200, 100, 100})}});
  ASSERT_TRUE(until([&] { return shown_.size() == 2; }));
  const int64_t a_global = shown_[0].window_id;
  const int64_t b_global = shown_[1].window_id;
  ASSERT_NE(a_global, b_global);

  // Nobody has been touched: key text goes nowhere.
  server_.deliverKeyText(KeyText{"lost"});

  // The page's touches carry global ids; each process sees its own id 1.
  server_.deliverTouch(Touch{b_global, TouchPhase::kBegan, Point{3, 4}});
  server_.deliverTouch(Touch{b_global, TouchPhase::kEnded, Point{3, 4}});
  server_.deliverKeyText(KeyText{"to b"});
  ASSERT_TRUE(until([&] { return b->received().size() == 3; }));
  EXPECT_EQ(b->received()[0], ServerMessage(Touch{1, TouchPhase::kBegan, Point{3, 4}}));
  EXPECT_EQ(b->received()[1], ServerMessage(Touch{1, TouchPhase::kEnded, Point{3, 4}}));
  EXPECT_EQ(b->received()[2], ServerMessage(KeyText{"to b"}));

  server_.deliverTouch(Touch{a_global, TouchPhase::kBegan, Point{1, 2}});
  server_.deliverKeyText(KeyText{"to a"});
  server_.deliverTouch(Touch{9999, TouchPhase::kBegan, Point{1, 2}});  // no such window
  ASSERT_TRUE(until([&] { return a->received().size() == 2; }));
  EXPECT_EQ(a->received()[0], ServerMessage(Touch{1, TouchPhase::kBegan, Point{1, 2}}));
  EXPECT_EQ(a->received()[1], ServerMessage(KeyText{"to a"}));
  loop_.runUntilIdle();
  EXPECT_EQ(b->received().size(), 3u);

  // The focused process goes away: key text is dropped, not misrouted.
  a->closeNow();
  ASSERT_TRUE(until([&] { return shown_.size() == 1; }));
  server_.deliverKeyText(KeyText{"after a"});
  server_.deliverTouch(Touch{a_global, TouchPhase::kBegan, Point{1, 2}});
  loop_.runUntilIdle();
  EXPECT_EQ(b->received().size(), 3u);

  // A window id that comes back after a remove gets a fresh global id.
  b->send(RemoveWindow{1});
  ASSERT_TRUE(until([&] { return shown_.empty(); }));
  b->send(Commit{{window(1)}});
  ASSERT_TRUE(until([&] { return shown_.size() == 1; }));
  EXPECT_NE(shown_[0].window_id, b_global);
  EXPECT_NE(shown_[0].window_id, a_global);
}

TEST_F(ADisplayServer, PutsNewAndReshownWindowsInFrontOfTheirLevel) {
  auto a = connect();
  auto b = connect();
  a->hello("A");
  b->hello("B");
  a->send(Commit{{window(1, 0), window(2, 10)}});
  ASSERT_TRUE(until([&] { return shown_.size() == 2; }));
  const int64_t a_low = shown_[0].window_id;
  const int64_t a_high = shown_[1].window_id;
  b->send(Commit{{window(1, 0)}});
  ASSERT_TRUE(until([&] { return shown_.size() == 3; }));
  const int64_t b_low = shown_[2].window_id;

  auto drawn = [&] {
    std::vector<int64_t> ids;
    for (const WindowTree& w : orderForScreen(shown_)) ids.push_back(w.window_id);
    return ids;
  };
  EXPECT_EQ(drawn(), (std::vector<int64_t>{a_low, b_low, a_high}));

  // Redrawing A's low window leaves it behind B's.
  a->send(Commit{{window(1, 0, Rect{1, 1, 50, 50})}});
  ASSERT_TRUE(until([&] { return shown_[0].frame.x == 1; }));
  EXPECT_EQ(drawn(), (std::vector<int64_t>{a_low, b_low, a_high}));

  // Hidden, then shown again: it comes to the front of its level.
  WindowTree hidden = window(1, 0);
  hidden.hidden = true;
  a->send(Commit{{hidden}});
  ASSERT_TRUE(until([&] { return drawn().size() == 2; }));
  a->send(Commit{{window(1, 0)}});
  ASSERT_TRUE(until([&] { return drawn().size() == 3; }));
  EXPECT_EQ(drawn(), (std::vector<int64_t>{b_low, a_low, a_high}));
}

TEST_F(ADisplayServer, KeepsTheHomeScreenBehindAppsOfItsLevelWhicheverCommittedFirst) {
  auto drawn = [&] {
    std::vector<int64_t> ids;
    for (const WindowTree& w : orderForScreen(shown_)) ids.push_back(w.window_id);
    return ids;
  };
  // The app's window reaches backboardd before the home screen's, as when
  // both (re)connect at once.
  auto app = connect();
  app->hello("Notes");
  app->send(Commit{{window(1, 0)}});
  ASSERT_TRUE(until([&] { return shown_.size() == 1; }));
  const int64_t notes = shown_[0].window_id;

  auto springBoard = connect();
  springBoard->hello("SpringBoard");
  springBoard->send(Commit{{window(1, 0), window(2, 2000)}});
  ASSERT_TRUE(until([&] { return shown_.size() == 3; }));
  int64_t home = 0, alert = 0;
  for (const WindowTree& w : shown_) {
    if (w.window_id == notes) continue;
    (w.level == 0 ? home : alert) = w.window_id;
  }
  // Behind the app at its level; a higher level of its own stays in front.
  EXPECT_EQ(drawn(), (std::vector<int64_t>{home, notes, alert}));

  // Shown again, the home screen still stays behind the open app.
  WindowTree hidden = window(1, 0);
  hidden.hidden = true;
  springBoard->send(Commit{{hidden}});
  ASSERT_TRUE(until([&] { return drawn().size() == 2; }));
  springBoard->send(Commit{{window(1, 0)}});
  ASSERT_TRUE(until([&] { return drawn().size() == 3; }));
  EXPECT_EQ(drawn(), (std::vector<int64_t>{home, notes, alert}));

  // Among apps, the one that came last is in front; when it goes away the
  // earlier app is in front of the home screen again.
  auto later = connect();
  later->hello("Weather");
  later->send(Commit{{window(7, 0)}});
  ASSERT_TRUE(until([&] { return drawn().size() == 4; }));
  const int64_t weather = drawn()[2];
  EXPECT_EQ(drawn(), (std::vector<int64_t>{home, notes, weather, alert}));
  later->closeNow();
  ASSERT_TRUE(until([&] { return drawn().size() == 3; }));
  EXPECT_EQ(drawn(), (std::vector<int64_t>{home, notes, alert}));
}

TEST_F(ADisplayServer, RefusesAProcessThatOpensTooManyWindows) {
  auto greedy = connect();
  greedy->hello("Greedy", 21);
  for (int64_t batch = 0; batch < 3; ++batch) {
    Commit commit;
    for (int64_t i = 1; i <= 100; ++i) commit.windows.push_back(window(batch * 100 + i));
    greedy->send(commit);
  }
  ASSERT_TRUE(until([&] { return greedy->closedByServer(); }));
  EXPECT_TRUE(
      log_.contains("backboardd: disconnecting Greedy (pid " + me + "): more than 256 windows"));
  ASSERT_TRUE(until([&] { return shown_.empty(); }));
}

class ADisplayServerWithASmallOutbox : public ADisplayServer {
 protected:
  ADisplayServerWithASmallOutbox()
      : ADisplayServer(DisplayServerOptions{.max_outgoing_bytes = 8192}) {}
};

TEST_F(ADisplayServerWithASmallOutbox, DisconnectsAProcessThatStopsReadingWithoutBlocking) {
  auto slow = connect();
  int small = 4096;
  ASSERT_EQ(setsockopt(slow->fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small), 0);
  slow->hello("Slow", 31);
  slow->send(Commit{{window(1)}});
  ASSERT_TRUE(until([&] { return shown_.size() == 1; }));
  const int64_t id = shown_[0].window_id;
  server_.deliverTouch(Touch{id, TouchPhase::kBegan, Point{1, 1}});

  // The process never reads; the server must neither block nor grow.
  const std::string text(1000, 'k');
  for (int i = 0; i < 2000 && server_.connectionCount() == 1; ++i) {
    server_.deliverKeyText(KeyText{text});
  }
  EXPECT_EQ(server_.connectionCount(), 0u);
  EXPECT_TRUE(log_.contains("backboardd: disconnecting Slow (pid " + me + "): it does not read"));
  ASSERT_TRUE(until([&] { return shown_.empty(); }));
}

TEST(ADisplayServerSocket, ListensPrivatelyUnderTheRootAndServesConnections) {
  testing::TempDir root;
  runloop::RunLoop loop;
  std::vector<WindowTree> shown;
  std::filesystem::path path = displaySocketPath(root.path());
  EXPECT_EQ(path, root.path() / "var/run/sentrel/display.socket");
  {
    DisplayServer server(loop, [&](std::vector<WindowTree> w) { shown = std::move(w); });
    ASSERT_TRUE(server.listen(path));
    struct stat info {};
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_TRUE(S_ISSOCK(info.st_mode));
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    ASSERT_EQ(stat(path.parent_path().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);

    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    Client client(fd);
    client.hello("Real");
    client.send(Commit{{window(1)}});
    ASSERT_TRUE(loop.runUntil([&] { return shown.size() == 1; }, std::chrono::seconds(5)));
  }
  EXPECT_FALSE(std::filesystem::exists(path));  // removed with the server
}

}  // namespace
}  // namespace sentrel::display
