// The screen server over real sockets: only the page and its WebSocket,
// only under the token, only for the page's own host and origin.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/display/screen_server.h"

namespace sentrel::display {
namespace {

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

}  // namespace
}  // namespace sentrel::display
