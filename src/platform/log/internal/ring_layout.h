// The device log ring's layout and its two algorithms, on a block of memory:
// appending (any number of threads and processes) and draining (one reader).
// The file handling lives in log_ring_linux.cc; tests and the fuzzer run
// these on plain memory.
//
// The block is a header followed by slot_count slots of kSlotSize bytes. A
// line takes one or more consecutive slots, reserved with one compare-and-
// swap on `head`; the first slot starts with a RecordHeader, the text runs
// on through the payloads of the following slots. Each slot carries a stamp,
// stored (release) once its payload is written: sequence number + 1, with
// kFirstSlotBit on a record's first slot. A reader takes a record only when
// every slot of it carries the stamp of its position, so it never sees a
// torn line. Writers never pass `tail`, the drainer's position: when the
// ring has no room the line is dropped and counted in `lost`.
//
// Appending takes no lock, makes no system call and allocates nothing, so it
// is async-signal-safe and a fork() never inherits anything half-taken: a
// slot that a vanished thread reserved but never stamped is skipped by the
// drainer after kStallNs, and counted as lost.
//
// The block may be written by any process of the device's user: the drainer
// checks every length and stamp it reads and never reads outside the block.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "platform/log/system_log.h"

namespace sentrel::log::internal {

inline constexpr uint32_t kRingMagic = 0x4C544E53;  // "SNTL"
inline constexpr uint32_t kRingVersion = 1;
inline constexpr size_t kSlotSize = 256;
inline constexpr size_t kSlotPayload = kSlotSize - sizeof(uint64_t);
inline constexpr uint64_t kFirstSlotBit = uint64_t{1} << 63;
inline constexpr size_t kMaxRecordText = 16 * 1024;  // longer texts are cut
inline constexpr uint32_t kDefaultSlotCount = 8192;  // 2 MiB
inline constexpr uint32_t kMaxSlotCount = 1u << 20;
inline constexpr int64_t kStallNs = 2'000'000'000;  // a reservation unstamped this long is lost

struct alignas(64) RingHeader {
  uint32_t magic;
  uint32_t version;
  uint32_t slot_size;
  uint32_t slot_count;
  std::atomic<int32_t> drainer_pid;        // the process that drains the ring
  std::atomic<uint32_t> closed;            // non-zero once the drainer let go of the ring
  alignas(64) std::atomic<uint64_t> head;  // the next sequence number to reserve
  alignas(64) std::atomic<uint64_t> tail;  // the first sequence number not yet drained
  alignas(64) std::atomic<uint64_t> lost;  // lines dropped since the drainer last looked
};

struct RingSlot {
  std::atomic<uint64_t> stamp;
  char payload[kSlotPayload];
};

// At the start of a record's first slot's payload.
struct RecordHeader {
  uint32_t length;  // bytes of text
  uint16_t slots;   // slots the record takes, this one included
  uint8_t level;    // a Level
  uint8_t reserved;
  int32_t pid;
  int32_t reserved2;
  int64_t time_ns;  // CLOCK_REALTIME
  char name[16];    // the process's command name, NUL-padded
};

static_assert(std::atomic<uint64_t>::is_always_lock_free);
static_assert(std::atomic<uint32_t>::is_always_lock_free);
static_assert(sizeof(RingSlot) == kSlotSize);
static_assert(sizeof(RecordHeader) < kSlotPayload);

// Bytes a ring of `slot_count` slots takes.
size_t ringBytes(uint32_t slot_count);

// Formats an empty ring in `block` (at least ringBytes(slot_count) bytes,
// 64-byte aligned). REQUIRES: 0 < slot_count <= kMaxSlotCount.
void initRing(void* block, uint32_t slot_count, pid_t drainer);

// The ring in `block`, or nullptr when `size` bytes do not hold a ring of
// this version (wrong magic, version, slot size or a slot count that does
// not fit).
RingHeader* ringIn(void* block, size_t size);

enum class AppendOutcome { kAppended, kFull, kClosed };

// Who appends; kept by the caller so that appending needs no system call.
struct Writer {
  int32_t pid = 0;
  char name[16] = {};
};

// Appends one line. Async-signal-safe; lock-free. kFull: not appended, and
// counted in `lost`. Trailing newlines are dropped; a text longer than
// kMaxRecordText is cut there.
AppendOutcome appendRecord(RingHeader* ring, const Writer& writer, Level level,
                           std::string_view text, int64_t time_ns) noexcept;

struct DrainedLine {
  Level level = Level::kInfo;
  int32_t pid = 0;
  int64_t time_ns = 0;
  std::string name;
  std::string text;
};

// The one reader of a ring. Not thread-safe; one per ring.
class RingReader {
 public:
  explicit RingReader(RingHeader* ring) : ring_(ring) {}

  // Hands every whole line stamped so far to `emit`, in order, and moves
  // `tail` past it. `now_ns` (CLOCK_MONOTONIC) times reservations that stay
  // unstamped. Lines lost since the last call (full ring, vanished writers,
  // malformed records) are reported through `lost` when non-zero. Returns
  // the number of lines emitted. Reads at most one ring's worth per call.
  size_t drain(int64_t now_ns, const std::function<void(const DrainedLine&)>& emit, uint64_t* lost);

 private:
  RingHeader* ring_;
  uint64_t stalled_at_ = UINT64_MAX;  // the position that was found unstamped
  int64_t stalled_since_ns_ = 0;
  uint64_t skipped_ = 0;  // slots given up on since the last report
};

}  // namespace sentrel::log::internal
