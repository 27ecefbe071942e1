#include "platform/log/internal/ring_layout.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace sentrel::log::internal {
namespace {

RingSlot* slotsOf(RingHeader* ring) {
  return reinterpret_cast<RingSlot*>(reinterpret_cast<char*>(ring) + sizeof(RingHeader));
}

constexpr uint64_t slotsFor(size_t text_length) {
  return (sizeof(RecordHeader) + text_length + kSlotPayload - 1) / kSlotPayload;
}

// The stamp that says slot `position` holds its bytes.
constexpr uint64_t stampFor(uint64_t position, bool first) {
  return (position + 1) | (first ? kFirstSlotBit : 0);
}

}  // namespace

size_t ringBytes(uint32_t slot_count) {
  return sizeof(RingHeader) + size_t{slot_count} * kSlotSize;
}

void initRing(void* block, uint32_t slot_count, pid_t drainer) {
  auto* ring = new (block) RingHeader{};
  ring->magic = kRingMagic;
  ring->version = kRingVersion;
  ring->slot_size = kSlotSize;
  ring->slot_count = slot_count;
  ring->drainer_pid.store(drainer);
  ring->closed.store(0);
  ring->head.store(0);
  ring->tail.store(0);
  ring->lost.store(0);
  RingSlot* slots = slotsOf(ring);
  for (uint32_t i = 0; i < slot_count; ++i) new (&slots[i].stamp) std::atomic<uint64_t>(0);
}

RingHeader* ringIn(void* block, size_t size) {
  if (block == nullptr || size < sizeof(RingHeader)) return nullptr;
  auto* ring = static_cast<RingHeader*>(block);
  if (ring->magic != kRingMagic || ring->version != kRingVersion || ring->slot_size != kSlotSize) {
    return nullptr;
  }
  const uint32_t count = ring->slot_count;
  if (count == 0 || count > kMaxSlotCount || size < ringBytes(count)) return nullptr;
  return ring;
}

AppendOutcome appendRecord(RingHeader* ring, const Writer& writer, Level level,
                           std::string_view text, int64_t time_ns) noexcept {
  if (ring->closed.load(std::memory_order_acquire) != 0) return AppendOutcome::kClosed;
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
  const uint32_t count = ring->slot_count;
  size_t length = std::min(text.size(), kMaxRecordText);
  // A ring smaller than the longest record still takes the line, cut.
  const size_t room = size_t{count} * kSlotPayload - sizeof(RecordHeader);
  length = std::min(length, room);
  const uint64_t needed = slotsFor(length);

  uint64_t head = ring->head.load(std::memory_order_relaxed);
  for (;;) {
    const uint64_t tail = ring->tail.load(std::memory_order_acquire);
    if (head - tail + needed > count) {
      ring->lost.fetch_add(1, std::memory_order_relaxed);
      return AppendOutcome::kFull;
    }
    if (ring->head.compare_exchange_weak(head, head + needed, std::memory_order_acq_rel,
                                         std::memory_order_relaxed)) {
      break;
    }
  }

  RecordHeader header{};
  header.length = static_cast<uint32_t>(length);
  header.slots = static_cast<uint16_t>(needed);
  header.level = static_cast<uint8_t>(level);
  header.pid = writer.pid;
  header.time_ns = time_ns;
  std::memcpy(header.name, writer.name, sizeof header.name);

  RingSlot* slots = slotsOf(ring);
  size_t written = 0;  // of the text
  for (uint64_t i = 0; i < needed; ++i) {
    RingSlot& slot = slots[(head + i) % count];
    size_t at = 0;
    if (i == 0) {
      std::memcpy(slot.payload, &header, sizeof header);
      at = sizeof header;
    }
    const size_t chunk = std::min(kSlotPayload - at, length - written);
    std::memcpy(slot.payload + at, text.data() + written, chunk);
    written += chunk;
    slot.stamp.store(stampFor(head + i, i == 0), std::memory_order_release);
  }
  return AppendOutcome::kAppended;
}

size_t RingReader::drain(int64_t now_ns, const std::function<void(const DrainedLine&)>& emit,
                         uint64_t* lost) {
  // The slot count was checked when the ring was mapped; a writer may not
  // change it under the reader.
  static_assert(sizeof(RingHeader) % 64 == 0);
  const uint64_t count = ring_->slot_count;
  RingSlot* slots = slotsOf(ring_);
  uint64_t position = ring_->tail.load(std::memory_order_relaxed);
  uint64_t head = ring_->head.load(std::memory_order_acquire);
  if (head < position) {
    // Only a broken writer moves head back; start again from where we are.
    ring_->head.compare_exchange_strong(head, position);
    head = position;
  }
  if (head - position > count) {
    skipped_ += head - position - count;
    position = head - count;
  }

  // Whether to give up on the unstamped reservation at `at` now.
  auto giveUp = [&](uint64_t at) {
    if (stalled_at_ != at) {
      stalled_at_ = at;
      stalled_since_ns_ = now_ns;
      return false;
    }
    return now_ns - stalled_since_ns_ >= kStallNs;
  };
  auto skipOne = [&] {
    ++position;
    ++skipped_;
    ring_->tail.store(position, std::memory_order_release);
  };

  size_t emitted = 0;
  DrainedLine line;
  for (uint64_t budget = count; position < head && budget > 0; --budget) {
    RingSlot& first = slots[position % count];
    const uint64_t stamp = first.stamp.load(std::memory_order_acquire);
    if ((stamp & ~kFirstSlotBit) != position + 1) {
      if (!giveUp(position)) break;
      skipOne();
      continue;
    }
    if ((stamp & kFirstSlotBit) == 0) {  // the rest of a record given up on
      skipOne();
      continue;
    }
    RecordHeader header;
    std::memcpy(&header, first.payload, sizeof header);
    if (header.length > kMaxRecordText || header.slots == 0 || header.slots > count ||
        header.slots != slotsFor(header.length) ||
        header.level > static_cast<uint8_t>(Level::kError)) {
      skipOne();
      continue;
    }
    bool whole = true;
    for (uint64_t i = 1; i < header.slots; ++i) {
      if (slots[(position + i) % count].stamp.load(std::memory_order_acquire) !=
          stampFor(position + i, false)) {
        whole = false;
        break;
      }
    }
    if (!whole) {
      if (!giveUp(position)) break;
      skipOne();
      continue;
    }
    line.level = static_cast<Level>(header.level);
    line.pid = header.pid;
    line.time_ns = header.time_ns;
    line.name.assign(header.name, strnlen(header.name, sizeof header.name));
    line.text.clear();
    size_t remaining = header.length;
    for (uint64_t i = 0; i < header.slots; ++i) {
      const RingSlot& slot = slots[(position + i) % count];
      const size_t at = i == 0 ? sizeof header : 0;
      const size_t chunk = std::min(kSlotPayload - at, remaining);
      line.text.append(slot.payload + at, chunk);
      remaining -= chunk;
    }
    position += header.slots;
    ring_->tail.store(position, std::memory_order_release);
    stalled_at_ = UINT64_MAX;
    emit(line);
    ++emitted;
  }
  if (lost != nullptr) {
    *lost = ring_->lost.exchange(0, std::memory_order_relaxed) + skipped_;
    skipped_ = 0;
  }
  return emitted;
}

}  // namespace sentrel::log::internal
