// Look-ups in the device's shared process table against a walk of /proc
// (the baseline: what a look-up by name costs without the table).
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>

#include <benchmark/benchmark.h>

#include "platform/proc/shared_process_table.h"

namespace sentrel::proc {
namespace {

// A device root with a table of `records` apps plus launchd, removed at exit.
class BenchDevice {
 public:
  explicit BenchDevice(int records) {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "sentrel-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) abort();
    root_ = pattern;
    publisher_ = std::move(ProcessTablePublisher::create(root_)).value();
    for (int i = 0; i < records; ++i) {
      if (!publisher_->add(10000 + i, 1, "app" + std::to_string(i)).ok()) abort();
    }
    if (!publisher_->add(getpid(), 1, "launchd").ok()) abort();
    table_ = std::make_unique<SharedProcessTable>(root_);
  }
  ~BenchDevice() {
    table_.reset();
    publisher_.reset();
    std::filesystem::remove_all(root_);
  }
  const SharedProcessTable& table() const { return *table_; }

 private:
  std::filesystem::path root_;
  std::unique_ptr<ProcessTablePublisher> publisher_;
  std::unique_ptr<SharedProcessTable> table_;
};

void BM_SharedTablePidOfProcess(benchmark::State& state) {
  BenchDevice device(static_cast<int>(state.range(0)));
  const std::string middle = "app" + std::to_string(state.range(0) / 2);
  for (auto _ : state) {
    benchmark::DoNotOptimize(device.table().pidOfProcess(middle));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SharedTablePidOfProcess)->Arg(10)->Arg(1000);

void BM_SharedTableMissingName(benchmark::State& state) {
  BenchDevice device(static_cast<int>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(device.table().pidOfProcess("NoSuchProcess"));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SharedTableMissingName)->Arg(10)->Arg(1000);

void BM_SharedTableParentOf(benchmark::State& state) {
  BenchDevice device(static_cast<int>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(device.table().parentOf(10000));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SharedTableParentOf)->Arg(10)->Arg(1000);

// Baseline: the same question answered by walking /proc, over every process
// of this machine.
void BM_ProcFsPidOfProcess(benchmark::State& state) {
  ProcFsProcessTable table;
  for (auto _ : state) benchmark::DoNotOptimize(table.pidOfProcess("launchd"));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ProcFsPidOfProcess);

}  // namespace
}  // namespace sentrel::proc
