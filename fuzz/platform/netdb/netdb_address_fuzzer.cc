// Socket addresses as a program hands them to connect(): any bytes, any
// length. Text that comes out must parse back to the same address (an
// IPv4-mapped one to the IPv4 address it maps). The same bytes read as a
// host text: its key text must be its own key text.
#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "platform/netdb/netdb.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 256) return 0;
  // An exact-size heap copy, so that reading one byte too far is caught.
  std::vector<uint8_t> bytes(data, data + size);
  const auto* address = reinterpret_cast<const sockaddr*>(bytes.data());
  const auto length = static_cast<socklen_t>(size);
  const std::string_view host(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  const std::string key = sentrel::netdb::canonicalHost(host);
  if (sentrel::netdb::canonicalHost(key) != key) abort();
  if (key != host && host.find(':') == std::string_view::npos) abort();

  const std::optional<std::string> text = sentrel::netdb::addressText(address, length);
  const std::optional<uint16_t> port = sentrel::netdb::port(address, length);
  if (text.has_value() != port.has_value()) abort();
  if (!text) return 0;
  sa_family_t family;
  std::memcpy(&family, bytes.data() + offsetof(sockaddr, sa_family), sizeof family);
  if (family == AF_INET) {
    in_addr parsed{};
    if (inet_pton(AF_INET, text->c_str(), &parsed) != 1) abort();
    if (std::memcmp(&parsed, bytes.data() + offsetof(sockaddr_in, sin_addr), sizeof parsed) != 0) {
      abort();
    }
    return 0;
  }
  in6_addr sent{};
  std::memcpy(&sent, bytes.data() + offsetof(sockaddr_in6, sin6_addr), sizeof sent);
  if (IN6_IS_ADDR_V4MAPPED(&sent)) {
    in_addr parsed{};
    if (inet_pton(AF_INET, text->c_str(), &parsed) != 1) abort();
    if (std::memcmp(&parsed, bytes.data() + offsetof(sockaddr_in6, sin6_addr) + 12,
                    sizeof parsed) != 0) {
      abort();
    }
  } else {
    in6_addr parsed{};
    if (inet_pton(AF_INET6, text->c_str(), &parsed) != 1) abort();
    if (std::memcmp(&parsed, bytes.data() + offsetof(sockaddr_in6, sin6_addr), sizeof parsed) !=
        0) {
      abort();
    }
  }
  return 0;
}
