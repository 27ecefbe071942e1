// The display link against a fake backboardd on the other end of a socket
// pair: what it commits, and how touches and typing come back.
#include "platform/uikit/display_link.h"

#include <png.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <deque>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/display/display_protocol.h"
#include "platform/runloop/run_loop.h"
#include "platform/uikit/button.h"
#include "platform/uikit/image.h"
#include "platform/uikit/label.h"
#include "platform/uikit/text_field.h"
#include "platform/uikit/window.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace sentrel::uikit {
namespace {

using std::chrono::seconds;

const display::Node* findNode(const display::WindowTree& tree, uint64_t id) {
  for (const auto& node : tree.nodes)
    if (node.id == static_cast<int64_t>(id)) return &node;
  return nullptr;
}

void writePng(const std::filesystem::path& path) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  image.width = 4;
  image.height = 4;
  image.format = PNG_FORMAT_RGBA;
  std::vector<png_byte> pixels(PNG_IMAGE_SIZE(image), 0x7f);
  ASSERT_TRUE(png_image_write_to_file(&image, path.c_str(), 0, pixels.data(), 0, nullptr));
}

class ADisplayLink : public ::testing::Test {
 protected:
  void SetUp() override {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    server_ = fds[1];
    link_ = std::make_unique<DisplayLink>(loop_, root_.path());
    ASSERT_TRUE(link_->adopt(fds[0], "Tester", 42));
    auto hello = next();
    ASSERT_TRUE(hello);
    EXPECT_EQ(std::get<display::Hello>(*hello), (display::Hello{"Tester", 42}));
  }
  void TearDown() override {
    for (auto& window : windows_) window->setHidden(true);
    link_.reset();
    if (server_ >= 0) ::close(server_);
  }

  std::shared_ptr<UIWindow> window() {
    auto w = std::make_shared<UIWindow>(CGRectMake(0, 0, 390, 844));
    windows_.push_back(w);
    return w;
  }

  // What the link sent, read without blocking while the loop runs.
  void pump() {
    char buffer[4096];
    ssize_t n;
    while ((n = ::recv(server_, buffer, sizeof(buffer), MSG_DONTWAIT)) > 0)
      reader_.append(std::string_view(buffer, static_cast<size_t>(n)));
    while (auto payload = reader_.next()) {
      auto message = display::decodeClientMessage(
          {reinterpret_cast<const uint8_t*>(payload->data()), payload->size()});
      ASSERT_TRUE(message) << message.reason();
      received_.push_back(*message);
    }
    ASSERT_TRUE(reader_.error().ok());
  }
  std::optional<display::ClientMessage> next() {
    loop_.runUntil(
        [&] {
          pump();
          return !received_.empty();
        },
        seconds(5));
    if (received_.empty()) return std::nullopt;
    auto message = received_.front();
    received_.pop_front();
    return message;
  }
  display::Commit nextCommit() {
    auto message = next();
    if (!message || !std::holds_alternative<display::Commit>(*message)) {
      ADD_FAILURE() << "no commit";
      return {};
    }
    return std::get<display::Commit>(*message);
  }
  void sendToLink(const display::ServerMessage& message) {
    auto payload = display::encodeServerMessage(message);
    ASSERT_TRUE(payload);
    auto framed = display::frameMessage(*payload);
    ASSERT_TRUE(framed);
    ASSERT_EQ(::send(server_, framed->data(), framed->size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(framed->size()));
  }

  testing::TempDir root_;
  runloop::RunLoop loop_;
  runloop::MainQueue::ScopedOverride mainQueue_{loop_};
  std::unique_ptr<DisplayLink> link_;
  int server_ = -1;
  display::FrameReader reader_;
  std::deque<display::ClientMessage> received_;
  std::vector<std::shared_ptr<UIWindow>> windows_;
};

TEST_F(ADisplayLink, CommitsWindowTreesAfterChangesAndRemovesHiddenWindows) {
  auto w = window();
  auto panel = std::make_shared<UIView>(CGRectMake(10, 40, 300, 200));
  panel->setBackgroundColor(UIColor::redColor());
  panel->layer().setCornerRadius(12);
  panel->layer().setBorderWidth(2);
  panel->layer().setBorderColor(UIColor::blueColor());
  panel->setClipsToBounds(true);
  panel->setAlpha(0.5);
  auto label = std::make_shared<UILabel>();
  label->setFrame(CGRectMake(20, 10, 200, 30));
  AttributedText text("Allow example.com?", Font::systemFont(15));
  text.setBold(6, 11);
  label->setAttributedText(text);
  label->setTextAlignment(NSTextAlignment::kCenter);
  label->setNumberOfLines(2);
  auto button = UIButton::buttonWithType(UIButtonType::kSystem);
  button->setTitle("Allow", UIControlStateNormal);
  button->setFrame(CGRectMake(20, 60, 120, 44));
  panel->addSubview(label);
  panel->addSubview(button);
  w->addSubview(panel);
  w->setBackgroundColor(UIColor::colorWithRed(0, 0.5, 0, 1));
  w->makeKeyAndVisible();

  display::Commit commit = nextCommit();
  ASSERT_EQ(commit.windows.size(), 1u);
  const display::WindowTree& tree = commit.windows[0];
  EXPECT_EQ(tree.window_id, static_cast<int64_t>(w->renderId()));
  EXPECT_EQ(tree.frame, (display::Rect{0, 0, 390, 844}));
  EXPECT_FALSE(tree.hidden);
  EXPECT_EQ(tree.background, (display::Color{0, 0.5, 0, 1})) << "the window's own colour";

  const display::Node* p = findNode(tree, panel->renderId());
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->parent, 0);
  EXPECT_EQ(p->frame, (display::Rect{10, 40, 300, 200}));
  EXPECT_EQ(p->background, (display::Color{1, 0, 0, 1}));
  EXPECT_EQ(p->corner_radius, 12);
  EXPECT_EQ(p->border, (display::Border{2, {0, 0, 1, 1}}));
  EXPECT_TRUE(p->clips);
  EXPECT_DOUBLE_EQ(p->alpha, 0.5);

  const display::Node* l = findNode(tree, label->renderId());
  ASSERT_NE(l, nullptr);
  EXPECT_EQ(l->parent, static_cast<int64_t>(panel->renderId()));
  EXPECT_EQ(l->frame, (display::Rect{20, 10, 200, 30}));
  EXPECT_EQ(l->alignment, display::TextAlignment::kCenter);
  EXPECT_EQ(l->lines, 2);
  // The bold host name is a run of its own.
  ASSERT_EQ(l->text.size(), 3u);
  EXPECT_EQ(l->text[0].text, "Allow ");
  EXPECT_EQ(l->text[1].text, "example.com");
  EXPECT_EQ(l->text[2].text, "?");
  EXPECT_EQ(l->text[0].font_family, "Inter");
  EXPECT_EQ(l->text[0].font_weight, 400);
  EXPECT_EQ(l->text[1].font_weight, 700);
  EXPECT_EQ(l->text[1].font_size, 15);

  const display::Node* b = findNode(tree, button->renderId());
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->frame, (display::Rect{20, 60, 120, 44}));
  const display::Node* title = findNode(tree, button->titleLabel().renderId());
  ASSERT_NE(title, nullptr);
  EXPECT_EQ(title->parent, b->id);
  ASSERT_EQ(title->text.size(), 1u);
  EXPECT_EQ(title->text[0].text, "Allow");
  EXPECT_EQ(title->text[0].font_size, UIButton::kDefaultFontSize);

  // A change commits the window again, after the turn that made it.
  label->setText("Bye");
  commit = nextCommit();
  ASSERT_EQ(commit.windows.size(), 1u);
  l = findNode(commit.windows[0], label->renderId());
  ASSERT_NE(l, nullptr);
  ASSERT_EQ(l->text.size(), 1u);
  EXPECT_EQ(l->text[0].text, "Bye");

  // A turn without changes sends nothing.
  link_->flush();
  pump();
  EXPECT_TRUE(received_.empty());

  w->setHidden(true);
  auto removed = next();
  ASSERT_TRUE(removed);
  EXPECT_EQ(std::get<display::RemoveWindow>(*removed).window_id,
            static_cast<int64_t>(w->renderId()));

  // Shown again, it is committed whole.
  w->makeKeyAndVisible();
  commit = nextCommit();
  ASSERT_EQ(commit.windows.size(), 1u);
  EXPECT_NE(findNode(commit.windows[0], button->renderId()), nullptr);
}

TEST_F(ADisplayLink, FramesAreInTheParentLayersSpaceAndImagesAreDevicePaths) {
  auto w = window();
  auto scroller = std::make_shared<UIView>(CGRectMake(0, 100, 390, 300));
  scroller->setBounds(CGRectMake(0, 50, 390, 300));  // scrolled down by 50
  auto row = std::make_shared<UIView>(CGRectMake(0, 60, 390, 44));
  scroller->addSubview(row);
  w->addSubview(scroller);
  w->makeKeyAndVisible();
  link_->flush();
  display::WindowTree tree = link_->windowTree(*w);
  const display::Node* r = findNode(tree, row->renderId());
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->frame, (display::Rect{0, 10, 390, 44}));

  const auto bundle = root_.path() / "Applications/Demo.app";
  std::filesystem::create_directories(bundle);
  writePng(bundle / "Icon.png");
  testing::TempDir elsewhere;
  writePng(elsewhere.path() / "Icon.png");
  auto inside =
      std::make_shared<UIImageView>(UIImage::imageWithContentsOfFile(bundle / "Icon.png"));
  auto outside = std::make_shared<UIImageView>(
      UIImage::imageWithContentsOfFile(elsewhere.path() / "Icon.png"));
  ASSERT_TRUE(inside->image() && outside->image());
  w->addSubview(inside);
  w->addSubview(outside);
  tree = link_->windowTree(*w);
  EXPECT_EQ(findNode(tree, inside->renderId())->image_path, "/Applications/Demo.app/Icon.png");
  // Files outside the device are never named to backboardd.
  EXPECT_EQ(findNode(tree, outside->renderId())->image_path, "");
}

TEST_F(ADisplayLink, RoutesTouchesToTheWindowAndTypingToTheFocusedField) {
  auto w = window();
  auto button = UIButton::buttonWithType(UIButtonType::kSystem);
  button->setTitle("Deny", UIControlStateNormal);
  button->setFrame(CGRectMake(100, 200, 100, 50));
  int taps = 0;
  button->addTarget(
      this, [&](UIControl&, UIControlEvents) { ++taps; }, UIControlEventTouchUpInside);
  auto field = std::make_shared<UITextField>();
  field->setFrame(CGRectMake(20, 400, 300, 40));
  w->addSubview(button);
  w->addSubview(field);
  w->makeKeyAndVisible();
  ASSERT_TRUE(nextCommit().windows.size() == 1);

  const auto id = static_cast<int64_t>(w->renderId());
  sendToLink(display::Touch{id, display::TouchPhase::kBegan, {150, 225}});
  sendToLink(display::Touch{id, display::TouchPhase::kEnded, {150, 225}});
  EXPECT_TRUE(loop_.runUntil([&] { return taps == 1; }, seconds(5)));

  // A touch for a window that is gone is dropped.
  sendToLink(display::Touch{id + 1000, display::TouchPhase::kBegan, {150, 225}});
  sendToLink(display::Touch{id + 1000, display::TouchPhase::kEnded, {150, 225}});

  // Typing with nothing focused goes nowhere; then a tap focuses the field.
  sendToLink(display::KeyText{"lost"});
  sendToLink(display::Touch{id, display::TouchPhase::kBegan, {40, 420}});
  sendToLink(display::Touch{id, display::TouchPhase::kEnded, {40, 420}});
  EXPECT_TRUE(loop_.runUntil([&] { return field->isFirstResponder(); }, seconds(5)));
  EXPECT_EQ(taps, 1);

  sendToLink(display::KeyText{"examplx"});
  sendToLink(display::KeyText{"\be.com"});
  EXPECT_TRUE(loop_.runUntil([&] { return field->text() == "example.com"; }, seconds(5)))
      << field->text();

  // The typed text is committed.
  bool seen = false;
  loop_.runUntil(
      [&] {
        pump();
        for (const auto& m : received_)
          if (auto* c = std::get_if<display::Commit>(&m))
            for (const auto& t : c->windows)
              if (auto* n = findNode(t, field->renderId()))
                seen = seen || (!n->text.empty() && n->text[0].text == "example.com");
        return seen;
      },
      seconds(5));
  EXPECT_TRUE(seen);
}

TEST_F(ADisplayLink, DrawsATextFieldsBorderStyleTintedWhileItIsTypedInto) {
  auto w = window();
  auto field = std::make_shared<UITextField>();
  field->setFrame(CGRectMake(20, 100, 300, 36));
  field->setBorderStyle(UITextBorderStyle::kRoundedRect);
  auto plain = std::make_shared<UITextField>();
  plain->setFrame(CGRectMake(20, 200, 300, 36));
  auto own = std::make_shared<UITextField>();  // a border of its own wins
  own->setFrame(CGRectMake(20, 300, 300, 36));
  own->setBorderStyle(UITextBorderStyle::kLine);
  own->layer().setBorderWidth(3);
  own->layer().setBorderColor(UIColor::redColor());
  w->addSubview(field);
  w->addSubview(plain);
  w->addSubview(own);
  w->makeKeyAndVisible();
  const UIUserInterfaceStyle style = w->userInterfaceStyle();
  auto colour = [&](const UIColor& c) {
    const UIColor r = c.resolvedColor(style);
    return display::Color{r.red(), r.green(), r.blue(), r.alpha()};
  };

  display::Commit commit = nextCommit();
  ASSERT_EQ(commit.windows.size(), 1u);
  const display::Node* f = findNode(commit.windows[0], field->renderId());
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->border, (display::Border{1, colour(UIColor::separatorColor())}));
  EXPECT_EQ(f->corner_radius, 5);
  EXPECT_EQ(f->text_insets, (display::Insets{7, 7, 7, 7})) << "the text inside the border";
  EXPECT_EQ(f->background, colour(UIColor::systemBackgroundColor())) << "rounded fields are filled";
  const display::Node* p = findNode(commit.windows[0], plain->renderId());
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->border.width, 0);
  EXPECT_EQ(p->background.alpha, 0);
  const display::Node* o = findNode(commit.windows[0], own->renderId());
  ASSERT_NE(o, nullptr);
  EXPECT_EQ(o->border, (display::Border{3, {1, 0, 0, 1}}));

  ASSERT_TRUE(field->becomeFirstResponder());
  commit = nextCommit();
  ASSERT_EQ(commit.windows.size(), 1u);
  f = findNode(commit.windows[0], field->renderId());
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->border, (display::Border{1, colour(UIColor::systemBlueColor())}));
  ASSERT_TRUE(field->resignFirstResponder());
  commit = nextCommit();
  ASSERT_EQ(commit.windows.size(), 1u);
  f = findNode(commit.windows[0], field->renderId());
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->border, (display::Border{1, colour(UIColor::separatorColor())}));
}

TEST_F(ADisplayLink, DropsAPeerThatSendsGarbageAndKeepsWorking) {
  testing::LogCapture log;
  auto w = window();
  w->makeKeyAndVisible();
  nextCommit();
  const char garbage[] = "\0\0\0\x05hello";
  ASSERT_EQ(::send(server_, garbage, sizeof(garbage) - 1, MSG_NOSIGNAL),
            static_cast<ssize_t>(sizeof(garbage) - 1));
  EXPECT_TRUE(loop_.runUntil([&] { return !link_->isConnected(); }, seconds(5)));
  EXPECT_TRUE(log.contains("running without a screen"));
  // The views go on changing with nothing listening.
  auto label = std::make_shared<UILabel>();
  label->setText("still here");
  w->addSubview(label);
  link_->flush();
  loop_.runUntilIdle();
}

TEST_F(ADisplayLink, NoticesThePeerClosing) {
  ::close(server_);
  server_ = -1;
  EXPECT_TRUE(loop_.runUntil([&] { return !link_->isConnected(); }, seconds(5)));
}

TEST(DisplayLinkWithoutServer, LogsOnceAndRunsWithoutAScreen) {
  testing::TempDir root;
  testing::LogCapture log;
  runloop::RunLoop loop;
  DisplayLink link(loop, root.path());
  EXPECT_FALSE(link.connect(DisplayLink::socketPath(root.path()), "SpringBoard", 1));
  EXPECT_FALSE(link.isConnected());
  EXPECT_EQ(log.count("running without a screen"), 1u);
  auto w = std::make_shared<UIWindow>(CGRectMake(0, 0, 100, 100));
  w->makeKeyAndVisible();
  link.flush();
  loop.runUntilIdle();
  w->setHidden(true);
  EXPECT_EQ(log.count("running without a screen"), 1u);
}

// Reads what a link sent on `fd` into `out`, without blocking.
void readMessages(int fd, display::FrameReader& reader, std::vector<display::ClientMessage>& out) {
  char buffer[4096];
  ssize_t n;
  while ((n = ::recv(fd, buffer, sizeof(buffer), MSG_DONTWAIT)) > 0)
    reader.append(std::string_view(buffer, static_cast<size_t>(n)));
  while (auto payload = reader.next()) {
    auto message = display::decodeClientMessage(
        {reinterpret_cast<const uint8_t*>(payload->data()), payload->size()});
    ASSERT_TRUE(message) << message.reason();
    out.push_back(*message);
  }
}

TEST(DisplayLinkReconnecting, ConnectsOnceBackboarddListensAndAgainAfterLosingIt) {
  testing::TempDir root;
  testing::LogCapture log;
  runloop::RunLoop loop;
  runloop::MainQueue::ScopedOverride mainQueue(loop);
  const auto path = DisplayLink::socketPath(root.path());
  std::filesystem::create_directories(path.parent_path());
  DisplayLink link(loop, root.path());
  link.keepConnecting();
  EXPECT_FALSE(link.connect(path, "Later", 7));
  auto w = std::make_shared<UIWindow>(CGRectMake(0, 0, 200, 200));
  w->makeKeyAndVisible();

  // backboardd comes up after the process.
  int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  ASSERT_GE(listener, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  ASSERT_LT(path.string().size(), sizeof(address.sun_path));
  std::strcpy(address.sun_path, path.c_str());
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  ASSERT_EQ(::listen(listener, 4), 0);

  for (int round = 0; round < 2; ++round) {
    int server = -1;
    ASSERT_TRUE(loop.runUntil(
        [&] {
          server = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
          return server >= 0;
        },
        seconds(10)))
        << "round " << round;
    display::FrameReader reader;
    std::vector<display::ClientMessage> got;
    // Hello, then every window afresh.
    EXPECT_TRUE(loop.runUntil(
        [&] {
          readMessages(server, reader, got);
          return got.size() >= 2;
        },
        seconds(10)));
    ASSERT_GE(got.size(), 2u);
    EXPECT_EQ(std::get<display::Hello>(got[0]).process_name, "Later");
    ASSERT_TRUE(std::holds_alternative<display::Commit>(got[1]));
    EXPECT_EQ(std::get<display::Commit>(got[1]).windows.at(0).window_id,
              static_cast<int64_t>(w->renderId()));
    EXPECT_TRUE(link.isConnected());
    // backboardd goes away (launchd restarts it).
    ::close(server);
    EXPECT_TRUE(loop.runUntil([&] { return !link.isConnected(); }, seconds(10)));
  }
  // Said once per connection made after a spell without a screen; failed
  // attempts in between say nothing.
  EXPECT_EQ(log.count("connected to backboardd"), 2u);
  EXPECT_EQ(log.count("not reachable"), 1u);
  ::close(listener);
  w->setHidden(true);
}

TEST(DisplayLinkBackpressure, DropsCommitsThatDoNotFitAndCatchesUpWithTheLatestState) {
  testing::TempDir root;
  testing::LogCapture log;
  runloop::RunLoop loop;
  runloop::MainQueue::ScopedOverride mainQueue(loop);
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
  const int small = 4096;
  ::setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof(small));
  ::setsockopt(fds[1], SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
  DisplayLink link(loop, root.path(), 64 * 1024);
  ASSERT_TRUE(link.adopt(fds[0], "Busy", 3));

  auto w = std::make_shared<UIWindow>(CGRectMake(0, 0, 300, 300));
  auto label = std::make_shared<UILabel>();
  label->setFrame(CGRectMake(0, 0, 300, 40));
  const std::string filler(20000, 'a');
  label->setText(filler + "0");
  w->addSubview(label);
  w->makeKeyAndVisible();
  link.flush();
  // backboardd reads nothing for a while.
  for (int i = 1; i <= 5; ++i) {
    label->setText(filler + std::to_string(i));
    link.flush();
  }
  EXPECT_TRUE(log.contains("backboardd is behind"));
  EXPECT_TRUE(link.isConnected());

  // Once it reads again, the last commit holds the last text.
  display::FrameReader reader;
  std::vector<display::ClientMessage> got;
  std::string last;
  EXPECT_TRUE(loop.runUntil(
      [&] {
        readMessages(fds[1], reader, got);
        for (const auto& m : got)
          if (auto* c = std::get_if<display::Commit>(&m))
            if (auto* n = findNode(c->windows.at(0), label->renderId()); n && !n->text.empty())
              last = n->text[0].text;
        got.clear();
        return last == filler + "5";
      },
      seconds(10)))
      << last.substr(filler.size());
  ::close(fds[1]);
  w->setHidden(true);
}

TEST(DisplayLinkScreenProfile, ReadsTheDevicesProfileAndFallsBackOnBadText) {
  testing::TempDir root;
  EXPECT_EQ(DisplayLink::screenProfile(root.path()).description(), "390x844@3");
  const auto dir = root.path() / "var/run/sentrel";
  std::filesystem::create_directories(dir);
  std::ofstream(dir / "screen.profile") << "375x667@2\n";
  EXPECT_EQ(DisplayLink::screenProfile(root.path()).description(), "375x667@2");
  testing::LogCapture log;
  std::ofstream(dir / "screen.profile") << "huge";
  EXPECT_EQ(DisplayLink::screenProfile(root.path()).description(), "390x844@3");
  EXPECT_TRUE(log.contains("bad screen profile"));
  EXPECT_EQ(DisplayLink::socketPath(root.path()), dir / "display.socket");
}

// The same link on a fake clock: what an animation block puts into the
// commits, for as long as the animation runs, and nothing after.
class AnAnimatingDisplayLink : public ::testing::Test {
 protected:
  void SetUp() override {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    server_ = fds[1];
    link_ = std::make_unique<DisplayLink>(loop_, root_.path());
    ASSERT_TRUE(link_->adopt(fds[0], "Tester", 42));
    window_ = std::make_shared<UIWindow>(CGRectMake(0, 0, 390, 844));
    card_ = std::make_shared<UIView>(CGRectMake(20, 100, 200, 120));
    card_->setBackgroundColor(UIColor::whiteColor());
    window_->addSubview(card_);
    window_->makeKeyAndVisible();
    ASSERT_TRUE(lastCommit());  // the Hello and the first tree
  }
  void TearDown() override {
    window_->setHidden(true);
    link_.reset();
    if (server_ >= 0) ::close(server_);
  }

  void advance(std::chrono::milliseconds by) {
    clock_.advance(by);
    loop_.runUntilIdle();
  }

  // The last commit the link has sent by now, if any since the last call.
  std::optional<display::Commit> lastCommit() {
    loop_.runUntilIdle();
    char buffer[4096];
    ssize_t n;
    while ((n = ::recv(server_, buffer, sizeof(buffer), MSG_DONTWAIT)) > 0)
      reader_.append(std::string_view(buffer, static_cast<size_t>(n)));
    std::optional<display::Commit> last;
    while (auto payload = reader_.next()) {
      auto message = display::decodeClientMessage(
          {reinterpret_cast<const uint8_t*>(payload->data()), payload->size()});
      EXPECT_TRUE(message) << message.reason();
      if (message && std::holds_alternative<display::Commit>(*message))
        last = std::get<display::Commit>(*message);
    }
    return last;
  }

  const display::Node* cardIn(const display::Commit& commit) {
    if (commit.windows.size() != 1) return nullptr;
    return findNode(commit.windows[0], card_->renderId());
  }

  runloop::FakeClock clock_;
  runloop::RunLoop loop_{clock_};
  runloop::MainQueue::ScopedOverride mainQueue_{loop_};
  testing::TempDir root_;
  std::unique_ptr<DisplayLink> link_;
  int server_ = -1;
  display::FrameReader reader_;
  std::shared_ptr<UIWindow> window_;
  std::shared_ptr<UIView> card_;
};

TEST_F(AnAnimatingDisplayLink, CommitsTheEndValuesWithTheCurveUntilTheAnimationEnds) {
  CATransform3D turned = CATransform3DIdentity;
  turned.m34 = -1.0 / 500;
  turned = CATransform3DRotate(turned, 0.5, 0, 1, 0);
  bool finished = false;
  UIView::animateWithDurationUsingSpring(
      0.5, 0.1, 0.6, 2, 0,
      [&] {
        card_->setFrame(CGRectMake(20, 300, 200, 120));
        card_->setAlpha(0.25);
        card_->layer().setTransform(turned);
      },
      [&](bool) { finished = true; });
  auto commit = lastCommit();
  ASSERT_TRUE(commit);
  const display::Node* card = cardIn(*commit);
  ASSERT_NE(card, nullptr);
  // The model values at once: the page animates towards them.
  EXPECT_EQ(card->frame, (display::Rect{20, 300, 200, 120}));
  EXPECT_DOUBLE_EQ(card->alpha, 0.25);
  const double* entries = &turned.m11;
  for (size_t i = 0; i < 16; ++i) EXPECT_DOUBLE_EQ(card->transform.m[i], entries[i]) << i;
  EXPECT_NE(card->transform.m[11], 0) << "the perspective is in m34";
  ASSERT_EQ(card->animations.size(), 3u);
  std::vector<int64_t> ids;
  for (const display::Animation& a : card->animations) {
    ids.push_back(a.id);
    EXPECT_EQ(a.curve, display::AnimationCurve::kSpring);
    EXPECT_DOUBLE_EQ(a.damping, 0.6);
    EXPECT_DOUBLE_EQ(a.velocity, 2);
    EXPECT_DOUBLE_EQ(a.duration, 0.5);
    EXPECT_DOUBLE_EQ(a.delay, 0.1);
    EXPECT_DOUBLE_EQ(a.start, commit->time);  // the fake clock has not moved
    switch (a.property) {
      case display::AnimatedProperty::kFrame:
        EXPECT_EQ(a.from, (std::vector<double>{20, 100, 200, 120}));
        break;
      case display::AnimatedProperty::kAlpha:
        EXPECT_EQ(a.from, (std::vector<double>{1}));
        break;
      case display::AnimatedProperty::kTransform:
        EXPECT_EQ(a.from, (std::vector<double>{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1}));
        break;
      case display::AnimatedProperty::kBackground:
        ADD_FAILURE() << "the background did not change";
    }
  }
  EXPECT_FALSE(finished);

  // Half way, another change commits the window again: the same
  // animations, same ids and start, so the page does not restart them.
  advance(std::chrono::milliseconds(300));
  card_->layer().setCornerRadius(8);
  commit = lastCommit();
  ASSERT_TRUE(commit);
  card = cardIn(*commit);
  ASSERT_NE(card, nullptr);
  ASSERT_EQ(card->animations.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(card->animations[i].id, ids[i]);
    EXPECT_LT(card->animations[i].start, commit->time);
  }
  EXPECT_FALSE(finished);

  // Once delay and duration have passed the completion runs and later
  // commits carry no animation.
  advance(std::chrono::milliseconds(301));
  EXPECT_TRUE(finished);
  card_->layer().setCornerRadius(9);
  commit = lastCommit();
  ASSERT_TRUE(commit);
  card = cardIn(*commit);
  ASSERT_NE(card, nullptr);
  EXPECT_TRUE(card->animations.empty());
}

TEST_F(AnAnimatingDisplayLink, StartsAMovedViewWhereItWasAndANewAnimationTakesOver) {
  UIView::animateWithDuration(0.25, 0, UIViewAnimationOptionCurveEaseOut, [&] {
    card_->setCenter(CGPoint{200, 400});
    card_->setBackgroundColor(UIColor::redColor());
  });
  auto commit = lastCommit();
  ASSERT_TRUE(commit);
  const display::Node* card = cardIn(*commit);
  ASSERT_NE(card, nullptr);
  ASSERT_EQ(card->animations.size(), 2u);
  const display::Animation& move = card->animations[0];
  EXPECT_EQ(move.property, display::AnimatedProperty::kFrame);
  EXPECT_EQ(move.curve, display::AnimationCurve::kEaseOut);
  EXPECT_EQ(move.from, (std::vector<double>{20, 100, 200, 120}));
  EXPECT_EQ(card->frame, (display::Rect{100, 340, 200, 120}));
  EXPECT_EQ(card->animations[1].property, display::AnimatedProperty::kBackground);
  EXPECT_EQ(card->animations[1].from, (std::vector<double>{1, 1, 1, 1}));
  const int64_t first = move.id;

  // A second move while the first runs replaces it: one frame animation,
  // a new id; the colour goes on.
  advance(std::chrono::milliseconds(100));
  UIView::animateWithDuration(0.25, [&] { card_->setCenter(CGPoint{200, 500}); });
  commit = lastCommit();
  ASSERT_TRUE(commit);
  card = cardIn(*commit);
  ASSERT_NE(card, nullptr);
  ASSERT_EQ(card->animations.size(), 2u);
  EXPECT_EQ(card->animations[0].property, display::AnimatedProperty::kBackground);
  EXPECT_EQ(card->animations[1].property, display::AnimatedProperty::kFrame);
  EXPECT_NE(card->animations[1].id, first);
  EXPECT_EQ(card->animations[1].from, (std::vector<double>{100, 340, 200, 120}));

  // Moving it back where it was inside a block animates nothing.
  advance(std::chrono::milliseconds(1000));
  UIView::animateWithDuration(0.25, [&] {
    card_->setAlpha(0.5);
    card_->setAlpha(1);
  });
  card_->layer().setCornerRadius(3);
  commit = lastCommit();
  ASSERT_TRUE(commit);
  card = cardIn(*commit);
  ASSERT_NE(card, nullptr);
  EXPECT_TRUE(card->animations.empty());
}

TEST_F(AnAnimatingDisplayLink, CarriesZPositionsAndCentresOnlyALabelsText) {
  auto label = std::make_shared<UILabel>();
  label->setFrame(CGRectMake(0, 0, 200, 60));
  label->setText("A");
  auto textView = std::make_shared<UITextView>();
  textView->setFrame(CGRectMake(0, 60, 200, 60));
  textView->setText("B");
  label->layer().setZPosition(3);
  card_->addSubview(label);
  card_->addSubview(textView);
  auto commit = lastCommit();
  ASSERT_TRUE(commit);
  const display::Node* l = findNode(commit->windows[0], label->renderId());
  const display::Node* t = findNode(commit->windows[0], textView->renderId());
  ASSERT_NE(l, nullptr);
  ASSERT_NE(t, nullptr);
  EXPECT_DOUBLE_EQ(l->z_position, 3);
  EXPECT_DOUBLE_EQ(t->z_position, 0);
  EXPECT_EQ(l->vertical_alignment, display::TextVerticalAlignment::kCenter);
  EXPECT_EQ(t->vertical_alignment, display::TextVerticalAlignment::kTop);
  EXPECT_TRUE(l->transform.isIdentity());
}

}  // namespace
}  // namespace sentrel::uikit
