#include <cxxabi.h>
#include <dlfcn.h>
#include <errno.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "platform/hook/connect_hook.h"
#include "platform/supervise/connect_filter.h"

namespace sentrel::hook {
namespace {

// Both start as null without a constructor, so they are usable by a
// connect() that comes before this library's constructors have run.
constinit std::atomic<ConnectFunction> real_connect{nullptr};
constinit std::atomic<ConnectFunction> installed{nullptr};  // nullptr: none
constinit std::atomic<ConnectFunction> reentrant{nullptr};  // declared reentrant

// initial-exec: a fixed offset from the thread pointer, so reading it never
// calls __tls_get_addr (which may allocate for a library's first use on a
// thread).
constinit thread_local bool inside_replacement __attribute__((tls_model("initial-exec"))) = false;

// How many replacements run on this thread, nested (signal handlers).
constinit thread_local int nesting __attribute__((tls_model("initial-exec"))) = 0;

// Threads of the URL loading system (see connect_hook.h).
constinit thread_local bool url_loading_thread __attribute__((tls_model("initial-exec"))) = false;

int connectBySyscall(int socket, const sockaddr* address, socklen_t length) {
  return static_cast<int>(::syscall(SYS_connect, socket, address, length));
}

// The launch's token (supervise/connect_filter.h), 0 outside a supervised app.
constinit std::atomic<uint64_t> connect_token{0};

// connect() with the token in its fourth register: the app's connect filter
// lets it through without asking the supervisor, which would decide it again.
// Not a cancellation point, unlike the C library's connect().
int connectWithToken(int socket, const sockaddr* address, socklen_t length) {
  return static_cast<int>(::syscall(SYS_connect, socket, address, length,
                                    connect_token.load(std::memory_order_relaxed), 0, 0));
}

[[gnu::noinline]] ConnectFunction resolveRealConnect() noexcept {
  int saved_errno = errno;  // dlsym may set it; the caller's errno stays
  ConnectFunction next = nullptr;
  const uint64_t token = supervise::connectTokenForBundle(getenv(supervise::kConnectTokenEnv),
                                                          getenv(supervise::kBundlePathEnv));
  if (token != 0) {
    connect_token.store(token, std::memory_order_relaxed);
    next = &connectWithToken;
  } else {
    next = reinterpret_cast<ConnectFunction>(dlsym(RTLD_NEXT, "connect"));
  }
  if (next == nullptr) next = &connectBySyscall;
  // Racing first callers all find the same function; any store wins.
  real_connect.store(next, std::memory_order_release);
  errno = saved_errno;
  return next;
}

// Sets the re-entry flag for the replacement's duration; also on unwinding.
class ReplacementScope {
 public:
  ReplacementScope() noexcept : previous_(inside_replacement) {
    inside_replacement = true;
    ++nesting;
  }
  ~ReplacementScope() {
    inside_replacement = previous_;
    --nesting;
  }
  ReplacementScope(const ReplacementScope&) = delete;
  ReplacementScope& operator=(const ReplacementScope&) = delete;

 private:
  bool previous_;
};

}  // namespace

ConnectFunction realConnect() noexcept {
  ConnectFunction real = real_connect.load(std::memory_order_acquire);
  if (real != nullptr) [[likely]]
    return real;
  return resolveRealConnect();
}

ConnectFunction installedConnect() noexcept {
  ConnectFunction current = installed.load(std::memory_order_acquire);
  return current != nullptr ? current : realConnect();
}

bool insideReplacement() noexcept {
  return inside_replacement;
}

void declareReentrant(ConnectFunction replacement) noexcept {
  reentrant.store(replacement, std::memory_order_release);
}

Status MSHookFunction(ConnectSymbol, ConnectFunction replacement, ConnectFunction* previous) {
  if (replacement == nullptr) return Status::Error("cannot hook connect: no replacement");
  ConnectFunction real = realConnect();
  ConnectFunction current = installed.load(std::memory_order_acquire);
  for (;;) {
    if (previous != nullptr) *previous = current != nullptr ? current : real;
    // Release: the store to *previous is visible to whoever calls the
    // replacement after loading it with acquire.
    if (installed.compare_exchange_weak(current, replacement, std::memory_order_acq_rel,
                                        std::memory_order_acquire)) {
      return Status::Ok();
    }
  }
}

// no_sanitize("null"): a forced unwind is not a C++ object, so its catch
// clause binds a reference to null, which is how the ABI catches it.
__attribute__((no_sanitize("null"))) int interposedConnect(int socket, const sockaddr* address,
                                                           socklen_t length) {
  ConnectFunction real = realConnect();
  ConnectFunction current = installed.load(std::memory_order_acquire);
  const bool waved_through =
      inside_replacement && current != reentrant.load(std::memory_order_relaxed);
  if (current == nullptr || current == real || waved_through || url_loading_thread) {
    return real(socket, address, length);
  }
  // Read nothing that the caller did not hand over: a null or short address,
  // or one too long for any family the firewall knows, goes on unread.
  if (address == nullptr || length < sizeof(sa_family_t) || length > sizeof(sockaddr_storage)) {
    return real(socket, address, length);
  }
  sa_family_t family;
  std::memcpy(&family, address, sizeof family);  // alignment-safe
  if (family == AF_UNIX) return real(socket, address, length);

  if (nesting >= kMaxNesting) {
    // Handlers nested this deep: refused rather than let through unfiltered.
    errno = ENETUNREACH;
    return -1;
  }
  sockaddr_storage view;
  std::memcpy(&view, address, length);
  std::memset(reinterpret_cast<char*>(&view) + length, 0, sizeof view - length);
  try {
    ReplacementScope scope;
    return current(socket, reinterpret_cast<const sockaddr*>(&view), length);
  } catch (abi::__forced_unwind&) {
    throw;  // thread cancellation must unwind on
  } catch (...) {
    // The replacement's own guarded steps log their failures; this is the
    // last line before an exception would cross into the host's C code.
    errno = ENETUNREACH;
    return -1;
  }
}

void markURLLoadingThread() noexcept {
  url_loading_thread = true;
}

}  // namespace sentrel::hook

extern "C" __attribute__((visibility("default"))) void sentrel_connect_url_loading_thread_v1() {
  sentrel::hook::markURLLoadingThread();
}
