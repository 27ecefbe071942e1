// The C library's resolver: inet_pton() to read address texts and
// getnameinfo() for the reverse lookup. The only file that includes the
// resolver's headers.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/resolve/resolver.h"

namespace sentrel::resolve {
namespace {

// Reads `text` into a socket address ready for getnameinfo(). False when it
// is not an IPv4 or IPv6 address text.
bool parseAddress(std::string_view text, sockaddr_storage& storage, socklen_t& length) {
  // inet_pton() reads a C string: a NUL inside the text would cut it short
  // and let "1.2.3.4\0junk" pass as an address.
  if (text.find('\0') != std::string_view::npos) return false;
  const std::string terminated(text);
  storage = {};
  auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
  if (inet_pton(AF_INET, terminated.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    length = sizeof(sockaddr_in);
    return true;
  }
  storage = {};
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
  if (inet_pton(AF_INET6, terminated.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    length = sizeof(sockaddr_in6);
    return true;
  }
  return false;
}

class SystemResolver final : public Resolver {
 public:
  Result<Names> namesForAddress(const std::string& address) override {
    sockaddr_storage storage;
    socklen_t length = 0;
    if (!parseAddress(address, storage, length)) {
      return Result<Names>::Error("not an IP address");
    }
    char host[NI_MAXHOST];
    // NI_NAMEREQD: without a name the call fails instead of handing back the
    // numeric text, which is not a name.
    const int rc = getnameinfo(reinterpret_cast<const sockaddr*>(&storage), length, host,
                               sizeof host, nullptr, 0, NI_NAMEREQD);
    if (rc == 0) return Names{std::string(host)};
    if (rc == EAI_NONAME) return Names{};
    if (rc == EAI_SYSTEM) {
      return Result<Names>::FromErrno("getnameinfo");
    }
    return Result<Names>::Error(std::string("getnameinfo: ") + gai_strerror(rc));
  }
};

}  // namespace

bool isIPAddress(std::string_view text) {
  sockaddr_storage storage;
  socklen_t length = 0;
  return parseAddress(text, storage, length);
}

std::shared_ptr<Resolver> systemResolver() {
  // Never destroyed: lookups may still be running on workers at exit.
  static auto* resolver = new std::shared_ptr<Resolver>(std::make_shared<SystemResolver>());
  return *resolver;
}

}  // namespace sentrel::resolve
