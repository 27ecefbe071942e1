// The device's log ring as its drainer finds it: any process of the device's
// user may write anything into it. The drainer must never read outside the
// ring, never hang, and only hand out lines that fit their records.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/log/internal/ring_layout.h"

using sentrel::log::internal::DrainedLine;
using sentrel::log::internal::kMaxRecordText;
using sentrel::log::internal::kRingMagic;
using sentrel::log::internal::kRingVersion;
using sentrel::log::internal::kSlotSize;
using sentrel::log::internal::kStallNs;
using sentrel::log::internal::RingHeader;
using sentrel::log::internal::RingReader;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 64 * 1024) return 0;
  // An exact-size, 64-byte aligned copy, so that reading past the ring is
  // caught.
  const size_t length = std::max(size, sizeof(RingHeader));
  void* block = ::operator new(length, std::align_val_t(64));
  std::memset(block, 0, length);
  std::memcpy(block, data, size);
  RingHeader* ring = sentrel::log::internal::ringIn(block, length);
  if (ring == nullptr) {
    // Give the reader a ring to walk anyway: a valid header over the bytes.
    auto* header = static_cast<RingHeader*>(block);
    header->magic = kRingMagic;
    header->version = kRingVersion;
    header->slot_size = kSlotSize;
    header->slot_count = static_cast<uint32_t>((length - sizeof(RingHeader)) / kSlotSize);
    ring = sentrel::log::internal::ringIn(block, length);
  }
  if (ring != nullptr) {
    RingReader reader(ring);
    uint64_t lost = 0;
    for (int pass = 0; pass < 4; ++pass) {
      reader.drain(
          int64_t{pass} * kStallNs,
          [](const DrainedLine& line) {
            if (line.text.size() > kMaxRecordText || line.name.size() > 16) std::abort();
          },
          &lost);
    }
  }
  ::operator delete(block, std::align_val_t(64));
  return 0;
}
