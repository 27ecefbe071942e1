// libsentrel_hooktest.so: the connect interposer as a program gets it when
// preloaded, with a replacement that denies the one loopback port named by
// the environment variable SENTREL_HOOKTEST_DENY_PORT (any address, IPv4 or
// IPv6) and passes every other connection on. Without the variable it
// installs nothing. It never writes to the program's stdout or stderr.
// With SENTREL_HOOKTEST_LOAD_LOG set it appends "loaded <pid>" to that file
// when it is loaded (the injector's tests load it as the tweak library).
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "platform/hook/connect_hook.h"

namespace {

sentrel::hook::ConnectFunction original_connect = nullptr;
in_port_t denied_port = 0;  // network order

int replaced_connect(int socket, const sockaddr* address, socklen_t length) {
  in_port_t port = 0;
  if (address->sa_family == AF_INET) {
    port = reinterpret_cast<const sockaddr_in*>(address)->sin_port;
  } else if (address->sa_family == AF_INET6) {
    port = reinterpret_cast<const sockaddr_in6*>(address)->sin6_port;
  }
  if (port != 0 && port == denied_port) {
    errno = ENETUNREACH;
    return -1;
  }
  return original_connect(socket, address, length);
}

void recordLoad() {
  const char* log = getenv("SENTREL_HOOKTEST_LOAD_LOG");
  if (log == nullptr) return;
  const int fd = open(log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return;
  const std::string line = "loaded " + std::to_string(getpid()) + "\n";
  [[maybe_unused]] ssize_t written = write(fd, line.data(), line.size());
  close(fd);
}

__attribute__((constructor)) void installFromEnvironment() {
  recordLoad();
  const char* text = getenv("SENTREL_HOOKTEST_DENY_PORT");
  if (text == nullptr) return;
  char* end = nullptr;
  long port = strtol(text, &end, 10);
  if (end == text || *end != '\0' || port <= 0 || port > 65535) return;
  denied_port = htons(static_cast<uint16_t>(port));
  // A failure leaves connect unhooked, which the tests that load this see.
  (void)sentrel::hook::MSHookFunction(sentrel::hook::kConnect, replaced_connect, &original_connect);
}

}  // namespace
