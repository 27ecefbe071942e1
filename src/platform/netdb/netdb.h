// The services database and socket-address text.
//
// Thread-safe; nothing is logged. The address functions take a socket
// address exactly as a program handed it to connect(): any bytes, any
// alignment, any length. They read at most `length` bytes and never trust the
// family to promise more than that.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sentrel::netdb {

// The TCP port of a service name from the services database ("http" → 80),
// in host byte order; 0 when the name is unknown.
int portForService(std::string_view scheme);

// One destination has one text, the key its rules are stored under:
//  - an IPv4 address is its dotted text ("127.0.0.1");
//  - an IPv4-mapped IPv6 address (::ffff:127.0.0.1) is the text of the IPv4
//    address it maps, since a connect to it reaches that address;
//  - any other IPv6 address is its canonical text (RFC 5952, as inet_ntop
//    writes it: "::1", never "0:0:0:0:0:0:0:1" or "[::1]").

// The key text of an IPv6 address, written into `out` with its NUL; false
// only when inet_ntop fails. Allocates nothing and takes no lock, so a
// connect hook may call it from a signal handler.
bool ipv6KeyText(const in6_addr& address, char (&out)[INET6_ADDRSTRLEN]);

// The key text of a host as a rule, a URL or a command line names it: an
// IPv6 address, bare or in URL brackets ("[::1]", "0:0::1"), becomes its key
// text as above; every other text (a host name, an IPv4 address, an IPv6
// text with a zone, anything unparsable) is returned unchanged. Host names
// keep their letter case: rule keys are compared case-sensitively.
std::string canonicalHost(std::string_view host);

// The key text of an IPv4 ("93.184.216.34") or IPv6 ("2001:db8::1")
// address, as above; nullopt for other families, a null address or a length
// too short for the family's structure.
std::optional<std::string> addressText(const sockaddr* address, socklen_t length);

// The port of an IPv4 or IPv6 address in host byte order; nullopt as above.
std::optional<uint16_t> port(const sockaddr* address, socklen_t length);

// The name servers the machine's resolver is configured with: the
// "nameserver" lines of `resolv_conf` (the C library's /etc/resolv.conf), as
// key texts, in file order; empty when the file cannot be read. Lines that
// hold no IPv4 or IPv6 address are skipped.
std::vector<std::string> configuredNameServers(const std::string& resolv_conf = "/etc/resolv.conf");

}  // namespace sentrel::netdb
