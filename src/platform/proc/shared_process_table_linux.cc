// The shared table's file handling: mapping, opening, replacing, closing.
// The sequence-locked algorithms live in internal/shared_table_layout.cc.
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/base/mutex.h"
#include "platform/log/system_log.h"
#include "platform/paths/device_paths.h"
#include "platform/proc/internal/shared_table_layout.h"
#include "platform/proc/shared_process_table.h"

namespace sentrel::proc {
namespace internal {

struct Mapping {
  void* base = MAP_FAILED;
  size_t size = 0;
  TableView view;

  Mapping() = default;
  Mapping(const Mapping&) = delete;
  Mapping& operator=(const Mapping&) = delete;
  ~Mapping() {
    if (base != MAP_FAILED) munmap(base, size);
  }
};

}  // namespace internal

namespace {

using internal::Mapping;
using internal::ReadOutcome;

std::string errnoText(const char* what, const std::filesystem::path& path) {
  return Status::errnoText(std::string(what) + " " + path.string());
}

int64_t coarseNowNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
  return int64_t{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec;
}

bool processAlive(pid_t pid) {
  return pid > 0 && (kill(pid, 0) == 0 || errno == EPERM);
}

// Maps an existing table file; nullptr when missing or malformed. A file
// larger than any table is mapped only as far as the largest table reaches.
std::unique_ptr<Mapping> mapExisting(const std::filesystem::path& path, bool writable) {
  const int fd = open(path.c_str(), (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return nullptr;
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
      st.st_size < static_cast<off_t>(sizeof(internal::Header))) {
    close(fd);
    return nullptr;
  }
  const uint32_t max_capacity = kMaxProcessTableCapacity;
  const size_t largest = internal::tableBytes(max_capacity, internal::bucketCountFor(max_capacity));
  auto mapping = std::make_unique<Mapping>();
  mapping->size = std::min(static_cast<size_t>(st.st_size), largest);
  mapping->base = mmap(nullptr, mapping->size, writable ? PROT_READ | PROT_WRITE : PROT_READ,
                       MAP_SHARED, fd, 0);
  close(fd);
  if (mapping->base == MAP_FAILED) return nullptr;
  if (!internal::bindTable(mapping->base, mapping->size, mapping->view)) return nullptr;
  return mapping;
}

}  // namespace

std::filesystem::path sharedProcessTablePath(const std::filesystem::path& root) {
  return paths::resolveUnder(root, paths::kRunDir) / "proctable";
}

// ---- reader ----

SharedProcessTable::SharedProcessTable(std::filesystem::path root)
    : SharedProcessTable(std::move(root), Options()) {}

SharedProcessTable::SharedProcessTable(std::filesystem::path root, Options options)
    : path_(sharedProcessTablePath(root)), options_(options) {}

SharedProcessTable::~SharedProcessTable() = default;  // unmaps every mapping

const Mapping* SharedProcessTable::current() const {
  const Mapping* mapping = live_.load(std::memory_order_acquire);
  return mapping != nullptr ? mapping : tryOpen();
}

const Mapping* SharedProcessTable::tryOpen() const {
  const int64_t now = coarseNowNs();
  if (now < next_open_ns_.load(std::memory_order_relaxed)) return nullptr;

  // Claim the right to open without waiting. A claim held by another pid was
  // inherited through fork() from a thread that does not exist here.
  const pid_t self = getpid();
  pid_t holder = opener_.load(std::memory_order_acquire);
  do {
    if (holder == self) return live_.load(std::memory_order_acquire);  // a sibling thread opens
  } while (!opener_.compare_exchange_weak(holder, self, std::memory_order_acquire));

  const Mapping* result = live_.load(std::memory_order_acquire);
  if (result == nullptr) {
    std::unique_ptr<Mapping> mapping = mapExisting(path_, /*writable=*/false);
    // The liveness check happens here only, never per look-up. `closed` may
    // change under us; a later look-up notices it.
    if (mapping != nullptr &&
        std::atomic_ref<uint32_t>(mapping->view.header->closed).load(std::memory_order_acquire) ==
            0 &&
        processAlive(mapping->view.header->publisher_pid)) {
      result = mapping.get();
      mappings_.push_back(std::move(mapping));
      live_.store(result, std::memory_order_release);
    } else {
      next_open_ns_.store(now + options_.reopen_interval.count(), std::memory_order_relaxed);
    }
  }
  opener_.store(0, std::memory_order_release);
  return result;
}

void SharedProcessTable::retire(const Mapping* mapping) const {
  // Stays mapped (other threads may still read it); the next query reopens.
  live_.compare_exchange_strong(mapping, nullptr, std::memory_order_acq_rel);
}

bool SharedProcessTable::isLive() const {
  pid_t ignored = 0;
  return readLive([&](const Mapping& m) {
           return internal::findName(m.view, internal::NameKey(), ignored);
         }) != ReadOutcome::kClosed;
}

// Runs `read` on the live table; a table found closed is let go of and, if
// a successor is there already, read instead.
template <class Read>
ReadOutcome SharedProcessTable::readLive(Read&& read) const {
  const Mapping* mapping = current();
  for (int attempt = 0; mapping != nullptr && attempt < 2; ++attempt) {
    const ReadOutcome outcome = read(*mapping);
    if (outcome != ReadOutcome::kClosed) return outcome;
    retire(mapping);
    mapping = tryOpen();
  }
  return ReadOutcome::kClosed;  // no live table: empty
}

pid_t SharedProcessTable::pidOfProcess(std::string_view name) const {
  const internal::NameKey key = internal::packName(name);
  pid_t pid = 0;
  switch (readLive([&](const Mapping& m) { return internal::findName(m.view, key, pid); })) {
    case ReadOutcome::kOk:
      return pid;
    case ReadOutcome::kClosed:
      return 0;
    case ReadOutcome::kInconsistent:
      return -1;
  }
  return -1;
}

pid_t SharedProcessTable::parentOf(pid_t pid) const {
  pid_t parent = -1;
  switch (readLive([&](const Mapping& m) { return internal::findParent(m.view, pid, parent); })) {
    case ReadOutcome::kOk:
      return parent;
    case ReadOutcome::kClosed:
    case ReadOutcome::kInconsistent:
      return -1;
  }
  return -1;
}

Result<std::vector<ProcessRecord>> SharedProcessTable::snapshot() const {
  std::vector<internal::Slot> scratch;
  uint32_t count = 0;
  const ReadOutcome outcome = readLive([&](const Mapping& m) {
    scratch.resize(m.view.capacity);
    return internal::copySlots(m.view, scratch.data(), count);
  });
  if (outcome == ReadOutcome::kInconsistent) {
    return Result<std::vector<ProcessRecord>>::Error("process table " + path_.string() +
                                                     " stays inconsistent");
  }
  std::vector<ProcessRecord> records;
  if (outcome == ReadOutcome::kClosed) return records;
  records.reserve(count);
  char buffer[16];
  for (uint32_t s = 0; s < count; ++s) {
    records.push_back({std::string(internal::unpackName(scratch[s].name, buffer)), scratch[s].pid,
                       scratch[s].parent_pid});
  }
  return records;
}

// ---- publisher ----

Result<std::unique_ptr<ProcessTablePublisher>> ProcessTablePublisher::create(
    const std::filesystem::path& root, size_t capacity) {
  using R = Result<std::unique_ptr<ProcessTablePublisher>>;
  if (capacity == 0 || capacity > kMaxProcessTableCapacity) {
    return R::Error("process table capacity out of range: " + std::to_string(capacity));
  }
  const std::filesystem::path path = sharedProcessTablePath(root);
  std::error_code ec;
  std::filesystem::create_directories(path.parent_path(), ec);
  if (ec) return R::Error("cannot create " + path.parent_path().string() + ": " + ec.message());

  std::string temp = (path.parent_path() / ".proctable.XXXXXX").string();
  const int fd = mkstemp(temp.data());
  if (fd < 0) return R::Error(errnoText("cannot create", temp));
  const auto cap = static_cast<uint32_t>(capacity);
  auto mapping = std::make_unique<internal::Mapping>();
  mapping->size = internal::tableBytes(cap, internal::bucketCountFor(cap));
  if (fchmod(fd, 0644) != 0 || ftruncate(fd, static_cast<off_t>(mapping->size)) != 0) {
    std::string reason = errnoText("cannot size", temp);
    close(fd);
    unlink(temp.c_str());
    return R::Error(reason);
  }
  mapping->base = mmap(nullptr, mapping->size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  close(fd);
  if (mapping->base == MAP_FAILED) {
    std::string reason = errnoText("cannot map", temp);
    unlink(temp.c_str());
    return R::Error(reason);
  }
  internal::initTable(mapping->base, cap, getpid(), mapping->view);

  // The table being replaced, if any: its readers must let go of it, even
  // when its publisher died without closing it.
  std::unique_ptr<Mapping> previous = mapExisting(path, /*writable=*/true);
  if (rename(temp.c_str(), path.c_str()) != 0) {
    std::string reason = errnoText("cannot publish", path);
    unlink(temp.c_str());
    return R::Error(reason);
  }
  if (previous != nullptr) {
    internal::WriteSection section(previous->view);
    internal::markClosed(previous->view);
  }
  return std::unique_ptr<ProcessTablePublisher>(
      new ProcessTablePublisher(path, std::move(mapping)));
}

ProcessTablePublisher::ProcessTablePublisher(std::filesystem::path path,
                                             std::unique_ptr<Mapping> mapping)
    : path_(std::move(path)), mapping_(std::move(mapping)) {}

ProcessTablePublisher::~ProcessTablePublisher() {
  MutexLock lock(mutex_);
  internal::WriteSection section(mapping_->view);
  internal::markClosed(mapping_->view);
}

Status ProcessTablePublisher::add(pid_t pid, pid_t parent_pid, std::string_view command_name) {
  if (pid <= 0 || parent_pid < 0) {
    return Status::Error("invalid pid " + std::to_string(pid) + " / parent " +
                         std::to_string(parent_pid));
  }
  const internal::NameKey key = internal::packName(shortCommandName(command_name));
  if (!key.valid) return Status::Error("command name holds a NUL byte");
  MutexLock lock(mutex_);
  const internal::TableView& view = mapping_->view;
  const int32_t existing = internal::slotOfPid(view, pid);
  if (existing < 0 && internal::recordCount(view) >= view.capacity) {
    const std::string reason = "process table full (" + std::to_string(view.capacity) +
                               " records): not publishing " + shortCommandName(command_name) +
                               " [" + std::to_string(pid) + "]";
    log::line(reason, log::Level::kError);
    return Status::Error(reason);
  }
  internal::WriteSection section(view);
  if (existing >= 0) internal::removeSlot(view, static_cast<uint32_t>(existing));
  internal::appendRecord(view, pid, parent_pid, key);
  return Status::Ok();
}

bool ProcessTablePublisher::remove(pid_t pid) {
  MutexLock lock(mutex_);
  const internal::TableView& view = mapping_->view;
  const int32_t existing = pid > 0 ? internal::slotOfPid(view, pid) : -1;
  if (existing < 0) return false;
  internal::WriteSection section(view);
  internal::removeSlot(view, static_cast<uint32_t>(existing));
  return true;
}

void ProcessTablePublisher::clear() {
  MutexLock lock(mutex_);
  internal::WriteSection section(mapping_->view);
  internal::clearRecords(mapping_->view);
}

size_t ProcessTablePublisher::size() const {
  MutexLock lock(mutex_);
  return internal::recordCount(mapping_->view);
}

size_t ProcessTablePublisher::capacity() const {
  return mapping_->view.capacity;
}

}  // namespace sentrel::proc
