// connect() through Sentrel's socket hook, with the process firewall of an
// app that holds 10,000 host rules, against the plain libc connect in the
// same run: BM_TcpConnectThroughFirewall / BM_TcpConnectLibc is the hook's
// cost on the allowed path (the goal: a median within 5 %). BM_DeniedDecision
// is what a blocked connection costs the app: the decision and the failure,
// no system call.
//
// The device is set up in-process: a temporary device root with the settings
// file, the app's identity, a process table in which launchd and SpringBoard
// run, an in-process notification center and a quiet log.
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <string>

#include <benchmark/benchmark.h>

#include "platform/bundle/main_bundle.h"
#include "platform/env/environment.h"
#include "platform/hook/connect_hook.h"
#include "platform/hook/loopback.h"
#include "platform/log/system_log.h"
#include "platform/notify/notification_center.h"
#include "platform/paths/device_paths.h"
#include "platform/plist/plist_codec.h"
#include "platform/plist/value.h"
#include "platform/proc/process_table.h"
#include "platform/runloop/run_loop.h"
#include "tweak/CHooks.h"
#include "tweak/SNTFirewall.h"

namespace sentrel {
namespace {

using hook::testing::Fd;
using hook::testing::loopback4;
using hook::testing::tcpConnects;

constexpr int kRules = 10000;

class NullSink final : public log::Sink {
 public:
  void write(log::Level, std::string_view) override {}
};

// The app "com.example.bench" on a device of its own, its firewall loaded,
// the socket hook installed. Made once for the whole run.
struct Device {
  Device() {
    log::setSink(&sink);
    char folder[] = "/tmp/sentrel-bench-XXXXXX";
    root = mkdtemp(folder);
    table.add(1, 0, "launchd");
    table.add(50, 1, "SpringBoard");
    center = notify::makeInProcessCenter(loop);
    installed = std::make_unique<env::ScopedEnvironment>(env::Environment{
        .device_root = root, .process_table = &table, .notification_center = center.get()});

    plist::MutableDict domains;
    for (int i = 0; i < kRules - 2; ++i) {
      domains.set("host" + std::to_string(i) + ".example.com",
                  plist::Value::dictOf({{"allowed", plist::Value::integer(i % 2 == 0 ? 1 : 2)}}));
    }
    domains.set("127.0.0.1", plist::Value::dictOf({{"allowed", plist::Value::integer(1)}}));
    domains.set("127.0.0.2", plist::Value::dictOf({{"allowed", plist::Value::integer(2)}}));
    plist::Value settings = plist::Value::dictOf(
        {{"apps", plist::Value::dictOf(
                      {{"com.example.bench",
                        plist::Value::dictOf({{"domains", std::move(domains).build()}})}})}});
    const std::filesystem::path file =
        paths::resolve("/var/mobile/Library/Preferences/ca.kelmora.sentrel_preferences.plist");
    std::filesystem::create_directories(file.parent_path());
    if (!plist::writeFileAtomically(file, settings)) abort();

    identity = std::make_unique<env::ScopedEnvironment>(env::Environment{
        .main_bundle = bundle::MainBundle{
            "com.example.bench",
            (root /
             "var/containers/Bundle/Application/0A0A0A0A-0000-0000-0000-000000000000/Bench.app")
                .string(),
            (root / "var/containers/Bundle/Application/0A0A0A0A-0000-0000-0000-000000000000/"
                    "Bench.app/Bench")
                .string(),
            "Bench"}});
    firewall = SNTFirewall::current();
    initializeCHooks();
  }

  NullSink sink;
  std::filesystem::path root;
  proc::InMemoryProcessTable table;
  runloop::RunLoop loop;
  std::unique_ptr<notify::NotificationCenter> center;
  std::unique_ptr<env::ScopedEnvironment> installed;
  std::unique_ptr<env::ScopedEnvironment> identity;
  std::shared_ptr<SNTFirewall> firewall;
};

Device& device() {
  static Device* d = new Device;
  return *d;
}

template <class Connect>
void tcpConnectsOnDevice(benchmark::State& state, Connect connect) {
  device();
  tcpConnects(state, connect);
}

void BM_TcpConnectLibc(benchmark::State& state) {
  tcpConnectsOnDevice(state, hook::realConnect());
}
BENCHMARK(BM_TcpConnectLibc)->UseRealTime();

void BM_TcpConnectThroughFirewall(benchmark::State& state) {
  tcpConnectsOnDevice(state, ::connect);
}
BENCHMARK(BM_TcpConnectThroughFirewall)->UseRealTime();

void BM_DeniedDecision(benchmark::State& state) {
  device();
  sockaddr_in address = loopback4(9);
  address.sin_addr.s_addr = htonl(0x7f000002);  // 127.0.0.2, blocked
  Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  for (auto _ : state) {
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != -1 ||
        errno != ENETUNREACH) {
      state.SkipWithError("the blocked connection was not refused");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DeniedDecision);

}  // namespace
}  // namespace sentrel
