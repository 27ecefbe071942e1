// The HTTP and WebSocket transport behind ScreenServer: the one place that
// includes Boost.Beast (it compiles slowly; keep it out of other files).
//
// Threads: one Asio thread of its own, started by start() and joined by the
// destructor. broadcast() may be called from any thread. on_message runs on
// the Asio thread and must not block.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "platform/base/status.h"

namespace sentrel::display {

class WebTransport {
 public:
  struct Config {
    std::string token;  // the page is at /<token>/, the WebSocket at /<token>/ws
    std::string page_html;
    size_t max_message_bytes = 64 * 1024;  // larger WebSocket messages close the socket
    std::function<void(std::string message)> on_message;  // a text message from a page
    // GET /<token>/img/<name>: the file to answer with, or an error (a 404).
    // Runs on the Asio thread.
    std::function<Result<std::pair<std::string, std::string>>(std::string_view name)> read_image;
    // GET /<token>/fonts/<name>: the same, for fonts.
    std::function<Result<std::pair<std::string, std::string>>(std::string_view name)> read_font;
  };

  static Result<std::unique_ptr<WebTransport>> start(Config config);
  virtual ~WebTransport() = default;

  virtual uint16_t port() const = 0;
  // Sends `text` to every open WebSocket, and to each one that opens later
  // (only the last text is kept). A page too slow to read gets only the
  // newest text once it catches up.
  virtual void broadcast(std::string text) = 0;
};

}  // namespace sentrel::display
