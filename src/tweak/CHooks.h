// The socket-level hook: outbound connect() calls of a filtered app, decided
// by the process firewall at the moment of the call. (What the C library
// makes without the symbol, a static program and raw system calls reach
// the device's supervisor instead: platform/supervise.)
//
// A connection the rules allow goes on through the previous connect. One
// they deny fails at once (-1, ENETUNREACH); one without a rule fails the
// same way while a prompt request goes to SpringBoard, whose answer applies
// to later connections. The hook never waits for the user and examines only
// IPv4 and IPv6 destinations.
//
// What is gated: every connect() a program makes through the C library's
// symbol, TCP and UDP alike (a UDP socket's connect() is decided like a TCP
// one). Not gated: the C library's own resolver (its sockets never go
// through the symbol, so DNS queries are not seen), raw system calls, and
// datagrams sent with sendto()/sendmsg() on an unconnected socket.
//
// The hook is async-signal-safe: connect() is, so a program may call it
// from a signal handler, in a vfork() child, or while another of its threads
// is inside malloc or holds any library lock. It decides from the process
// firewall's immutable snapshot (borrowed, never reference-counted), writes
// the peer's text into a stack buffer, logs into the device's log ring and
// hands prompt requests and learning rules to the library's main queue
// through a lock-free queue (connect_requests.h). A connect from a signal
// handler that interrupts the hook is decided like any other. In a vfork()
// child it decides read-only: an undecided destination fails without a
// prompt request, and no learning rule is written.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

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

// Whether `peer` (a key text) is one of the machine's configured name
// servers, as read when the hooks were installed; the first time, says so
// in the log. Async-signal-safe.
bool isConfiguredNameServer(std::string_view peer) noexcept;

// Logs "sentrel initializing hooks" and replaces connect with
// replaced_connect. Call once, at start-up.
void initializeCHooks();

// The destination address as its rule key (netdb::ipv6KeyText: "10.0.0.1",
// "::1", and "127.0.0.1" for ::ffff:127.0.0.1); none for families other
// than IPv4 and IPv6, and for a null address.
std::optional<std::string> getSockaddrPeer(const sockaddr* address);

// The same text, as the C library's inet_ntop() writes it, into `text`;
// returns its length, 0 for none. Async-signal-safe. REQUIRES: `address`
// holds a whole sockaddr_in / sockaddr_in6 for those families.
size_t formatSockaddrPeer(const sockaddr* address, char (&text)[INET6_ADDRSTRLEN]) noexcept;

// The destination port in host byte order; 0 for other families or a null
// address.
uint16_t getSockaddrPort(const sockaddr* address);

}  // namespace sentrel
