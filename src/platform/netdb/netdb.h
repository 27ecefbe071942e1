// The services database and socket-address text.
//
// Thread-safe; nothing is logged. The address functions take a socket
// address exactly as a program handed it to connect(): any bytes, any
// alignment, any length. They read at most `length` bytes and never trust the
// family to promise more than that.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace sentrel::netdb {

// The TCP port of a service name from the services database ("http" → 80),
// in host byte order; 0 when the name is unknown.
int portForService(std::string_view scheme);

// The numeric text of an IPv4 ("93.184.216.34") or IPv6 ("2001:db8::1")
// address; nullopt for other families, a null address or a length too short
// for the family's structure.
std::optional<std::string> addressText(const sockaddr* address, socklen_t length);

// The port of an IPv4 or IPv6 address in host byte order; nullopt as above.
std::optional<uint16_t> port(const sockaddr* address, socklen_t length);

}  // namespace sentrel::netdb
