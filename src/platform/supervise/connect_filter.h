// The seccomp filter an app runs under: the kernel hands every connection
// attempt the injected library did not pass on to a supervisor that holds
// the filter's listener (connect_supervisor.h).
//
// What the filter does, per system call of the filtered process and every
// process it starts (a filter is inherited through fork, clone and exec, by
// static programs and under a cleared environment alike):
//  - a call of another architecture than the native one (an `int 0x80`
//    call of a 32-bit program on x86-64) and an x32 call fail with ENOSYS:
//    32-bit programs are not supported inside an app;
//  - connect() goes to the supervisor, unless its fourth register (unused by
//    the kernel) holds the launch's token: the injected library passes the
//    connects it decided itself, and local sockets, with the token;
//  - sendto(), sendmsg() and sendmmsg() go to the supervisor only when their
//    flags hold MSG_FASTOPEN (a TCP Fast Open connects without connect());
//  - io_uring_setup(), io_uring_enter() and io_uring_register() fail with
//    ENOSYS: the filter cannot see the operations of a ring, and programs
//    that use one fall back to the plain calls on ENOSYS;
//  - an SCTP socket (IPPROTO_SCTP, or a SOCK_SEQPACKET socket of AF_INET or
//    AF_INET6, which the kernel makes SCTP) fails with EPROTONOSUPPORT: SCTP
//    connects through setsockopt(SCTP_SOCKOPT_CONNECTX) as well;
//  - seccomp(SECCOMP_SET_MODE_FILTER) with SECCOMP_FILTER_FLAG_NEW_LISTENER
//    fails with EPERM: no app supervises itself, or its children, past us;
//  - pidfd_getfd() fails with EPERM: no app takes a descriptor out of
//    another process (the supervisor's listeners among them);
//  - everything else runs as usual.
//
// The token is no secret: a program can read it from its environment. It
// only keeps honest dynamic programs on their fast path.
//
// Async-signal-safe and allocation-free apart from buildConnectFilter(), so
// that a launcher can install the filter between fork and exec.
#pragma once

#include <linux/filter.h>

#include <cstddef>
#include <cstdint>

namespace sentrel::supervise {

// The environment variable that carries the launch's token to the injected
// library: "<16 hexadecimal digits>:<the app's bundle path>". The library
// uses the token only while its own bundle (SENTREL_BUNDLE_PATH, which
// decides whose rules it applies) is still the launch's: a process whose
// environment names another app is decided again by the supervisor, as the
// app it was launched under.
inline constexpr const char* kConnectTokenEnv = "SENTREL_CONNECT_TOKEN";
inline constexpr const char* kBundlePathEnv = "SENTREL_BUNDLE_PATH";  // as bundle/main_bundle.h

// The filter program for `token` (which must not be 0). 64 instructions are
// always enough.
inline constexpr size_t kMaxFilterLength = 64;
struct ConnectFilter {
  sock_filter code[kMaxFilterLength];
  unsigned short length = 0;
};
ConnectFilter buildConnectFilter(uint64_t token) noexcept;

// Sets no-new-privileges and installs `filter` for the calling thread's
// process with a new listener (and, where the kernel has them, the flags
// that make a supervised call wait killably and keep other threads
// unaffected). Returns the listener descriptor (close-on-exec), or -errno.
int installConnectFilter(const ConnectFilter& filter) noexcept;

// "0123456789abcdef" <-> the token; parseConnectToken() gives 0 for
// anything that is not exactly 16 hexadecimal digits.
void formatConnectToken(uint64_t token, char (&text)[17]) noexcept;
uint64_t parseConnectToken(const char* text) noexcept;
// The token of a kConnectTokenEnv value, when its bundle path is
// `bundle_path`; 0 otherwise (either is null, malformed, or they differ).
uint64_t connectTokenForBundle(const char* value, const char* bundle_path) noexcept;

}  // namespace sentrel::supervise
