// The cost of a verdict (shouldAllow, then shouldDeny when needed) for an app
// with 10 host rules (the baseline) and with 10,000, for a host that is
// allowed, denied or undecided; and the cost of the two process-table
// look-ups that every verdict pays. A verdict's own work is its time minus
// BM_EnabledLookUps. The process table is the in-memory one (and, for
// comparison, the device's shared table); the log goes nowhere.
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include <benchmark/benchmark.h>

#include "platform/env/environment.h"
#include "platform/log/system_log.h"
#include "platform/plist/value.h"
#include "platform/proc/process_table.h"
#include "platform/proc/shared_process_table.h"
#include "tweak/SNTFirewall.h"
#include "tweak/common.h"

namespace sentrel {
namespace {

class NullSink final : public log::Sink {
 public:
  void write(log::Level, std::string_view) override {}
};

// Process-wide set-up shared by every benchmark: a quiet log and an
// in-memory process table in which launchd and SpringBoard run.
struct Quiet {
  Quiet() {
    log::setSink(&sink);
    table.add(1, 0, "launchd");
    table.add(50, 1, "SpringBoard");
  }
  NullSink sink;
  proc::InMemoryProcessTable table;
  env::ScopedEnvironment installed{{.process_table = &table}};
};
Quiet& quiet() {
  static Quiet* q = new Quiet;
  return *q;
}

enum Kind { kAllowed = 0, kDenied = 1, kUndecided = 2 };

// An app with `rules` host rules: even hosts allowed, odd hosts blocked.
std::shared_ptr<SNTFirewall> firewallWithRules(int rules) {
  plist::MutableDict domains;
  for (int i = 0; i < rules; ++i) {
    domains.set("host" + std::to_string(i) + ".example.com",
                plist::Value::dictOf({{"allowed", plist::Value::integer(i % 2 == 0 ? 1 : 2)}}));
  }
  auto firewall = std::make_shared<SNTFirewall>();
  firewall->setBundleId(std::string("com.example.bench"));
  firewall->setName(std::string("Bench"));
  firewall->setIsApp(true);
  firewall->setGlobalSettings(plist::Value::dictOf(
      {{"global_hosts",
        plist::Value::dictOf({{"other.example.org",
                               plist::Value::dictOf({{"allowed", plist::Value::integer(2)}})}})}}));
  firewall->setAppSettings(plist::Value::dictOf({{"domains", std::move(domains).build()}}));
  return firewall;
}

void BM_Verdict(benchmark::State& state) {
  quiet();
  const int rules = static_cast<int>(state.range(0));
  const auto kind = static_cast<Kind>(state.range(1));
  auto firewall = firewallWithRules(rules);
  const int middle = (rules / 2) & ~1;  // even: allowed; the next one, odd: blocked
  const std::string host = kind == kAllowed  ? "host" + std::to_string(middle) + ".example.com"
                           : kind == kDenied ? "host" + std::to_string(middle + 1) + ".example.com"
                                             : std::string("unknown.example.net");
  const SNTDestination destination(host);
  for (auto _ : state) {
    bool allow = firewall->shouldAllow(destination);
    bool deny = !allow && firewall->shouldDeny(destination);
    benchmark::DoNotOptimize(allow);
    benchmark::DoNotOptimize(deny);
  }
  state.SetLabel(kind == kAllowed ? "allowed" : kind == kDenied ? "denied" : "undecided");
}
BENCHMARK(BM_Verdict)->ArgNames({"rules", "kind"})->ArgsProduct({{10, 10000}, {0, 1, 2}});

// The look-ups of one `enabled` test: launchd and SpringBoard by name.
void BM_EnabledLookUps(benchmark::State& state) {
  quiet();
  for (auto _ : state) {
    benchmark::DoNotOptimize(snt_pid_of_process("launchd"));
    benchmark::DoNotOptimize(snt_pid_of_process("SpringBoard"));
  }
}
BENCHMARK(BM_EnabledLookUps);

// One look-up in the device's shared table, as a real device answers it.
void BM_SharedTableLookUp(benchmark::State& state) {
  std::string pattern = (std::filesystem::temp_directory_path() / "sentrel-bench-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) abort();
  const std::filesystem::path root = pattern;
  {
    auto publisher = std::move(proc::ProcessTablePublisher::create(root)).value();
    if (!publisher->add(getpid(), 1, "launchd").ok()) abort();
    if (!publisher->add(getpid() + 1, getpid(), "SpringBoard").ok()) abort();
    proc::SharedProcessTable table(root);
    for (auto _ : state) benchmark::DoNotOptimize(table.pidOfProcess("SpringBoard"));
  }
  std::filesystem::remove_all(root);
}
BENCHMARK(BM_SharedTableLookUp);

// A switch read alone: one snapshot and one dictionary look-up.
void BM_SwitchRead(benchmark::State& state) {
  quiet();
  auto firewall = firewallWithRules(10000);
  for (auto _ : state) benchmark::DoNotOptimize(firewall->allowAllOutbound());
}
BENCHMARK(BM_SwitchRead);

}  // namespace
}  // namespace sentrel
