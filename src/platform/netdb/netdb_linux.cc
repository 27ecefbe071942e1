#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include "platform/netdb/netdb.h"

namespace sentrel::netdb {
namespace {

// The family, or AF_UNSPEC when `length` does not even cover it.
sa_family_t familyOf(const sockaddr* address, socklen_t length) {
  if (address == nullptr ||
      length < static_cast<socklen_t>(offsetof(sockaddr, sa_family) + sizeof(sa_family_t))) {
    return AF_UNSPEC;
  }
  sa_family_t family;
  std::memcpy(&family, reinterpret_cast<const char*>(address) + offsetof(sockaddr, sa_family),
              sizeof family);
  return family;
}

// Copies the family's whole structure into `out` (the caller's bytes may be
// unaligned); false when `length` is too short for it.
template <class T>
bool copyAs(const sockaddr* address, socklen_t length, T& out) {
  if (length < static_cast<socklen_t>(sizeof(T))) return false;
  std::memcpy(&out, address, sizeof(T));
  return true;
}

}  // namespace

int portForService(std::string_view scheme) {
  if (scheme.empty() || scheme.find('\0') != std::string_view::npos) return 0;
  const std::string name(scheme);
  servent entry{};
  servent* found = nullptr;
  std::vector<char> buffer(1024);
  for (;;) {
    const int error =
        getservbyname_r(name.c_str(), "tcp", &entry, buffer.data(), buffer.size(), &found);
    if (error != ERANGE || buffer.size() >= (1u << 20)) break;
    buffer.resize(buffer.size() * 2);
  }
  return found != nullptr ? ntohs(static_cast<uint16_t>(found->s_port)) : 0;
}

bool ipv6KeyText(const in6_addr& address, char (&out)[INET6_ADDRSTRLEN]) {
  if (IN6_IS_ADDR_V4MAPPED(&address)) {
    in_addr v4;
    std::memcpy(&v4, &address.s6_addr[12], sizeof v4);
    return inet_ntop(AF_INET, &v4, out, sizeof out) != nullptr;
  }
  return inet_ntop(AF_INET6, &address, out, sizeof out) != nullptr;
}

std::string canonicalHost(std::string_view host) {
  // Only an IPv6 text holds a colon; host names and IPv4 texts go unread.
  if (host.find(':') == std::string_view::npos) return std::string(host);
  std::string_view inner = host;
  if (inner.size() >= 2 && inner.front() == '[' && inner.back() == ']') {
    inner = inner.substr(1, inner.size() - 2);
  }
  char text[INET6_ADDRSTRLEN];
  if (inner.size() >= sizeof text || inner.find('\0') != std::string_view::npos) {
    return std::string(host);
  }
  std::memcpy(text, inner.data(), inner.size());
  text[inner.size()] = '\0';
  in6_addr address;
  if (inet_pton(AF_INET6, text, &address) != 1) return std::string(host);
  if (!ipv6KeyText(address, text)) return std::string(host);
  return std::string(text);
}

std::optional<std::string> addressText(const sockaddr* address, socklen_t length) {
  char text[INET6_ADDRSTRLEN];
  switch (familyOf(address, length)) {
    case AF_INET: {
      sockaddr_in in{};
      if (!copyAs(address, length, in)) return std::nullopt;
      if (inet_ntop(AF_INET, &in.sin_addr, text, sizeof text) == nullptr) return std::nullopt;
      return std::string(text);
    }
    case AF_INET6: {
      sockaddr_in6 in6{};
      if (!copyAs(address, length, in6)) return std::nullopt;
      if (!ipv6KeyText(in6.sin6_addr, text)) return std::nullopt;
      return std::string(text);
    }
    default:
      return std::nullopt;
  }
}

std::optional<uint16_t> port(const sockaddr* address, socklen_t length) {
  switch (familyOf(address, length)) {
    case AF_INET: {
      sockaddr_in in{};
      if (!copyAs(address, length, in)) return std::nullopt;
      return ntohs(in.sin_port);
    }
    case AF_INET6: {
      sockaddr_in6 in6{};
      if (!copyAs(address, length, in6)) return std::nullopt;
      return ntohs(in6.sin6_port);
    }
    default:
      return std::nullopt;
  }
}

std::vector<std::string> configuredNameServers(const std::string& resolv_conf) {
  std::vector<std::string> servers;
  std::ifstream file(resolv_conf);
  std::string line;
  while (std::getline(file, line)) {
    std::istringstream words(line);
    std::string keyword, address;
    if (!(words >> keyword >> address) || keyword != "nameserver") continue;
    // A zone ("fe80::1%eth0") names an interface the key text has no room for.
    address = address.substr(0, address.find('%'));
    in_addr v4{};
    in6_addr v6{};
    if (inet_pton(AF_INET, address.c_str(), &v4) == 1) {
      servers.push_back(address);
    } else if (inet_pton(AF_INET6, address.c_str(), &v6) == 1) {
      servers.push_back(canonicalHost(address));
    }
  }
  return servers;
}

}  // namespace sentrel::netdb
