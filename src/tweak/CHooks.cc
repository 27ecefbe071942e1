#include "tweak/CHooks.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cerrno>
#include <exception>
#include <memory>

#include "platform/hook/connect_hook.h"
#include "platform/log/system_log.h"
#include "platform/netdb/netdb.h"
#include "tweak/SNTFirewall.h"
#include "tweak/intercept.h"

namespace sentrel {

int (*original_connect)(int, const sockaddr*, socklen_t) = nullptr;

std::optional<std::string> getSockaddrPeer(const sockaddr* address) {
  if (address == nullptr) return std::nullopt;
  char text[INET6_ADDRSTRLEN] = {};  // 46 bytes, the longest IPv6 text
  if (address->sa_family == AF_INET) {
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(address);
    if (inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text) == nullptr) return std::nullopt;
    return std::string(text);
  }
  if (address->sa_family == AF_INET6) {
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(address);
    if (!netdb::ipv6KeyText(v6->sin6_addr, text)) return std::nullopt;  // mapped: its IPv4 text
    return std::string(text);
  }
  return std::nullopt;
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

int replaced_connect(int socket, const sockaddr* address, socklen_t address_length) {
  // The interposer never hands over a null, short or local address; a direct
  // caller might, and such an address is passed on unread.
  if (address == nullptr || address_length < sizeof(sa_family_t) ||
      (address->sa_family != AF_INET && address->sa_family != AF_INET6)) {
    return passThrough(socket, address, address_length);
  }
  const int saved_errno = errno;
  try {
    std::shared_ptr<SNTFirewall> firewall = SNTFirewall::current_raw();
    if (firewall == nullptr || !firewall->enabled() || !firewall->filterStreams()) {
      errno = saved_errno;
      return passThrough(socket, address, address_length);
    }
    std::optional<std::string> peer = getSockaddrPeer(address);
    if (firewall->shouldAllow(peer ? SNTDestination(*peer) : SNTDestination())) {
      errno = saved_errno;
      return passThrough(socket, address, address_length);
    }
    if (!firewall->shouldDeny(peer ? SNTDestination(*peer) : SNTDestination())) {
      SNTInterceptor::shared().showUnResumableFirewallAlert(
          peer, static_cast<int64_t>(getSockaddrPort(address)), kUnresumableWarning, [](bool) {});
    }
  } catch (const std::exception& e) {
    log::line("connect hook failed, blocking the destination: " + std::string(e.what()));
  } catch (...) {
    log::line("connect hook failed, blocking the destination");
  }
  return failUnreachable();
}

void initializeCHooks() {
  log::line("sentrel initializing hooks");
  // Made now, while the host is most likely single-threaded: a first use that
  // a fork() interrupted would leave a child waiting on its guard for ever.
  SNTInterceptor::shared();
  Status status = hook::MSHookFunction(hook::kConnect, &replaced_connect, &original_connect);
  if (!status.ok()) log::line("connect hook not installed: " + status.reason());
}

}  // namespace sentrel
