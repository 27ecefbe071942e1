// sentrel-hello-server: a tiny HTTP server on loopback for the demo. It
// prints the port it listens on, then answers every request with one line
// of text until it is killed.
//
//   sentrel-hello-server [PORT]     (0 or none: any free port)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
  const int port = argc > 1 ? std::atoi(argv[1]) : 0;
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  socklen_t length = sizeof address;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      listen(fd, 16) != 0 || getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    std::perror("sentrel-hello-server");
    return 1;
  }
  std::printf("%d\n", ntohs(address.sin_port));
  std::fflush(stdout);
  static const char kAnswer[] =
      "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 28\r\n"
      "Connection: close\r\n\r\nHello from 127.0.0.1 (demo)\n";
  while (true) {
    int client = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    char request[4096];
    [[maybe_unused]] ssize_t got = read(client, request, sizeof request);
    [[maybe_unused]] ssize_t sent = write(client, kAnswer, sizeof kAnswer - 1);
    close(client);
  }
}
