// The `connect` interposer: the device's stand-in for MSHookFunction on the C
// library's connect().
//
// The library that links the object library `sentrel_connect_interposer`
// exports its own `connect` (connect_interposer_linux.cc). Loaded first
// (LD_PRELOAD), it receives every connect() call that the program and its
// shared libraries make through the dynamic linker. Each call runs the
// implementation installed with MSHookFunction(), or the real connect while
// none is installed. "Real" is the next definition after the interposer's
// module (dlsym(RTLD_NEXT)), resolved in a constructor and, should connect()
// come before constructors run, on first use.
//
// Not seen: calls that the C library makes internally (its resolver's
// sockets) and raw system calls; they never go through the dynamic linker.
// A UDP socket's connect() is seen like a TCP one; datagrams sent with
// sendto()/sendmsg() on an unconnected socket involve no connect() at all.
//
// What the installed replacement is called with, and when:
//  - Calls whose address is null, shorter than a family field, longer than a
//    sockaddr_storage (the kernel refuses those with EINVAL) or of family
//    AF_UNIX go straight to the real connect: local sockets are never
//    examined by the firewall, and an address that cannot be read safely is
//    never read.
//  - A call made on a thread that is already inside the replacement (the
//    replacement logs, resolves a name or passes the call on through
//    connect() itself) goes straight to the real connect, unless the
//    replacement was declared reentrant (declareReentrant()): then the call
//    (a signal handler's, interrupting the replacement) runs it too. Calls
//    nested deeper than kMaxNesting fail with ENETUNREACH.
//  - Otherwise the replacement gets (fd, view, length): `view` is a private
//    copy of the caller's address in a sockaddr_storage, zero past
//    `length`, so the replacement may read a whole sockaddr_in6 without
//    reading past the caller's buffer, and what it examines is exactly what
//    it passes on, however the caller's buffer changes meanwhile.
//  - What the replacement returns, and the errno it leaves, is what the
//    caller sees: the machinery never changes errno on its way.
//  - A replacement that throws blocks the connection: -1 with ENETUNREACH.
//    Thread cancellation (a forced unwind) passes through.
//
// Threads: connect() may be called on any thread, in a fork()ed child too.
// The pass-through and replacement paths take no lock, never block beyond
// the real connect, and allocate nothing. MSHookFunction() may run while
// other threads connect: every call runs either the old or the new
// implementation.
#pragma once

#include <sys/socket.h>

#include "platform/base/status.h"

namespace sentrel::hook {

using ConnectFunction = int (*)(int socket, const sockaddr* address, socklen_t address_length);

// Names the hookable function, as MSHookFunction's first argument:
// MSHookFunction(kConnect, replaced_connect, &original_connect).
struct ConnectSymbol {};
inline constexpr ConnectSymbol kConnect{};

// Installs `replacement` as the implementation of connect() for every thread
// and stores the implementation it replaced (the real connect while nothing
// else was installed) in `*previous`, unless `previous` is nullptr.
// `*previous` is written before any thread can call `replacement`, so a
// replacement that passes calls on through it never finds it unset; a
// replacement that is already running elsewhere must not read it while it
// is being written (install once, at start-up; tests that swap often pass
// nullptr). Installing realConnect() turns the hook off again.
// Fails and changes nothing when `replacement` is nullptr.
Status MSHookFunction(ConnectSymbol, ConnectFunction replacement, ConnectFunction* previous);

// The real connect(), resolved once. Never nullptr: without a next
// definition it is a direct system call.
ConnectFunction realConnect() noexcept;

// The implementation connect() runs now: the installed replacement or
// realConnect().
ConnectFunction installedConnect() noexcept;

// What the exported connect() runs (see above). Callable directly by code
// that wants the hooked behaviour without going through the symbol.
int interposedConnect(int socket, const sockaddr* address, socklen_t address_length);

// Marks the calling thread, for the rest of its life, as a thread of the URL
// loading system (the URL session's and web views' transfer thread): its
// connect() calls go straight to the real connect. On the phone that system
// never calls the C library's connect, so a request that the request-level
// hooks let through is not asked about again at socket level. The Foundation
// stand-ins, which live in the program and not in the injected library,
// reach this through the exported C symbol
// sentrel_connect_url_loading_thread_v1 (looked up with dlsym; absent when
// no library with the interposer is loaded).
void markURLLoadingThread() noexcept;

// True while the calling thread runs the installed replacement.
bool insideReplacement() noexcept;

inline constexpr int kMaxNesting = 8;

// Declares `replacement` async-signal-safe and free of connect() calls of
// its own (it passes calls on through the implementation it replaced, not
// through the symbol). While it is installed, a connect() made on a thread
// that is inside it (a signal handler that interrupted it) is not waved
// through to the real connect as a re-entered call: it runs the replacement,
// nested. Without this, a handler that connects while the thread it
// interrupted is inside the hook would get past the firewall.
void declareReentrant(ConnectFunction replacement) noexcept;

}  // namespace sentrel::hook
