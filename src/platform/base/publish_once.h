// A value made on first use and published without a lock, for tables of a
// library loaded on demand: racing first callers may each make one, one is
// kept and the others are deleted, and a child forked midway finds nothing
// locked.
#pragma once

#include <atomic>

namespace sentrel::base {

// The value in `slot`, else `make()` (nullptr: not available now; a later
// call tries again) published there. Any thread.
template <class T, class Make>
const T* publishOnce(std::atomic<const T*>& slot, Make make) {
  if (const T* value = slot.load(std::memory_order_acquire)) return value;
  const T* made = make();
  if (made == nullptr) return nullptr;
  const T* expected = nullptr;
  if (!slot.compare_exchange_strong(expected, made, std::memory_order_acq_rel)) {
    delete made;  // another thread got there first; its value is the same
    return expected;
  }
  return made;
}

}  // namespace sentrel::base
