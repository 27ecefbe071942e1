// A scripted finger on the device's screen: it reads the screens the page
// is sent, finds a drawn text once nothing moves any more, and taps it with
// the same pointer messages a browser sends. What `sentrel screen --tap` and
// the prompt benchmark use to answer prompts the way a person does.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/base/status.h"
#include "platform/display/display_protocol.h"

namespace sentrel::display {

// Where `text` is drawn on a screen message (the page's JSON), as the
// centre of the frontmost visible node whose text runs read exactly `text`,
// in screen points. `settles_in` is how long the longest animation of that
// message still runs (seconds): the position holds only after it.
struct TextPlacement {
  std::optional<Point> centre;
  double settles_in = 0;
};
// Malformed messages and unknown shapes give no centre, never throw.
TextPlacement locateText(std::string_view screen_json, std::string_view text);

class ScreenClient {
 public:
  // `page_url` as `sentrel screen` prints it: http://127.0.0.1:PORT/TOKEN/
  static Result<std::unique_ptr<ScreenClient>> connect(const std::string& page_url);
  ~ScreenClient();
  ScreenClient(const ScreenClient&) = delete;
  ScreenClient& operator=(const ScreenClient&) = delete;

  // Where `text` is drawn at rest, waiting at most `timeout` for it.
  Result<Point> waitForText(std::string_view text, std::chrono::milliseconds timeout);
  // Taps `text` once it is drawn at rest, again until it is gone, or until
  // `until` is drawn when given (a tap on a prompt still being presented is
  // refused, as on the platform; a segment's title stays where it was).
  Result<Point> tapText(std::string_view text, std::chrono::milliseconds timeout,
                        std::optional<std::string_view> until = std::nullopt);
  // Taps `text` once, when it is drawn at rest, and watches the screen for
  // a second: `changed` tells whether what is drawn then differs from what
  // was drawn when the finger came down (a switch that flipped, a prompt
  // that went). A tap that only highlighted a control changed nothing.
  // What `sentrel screen --tap` reports.
  struct Tap {
    Point at;
    bool changed = false;
  };
  Result<Tap> tapTextOnce(std::string_view text, std::chrono::milliseconds timeout);
  // Whether `text` is drawn on the latest screen.
  bool showing(std::string_view text);

 private:
  struct Connection;
  explicit ScreenClient(std::unique_ptr<Connection> connection);
  // Reads screens for at most `wait`; the latest is kept.
  void pump(std::chrono::milliseconds wait);
  Status sendPointer(const char* phase, Point at);

  std::unique_ptr<Connection> connection_;
  std::string latest_;
  std::chrono::steady_clock::time_point latest_at_{};
};

}  // namespace sentrel::display
