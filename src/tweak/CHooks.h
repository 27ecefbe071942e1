// The socket-level hook: outbound connect() calls of a filtered app, decided
// by the process firewall at the moment of the call.
//
// A connection the rules allow goes on through the previous connect. One
// they deny fails at once (-1, ENETUNREACH); one without a rule fails the
// same way while a prompt request goes to SpringBoard, whose answer applies
// to later connections. The hook never waits for the user, holds no lock of
// its own and examines only IPv4 and IPv6 destinations.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <optional>
#include <string>

namespace sentrel {

// The warning sent with every socket prompt: the failed connection is not
// retried for the app.
inline constexpr const char* kUnresumableWarning =
    "Warning: This task can't be resumed. You may need to restart this app if you click 'Allow'.";

// The previous connect, saved by initializeCHooks(); nullptr before.
extern int (*original_connect)(int socket, const sockaddr* address, socklen_t address_length);

// connect()'s replacement. Returns what connect returns; errno is what the
// previous connect left, or ENETUNREACH for a blocked destination.
int replaced_connect(int socket, const sockaddr* address, socklen_t address_length);

// Logs "sentrel initializing hooks" and replaces connect with
// replaced_connect. Call once, at start-up.
void initializeCHooks();

// The destination address as its rule key (netdb::ipv6KeyText: "10.0.0.1",
// "::1", and "127.0.0.1" for ::ffff:127.0.0.1); none for families other
// than IPv4 and IPv6, and for a null address.
std::optional<std::string> getSockaddrPeer(const sockaddr* address);

// The destination port in host byte order; 0 for other families or a null
// address.
uint16_t getSockaddrPort(const sockaddr* address);

}  // namespace sentrel
