#include "tweak/CHooks.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <exception>
#include <initializer_list>
#include <memory>

#include "platform/hook/connect_hook.h"
#include "platform/log/system_log.h"
#include "platform/netdb/netdb.h"
#include "platform/proc/process_table.h"
#include "tweak/SNTFirewall.h"
#include "tweak/connect_requests.h"
#include "tweak/intercept.h"

namespace sentrel {

int (*original_connect)(int, const sockaddr*, socklen_t) = nullptr;

namespace {

char* putHex(char* out, uint16_t word) {
  static constexpr char kDigits[] = "0123456789abcdef";
  bool started = false;
  for (int shift = 12; shift >= 0; shift -= 4) {
    const unsigned digit = (word >> shift) & 0xFu;
    if (digit != 0 || started || shift == 0) {
      *out++ = kDigits[digit];
      started = true;
    }
  }
  return out;
}

char* putDecimal(char* out, unsigned value) {
  if (value >= 100) *out++ = static_cast<char>('0' + value / 100);
  if (value >= 10) *out++ = static_cast<char>('0' + value / 10 % 10);
  *out++ = static_cast<char>('0' + value % 10);
  return out;
}

char* putIPv4(char* out, const unsigned char* bytes) {
  for (int i = 0; i < 4; ++i) {
    if (i != 0) *out++ = '.';
    out = putDecimal(out, bytes[i]);
  }
  return out;
}

// As the C library's inet_ntop() writes it: the longest run of two or more
// zero groups (the first of equal ones) as "::", and the last 32 bits as a
// dotted quad after 96 zero bits or after ::ffff.
char* putIPv6(char* out, const unsigned char* bytes) {
  uint16_t words[8];
  for (int i = 0; i < 8; ++i)
    words[i] = static_cast<uint16_t>(bytes[2 * i] << 8 | bytes[2 * i + 1]);
  int best_base = -1, best_length = 0;
  for (int i = 0; i < 8;) {
    if (words[i] != 0) {
      ++i;
      continue;
    }
    int end = i;
    while (end < 8 && words[end] == 0) ++end;
    if (end - i > best_length) {
      best_base = i;
      best_length = end - i;
    }
    i = end;
  }
  if (best_length < 2) best_base = -1;
  for (int i = 0; i < 8; ++i) {
    if (best_base != -1 && i >= best_base && i < best_base + best_length) {
      if (i == best_base) *out++ = ':';
      continue;
    }
    if (i != 0) *out++ = ':';
    if (i == 6 && best_base == 0 &&
        (best_length == 6 || (best_length == 5 && words[5] == 0xffff))) {
      return putIPv4(out, bytes + 12);
    }
    out = putHex(out, words[i]);
  }
  if (best_base != -1 && best_base + best_length == 8) *out++ = ':';
  return out;
}

}  // namespace

size_t formatSockaddrPeer(const sockaddr* address, char (&text)[INET6_ADDRSTRLEN]) noexcept {
  if (address == nullptr) return 0;
  char* end = text;
  if (address->sa_family == AF_INET) {
    sockaddr_in v4;
    std::memcpy(&v4, address, sizeof v4);
    end = putIPv4(text, reinterpret_cast<const unsigned char*>(&v4.sin_addr));
  } else if (address->sa_family == AF_INET6) {
    sockaddr_in6 v6;
    std::memcpy(&v6, address, sizeof v6);
    // One destination, one rule key: an IPv4-mapped address is decided as
    // the IPv4 address it reaches.
    end = IN6_IS_ADDR_V4MAPPED(&v6.sin6_addr) ? putIPv4(text, &v6.sin6_addr.s6_addr[12])
                                              : putIPv6(text, v6.sin6_addr.s6_addr);
  } else {
    return 0;
  }
  *end = '\0';
  return static_cast<size_t>(end - text);
}

std::optional<std::string> getSockaddrPeer(const sockaddr* address) {
  char text[INET6_ADDRSTRLEN];
  const size_t length = formatSockaddrPeer(address, text);
  if (length == 0) return std::nullopt;
  return std::string(text, length);
}

uint16_t getSockaddrPort(const sockaddr* address) {
  if (address == nullptr) return 0;
  // The port sits right after the family in both families.
  if (address->sa_family == AF_INET) {
    return ntohs(reinterpret_cast<const sockaddr_in*>(address)->sin_port);
  }
  if (address->sa_family == AF_INET6) {
    return ntohs(reinterpret_cast<const sockaddr_in6*>(address)->sin6_port);
  }
  return 0;
}

namespace {

int passThrough(int socket, const sockaddr* address, socklen_t length) {
  auto previous = original_connect != nullptr ? original_connect : hook::realConnect();
  return previous(socket, address, length);
}

int failUnreachable() {
  errno = ENETUNREACH;
  return -1;
}

}  // namespace

namespace {

// The effects of the hook's decision, async-signal-safe: log lines into the
// ring, learning rules to the main queue (none in a vfork() child).
class HookEffects final : public internal::DecisionEffects {
 public:
  explicit HookEffects(bool read_only) : read_only_(read_only) {}

  void say(std::initializer_list<std::string_view> parts) override {
    char line[1024];
    log::lineSignalSafe(internal::joinInto(parts, line, sizeof line));
  }
  void learn(std::string_view host, std::optional<std::string_view>, int64_t value,
             bool onlyIfUnset) override {
    if (read_only_) return;
    ConnectRequest request;
    request.kind = ConnectRequest::Kind::kLearn;
    request.has_host = copyHost(host, request.host);
    request.value = value;
    request.only_if_unset = onlyIfUnset;
    postConnectRequest(request);
  }
  void guardedStepFailed(const internal::WrongKind& failure) override {
    char reason[512];
    char line[640];
    log::lineSignalSafe(internal::joinInto({"Exception: NSInvalidArgumentException ",
                                            failure.write(reason, sizeof reason)},
                                           line, sizeof line),
                        log::Level::kError);
    // No symbols: naming frames is not safe in a signal handler.
    log::lineSignalSafe("(\n    connect() hook\n)", log::Level::kError);
    log::lineSignalSafe("Intercept... prematurely blocking because prefs aren't loaded",
                        log::Level::kError);
  }

  // Copies `host` into `out` when it fits (a peer text always does).
  static bool copyHost(std::string_view host, char (&out)[INET6_ADDRSTRLEN]) {
    if (host.size() >= sizeof out) return false;
    std::memcpy(out, host.data(), host.size());
    out[host.size()] = '\0';
    return true;
  }

 private:
  bool read_only_;
};

// The machine's name servers, read once when the hook is installed (the
// hook itself may not read a file): a program's own resolver reaches them
// without a prompt, as the C library's does. Said once per process.
constexpr size_t kMaxNameServers = 8;
struct NameServers {
  char text[kMaxNameServers][INET6_ADDRSTRLEN] = {};
  std::atomic<size_t> count{0};
  std::atomic<bool> said{false};
};
constinit NameServers g_name_servers;

void readNameServers() {
  size_t count = 0;
  for (const std::string& server : netdb::configuredNameServers()) {
    if (count == kMaxNameServers || server.size() >= INET6_ADDRSTRLEN) break;
    std::memcpy(g_name_servers.text[count], server.c_str(), server.size() + 1);
    ++count;
  }
  g_name_servers.count.store(count, std::memory_order_release);
}

}  // namespace

bool isConfiguredNameServer(std::string_view peer) noexcept {
  const size_t count = g_name_servers.count.load(std::memory_order_acquire);
  for (size_t i = 0; i < count; ++i) {
    if (peer == g_name_servers.text[i]) {
      if (!g_name_servers.said.exchange(true)) {
        char line[128];
        log::lineSignalSafe(internal::joinInto(
            {"connect hook: the name server ", peer, " (port 53) is reached without a rule"}, line,
            sizeof line));
      }
      return true;
    }
  }
  return false;
}

int replaced_connect(int socket, const sockaddr* address, socklen_t address_length) {
  // The interposer never hands over a null, short or local address; a direct
  // caller might, and such an address is passed on unread.
  if (address == nullptr || address_length < sizeof(sa_family_t) ||
      (address->sa_family != AF_INET && address->sa_family != AF_INET6)) {
    return passThrough(socket, address, address_length);
  }
  // The kernel takes an IPv6 address from 24 bytes on (without its scope
  // id): that is decided like a whole one. Anything shorter is refused here,
  // never passed on.
  if (address_length < (address->sa_family == AF_INET ? sizeof(sockaddr_in) : 24u)) {
    errno = EINVAL;
    return -1;
  }
  sockaddr_storage whole{};
  std::memcpy(&whole, address,
              std::min<size_t>(address_length, sizeof whole));  // zero past the caller's bytes
  const int saved_errno = errno;
  char peer[INET6_ADDRSTRLEN];
  const size_t peer_length = formatSockaddrPeer(reinterpret_cast<const sockaddr*>(&whole), peer);
  const uint16_t port = getSockaddrPort(reinterpret_cast<const sockaddr*>(&whole));
  if (port == 53 && peer_length > 0 &&
      isConfiguredNameServer(std::string_view(peer, peer_length))) {
    errno = saved_errno;
    return passThrough(socket, address, address_length);
  }
  const std::optional<std::string_view> host =
      peer_length > 0 ? std::optional<std::string_view>(std::string_view(peer, peer_length))
                      : std::nullopt;
  const bool read_only = inVforkChild();
  HookEffects effects(read_only);
  SNTFirewall::SocketVerdict verdict = SNTFirewall::SocketVerdict::kDeny;
  try {
    verdict = SNTFirewall::decideForConnectHook(host, effects);
  } catch (...) {
    log::lineSignalSafe("connect hook failed, blocking the destination", log::Level::kError);
  }
  switch (verdict) {
    case SNTFirewall::SocketVerdict::kPassThrough:
    case SNTFirewall::SocketVerdict::kAllow:
      errno = saved_errno;
      return passThrough(socket, address, address_length);
    case SNTFirewall::SocketVerdict::kDeny:
      break;
    case SNTFirewall::SocketVerdict::kAsk:
      // A vfork() child shares the parent's memory: it asks nobody.
      if (!read_only) {
        ConnectRequest request;
        request.kind = ConnectRequest::Kind::kPrompt;
        request.has_host = host.has_value() && HookEffects::copyHost(*host, request.host);
        request.port = port;
        postConnectRequest(request);
      }
      break;
  }
  return failUnreachable();
}

void initializeCHooks() {
  log::line("sentrel initializing hooks");
  // Made now, while the host is most likely single-threaded: a first use that
  // a fork() interrupted would leave a child waiting on its guard for ever.
  SNTInterceptor::shared();
  readNameServers();
  // The hook reads the device's process table only as it is mapped already.
  proc::deviceProcessTable().pidOfProcess("launchd");
  recordConnectHookProcess();
  // Nothing in the hook calls connect() through the symbol: a signal handler
  // that connects while the hook runs is filtered too, never waved through.
  hook::declareReentrant(&replaced_connect);
  Status status = hook::MSHookFunction(hook::kConnect, &replaced_connect, &original_connect);
  if (!status.ok()) log::line("connect hook not installed: " + status.reason());
}

}  // namespace sentrel
