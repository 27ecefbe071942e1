// connect() through the interposer against the real libc connect, in one
// binary: compare BM_*Interposed with BM_*Libc of the same transport for the
// hook's cost on the allowed path, and BM_ConnectDenied with BM_UdpConnectLibc
// for what a denied call costs against one that reaches the kernel.
//
// TCP: a loopback listener whose thread accepts and closes; the client
// closes with a reset (SO_LINGER 0) so no TIME_WAIT piles up. UDP: connect()
// only sets the peer, which shows the hook's own cost more sharply.
#include <sys/socket.h>

#include <atomic>
#include <cstdlib>

#include <benchmark/benchmark.h>

#include "platform/hook/connect_hook.h"
#include "platform/hook/loopback.h"

namespace sentrel::hook {
namespace {

using testing::Fd;
using testing::loopback4;
using testing::LoopbackSocket;
using testing::tcpConnects;

ConnectFunction original_connect = nullptr;
std::atomic<uint16_t> denied_port{0};

int allowAll(int socket, const sockaddr* address, socklen_t length) {
  return original_connect(socket, address, length);
}

int denyOnePort(int socket, const sockaddr* address, socklen_t length) {
  if (testing::portOf(address) == denied_port) {
    errno = ENETUNREACH;
    return -1;
  }
  return original_connect(socket, address, length);
}

class ScopedHook {
 public:
  explicit ScopedHook(ConnectFunction replacement) {
    if (!MSHookFunction(kConnect, replacement, &original_connect)) abort();
  }
  ~ScopedHook() {
    if (!MSHookFunction(kConnect, realConnect(), nullptr)) abort();
  }
};

template <class Connect>
void udpConnects(benchmark::State& state, Connect connect) {
  LoopbackSocket target(AF_INET, SOCK_DGRAM);
  auto address = loopback4(target.port());
  Fd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  for (auto _ : state) {
    if (connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      state.SkipWithError("connect failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_TcpConnectLibc(benchmark::State& state) {
  tcpConnects(state, realConnect());
}
BENCHMARK(BM_TcpConnectLibc);

void BM_TcpConnectInterposed(benchmark::State& state) {
  ScopedHook hook(allowAll);
  tcpConnects(state, ::connect);
}
BENCHMARK(BM_TcpConnectInterposed);

void BM_UdpConnectLibc(benchmark::State& state) {
  udpConnects(state, realConnect());
}
BENCHMARK(BM_UdpConnectLibc);

void BM_UdpConnectInterposed(benchmark::State& state) {
  ScopedHook hook(allowAll);
  udpConnects(state, ::connect);
}
BENCHMARK(BM_UdpConnectInterposed);

// No replacement installed: the interposer alone.
void BM_UdpConnectInterposerWithoutHook(benchmark::State& state) {
  udpConnects(state, ::connect);
}
BENCHMARK(BM_UdpConnectInterposerWithoutHook);

void BM_ConnectDenied(benchmark::State& state) {
  LoopbackSocket target(AF_INET, SOCK_DGRAM);
  denied_port = target.port();
  ScopedHook hook(denyOnePort);
  auto address = loopback4(target.port());
  Fd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  for (auto _ : state) {
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != -1) {
      state.SkipWithError("connect was not denied");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ConnectDenied);

}  // namespace
}  // namespace sentrel::hook
