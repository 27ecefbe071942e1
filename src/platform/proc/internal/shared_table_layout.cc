#include "platform/proc/internal/shared_table_layout.h"

#include <sched.h>
#include <signal.h>
#include <time.h>

#include <atomic>
#include <bit>
#include <cerrno>
#include <cstring>

#include "platform/proc/process_table.h"
#include "platform/proc/shared_process_table.h"

namespace sentrel::proc::internal {
namespace {

static_assert(std::atomic_ref<uint64_t>::is_always_lock_free);
static_assert(std::atomic_ref<uint32_t>::is_always_lock_free);
static_assert(std::atomic_ref<int32_t>::is_always_lock_free);

constexpr int kSpinsBeforeYield = 64;
constexpr int64_t kStallCheckNs = 10'000'000;
constexpr int64_t kMaxStallNs = 2'000'000'000;

int64_t coarseNowNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
  return int64_t{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec;
}

// Every shared field is loaded with acquire and stored with release order
// (plain moves on x86). A reader that sees any store of a change therefore
// also sees the odd sequence stored before it, so its closing load of the
// sequence cannot match its opening one. This needs no fences, which
// ThreadSanitizer does not model.
template <class T>
T load(T& field) {
  return std::atomic_ref<T>(field).load(std::memory_order_acquire);
}
template <class T>
void store(T& field, T value) {
  std::atomic_ref<T>(field).store(value, std::memory_order_release);
}

// A reader waiting for the writer. A change takes microseconds: the reader
// spins briefly, then yields (the writer may be preempted, and on a busy
// machine for long). While the sequence moves the writer makes progress and
// the reader keeps trying. A sequence that stands still is looked at every
// kStallCheckNs: if the publisher is gone it died in the middle of a change
// and the table stays inconsistent; a live one gets kMaxStallNs in all.
class Backoff {
 public:
  explicit Backoff(const TableView& view) : view_(view) {}

  // False once the reader should give up.
  bool wait(uint64_t sequence) {
    if (++attempts_ <= kSpinsBeforeYield) {
#if defined(__x86_64__) || defined(__i386__)
      __builtin_ia32_pause();
#elif defined(__aarch64__)
      asm volatile("yield");
#endif
      return true;
    }
    const int64_t now = coarseNowNs();
    if (stall_start_ == 0 || sequence != stalled_at_) {
      stalled_at_ = sequence;
      stall_start_ = now;
      next_check_ = now + kStallCheckNs;
    } else if (now >= next_check_) {
      const pid_t publisher = view_.header->publisher_pid;  // immutable
      const bool alive = publisher > 0 && (kill(publisher, 0) == 0 || errno == EPERM);
      if (!alive || now - stall_start_ >= kMaxStallNs) return false;
      next_check_ = now + kStallCheckNs;
    }
    sched_yield();
    return true;
  }

 private:
  const TableView& view_;
  int attempts_ = 0;
  uint64_t stalled_at_ = 0;  // the sequence value that stands still
  int64_t stall_start_ = 0;  // when it was first seen, 0 before yielding
  int64_t next_check_ = 0;
};

// A seqlock read: `body` loads shared fields with load() only; its result
// counts only when the sequence was even and unchanged around it.
template <class Body>
ReadOutcome readConsistent(const TableView& view, Body&& body) {
  Backoff backoff(view);
  for (;;) {
    const uint64_t before = load(view.header->sequence);
    if ((before & 1) == 0) {
      const bool closed = load(view.header->closed) != 0;
      if (!closed) body();
      if (load(view.header->sequence) == before) {
        return closed ? ReadOutcome::kClosed : ReadOutcome::kOk;
      }
    }
    if (!backoff.wait(before)) return ReadOutcome::kInconsistent;
  }
}

uint64_t mix(uint64_t x) {  // splitmix64's finaliser
  x ^= x >> 30;
  x *= 0xbf58476d1ce4e5b9ULL;
  x ^= x >> 27;
  x *= 0x94d049bb133111ebULL;
  x ^= x >> 31;
  return x;
}
uint32_t nameBucket(const NameKey& key, uint32_t mask) {
  return static_cast<uint32_t>(mix(key.words[0] ^ mix(key.words[1] + 0x9e3779b97f4a7c15ULL))) &
         mask;
}
uint32_t pidBucket(pid_t pid, uint32_t mask) {
  return static_cast<uint32_t>(mix(static_cast<uint32_t>(pid))) & mask;
}

bool slotHasName(const Slot& slot, const NameKey& key) {
  return load(const_cast<uint64_t&>(slot.name[0])) == key.words[0] &&
         load(const_cast<uint64_t&>(slot.name[1])) == key.words[1];
}

void insertIndexes(const TableView& view, uint32_t slot_number) {
  Slot& slot = view.slots[slot_number];
  NameKey key;
  key.words[0] = slot.name[0];  // the writer reads its own stores
  key.words[1] = slot.name[1];
  for (uint32_t i = 0, b = nameBucket(key, view.bucket_mask); i <= view.bucket_mask;
       ++i, b = (b + 1) & view.bucket_mask) {
    const int32_t current = view.name_index[b];
    // A later record of the same name takes over the bucket: the last one wins.
    if (current < 0 || slotHasName(view.slots[current], key)) {
      store(view.name_index[b], static_cast<int32_t>(slot_number));
      break;
    }
  }
  for (uint32_t i = 0, b = pidBucket(slot.pid, view.bucket_mask); i <= view.bucket_mask;
       ++i, b = (b + 1) & view.bucket_mask) {
    if (view.pid_index[b] < 0) {
      store(view.pid_index[b], static_cast<int32_t>(slot_number));
      break;
    }
  }
}

void rebuildIndexes(const TableView& view) {
  for (uint32_t b = 0; b <= view.bucket_mask; ++b) {
    store(view.name_index[b], int32_t{-1});
    store(view.pid_index[b], int32_t{-1});
  }
  const uint32_t count = view.header->count;
  for (uint32_t s = 0; s < count; ++s) insertIndexes(view, s);
}

}  // namespace

NameKey packName(std::string_view name) {
  NameKey key;
  if (name.size() > kMaxCommandNameLength || name.find('\0') != std::string_view::npos) return key;
  char bytes[16] = {};
  std::memcpy(bytes, name.data(), name.size());
  std::memcpy(key.words, bytes, sizeof bytes);
  key.valid = true;
  return key;
}

std::string_view unpackName(const uint64_t (&words)[2], char (&buffer)[16]) {
  std::memcpy(buffer, words, sizeof buffer);
  buffer[15] = '\0';  // a foreign file may not terminate it
  return std::string_view(buffer, std::strlen(buffer));
}

uint32_t bucketCountFor(uint32_t capacity) {
  return std::bit_ceil(capacity * 2u);
}

size_t tableBytes(uint32_t capacity, uint32_t bucket_count) {
  return sizeof(Header) + size_t{capacity} * sizeof(Slot) +
         2 * size_t{bucket_count} * sizeof(int32_t);
}

bool bindTable(void* base, size_t size, TableView& view) {
  if (base == nullptr || size < sizeof(Header)) return false;
  auto* header = static_cast<Header*>(base);
  // The immutable part was written before the file got its name; plain reads.
  if (header->magic != kTableMagic || header->version != kTableVersion) return false;
  const uint32_t capacity = header->capacity;
  const uint32_t buckets = header->bucket_count;
  if (capacity == 0 || capacity > kMaxProcessTableCapacity) return false;
  if (!std::has_single_bit(buckets) || buckets < 2 * capacity) return false;
  if (size < tableBytes(capacity, buckets)) return false;
  auto* bytes = static_cast<unsigned char*>(base);
  view.header = header;
  view.slots = reinterpret_cast<Slot*>(bytes + sizeof(Header));
  view.name_index = reinterpret_cast<int32_t*>(bytes + sizeof(Header) + capacity * sizeof(Slot));
  view.pid_index = view.name_index + buckets;
  view.capacity = capacity;
  view.bucket_mask = buckets - 1;
  return true;
}

void initTable(void* base, uint32_t capacity, pid_t publisher_pid, TableView& view) {
  const uint32_t buckets = bucketCountFor(capacity);
  std::memset(base, 0, tableBytes(capacity, buckets));
  auto* header = static_cast<Header*>(base);
  header->magic = kTableMagic;
  header->version = kTableVersion;
  header->capacity = capacity;
  header->bucket_count = buckets;
  header->publisher_pid = publisher_pid;
  bindTable(base, tableBytes(capacity, buckets), view);
  rebuildIndexes(view);
}

ReadOutcome findName(const TableView& view, const NameKey& key, pid_t& pid) {
  return readConsistent(view, [&] {
    pid = 0;
    if (!key.valid) return;
    for (uint32_t i = 0, b = nameBucket(key, view.bucket_mask); i <= view.bucket_mask;
         ++i, b = (b + 1) & view.bucket_mask) {
      const int32_t s = load(view.name_index[b]);
      if (s < 0 || static_cast<uint32_t>(s) >= view.capacity) return;
      if (slotHasName(view.slots[s], key)) {
        pid = load(view.slots[s].pid);
        return;
      }
    }
  });
}

ReadOutcome findParent(const TableView& view, pid_t pid, pid_t& parent) {
  return readConsistent(view, [&] {
    parent = -1;
    if (pid <= 0) return;
    for (uint32_t i = 0, b = pidBucket(pid, view.bucket_mask); i <= view.bucket_mask;
         ++i, b = (b + 1) & view.bucket_mask) {
      const int32_t s = load(view.pid_index[b]);
      if (s < 0 || static_cast<uint32_t>(s) >= view.capacity) return;
      if (load(view.slots[s].pid) == pid) {
        parent = load(view.slots[s].parent_pid);
        return;
      }
    }
  });
}

ReadOutcome copySlots(const TableView& view, Slot* scratch, uint32_t& count) {
  return readConsistent(view, [&] {
    count = std::min(load(view.header->count), view.capacity);
    for (uint32_t s = 0; s < count; ++s) {
      Slot& from = view.slots[s];
      scratch[s].name[0] = load(from.name[0]);
      scratch[s].name[1] = load(from.name[1]);
      scratch[s].pid = load(from.pid);
      scratch[s].parent_pid = load(from.parent_pid);
    }
  });
}

WriteSection::WriteSection(const TableView& view) : view_(view) {
  // A sequence left odd by a writer that died mid-change stays odd: the
  // change that follows ends it.
  odd_ = load(view_.header->sequence) | 1;
  store(view_.header->sequence, odd_);
}

WriteSection::~WriteSection() {
  store(view_.header->sequence, odd_ + 1);
}

uint32_t recordCount(const TableView& view) {
  return load(view.header->count);
}

int32_t slotOfPid(const TableView& view, pid_t pid) {
  for (uint32_t i = 0, b = pidBucket(pid, view.bucket_mask); i <= view.bucket_mask;
       ++i, b = (b + 1) & view.bucket_mask) {
    const int32_t s = view.pid_index[b];
    if (s < 0) return -1;
    if (view.slots[s].pid == pid) return s;
  }
  return -1;
}

void appendRecord(const TableView& view, pid_t pid, pid_t parent_pid, const NameKey& key) {
  const uint32_t s = view.header->count;
  Slot& slot = view.slots[s];
  store(slot.name[0], key.words[0]);
  store(slot.name[1], key.words[1]);
  store(slot.pid, static_cast<int32_t>(pid));
  store(slot.parent_pid, static_cast<int32_t>(parent_pid));
  store(view.header->count, s + 1);
  insertIndexes(view, s);
}

void removeSlot(const TableView& view, uint32_t slot) {
  const uint32_t count = view.header->count;
  for (uint32_t s = slot; s + 1 < count; ++s) {
    const Slot& next = view.slots[s + 1];
    store(view.slots[s].name[0], next.name[0]);
    store(view.slots[s].name[1], next.name[1]);
    store(view.slots[s].pid, next.pid);
    store(view.slots[s].parent_pid, next.parent_pid);
  }
  store(view.header->count, count - 1);
  rebuildIndexes(view);
}

void clearRecords(const TableView& view) {
  store(view.header->count, uint32_t{0});
  rebuildIndexes(view);
}

void markClosed(const TableView& view) {
  store(view.header->closed, uint32_t{1});
  store(view.header->count, uint32_t{0});
}

}  // namespace sentrel::proc::internal
