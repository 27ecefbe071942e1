// What backboardd sends a UI process: a byte stream of framed Touch and
// KeyText messages. Whatever arrives, the display link must route what is
// sound to the process's windows, drop the peer on anything else, and never
// crash. Input: the raw stream, as the socket delivers it.
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "platform/runloop/run_loop.h"
#include "platform/uikit/button.h"
#include "platform/uikit/display_link.h"
#include "platform/uikit/text_field.h"
#include "platform/uikit/window.h"

using namespace sentrel;
using namespace sentrel::uikit;

namespace {

struct Screen {
  runloop::RunLoop loop;
  std::shared_ptr<UIWindow> window = std::make_shared<UIWindow>(CGRectMake(0, 0, 390, 844));
  std::shared_ptr<UITextField> field = std::make_shared<UITextField>();
  std::shared_ptr<UIButton> button = UIButton::buttonWithType(UIButtonType::kSystem);

  Screen() {
    button->setTitle("Allow", UIControlStateNormal);
    button->setFrame(CGRectMake(0, 0, 200, 200));
    field->setFrame(CGRectMake(0, 300, 390, 40));
    window->addSubview(button);
    window->addSubview(field);
    window->makeKeyAndVisible();
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 64 * 1024) return 0;
  static Screen* screen = new Screen();
  screen->field->becomeFirstResponder();
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) std::abort();
  int buffer = 256 * 1024;
  ::setsockopt(fds[1], SOL_SOCKET, SO_SNDBUF, &buffer, sizeof(buffer));
  ::setsockopt(fds[0], SOL_SOCKET, SO_RCVBUF, &buffer, sizeof(buffer));
  {
    DisplayLink link(screen->loop, "/nonexistent-device");
    if (!link.adopt(fds[0], "fuzz", 1)) std::abort();
    size_t sent = 0;
    while (sent < size) {
      ssize_t n = ::send(fds[1], data + sent, size - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n <= 0) break;
      sent += static_cast<size_t>(n);
    }
    ::close(fds[1]);
    // The peer's end closes after the input: the link reads it all, then
    // sees the end and lets go.
    if (!screen->loop.runUntil([&] { return !link.isConnected(); }, std::chrono::seconds(10)))
      std::abort();
  }
  screen->field->setText("");
  return 0;
}
