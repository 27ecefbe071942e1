// Boost.Beast is used here and in screen_client.cc only.
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <deque>
#include <thread>
#include <vector>

#include "platform/display/internal/web_transport.h"
#include "platform/log/system_log.h"

namespace sentrel::display {

namespace {

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace net = boost::asio;
using tcp = net::ip::tcp;
using Message = std::shared_ptr<const std::string>;

constexpr auto kRequestTimeout = std::chrono::seconds(30);
constexpr size_t kMaxRequestBytes = 16 * 1024;

class WebSocketSession;

// Everything the sessions share. Touched on the Asio thread only.
struct Shared {
  WebTransport::Config config;
  std::string host;    // "127.0.0.1:<port>"
  std::string origin;  // "http://127.0.0.1:<port>"
  Message last;
  std::vector<std::weak_ptr<WebSocketSession>> sockets;
};

class WebSocketSession : public std::enable_shared_from_this<WebSocketSession> {
 public:
  WebSocketSession(tcp::socket socket, Shared& shared) : ws_(std::move(socket)), shared_(shared) {}

  void accept(http::request<http::string_body> request) {
    // A screen may sit idle for hours: ping the page rather than drop it
    // (the suggested server settings close a socket after 300 s of silence).
    websocket::stream_base::timeout timeout =
        websocket::stream_base::timeout::suggested(beast::role_type::server);
    timeout.keep_alive_pings = true;
    ws_.set_option(timeout);
    ws_.read_message_max(shared_.config.max_message_bytes);
    ws_.text(true);
    // A screen is one message, written whole: in 4 KiB frames, each its own
    // small write, Nagle's algorithm held the last ones back until the page
    // acknowledged the first (tens of ms on loopback, for every frame drawn).
    ws_.auto_fragment(false);
    beast::error_code ignored;
    beast::get_lowest_layer(ws_).socket().set_option(tcp::no_delay(true), ignored);
    ws_.async_accept(request, [self = shared_from_this()](beast::error_code error) {
      if (error) return;
      self->shared_.sockets.push_back(self);
      if (self->shared_.last) self->send(self->shared_.last);
      self->read();
    });
  }

  // Sends `message` after what is being written now; a message still
  // waiting is replaced (every message is a whole screen).
  void send(Message message) {
    if (queue_.size() >= 2) {
      queue_.back() = std::move(message);
      return;
    }
    queue_.push_back(std::move(message));
    if (queue_.size() == 1) write();
  }

 private:
  void read() {
    ws_.async_read(buffer_, [self = shared_from_this()](beast::error_code error, size_t) {
      if (error) return;  // closed, timed out or too large: the session ends
      if (!self->ws_.got_text()) {
        log::line("backboardd: a page sent a binary WebSocket message; closing it",
                  log::Level::kWarning);
        return;
      }
      std::string text = beast::buffers_to_string(self->buffer_.data());
      self->buffer_.consume(self->buffer_.size());
      try {
        self->shared_.config.on_message(std::move(text));
      } catch (...) {
        log::line("backboardd: a page message handler failed", log::Level::kError);
      }
      self->read();
    });
  }

  void write() {
    ws_.async_write(net::buffer(*queue_.front()),
                    [self = shared_from_this()](beast::error_code error, size_t) {
                      if (error) return;
                      self->queue_.pop_front();
                      if (!self->queue_.empty()) self->write();
                    });
  }

  websocket::stream<beast::tcp_stream> ws_;
  beast::flat_buffer buffer_;
  std::deque<Message> queue_;  // front: being written
  Shared& shared_;
};

class HttpSession : public std::enable_shared_from_this<HttpSession> {
 public:
  HttpSession(tcp::socket socket, Shared& shared) : stream_(std::move(socket)), shared_(shared) {
    parser_.header_limit(kMaxRequestBytes);
    parser_.body_limit(kMaxRequestBytes);
  }

  void run() {
    stream_.expires_after(kRequestTimeout);
    http::async_read(stream_, buffer_, parser_,
                     [self = shared_from_this()](beast::error_code error, size_t) {
                       if (!error) self->route(self->parser_.release());
                     });
  }

 private:
  void route(http::request<http::string_body> request) {
    const std::string page = "/" + shared_.config.token + "/";
    std::string_view target(request.target().data(), request.target().size());
    std::string_view host(request[http::field::host].data(), request[http::field::host].size());
    if (host != shared_.host) return respond(http::status::forbidden, "text/plain", "Forbidden\n");
    if (target == page + "ws") {
      std::string_view origin(request[http::field::origin].data(),
                              request[http::field::origin].size());
      if (!websocket::is_upgrade(request))
        return respond(http::status::bad_request, "text/plain", "Bad request\n");
      if (origin != shared_.origin) {
        log::line("backboardd: refused a WebSocket from another origin", log::Level::kWarning);
        return respond(http::status::forbidden, "text/plain", "Forbidden\n");
      }
      stream_.expires_never();
      std::make_shared<WebSocketSession>(stream_.release_socket(), shared_)
          ->accept(std::move(request));
      return;
    }
    for (const auto& [prefix, read] : {std::pair{page + "img/", &shared_.config.read_image},
                                       std::pair{page + "fonts/", &shared_.config.read_font}}) {
      if (!target.starts_with(prefix) || request.method() != http::verb::get || !*read) continue;
      auto file = (*read)(target.substr(prefix.size()));
      if (file) return respond(http::status::ok, file->first.c_str(), file->second);
      return respond(http::status::not_found, "text/plain", "Not found\n");
    }
    if (target == page &&
        (request.method() == http::verb::get || request.method() == http::verb::head)) {
      return respond(http::status::ok, "text/html; charset=utf-8", shared_.config.page_html,
                     request.method() == http::verb::head);
    }
    respond(http::status::not_found, "text/plain", "Not found\n");
  }

  void respond(http::status status, const char* type, const std::string& body,
               bool head_only = false) {
    auto response = std::make_shared<http::response<http::string_body>>(status, 11);
    response->set(http::field::server, "backboardd");
    response->set(http::field::content_type, type);
    response->set(http::field::cache_control, "no-store");
    // The token is in the URL: never hand it to another site.
    response->set("Referrer-Policy", "no-referrer");
    response->set("X-Frame-Options", "DENY");
    response->keep_alive(false);
    if (!head_only) response->body() = body;
    response->prepare_payload();
    if (head_only) response->body().clear();
    http::async_write(stream_, *response,
                      [self = shared_from_this(), response](beast::error_code, size_t) {
                        beast::error_code ignored;
                        self->stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
                      });
  }

  beast::tcp_stream stream_;
  beast::flat_buffer buffer_;
  http::request_parser<http::string_body> parser_;
  Shared& shared_;
};

class BeastTransport final : public WebTransport {
 public:
  explicit BeastTransport(Config config) : acceptor_(io_) { shared_.config = std::move(config); }

  ~BeastTransport() override {
    // Pending handlers (and the sessions they hold) go with io_, after the
    // thread has ended; sessions never touch shared_ from their destructors.
    io_.stop();
    if (thread_.joinable()) thread_.join();
  }

  Status listen() {
    beast::error_code error;
    tcp::endpoint endpoint(net::ip::make_address_v4("127.0.0.1"), 0);
    acceptor_.open(endpoint.protocol(), error);
    if (!error) acceptor_.bind(endpoint, error);
    if (!error) acceptor_.listen(net::socket_base::max_listen_connections, error);
    if (error) return Status::Error("backboardd: cannot listen on 127.0.0.1: " + error.message());
    port_ = acceptor_.local_endpoint().port();
    shared_.host = "127.0.0.1:" + std::to_string(port_);
    shared_.origin = "http://" + shared_.host;
    accept();
    thread_ = std::thread([this] {
      for (;;) {
        try {
          io_.run();
          return;
        } catch (...) {
          log::line("backboardd: a network handler failed", log::Level::kError);
        }
      }
    });
    return Status::Ok();
  }

  uint16_t port() const override { return port_; }

  void broadcast(std::string text) override {
    net::post(io_, [this, message = std::make_shared<const std::string>(std::move(text))] {
      shared_.last = message;
      std::erase_if(shared_.sockets, [&](const std::weak_ptr<WebSocketSession>& weak) {
        std::shared_ptr<WebSocketSession> session = weak.lock();
        if (!session) return true;
        session->send(message);
        return false;
      });
    });
  }

 private:
  void accept() {
    acceptor_.async_accept([this](beast::error_code error, tcp::socket socket) {
      if (error == net::error::operation_aborted) return;
      if (!error) std::make_shared<HttpSession>(std::move(socket), shared_)->run();
      accept();
    });
  }

  Shared shared_;  // before io_: pending handlers refer to it until io_ is gone
  net::io_context io_{1};
  tcp::acceptor acceptor_;
  uint16_t port_ = 0;
  std::thread thread_;
};

}  // namespace

Result<std::unique_ptr<WebTransport>> WebTransport::start(Config config) {
  auto transport = std::make_unique<BeastTransport>(std::move(config));
  Status listening = transport->listen();
  if (!listening.ok()) return Result<std::unique_ptr<WebTransport>>(listening);
  return Result<std::unique_ptr<WebTransport>>(std::move(transport));
}

}  // namespace sentrel::display
