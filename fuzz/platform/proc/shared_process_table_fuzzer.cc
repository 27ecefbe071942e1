// The shared process table file is outside input: any bytes may sit under
// the device root. Mode 0 reads arbitrary bytes as a table; mode 1 drives
// the writer with a sequence of changes and checks every answer against
// the in-memory table.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/proc/internal/shared_table_layout.h"
#include "platform/proc/process_table.h"

namespace {

using namespace sentrel::proc;

void readArbitraryBytes(const uint8_t* data, size_t size) {
  std::vector<uint64_t> words((size + 7) / 8 + 1);
  std::memcpy(words.data(), data, size);
  internal::TableView view;
  if (!internal::bindTable(words.data(), size, view)) return;
  view.header->sequence &= ~uint64_t{1};  // a stuck writer is a unit test's business
  pid_t pid = 0;
  for (const char* name : {"launchd", "SpringBoard", "", "a"}) {
    internal::findName(view, internal::packName(name), pid);
  }
  pid_t parent = 0;
  for (pid_t p : {1, 2, 1000, 0x7fffffff}) internal::findParent(view, p, parent);
  std::vector<internal::Slot> scratch(view.capacity);
  uint32_t count = 0;
  internal::copySlots(view, scratch.data(), count);
  if (count > view.capacity) abort();
}

void compareWithModel(const uint8_t* data, size_t size) {
  constexpr uint32_t kCapacity = 8;
  std::vector<uint64_t> words(internal::tableBytes(kCapacity, internal::bucketCountFor(kCapacity)) /
                              8);
  internal::TableView view;
  internal::initTable(words.data(), kCapacity, 1, view);
  InMemoryProcessTable model;
  const std::string names[] = {"launchd", "SpringBoard", "Preferences", "app"};
  for (size_t i = 0; i + 1 < size; i += 2) {
    const pid_t pid = 1 + (data[i] & 15);
    const std::string& name = names[(data[i + 1] >> 4) & 3];
    const pid_t parent = data[i + 1] & 15;
    const internal::NameKey key = internal::packName(name);
    const int32_t existing = internal::slotOfPid(view, pid);
    internal::WriteSection section(view);
    switch (data[i] >> 6) {
      case 0:
      case 1:
        if (existing < 0 && internal::recordCount(view) == kCapacity) break;
        if (existing >= 0) internal::removeSlot(view, static_cast<uint32_t>(existing));
        internal::appendRecord(view, pid, parent, key);
        model.add(pid, parent, name);
        break;
      case 2:
        if (existing >= 0) internal::removeSlot(view, static_cast<uint32_t>(existing));
        model.remove(pid);
        break;
      default:
        if ((data[i + 1] & 0xf0) == 0xf0) {
          internal::clearRecords(view);
          model.clear();
        }
    }
  }
  for (const std::string& name : names) {
    pid_t pid = -2;
    internal::findName(view, internal::packName(name), pid);
    if (pid != model.pidOfProcess(name)) abort();
  }
  for (pid_t pid = 0; pid <= 17; ++pid) {
    pid_t parent = -2;
    internal::findParent(view, pid, parent);
    if (parent != model.parentOf(pid)) abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > (1 << 20)) return 0;
  if (data[0] & 1) {
    compareWithModel(data + 1, size - 1);
  } else {
    readArbitraryBytes(data + 1, size - 1);
  }
  return 0;
}
