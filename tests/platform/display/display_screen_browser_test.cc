// backboardd's two halves together, as its program wires them: windows of two
// UI processes (socketpairs) drawn on the page in a real headless chromium,
// and a real click and real typing delivered to the process under the
// pointer, in its own window ids.
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/display/display_server.h"
#include "platform/display/screen_server.h"
#include "support/browser/headless_browser.h"

namespace sentrel::display {
namespace {

using nlohmann::json;
using testing::BrowserPage;
using testing::HeadlessBrowser;

// A UI process's end of the link.
struct Process {
  int fd = -1;
  FrameReader reader;
  std::vector<ServerMessage> messages;

  ~Process() {
    if (fd >= 0) close(fd);
  }
  void send(const ClientMessage& message) {
    std::string frame = *frameMessage(*encodeClientMessage(message));
    ASSERT_EQ(write(fd, frame.data(), frame.size()), static_cast<ssize_t>(frame.size()));
  }
  const std::vector<ServerMessage>& received() {
    char buffer[4096];
    for (ssize_t n; (n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT)) > 0;) {
      reader.append(std::string_view(buffer, static_cast<size_t>(n)));
    }
    while (std::optional<std::string> payload = reader.next()) {
      auto message = decodeServerMessage(
          std::span(reinterpret_cast<const uint8_t*>(payload->data()), payload->size()));
      if (message) messages.push_back(*message);
    }
    return messages;
  }
};

WindowTree filledWindow(double level, Rect frame, Color color) {
  WindowTree tree;
  tree.window_id = 1;  // both processes use id 1
  tree.level = level;
  tree.frame = frame;
  Node fill;
  fill.id = 1;
  fill.frame = Rect{0, 0, frame.width, frame.height};
  fill.background = color;
  tree.nodes = {fill};
  return tree;
}

TEST(Backboardd, DeliversARealClickAndTypingToTheProcessWhoseWindowIsUnderThePointer) {
  runloop::RunLoop loop;
  std::unique_ptr<DisplayServer> display;
  ScreenHandlers handlers;
  handlers.on_touch = [&](const Touch& touch) { display->deliverTouch(touch); };
  handlers.on_key_text = [&](const KeyText& text) { display->deliverKeyText(text); };
  Result<std::unique_ptr<ScreenServer>> screen = ScreenServer::start(loop, handlers);
  ASSERT_TRUE(screen.ok()) << screen.reason();
  display = std::make_unique<DisplayServer>(
      loop, [&](std::vector<WindowTree> windows) { (*screen)->showWindows(std::move(windows)); });

  Process home, alert;
  for (Process* process : {&home, &alert}) {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    display->adoptConnection(fds[0]);
    process->fd = fds[1];
  }
  home.send(Hello{"SpringBoard", 100});
  alert.send(Hello{"Alert", 200});
  // The alert commits first but its level puts it in front.
  alert.send(Commit{{filledWindow(25, Rect{20, 300, 350, 200}, Color{1, 1, 1, 1})}});
  ASSERT_TRUE(loop.runUntil([&] { return display->windows().size() == 1; }));
  home.send(Commit{{filledWindow(0, Rect{0, 0, 390, 844}, Color{0.1, 0.2, 0.4, 1})}});
  ASSERT_TRUE(loop.runUntil([&] { return display->windows().size() == 2; }));

  Result<std::unique_ptr<HeadlessBrowser>> browser = HeadlessBrowser::launch();
  ASSERT_TRUE(browser.ok()) << browser.reason();
  Result<std::unique_ptr<BrowserPage>> opened = (*browser)->openPage((*screen)->pageUrl());
  ASSERT_TRUE(opened.ok()) << opened.reason();
  BrowserPage& page = **opened;
  ASSERT_TRUE(page.evaluate("sentrelScreen.waitForFrames(1)").ok());

  // Inside the alert: the alert process gets the touch, in its window.
  ASSERT_TRUE(page.click(130, 340).ok());
  ASSERT_TRUE(loop.runUntil([&] { return alert.received().size() >= 2; }));
  EXPECT_EQ(alert.received()[0], ServerMessage(Touch{1, TouchPhase::kBegan, Point{110, 40}}));
  EXPECT_EQ(alert.received()[1], ServerMessage(Touch{1, TouchPhase::kEnded, Point{110, 40}}));
  ASSERT_TRUE(page.insertText("ok").ok());
  ASSERT_TRUE(loop.runUntil([&] { return alert.received().size() >= 3; }));
  EXPECT_EQ(alert.received()[2], ServerMessage(KeyText{"ok"}));

  // Outside it: the home screen's window, and typing follows the touch.
  ASSERT_TRUE(page.click(50, 100).ok());
  ASSERT_TRUE(loop.runUntil([&] { return home.received().size() >= 2; }));
  EXPECT_EQ(home.received()[0], ServerMessage(Touch{1, TouchPhase::kBegan, Point{50, 100}}));
  ASSERT_TRUE(page.insertText("hi").ok());
  ASSERT_TRUE(loop.runUntil([&] { return home.received().size() >= 3; }));
  EXPECT_EQ(home.received()[2], ServerMessage(KeyText{"hi"}));
  loop.runUntilIdle();
  EXPECT_EQ(alert.received().size(), 3u);

  // The alert process dies: its window leaves the page, and the place it
  // covered now belongs to the home screen.
  close(alert.fd);
  alert.fd = -1;
  ASSERT_TRUE(loop.runUntil([&] { return display->windows().size() == 1; }));
  ASSERT_TRUE(page.evaluate("sentrelScreen.waitForFrames(2)").ok());
  ASSERT_TRUE(page.click(130, 340).ok());
  ASSERT_TRUE(loop.runUntil([&] { return home.received().size() >= 5; }));
  EXPECT_EQ(home.received()[3], ServerMessage(Touch{1, TouchPhase::kBegan, Point{130, 340}}));

  opened->reset();
  browser->reset();
  display.reset();
}

}  // namespace
}  // namespace sentrel::display
