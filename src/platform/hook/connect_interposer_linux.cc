// The exported connect(). Only the library that is to interpose the C
// library's connect links this file (through the object library
// sentrel_connect_interposer); everything else of the tree is hidden.
#include <sys/socket.h>

#include "platform/hook/connect_hook.h"

extern "C" __attribute__((visibility("default"))) int connect(int socket, const sockaddr* address,
                                                              socklen_t address_length) {
  return sentrel::hook::interposedConnect(socket, address, address_length);
}

namespace {

// Resolve the real connect while the process is still single-threaded, so
// that no connect() call ever pays for the look-up.
__attribute__((constructor)) void resolveRealConnectEarly() {
  sentrel::hook::realConnect();
}

}  // namespace
