// The screen as a browser page: backboardd's HTTP and WebSocket side.
//
// ScreenServer listens on 127.0.0.1 at a port the system picks, and answers
// only these URLs, all under a random token:
//   GET /<token>/     the page (HTML, script and style in one document)
//   GET /<token>/ws   the WebSocket the page opens back to the server
//   GET /<token>/img/<window>/<node>   the image that node of the shown
//                                      windows names (ScreenOptions::image_root)
//   GET /<token>/fonts/<name>          one of the font files backboardd was
//                                      given (ScreenOptions::fonts), by the
//                                      name the page's @font-face uses
// Anything else is a 404. A request whose Host is not 127.0.0.1:<port> (DNS
// rebinding) and a WebSocket upgrade whose Origin is not the page's own get a
// 403. Nothing else is served.
//
// The page draws the windows last given to showWindows() as absolutely
// positioned DOM elements, the window of the highest level in front, and
// sends pointer events (down, move, up, cancel; screen coordinates in points)
// and typed text back. A pointer that goes down over a window becomes a
// Touch for that window (in its coordinates); it keeps going to that window
// until it goes up, as a finger does. Text becomes a KeyText.
//
// Threads: the network side runs on one Asio thread owned by the server
// (started by start(), joined by the destructor). Everything else belongs to
// the RunLoop given to start(): call showWindows() and the destructor on that
// loop's thread; the handlers run there too, never on the Asio thread, and
// never after the server is gone. Image files are read on the Asio thread,
// from the paths the last shown windows name (a table under a lock). Bad
// input from a page is logged and dropped.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/base/status.h"
#include "platform/display/display_protocol.h"
#include "platform/runloop/run_loop.h"

namespace sentrel::display {

// ---- the page's side of the WebSocket (plain values, no network) ----------

struct ScreenSize {
  double width = 390;
  double height = 844;
};

// What the page sends. Pointer coordinates are in screen points.
struct PagePointer {
  TouchPhase phase = TouchPhase::kBegan;
  Point point{};
};
struct PageText {
  std::string text{};
};
using PageInput = std::variant<PagePointer, PageText>;

inline constexpr size_t kMaxPageMessageBytes = 64 * 1024;

// Decodes one WebSocket message of the page (JSON: {"type":"pointer",
// "phase":"down"|"move"|"up"|"cancel","x":..,"y":..} or {"type":"text",
// "text":".."}). Fails on anything else, on non-finite or far-off
// coordinates and on oversized input.
Result<PageInput> decodePageInput(std::string_view json);

// The JSON message that makes the page draw `windows` (in the order given:
// later ones in front). A node's image appears as the page-relative URL
// "img/<window>/<node>", never as its path. Each animation carries how long
// it has been running at `now` (seconds on the clock of the starts, after
// the display server moved them to its own), so a page that first sees it
// late joins it where it is; one that has ended is left out.
std::string encodeScreenJson(const std::vector<WindowTree>& windows, ScreenSize size,
                             double now = 0);

// The windows in the order they are drawn: by level, the later of two equal
// levels in front. Hidden windows are dropped.
std::vector<WindowTree> orderForScreen(std::vector<WindowTree> windows);

// Turns pointer events in screen points into touches for the window under
// them. Not thread-safe; one per screen.
class TouchRouter {
 public:
  // `windows` as orderForScreen() gives them.
  void setWindows(std::vector<WindowTree> windows);
  // The touch to deliver, if any: a "down" outside every window, and moves
  // and ups with no pointer down, give none. A window removed while touched
  // gets a cancelled touch at the next event.
  std::optional<Touch> route(const PagePointer& pointer);

 private:
  std::vector<WindowTree> windows_;
  std::optional<int64_t> touched_window_;  // between down and up
  Point touched_origin_{};                 // that window's origin
};

// ---- fonts ---------------------------------------------------------------

enum class FontStyle : uint8_t { kNormal, kItalic };

// A font file the page may load, and the face it stands for: text runs that
// name `family` at `weight` are drawn with this very file, so the page draws
// what the UI process measured.
struct WebFontFile {
  std::string family{};  // as text runs name it, e.g. "Inter"
  int weight = 400;      // 1 to 1000, as CSS
  FontStyle style = FontStyle::kNormal;
  std::filesystem::path path{};  // the file on this machine
};

// A font file as the page loads it: GET /<token>/fonts/<name>.
struct ServedFont {
  WebFontFile face{};
  std::string name{};          // the file's name, made unique: "Inter-SemiBold.otf"
  std::string content_type{};  // "font/otf"
  std::string format{};        // for @font-face: "opentype"
};

// The entries of `files` the page can use, each named for its URL. An entry
// whose family is empty or has characters other than letters, digits,
// spaces, '-', '_' and '.', whose weight is outside 1..1000, or whose file
// is not an OpenType, TrueType or WOFF font by its extension is logged and
// left out. The first entry's family becomes the page's system font (runs
// with no family).
std::vector<ServedFont> serveFonts(const std::vector<WebFontFile>& files);

// The page's style for `fonts`: an @font-face per font, with its URL
// relative to the page, and the system font.
std::string fontFaceCss(const std::vector<ServedFont>& fonts);

// The page itself: one HTML document, with `font_css` (fontFaceCss()) in
// its style and a preload for each of `fonts`. With `line_height_ems` above
// 0, lines of text are that many times their font size apart, as the toolkit
// measured them (the browser's own "normal" line height rounds each line).
std::string screenPageHtml(const std::vector<ServedFont>& fonts = {}, double line_height_ems = 0);

inline constexpr size_t kMaxFontBytes = 32 * 1024 * 1024;

// ---- the server ----------------------------------------------------------

class WebTransport;

// Called on the server's loop thread.
struct ScreenHandlers {
  std::function<void(const Touch&)> on_touch;
  std::function<void(const KeyText&)> on_key_text;
};

struct ScreenOptions {
  ScreenSize screen{};
  std::string token{};  // letters and digits; empty: 32 random hex digits
  // The device root. A node's image_path is a path under it; empty: no
  // images are served.
  std::filesystem::path image_root{};
  // The font files the page draws text with (see serveFonts()). Only these
  // files are served, by name, never a path from a request.
  std::vector<WebFontFile> fonts{};
  // The line height the toolkit measures the system font with, in ems; 0:
  // the browser's own (see screenPageHtml()).
  double line_height_ems = 0;
};

// A file a page may load: an image or a font.
struct ServedFile {
  std::string content_type;
  std::string bytes;
};
inline constexpr size_t kMaxImageBytes = 16 * 1024 * 1024;

// Reads the image `device_path` names under `root`: only PNG, JPEG, GIF and
// WebP files (by extension) of at most kMaxImageBytes whose real path, links
// followed, stays inside `root`.
Result<ServedFile> readImageUnderRoot(const std::filesystem::path& root,
                                      std::string_view device_path);

class ScreenServer {
 public:
  using Handlers = ScreenHandlers;
  using Options = ScreenOptions;

  // Listens and starts the Asio thread. Fails when no socket can be bound.
  static Result<std::unique_ptr<ScreenServer>> start(runloop::RunLoop& loop, Handlers handlers,
                                                     Options options = {});
  ~ScreenServer();
  ScreenServer(const ScreenServer&) = delete;
  ScreenServer& operator=(const ScreenServer&) = delete;

  uint16_t port() const;
  const std::string& token() const { return token_; }
  // http://127.0.0.1:<port>/<token>/
  std::string pageUrl() const;

  // Shows `windows` (any order; see orderForScreen()) on every open page and
  // on pages opened later. Loop thread only (debug builds stop the process
  // when another thread calls while the loop runs).
  void showWindows(std::vector<WindowTree> windows);

  struct State;

 private:
  ScreenServer() = default;

  runloop::RunLoop* loop_ = nullptr;
  std::string token_;
  ScreenSize screen_{};
  std::shared_ptr<State> state_;  // shared with tasks posted to the loop
  struct Images;
  std::shared_ptr<Images> images_;  // read on the Asio thread
  std::unique_ptr<WebTransport> transport_;
};

}  // namespace sentrel::display
