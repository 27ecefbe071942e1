// libsentrel_hooktest.so: the connect interposer as a program gets it when
// preloaded, with a replacement that denies the one loopback port named by
// the environment variable SENTREL_HOOKTEST_DENY_PORT (any address, IPv4 or
// IPv6) and passes every other connection on. Without the variable it
// installs nothing. It never writes to the program's stdout or stderr.
#include <errno.h>
#include <netinet/in.h>
#include <stdlib.h>

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

__attribute__((constructor)) void installFromEnvironment() {
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
