// Layout of the device's shared process table and the sequence-locked
// reads and writes on it. Private to src/platform/proc.
//
// File: Header, then `capacity` record slots, then two open-addressing
// indexes of `bucket_count` int32 slot numbers each (-1 = empty): by command
// name (the slot of the LAST record with that name) and by pid. Every field
// past the immutable part of the header is accessed through std::atomic_ref
// (acquire loads, release stores), so the reads that a sequence check later
// throws away are never data races.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace sentrel::proc::internal {

inline constexpr uint64_t kTableMagic = 0x3142545052544e53ULL;  // "SNTRPTB1" little-endian
inline constexpr uint32_t kTableVersion = 1;

struct Header {
  uint64_t magic;         // kTableMagic; immutable
  uint32_t version;       // kTableVersion; immutable
  uint32_t capacity;      // record slots; immutable
  uint32_t bucket_count;  // slots of each index, power of two >= 2 * capacity; immutable
  int32_t publisher_pid;  // immutable
  uint64_t sequence;      // odd while a change is being written
  uint32_t count;         // records in use: slots [0, count)
  uint32_t closed;        // 1 once the publisher closed the table or was replaced
  uint8_t reserved[24];
};
static_assert(sizeof(Header) == 64);

struct Slot {
  uint64_t name[2];  // command name, NUL-padded (at most 15 bytes, so always terminated)
  int32_t pid;
  int32_t parent_pid;
};
static_assert(sizeof(Slot) == 24);

// A command name packed the way slots hold it. Not valid for names that can
// never be in the table (too long, or holding a NUL).
struct NameKey {
  uint64_t words[2] = {0, 0};
  bool valid = false;
};
NameKey packName(std::string_view name);
std::string_view unpackName(const uint64_t (&words)[2], char (&buffer)[16]);

// A view of one table in memory (a mapping of the file, or any bytes).
struct TableView {
  Header* header = nullptr;
  Slot* slots = nullptr;
  int32_t* name_index = nullptr;
  int32_t* pid_index = nullptr;
  uint32_t capacity = 0;
  uint32_t bucket_mask = 0;
};

uint32_t bucketCountFor(uint32_t capacity);
size_t tableBytes(uint32_t capacity, uint32_t bucket_count);

// Checks the immutable header of `size` bytes at `base` and returns a view
// whose every part lies inside them; false for anything malformed.
// REQUIRES: base is 8-byte aligned.
bool bindTable(void* base, size_t size, TableView& view);

// Writes a fresh header and empty indexes.
void initTable(void* base, uint32_t capacity, pid_t publisher_pid, TableView& view);

enum class ReadOutcome {
  kOk,
  kClosed,        // the publisher closed the table
  kInconsistent,  // the sequence never settled (a publisher died while writing)
};

// Readers. Lock-free and allocation-free; bounded retries.
ReadOutcome findName(const TableView& view, const NameKey& key, pid_t& pid);  // 0 when absent
ReadOutcome findParent(const TableView& view, pid_t pid, pid_t& parent);      // -1 when absent
// Copies the records in use into `scratch`, which must hold `capacity` slots.
ReadOutcome copySlots(const TableView& view, Slot* scratch, uint32_t& count);

// Writers. REQUIRES: one writer at a time.
class WriteSection {
 public:
  explicit WriteSection(const TableView& view);
  ~WriteSection();
  WriteSection(const WriteSection&) = delete;
  WriteSection& operator=(const WriteSection&) = delete;

 private:
  const TableView& view_;
  uint64_t odd_ = 1;  // the sequence while this change is being written
};
uint32_t recordCount(const TableView& view);  // writer side
// Index of the slot of `pid`, or -1. Writer side (no sequence check).
int32_t slotOfPid(const TableView& view, pid_t pid);
// In a WriteSection: REQUIRES count < capacity and pid not present.
void appendRecord(const TableView& view, pid_t pid, pid_t parent_pid, const NameKey& key);
void removeSlot(const TableView& view, uint32_t slot);
void clearRecords(const TableView& view);
void markClosed(const TableView& view);

}  // namespace sentrel::proc::internal
