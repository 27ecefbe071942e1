// Boost.Beast is used here and in web_transport_beast.cc only.
#include "platform/display/screen_client.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <cmath>
#include <nlohmann/json.hpp>
#include <thread>
#include <unordered_map>

namespace sentrel::display {

namespace beast = boost::beast;
namespace websocket = beast::websocket;
namespace net = boost::asio;
using tcp = net::ip::tcp;
using json = nlohmann::json;

namespace {

constexpr size_t kMaxScreenBytes = 64 * 1024 * 1024;

double number(const json& object, const char* key) {
  auto it = object.find(key);
  return it != object.end() && it->is_number() ? it->get<double>() : 0;
}

// A frame as the screen message has it: [x, y, width, height].
std::optional<Rect> rectOf(const json& object) {
  auto it = object.find("frame");
  if (it == object.end() || !it->is_array() || it->size() != 4) return std::nullopt;
  for (const json& part : *it) {
    if (!part.is_number()) return std::nullopt;
  }
  return Rect{(*it)[0].get<double>(), (*it)[1].get<double>(), (*it)[2].get<double>(),
              (*it)[3].get<double>()};
}

bool visible(const json& node) {
  auto hidden = node.find("hidden");
  if (hidden != node.end() && hidden->is_boolean() && hidden->get<bool>()) return false;
  auto alpha = node.find("alpha");
  return alpha == node.end() || !alpha->is_number() || alpha->get<double>() >= 0.01;
}

std::string textOf(const json& node) {
  std::string text;
  auto runs = node.find("text");
  if (runs == node.end() || !runs->is_array()) return text;
  for (const json& run : *runs) {
    if (run.is_object() && run.contains("text") && run["text"].is_string())
      text += run["text"].get_ref<const std::string&>();
  }
  return text;
}

}  // namespace

TextPlacement locateText(std::string_view screen_json, std::string_view text) {
  TextPlacement placement;
  const json screen = json::parse(screen_json, nullptr, /*allow_exceptions=*/false);
  if (!screen.is_object() || !screen.contains("windows") || !screen["windows"].is_array())
    return placement;
  // Windows come back to front; within one, a node follows its parent.
  for (const json& window : screen["windows"]) {
    if (!window.is_object() || !visible(window) || !window.contains("nodes") ||
        !window["nodes"].is_array())
      continue;
    const std::optional<Rect> frame = rectOf(window);
    if (!frame) continue;
    struct Placed {
      Point origin;
      bool shown;
    };
    std::unordered_map<int64_t, Placed> placed;
    placed[0] = Placed{{frame->x, frame->y}, true};
    for (const json& node : window["nodes"]) {
      if (!node.is_object()) continue;
      const auto id = node.find("id");
      const auto parent = node.find("parent");
      if (id == node.end() || !id->is_number_integer() || parent == node.end() ||
          !parent->is_number_integer())
        continue;
      auto up = placed.find(parent->get<int64_t>());
      if (up == placed.end()) continue;
      for (const json& animation : node.value("animations", json::array())) {
        if (!animation.is_object()) continue;
        const double left = number(animation, "delay") + number(animation, "duration") -
                            number(animation, "elapsed");
        if (std::isfinite(left)) placement.settles_in = std::max(placement.settles_in, left);
      }
      const std::optional<Rect> box = rectOf(node);
      if (!box) continue;
      const Placed here{{up->second.origin.x + box->x, up->second.origin.y + box->y},
                        up->second.shown && visible(node)};
      placed[id->get<int64_t>()] = here;
      if (!here.shown || textOf(node) != text) continue;
      const Point centre{here.origin.x + box->width / 2, here.origin.y + box->height / 2};
      if (std::isfinite(centre.x) && std::isfinite(centre.y)) placement.centre = centre;
    }
  }
  return placement;
}

// One WebSocket to the screen page's server, read in the background of
// pump(): a read is always outstanding, and each whole screen replaces the
// one before.
struct ScreenClient::Connection {
  net::io_context io;
  websocket::stream<beast::tcp_stream> ws{io};
  beast::flat_buffer buffer;
  std::string received;
  bool fresh = false;
  bool closed = false;
  std::string reason;

  void read() {
    ws.async_read(buffer, [this](beast::error_code error, size_t) {
      if (error) {
        closed = true;
        reason = error.message();
        return;
      }
      received = beast::buffers_to_string(buffer.data());
      buffer.consume(buffer.size());
      fresh = true;
      read();
    });
  }
};

ScreenClient::ScreenClient(std::unique_ptr<Connection> connection)
    : connection_(std::move(connection)) {}

ScreenClient::~ScreenClient() {
  beast::error_code ignored;
  beast::get_lowest_layer(connection_->ws).socket().close(ignored);
}

Result<std::unique_ptr<ScreenClient>> ScreenClient::connect(const std::string& page_url) {
  using R = Result<std::unique_ptr<ScreenClient>>;
  constexpr std::string_view kScheme = "http://";
  if (!page_url.starts_with(kScheme)) return R::Error("not a screen address: " + page_url);
  const size_t slash = page_url.find('/', kScheme.size());
  if (slash == std::string::npos) return R::Error("not a screen address: " + page_url);
  const std::string authority = page_url.substr(kScheme.size(), slash - kScheme.size());
  const size_t colon = authority.rfind(':');
  if (colon == std::string::npos) return R::Error("the screen address has no port: " + page_url);
  std::string path = page_url.substr(slash);
  if (!path.ends_with('/')) path += '/';

  auto connection = std::make_unique<Connection>();
  try {
    tcp::resolver resolver(connection->io);
    auto endpoints = resolver.resolve(authority.substr(0, colon), authority.substr(colon + 1));
    beast::get_lowest_layer(connection->ws).expires_after(std::chrono::seconds(10));
    beast::get_lowest_layer(connection->ws).connect(endpoints);
    beast::get_lowest_layer(connection->ws).expires_never();
    beast::get_lowest_layer(connection->ws).socket().set_option(tcp::no_delay(true));
    connection->ws.read_message_max(kMaxScreenBytes);
    connection->ws.text(true);
    connection->ws.set_option(websocket::stream_base::decorator(
        [origin = "http://" + authority](websocket::request_type& request) {
          request.set(beast::http::field::origin, origin);
        }));
    connection->ws.handshake(authority, path + "ws");
  } catch (const std::exception& error) {
    return R::Error("cannot reach the screen at " + page_url + ": " + error.what());
  }
  connection->read();
  return R(std::unique_ptr<ScreenClient>(new ScreenClient(std::move(connection))));
}

void ScreenClient::pump(std::chrono::milliseconds wait) {
  Connection& c = *connection_;
  c.io.restart();
  c.io.run_for(wait);
  if (c.fresh) {
    c.fresh = false;
    latest_ = std::move(c.received);
    latest_at_ = std::chrono::steady_clock::now();
  }
}

Result<Point> ScreenClient::waitForText(std::string_view text, std::chrono::milliseconds timeout) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + timeout;
  while (true) {
    const TextPlacement placement = locateText(latest_, text);
    if (placement.centre) {
      const auto rest = latest_at_ + std::chrono::duration_cast<Clock::duration>(
                                         std::chrono::duration<double>(placement.settles_in));
      if (Clock::now() >= rest) return Result<Point>(*placement.centre);
      // Still moving: wait for it, or for a newer screen.
      pump(std::chrono::duration_cast<std::chrono::milliseconds>(rest - Clock::now()) +
           std::chrono::milliseconds(1));
      continue;
    }
    if (connection_->closed)
      return Result<Point>::Error("the screen closed: " + connection_->reason);
    if (Clock::now() >= deadline)
      return Result<Point>::Error("\"" + std::string(text) + "\" is not on the screen");
    pump(std::chrono::milliseconds(50));
  }
}

namespace {

// What a screen message draws: the message without its send time.
json drawnPart(const std::string& screen_json) {
  json screen = json::parse(screen_json, nullptr, /*allow_exceptions=*/false);
  if (screen.is_object()) screen.erase("sentAt");
  return screen;
}

}  // namespace

Result<ScreenClient::Tap> ScreenClient::tapTextOnce(std::string_view text,
                                                    std::chrono::milliseconds timeout) {
  Result<Point> at = waitForText(text, timeout);
  if (!at) return Result<Tap>(Status::Error(at.reason()));
  const json before = drawnPart(latest_);
  for (const char* phase : {"down", "up"}) {
    if (Status sent = sendPointer(phase, *at); !sent) return Result<Tap>(sent);
  }
  const auto patience = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  while (std::chrono::steady_clock::now() < patience && !connection_->closed) {
    pump(std::chrono::milliseconds(25));
  }
  return Tap{*at, drawnPart(latest_) != before};
}

bool ScreenClient::showing(std::string_view text) {
  pump(std::chrono::milliseconds(0));
  return locateText(latest_, text).centre.has_value();
}

Status ScreenClient::sendPointer(const char* phase, Point at) {
  const std::string message =
      json{{"type", "pointer"}, {"phase", phase}, {"x", at.x}, {"y", at.y}}.dump();
  beast::error_code error;
  connection_->ws.write(net::buffer(message), error);
  if (error) return Status::Error("cannot send a touch to the screen: " + error.message());
  return Status::Ok();
}

Result<Point> ScreenClient::tapText(std::string_view text, std::chrono::milliseconds timeout,
                                    std::optional<std::string_view> until) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + timeout;
  while (true) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    Result<Point> at = waitForText(text, std::max(left, std::chrono::milliseconds(0)));
    if (!at) return at;
    for (const char* phase : {"down", "up"}) {
      if (Status sent = sendPointer(phase, *at); !sent) return Result<Point>(sent);
    }
    // Done once a screen without it (there), or with `until`, arrives.
    const Clock::time_point patience = Clock::now() + std::chrono::seconds(1);
    while (Clock::now() < patience && !connection_->closed) {
      pump(std::chrono::milliseconds(25));
      if (until) {
        if (locateText(latest_, *until).centre) return at;
        continue;
      }
      const TextPlacement placement = locateText(latest_, text);
      if (!placement.centre || !(*placement.centre == *at)) return at;
    }
    if (Clock::now() >= deadline)
      return Result<Point>::Error("tapping \"" + std::string(text) + "\" changed nothing");
  }
}

}  // namespace sentrel::display
