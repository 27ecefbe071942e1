// The screen server over real sockets: only the page and its WebSocket,
// only under the token, only for the page's own host and origin.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <utility>

#include <nlohmann/json.hpp>

#include "platform/display/screen_server.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace sentrel::display {
namespace {

// A screen's JSON without the time it was sent, which differs between two
// encodings of the same screen.
nlohmann::json withoutSendTime(const std::string& text) {
  nlohmann::json screen = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (screen.is_object()) screen.erase("sentAt");
  return screen;
}

// Sends `request` to 127.0.0.1:port and reads the answer until the server
// closes (each read waits at most ten seconds).
std::string exchange(uint16_t port, const std::string& request) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  timeval timeout{10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string answer;
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      write(fd, request.data(), request.size()) == static_cast<ssize_t>(request.size())) {
    char buffer[4096];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0) answer.append(buffer, n);
  }
  close(fd);
  return answer;
}

std::string statusLine(const std::string& answer) {
  return answer.substr(0, answer.find("\r\n"));
}

class AScreenServer : public ::testing::Test {
 protected:
  void SetUp() override {
    Result<std::unique_ptr<ScreenServer>> started = ScreenServer::start(loop, {});
    ASSERT_TRUE(started.ok()) << started.reason();
    server = std::move(*started);
    host = "127.0.0.1:" + std::to_string(server->port());
  }

  std::string get(const std::string& path, const std::string& extra_headers = {},
                  std::string host_header = {}) {
    if (host_header.empty()) host_header = host;
    return exchange(server->port(), "GET " + path + " HTTP/1.1\r\nHost: " + host_header + "\r\n" +
                                        extra_headers + "Connection: close\r\n\r\n");
  }

  std::string upgrade(const std::string& path, const std::string& origin) {
    return get(path,
               "Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Version: 13\r\n"
               "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nOrigin: " +
                   origin + "\r\n");
  }

  runloop::RunLoop loop;
  std::unique_ptr<ScreenServer> server;
  std::string host;
};

TEST_F(AScreenServer, ServesThePageUnderItsTokenOnly) {
  std::string page = get("/" + server->token() + "/");
  EXPECT_EQ(statusLine(page), "HTTP/1.1 200 OK");
  EXPECT_NE(page.find("<title>Sentrel device</title>"), std::string::npos);
  EXPECT_NE(page.find("Referrer-Policy: no-referrer"), std::string::npos);
  EXPECT_EQ(server->pageUrl(), "http://" + host + "/" + server->token() + "/");

  std::string wrong_token = server->token();
  wrong_token.back() = wrong_token.back() == '0' ? '1' : '0';
  for (const std::string& path :
       {std::string("/"), "/" + wrong_token + "/", "/" + server->token(),
        "/" + server->token() + "/x", "/" + server->token() + "//", "/" + server->token() + "/?"}) {
    std::string answer = get(path);
    EXPECT_EQ(statusLine(answer), "HTTP/1.1 404 Not Found") << path;
    EXPECT_EQ(answer.find("<html"), std::string::npos) << path;
  }
}

TEST_F(AScreenServer, RefusesAnotherHostName) {
  // A page of another site that resolves its own name to 127.0.0.1.
  EXPECT_EQ(statusLine(get("/" + server->token() + "/", {},
                           "evil.example:" + std::to_string(server->port()))),
            "HTTP/1.1 403 Forbidden");
}

TEST_F(AScreenServer, RefusesWebSocketsFromOtherOriginsAndUnderWrongTokens) {
  const std::string ws = "/" + server->token() + "/ws";
  EXPECT_EQ(statusLine(upgrade(ws, "http://evil.example")), "HTTP/1.1 403 Forbidden");
  EXPECT_EQ(statusLine(upgrade(ws, "null")), "HTTP/1.1 403 Forbidden");
  EXPECT_EQ(statusLine(upgrade(ws, "http://127.0.0.1:1")), "HTTP/1.1 403 Forbidden");
  EXPECT_EQ(statusLine(upgrade("/nottoken/ws", "http://" + host)), "HTTP/1.1 404 Not Found");
  EXPECT_EQ(statusLine(get(ws)), "HTTP/1.1 400 Bad Request") << "no upgrade";
}

// Reads exactly `count` bytes (each read waits at most ten seconds).
std::string readExactly(int fd, size_t count) {
  std::string bytes;
  char buffer[4096];
  while (bytes.size() < count) {
    ssize_t n = read(fd, buffer, std::min(sizeof buffer, count - bytes.size()));
    if (n <= 0) break;
    bytes.append(buffer, static_cast<size_t>(n));
  }
  return bytes;
}

// One WebSocket frame from the server (never masked): its first byte and
// its payload.
std::pair<int, std::string> readFrame(int fd) {
  std::string head = readExactly(fd, 2);
  if (head.size() < 2) return {-1, {}};
  uint64_t length = static_cast<uint8_t>(head[1]) & 0x7f;
  if (length >= 126) {
    std::string extended = readExactly(fd, length == 126 ? 2 : 8);
    length = 0;
    for (char c : extended) length = (length << 8) | static_cast<uint8_t>(c);
  }
  return {static_cast<uint8_t>(head[0]), readExactly(fd, length)};
}

TEST_F(AScreenServer, SendsAWholeScreenAsOneWebSocketFrame) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  timeval timeout{10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(server->port());
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  const std::string request = "GET /" + server->token() + "/ws HTTP/1.1\r\nHost: " + host +
                              "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                              "Sec-WebSocket-Version: 13\r\nSec-WebSocket-Key: "
                              "dGhlIHNhbXBsZSBub25jZQ==\r\nOrigin: http://" +
                              host + "\r\n\r\n";
  ASSERT_EQ(write(fd, request.data(), request.size()), static_cast<ssize_t>(request.size()));
  std::string answer;
  while (answer.find("\r\n\r\n") == std::string::npos) {
    std::string byte = readExactly(fd, 1);
    if (byte.empty()) break;
    answer += byte;
  }
  ASSERT_EQ(statusLine(answer), "HTTP/1.1 101 Switching Protocols");
  // The screen as it is when the page connects: empty.
  auto [first_byte, empty] = readFrame(fd);
  EXPECT_EQ(first_byte, 0x81);
  EXPECT_EQ(withoutSendTime(empty), withoutSendTime(encodeScreenJson({}, ScreenSize{})));

  // A window of 200 nodes: tens of kilobytes, which used to leave in 4 KiB
  // frames (and, with Nagle's algorithm, wait for the page's ACKs).
  WindowTree window;
  window.window_id = 7;
  window.frame = Rect{0, 0, 390, 844};
  for (int64_t id = 1; id <= 200; ++id) {
    Node node;
    node.id = id;
    node.parent = id % 2 == 0 ? id - 1 : 0;
    node.frame = Rect{double(id), double(id), 30, 20};
    node.text = {TextRun{"label " + std::to_string(id), "Inter", 400, 13, Color{0, 0, 0, 1}}};
    window.nodes.push_back(node);
  }
  server->showWindows({window});
  const std::string expected = encodeScreenJson({window}, ScreenSize{});
  ASSERT_GT(expected.size(), 16u * 1024);
  auto [byte, screen] = readFrame(fd);
  EXPECT_EQ(byte, 0x81) << "a final text frame";
  EXPECT_TRUE(withoutSendTime(screen) == withoutSendTime(expected)) << "the screen's JSON, whole";
  close(fd);
}

// The smallest PNG: one transparent pixel.
constexpr char kPixelPng[] =
    "\x89\x50\x4e\x47\x0d\x0a\x1a\x0a\x00\x00\x00\x0d\x49\x48\x44\x52\x00\x00\x00\x01"
    "\x00\x00\x00\x01\x08\x04\x00\x00\x00\xb5\x1c\x0c\x02\x00\x00\x00\x0b\x49\x44\x41"
    "\x54\x78\xda\x63\x64\x60\x00\x00\x00\x06\x00\x02\x30\x81\xd0\x2f\x00\x00\x00\x00"
    "\x49\x45\x4e\x44\xae\x42\x60\x82";

void writeFile(const std::filesystem::path& path, std::string_view bytes) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary)
      .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

TEST_F(AScreenServer, ServesNoImagesWithoutADeviceRoot) {
  WindowTree window{1, 0, false, Rect{0, 0, 10, 10}, {}};
  Node icon;
  icon.id = 1;
  icon.image_path = "/etc/hostname.png";
  window.nodes = {icon};
  server->showWindows({window});
  EXPECT_EQ(statusLine(get("/" + server->token() + "/img/1/1")), "HTTP/1.1 404 Not Found");
}

TEST(AScreenServerWithADeviceRoot, ServesOnlyImagesTheShownTreeNamesInsideTheRoot) {
  testing::TempDir dir;
  const std::filesystem::path root = dir.path() / "device";
  const std::string png(kPixelPng, sizeof kPixelPng - 1);
  writeFile(root / "Applications/Preferences.app/icon.png", png);
  writeFile(root / "notes.txt", "not an image");
  writeFile(root / "unnamed.png", png);
  writeFile(dir.path() / "outside.png", png);
  std::filesystem::create_symlink(dir.path() / "outside.png", root / "link.png");

  runloop::RunLoop loop;
  ScreenOptions options;
  options.image_root = root;
  Result<std::unique_ptr<ScreenServer>> started = ScreenServer::start(loop, {}, options);
  ASSERT_TRUE(started.ok()) << started.reason();
  ScreenServer& server = **started;
  WindowTree window{4, 0, false, Rect{0, 0, 100, 100}, {}};
  for (auto [id, path] :
       {std::pair<int64_t, const char*>{1, "/Applications/Preferences.app/icon.png"},
        {2, "/../outside.png"},
        {3, "/link.png"},
        {4, "/notes.txt"},
        {5, "/missing.png"}}) {
    Node node;
    node.id = id;
    node.image_path = path;
    window.nodes.push_back(node);
  }
  server.showWindows({window});

  auto fetch = [&](const std::string& image) {
    return exchange(server.port(), "GET /" + server.token() + "/img/" + image +
                                       " HTTP/1.1\r\nHost: 127.0.0.1:" +
                                       std::to_string(server.port()) + "\r\n\r\n");
  };
  std::string icon = fetch("4/1");
  EXPECT_EQ(statusLine(icon), "HTTP/1.1 200 OK");
  EXPECT_NE(icon.find("Content-Type: image/png"), std::string::npos);
  EXPECT_EQ(icon.substr(icon.size() - png.size()), png);
  for (const char* refused : {"4/2", "4/3", "4/4", "4/5", "4/9", "9/1", "4/1/x", "../4/1"}) {
    EXPECT_EQ(statusLine(fetch(refused)), "HTTP/1.1 404 Not Found") << refused;
  }
  // An image the screen no longer shows is no longer served.
  server.showWindows({});
  EXPECT_EQ(statusLine(fetch("4/1")), "HTTP/1.1 404 Not Found");
}

TEST(AScreenServerToken, IsRandomPerServerAndOnlyLettersAndDigitsWhenChosen) {
  runloop::RunLoop loop;
  Result<std::unique_ptr<ScreenServer>> a = ScreenServer::start(loop, {});
  Result<std::unique_ptr<ScreenServer>> b = ScreenServer::start(loop, {});
  ASSERT_TRUE(a.ok() && b.ok());
  EXPECT_EQ((*a)->token().size(), 32u);
  EXPECT_NE((*a)->token(), (*b)->token());
  EXPECT_NE((*a)->port(), (*b)->port());
  ScreenOptions options;
  options.token = "../x";
  EXPECT_FALSE(ScreenServer::start(loop, {}, options).ok());
}

TEST(ServedFonts, AreNamedForTheirUrlsAndLeaveOutWhatAPageCannotUseSafely) {
  testing::LogCapture log;
  std::vector<ServedFont> fonts = serveFonts({
      {"Inter", 400, FontStyle::kNormal, "/fonts/a/Inter-Regular.otf"},
      {"Inter", 600, FontStyle::kNormal, "/fonts/b/Inter-Regular.otf"},  // same name
      {"Inter Display", 700, FontStyle::kItalic, "/fonts/x y'.ttf"},     // no plain name
      {"Mono", 400, FontStyle::kNormal, "/fonts/m.WOFF2"},
      {"Bad\"}</style><script>", 400, FontStyle::kNormal, "/fonts/evil.otf"},
      {"", 400, FontStyle::kNormal, "/fonts/nameless.otf"},
      {"Inter", 0, FontStyle::kNormal, "/fonts/light.otf"},
      {"Inter", 1001, FontStyle::kNormal, "/fonts/heavy.otf"},
      {"Inter", 400, FontStyle::kNormal, "/etc/passwd"},
      {"Inter", 400, FontStyle::kNormal, "/fonts/Inter.pfb"},
  });
  ASSERT_EQ(fonts.size(), 4u);
  EXPECT_EQ(fonts[0].name, "Inter-Regular.otf");
  EXPECT_EQ(fonts[0].content_type, "font/otf");
  EXPECT_EQ(fonts[1].name, "2-Inter-Regular.otf");
  EXPECT_EQ(fonts[1].content_type, "font/otf");
  EXPECT_EQ(fonts[2].name, "font.ttf");
  EXPECT_EQ(fonts[2].content_type, "font/ttf");
  EXPECT_EQ(fonts[3].content_type, "font/woff2");
  for (const char* left_out :
       {"evil.otf", "nameless.otf", "light.otf", "heavy.otf", "/etc/passwd", "Inter.pfb"}) {
    EXPECT_TRUE(log.contains(left_out)) << left_out;
  }

  const std::string css = fontFaceCss(fonts);
  EXPECT_NE(css.find("@font-face { font-family: \"Inter\"; font-weight: 600; font-style: normal; "
                     "font-display: block; src: url(\"fonts/2-Inter-Regular.otf\") "
                     "format(\"opentype\"); }"),
            std::string::npos)
      << css;
  EXPECT_NE(css.find("font-family: \"Inter Display\"; font-weight: 700; font-style: italic;"),
            std::string::npos)
      << css;
  EXPECT_NE(css.find("--system-font: \"Inter\", system-ui, sans-serif;"), std::string::npos) << css;
  EXPECT_EQ(css.find("evil"), std::string::npos);

  const std::string page = screenPageHtml(fonts);
  EXPECT_NE(page.find(css), std::string::npos);
  EXPECT_NE(
      page.find("<link rel=\"preload\" as=\"font\" type=\"font/woff2\" href=\"fonts/m.WOFF2\" "
                "crossorigin>"),
      std::string::npos);
  // Without fonts the page draws with the browser's own.
  EXPECT_EQ(screenPageHtml({}).find("@font-face"), std::string::npos);
  EXPECT_EQ(screenPageHtml({}).find("/*FONTS*/"), std::string::npos);
}

TEST(AScreenServerWithFonts, ServesOnlyTheGivenFilesByNameUnderItsTokenAndHost) {
  testing::TempDir dir;
  const std::string regular = "OTTO regular face bytes";
  writeFile(dir.path() / "fonts/Face-Regular.otf", regular);
  writeFile(dir.path() / "fonts/Face-Bold.otf", "OTTO bold");  // beside it, not given
  writeFile(dir.path() / "fonts/Face-Gone.otf", "OTTO gone");
  runloop::RunLoop loop;
  ScreenOptions options;
  options.fonts = {{"Face", 400, FontStyle::kNormal, dir.path() / "fonts/Face-Regular.otf"},
                   {"Face", 700, FontStyle::kNormal, dir.path() / "fonts/Face-Gone.otf"}};
  Result<std::unique_ptr<ScreenServer>> started = ScreenServer::start(loop, {}, options);
  ASSERT_TRUE(started.ok()) << started.reason();
  ScreenServer& server = **started;
  std::filesystem::remove(dir.path() / "fonts/Face-Gone.otf");
  const std::string host = "127.0.0.1:" + std::to_string(server.port());
  auto fetch = [&](const std::string& path, const std::string& host_header) {
    return exchange(server.port(),
                    "GET " + path + " HTTP/1.1\r\nHost: " + host_header + "\r\n\r\n");
  };
  const std::string fonts = "/" + server.token() + "/fonts/";

  std::string page = fetch("/" + server.token() + "/", host);
  EXPECT_NE(page.find("url(\"fonts/Face-Regular.otf\")"), std::string::npos);
  std::string font = fetch(fonts + "Face-Regular.otf", host);
  EXPECT_EQ(statusLine(font), "HTTP/1.1 200 OK");
  EXPECT_NE(font.find("Content-Type: font/otf"), std::string::npos);
  EXPECT_EQ(font.substr(font.size() - regular.size()), regular);

  testing::LogCapture log;
  std::string wrong_token = server.token();
  wrong_token.back() = wrong_token.back() == '0' ? '1' : '0';
  for (const std::string& path :
       {fonts + "Face-Bold.otf", fonts + "Face-Gone.otf", fonts + "../fonts/Face-Regular.otf",
        fonts + dir.path().string() + "/fonts/Face-Bold.otf", fonts + "Face-Regular.otf/",
        fonts + "face-regular.otf", fonts, "/" + wrong_token + "/fonts/Face-Regular.otf",
        std::string("/fonts/Face-Regular.otf")}) {
    std::string answer = fetch(path, host);
    EXPECT_EQ(statusLine(answer), "HTTP/1.1 404 Not Found") << path;
    EXPECT_EQ(answer.find("OTTO"), std::string::npos) << path;
  }
  EXPECT_TRUE(log.contains("Face-Gone.otf"));
  EXPECT_EQ(statusLine(
                fetch(fonts + "Face-Regular.otf", "evil.example:" + std::to_string(server.port()))),
            "HTTP/1.1 403 Forbidden");
}

}  // namespace
}  // namespace sentrel::display
