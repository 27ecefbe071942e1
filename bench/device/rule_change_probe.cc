// An app for the rule-change benchmark: it knows nothing of Sentrel. For
// each line it reads ("allowed" or "blocked"), it connects to 127.0.0.1:PORT
// until the outcome is that one (every 2 ms), then writes "ok" (a connect the firewall
// blocks fails at once, without a system call).
//
//   rule_change_probe PORT
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

bool connects(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const int port = std::atoi(argv[1]);
  char line[64];
  while (std::fgets(line, sizeof line, stdin) != nullptr) {
    const bool want = std::strncmp(line, "allowed", 7) == 0;
    // Polls every 2 ms: the answer changes when the firewall takes the new
    // rule. Faster polling would measure the probes' own load: each connect
    // of an app writes its log lines, and ten probes share two cores with
    // the device.
    while (connects(port) != want) usleep(2000);
    std::printf("ok\n");
    std::fflush(stdout);
  }
  return 0;
}
