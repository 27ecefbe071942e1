#include "platform/display/screen_server.h"

#include <sys/random.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <unordered_map>

#include "platform/base/mutex.h"
#include "platform/display/internal/web_transport.h"
#include "platform/log/system_log.h"

namespace sentrel::display {

namespace {

using nlohmann::json;

constexpr double kMaxPagePoint = 1e6;

json rectJson(const Rect& r) {
  return json::array({r.x, r.y, r.width, r.height});
}
json colorJson(const Color& c) {
  return json::array({c.red, c.green, c.blue, c.alpha});
}

json transformJson(const Transform3D& t) {
  return json(t.m);
}

json animationsJson(const Node& node, double now) {
  json out = json::array();
  for (const Animation& a : node.animations) {
    const double elapsed = std::max(0.0, now - a.start);
    if (elapsed >= a.delay + a.duration) continue;  // over: the model value shows
    json entry = {{"id", a.id},
                  {"property", animatedPropertyName(a.property)},
                  {"from", a.from},
                  {"curve", animationCurveName(a.curve)},
                  {"duration", a.duration},
                  {"delay", a.delay},
                  {"elapsed", elapsed}};
    if (a.curve == AnimationCurve::kSpring) {
      entry["damping"] = a.damping;
      entry["velocity"] = a.velocity;
    }
    out.push_back(std::move(entry));
  }
  return out;
}

json nodeJson(const Node& node, double now) {
  json runs = json::array();
  for (const TextRun& run : node.text) {
    runs.push_back({{"text", run.text},
                    {"font", run.font_family},
                    {"weight", run.font_weight},
                    {"size", run.font_size},
                    {"color", colorJson(run.color)}});
  }
  return {
      {"id", node.id},
      {"parent", node.parent},
      {"frame", rectJson(node.frame)},
      {"background", colorJson(node.background)},
      {"alpha", node.alpha},
      {"hidden", node.hidden},
      {"cornerRadius", node.corner_radius},
      {"borderWidth", node.border.width},
      {"borderColor", colorJson(node.border.color)},
      {"clips", node.clips},
      {"textInsets", json::array({node.text_insets.top, node.text_insets.left,
                                  node.text_insets.bottom, node.text_insets.right})},
      {"text", std::move(runs)},
      {"alignment", textAlignmentName(node.alignment)},
      {"lines", node.lines},
      {"image", std::string()},
      {"verticalAlignment",
       node.vertical_alignment == TextVerticalAlignment::kCenter ? "center" : "top"},
      {"transform", node.transform.isIdentity() ? json(nullptr) : transformJson(node.transform)},
      {"z", node.z_position},
      {"animations", animationsJson(node, now)}};
}

bool contains(const Rect& r, Point p) {
  return p.x >= r.x && p.y >= r.y && p.x < r.x + r.width && p.y < r.y + r.height;
}

std::string randomToken() {
  unsigned char bytes[16];
  size_t got = 0;
  while (got < sizeof bytes) {
    ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
    if (n > 0) got += static_cast<size_t>(n);
    // EINTR: try again; getrandom() without GRND_NONBLOCK has no other
    // failure once the pool is ready.
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string token;
  for (unsigned char b : bytes) {
    token.push_back(kHex[b >> 4]);
    token.push_back(kHex[b & 15]);
  }
  return token;
}

}  // namespace

Result<PageInput> decodePageInput(std::string_view text) {
  using R = Result<PageInput>;
  if (text.size() > kMaxPageMessageBytes) return R::Error("page message too large");
  json message = json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (message.is_discarded()) return R::Error("page message is not JSON");
  if (!message.is_object()) return R::Error("page message is not an object");
  auto type = message.find("type");
  if (type == message.end() || !type->is_string()) return R::Error("page message has no type");
  const auto& type_name = type->get_ref<const std::string&>();
  if (type_name == "pointer") {
    auto phase = message.find("phase");
    auto x = message.find("x");
    auto y = message.find("y");
    if (phase == message.end() || !phase->is_string() || x == message.end() || !x->is_number() ||
        y == message.end() || !y->is_number())
      return R::Error("pointer message needs phase, x and y");
    PagePointer pointer;
    const auto& name = phase->get_ref<const std::string&>();
    if (name == "down") {
      pointer.phase = TouchPhase::kBegan;
    } else if (name == "move") {
      pointer.phase = TouchPhase::kMoved;
    } else if (name == "up") {
      pointer.phase = TouchPhase::kEnded;
    } else if (name == "cancel") {
      pointer.phase = TouchPhase::kCancelled;
    } else {
      return R::Error("pointer message has an unknown phase");
    }
    pointer.point = Point{x->get<double>(), y->get<double>()};
    if (!std::isfinite(pointer.point.x) || !std::isfinite(pointer.point.y) ||
        std::fabs(pointer.point.x) > kMaxPagePoint || std::fabs(pointer.point.y) > kMaxPagePoint)
      return R::Error("pointer message has a point off any screen");
    return R(pointer);
  }
  if (type_name == "text") {
    auto t = message.find("text");
    if (t == message.end() || !t->is_string()) return R::Error("text message has no text");
    return R(PageText{t->get<std::string>()});
  }
  return R::Error("page message of unknown type");
}

std::string encodeScreenJson(const std::vector<WindowTree>& windows, ScreenSize size, double now) {
  json list = json::array();
  for (const WindowTree& window : windows) {
    json nodes = json::array();
    for (const Node& node : window.nodes) {
      nodes.push_back(nodeJson(node, now));
      if (!node.image_path.empty()) {
        nodes.back()["image"] =
            "img/" + std::to_string(window.window_id) + "/" + std::to_string(node.id);
      }
    }
    list.push_back({{"id", window.window_id},
                    {"level", window.level},
                    {"hidden", window.hidden},
                    {"frame", rectJson(window.frame)},
                    {"background", colorJson(window.background)},
                    {"nodes", std::move(nodes)}});
  }
  json screen = {{"type", "screen"},
                 {"width", size.width},
                 {"height", size.height},
                 {"windows", std::move(list)},
                 // Wall-clock milliseconds: a page that gets this message
                 // late (it kept the last one for a page that connects
                 // later) adds the wait to each animation's age.
                 {"sentAt", std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::system_clock::now().time_since_epoch())
                                .count()}};
  // Texts come from UI processes: replace bad UTF-8 rather than throw.
  return screen.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::vector<WindowTree> orderForScreen(std::vector<WindowTree> windows) {
  std::erase_if(windows, [](const WindowTree& w) { return w.hidden; });
  std::stable_sort(windows.begin(), windows.end(),
                   [](const WindowTree& a, const WindowTree& b) { return a.level < b.level; });
  return windows;
}

void TouchRouter::setWindows(std::vector<WindowTree> windows) {
  windows_ = std::move(windows);
}

std::optional<Touch> TouchRouter::route(const PagePointer& pointer) {
  if (pointer.phase == TouchPhase::kBegan) {
    touched_window_.reset();
    for (auto it = windows_.rbegin(); it != windows_.rend(); ++it) {
      if (it->hidden || !contains(it->frame, pointer.point)) continue;
      touched_window_ = it->window_id;
      touched_origin_ = Point{it->frame.x, it->frame.y};
      break;
    }
    if (!touched_window_) return std::nullopt;
  }
  if (!touched_window_) return std::nullopt;
  Touch touch;
  touch.window_id = *touched_window_;
  touch.phase = pointer.phase;
  touch.point = Point{pointer.point.x - touched_origin_.x, pointer.point.y - touched_origin_.y};
  bool still_there = std::any_of(windows_.begin(), windows_.end(), [&](const WindowTree& w) {
    return w.window_id == touch.window_id && !w.hidden;
  });
  if (!still_there) touch.phase = TouchPhase::kCancelled;
  if (touch.phase == TouchPhase::kEnded || touch.phase == TouchPhase::kCancelled)
    touched_window_.reset();
  return touch;
}

Result<ServedFile> readImageUnderRoot(const std::filesystem::path& root,
                                      std::string_view device_path) {
  namespace fs = std::filesystem;
  using R = Result<ServedFile>;
  static constexpr std::pair<const char*, const char*> kTypes[] = {{".png", "image/png"},
                                                                   {".jpg", "image/jpeg"},
                                                                   {".jpeg", "image/jpeg"},
                                                                   {".gif", "image/gif"},
                                                                   {".webp", "image/webp"}};
  const std::string name(device_path);
  if (root.empty()) return R::Error("no images are served");
  std::string relative = name;
  while (!relative.empty() && relative.front() == '/') relative.erase(0, 1);
  if (relative.empty()) return R::Error("empty image path");
  std::error_code error;
  fs::path real_root = fs::canonical(root, error);
  if (error) return R::Error("no device root: " + error.message());
  // Links are followed before the check, so a link inside the root cannot
  // hand out a file outside it.
  fs::path real = fs::canonical(real_root / relative, error);
  if (error) return R::Error("no image at " + name);
  auto [left, right] = std::mismatch(real_root.begin(), real_root.end(), real.begin(), real.end());
  (void)right;
  if (left != real_root.end()) return R::Error("image path leaves the device root: " + name);
  std::string extension = real.extension().string();
  for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const char* type = nullptr;
  for (const auto& entry : kTypes) {
    if (extension == entry.first) type = entry.second;
  }
  if (type == nullptr) return R::Error("not an image file: " + name);
  if (!fs::is_regular_file(real, error)) return R::Error("not a file: " + name);
  uintmax_t size = fs::file_size(real, error);
  if (error || size > kMaxImageBytes) return R::Error("image too large or unreadable: " + name);
  std::ifstream in(real, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return R::Error("cannot read " + name);
  if (bytes.size() > kMaxImageBytes) return R::Error("image too large: " + name);
  return R(ServedFile{type, std::move(bytes)});
}

namespace {

struct FontType {
  const char* extension;
  const char* content_type;
  const char* format;
};
constexpr FontType kFontTypes[] = {{".otf", "font/otf", "opentype"},
                                   {".ttf", "font/ttf", "truetype"},
                                   {".woff", "font/woff", "woff"},
                                   {".woff2", "font/woff2", "woff2"}};

std::string lowercase(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// Safe inside a CSS string and an HTML attribute without escaping.
bool isPlainName(std::string_view name, std::string_view also_allowed) {
  return !name.empty() && std::all_of(name.begin(), name.end(), [&](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || also_allowed.find(c) != std::string::npos;
  });
}

// Reads a served font file: a regular file of at most kMaxFontBytes.
Result<ServedFile> readFontFile(const ServedFont& font) {
  using R = Result<ServedFile>;
  const std::filesystem::path& path = font.face.path;
  std::error_code error;
  if (!std::filesystem::is_regular_file(path, error))
    return R::Error("no font file at " + path.string());
  uintmax_t size = std::filesystem::file_size(path, error);
  if (error || size > kMaxFontBytes)
    return R::Error("font file too large or unreadable: " + path.string());
  std::ifstream in(path, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (!in || bytes.size() != size) return R::Error("cannot read " + path.string());
  return R(ServedFile{font.content_type, std::move(bytes)});
}

}  // namespace

std::vector<ServedFont> serveFonts(const std::vector<WebFontFile>& files) {
  std::vector<ServedFont> served;
  for (const WebFontFile& file : files) {
    auto skip = [&](const std::string& why) {
      log::line("backboardd: not serving the font " + file.path.string() + ": " + why,
                log::Level::kWarning);
    };
    if (!isPlainName(file.family, " -_.")) {
      skip("its family name is empty or has characters a page cannot quote");
      continue;
    }
    if (file.weight < 1 || file.weight > 1000) {
      skip("weight " + std::to_string(file.weight) + " is not from 1 to 1000");
      continue;
    }
    const std::string extension = lowercase(file.path.extension().string());
    const FontType* type = nullptr;
    for (const FontType& candidate : kFontTypes) {
      if (extension == candidate.extension) type = &candidate;
    }
    if (type == nullptr) {
      skip("not an OpenType, TrueType or WOFF file");
      continue;
    }
    // The URL's name: the file's own when it is plain and not taken.
    std::string name = file.path.filename().string();
    if (!isPlainName(name, "-_.")) name = "font" + std::string(type->extension);
    auto taken = [&](const std::string& candidate) {
      return std::any_of(served.begin(), served.end(),
                         [&](const ServedFont& f) { return f.name == candidate; });
    };
    if (taken(name)) {
      const std::string base = name;
      for (size_t n = 2; taken(name); ++n) name = std::to_string(n) + "-" + base;
    }
    served.push_back(ServedFont{file, name, type->content_type, type->format});
  }
  return served;
}

std::string fontFaceCss(const std::vector<ServedFont>& fonts) {
  std::string css;
  for (const ServedFont& font : fonts) {
    // "block": text measured with this font is never drawn with a fallback
    // of other widths while the file loads (from this machine, at once).
    css += "@font-face { font-family: \"" + font.face.family +
           "\"; font-weight: " + std::to_string(font.face.weight) +
           "; font-style: " + (font.face.style == FontStyle::kItalic ? "italic" : "normal") +
           "; font-display: block; src: url(\"fonts/" + font.name + "\") format(\"" + font.format +
           "\"); }\n";
  }
  if (!fonts.empty()) {
    css +=
        ":root { --system-font: \"" + fonts.front().face.family + "\", system-ui, sans-serif; }\n";
  }
  return css;
}

// The images the shown windows name, by "<window>/<node>". Written on the
// loop thread, read on the Asio thread.
struct ScreenServer::Images {
  std::filesystem::path root;
  Mutex mutex;
  std::unordered_map<std::string, std::string> paths GUARDED_BY(mutex);
};

// What tasks posted to the loop share with the server. Loop thread only.
struct ScreenServer::State {
  bool alive = true;
  Handlers handlers;
  TouchRouter router;
};

Result<std::unique_ptr<ScreenServer>> ScreenServer::start(runloop::RunLoop& loop, Handlers handlers,
                                                          Options options) {
  for (char c : options.token) {
    if (!std::isalnum(static_cast<unsigned char>(c)))
      return Result<std::unique_ptr<ScreenServer>>::Error(
          "screen token must be letters and digits");
  }
  std::unique_ptr<ScreenServer> server(new ScreenServer());
  server->loop_ = &loop;
  server->token_ = options.token.empty() ? randomToken() : options.token;
  server->screen_ = options.screen;
  server->state_ = std::make_shared<State>();
  server->state_->handlers = std::move(handlers);

  server->images_ = std::make_shared<Images>();
  server->images_->root = options.image_root;

  WebTransport::Config config;
  config.read_image = [images = server->images_](
                          std::string_view name) -> Result<std::pair<std::string, std::string>> {
    std::string path;
    {
      MutexLock lock(images->mutex);
      auto it = images->paths.find(std::string(name));
      if (it == images->paths.end()) return Status::Error("no such image");
      path = it->second;
    }
    Result<ServedFile> file = readImageUnderRoot(images->root, path);
    if (!file) {
      log::line("backboardd: not serving an image: " + file.reason(), log::Level::kWarning);
      return file.status();
    }
    return std::make_pair(std::move(file->content_type), std::move(file->bytes));
  };
  auto fonts = std::make_shared<const std::vector<ServedFont>>(serveFonts(options.fonts));
  config.read_font = [fonts](std::string_view name) -> Result<std::pair<std::string, std::string>> {
    for (const ServedFont& font : *fonts) {
      if (font.name != name) continue;
      Result<ServedFile> file = readFontFile(font);
      if (!file) {
        log::line("backboardd: not serving a font: " + file.reason(), log::Level::kWarning);
        return file.status();
      }
      return std::make_pair(std::move(file->content_type), std::move(file->bytes));
    }
    return Status::Error("no such font");
  };
  config.token = server->token_;
  config.page_html = screenPageHtml(*fonts, options.line_height_ems);
  config.max_message_bytes = kMaxPageMessageBytes;
  // Runs on the Asio thread: decode there, act on the loop.
  config.on_message = [&loop, weak = std::weak_ptr<State>(server->state_)](std::string text) {
    Result<PageInput> input = decodePageInput(text);
    if (!input) {
      log::line("backboardd: dropped a page message: " + input.reason(), log::Level::kWarning);
      return;
    }
    loop.post([weak, input = std::move(*input)] {
      std::shared_ptr<State> state = weak.lock();
      if (!state || !state->alive) return;
      if (const auto* pointer = std::get_if<PagePointer>(&input)) {
        std::optional<Touch> touch = state->router.route(*pointer);
        if (touch && state->handlers.on_touch) state->handlers.on_touch(*touch);
      } else if (state->handlers.on_key_text) {
        state->handlers.on_key_text(KeyText{std::get<PageText>(input).text});
      }
    });
  };
  Result<std::unique_ptr<WebTransport>> transport = WebTransport::start(std::move(config));
  if (!transport) return Result<std::unique_ptr<ScreenServer>>(transport.status());
  server->transport_ = std::move(*transport);
  server->transport_->broadcast(encodeScreenJson({}, server->screen_));
  return Result<std::unique_ptr<ScreenServer>>(std::move(server));
}

ScreenServer::~ScreenServer() {
  if (state_) state_->alive = false;
  transport_.reset();  // joins the Asio thread
}

uint16_t ScreenServer::port() const {
  return transport_->port();
}

std::string ScreenServer::pageUrl() const {
  return "http://127.0.0.1:" + std::to_string(port()) + "/" + token_ + "/";
}

void ScreenServer::showWindows(std::vector<WindowTree> windows) {
#ifndef NDEBUG
  if (loop_->isRunningOnAnotherThread()) {
    log::line("backboardd: showWindows() called off the screen's loop thread", log::Level::kError);
    abort();
  }
#endif
  std::vector<WindowTree> ordered = orderForScreen(std::move(windows));
  std::unordered_map<std::string, std::string> paths;
  for (const WindowTree& window : ordered) {
    for (const Node& node : window.nodes) {
      if (!node.image_path.empty())
        paths[std::to_string(window.window_id) + "/" + std::to_string(node.id)] = node.image_path;
    }
  }
  {
    MutexLock lock(images_->mutex);
    images_->paths = std::move(paths);
  }
  transport_->broadcast(encodeScreenJson(ordered, screen_, secondsOf(loop_->clock().now())));
  state_->router.setWindows(std::move(ordered));
}

}  // namespace sentrel::display
