// Dispatch racing registration and hooks: readers never lock, so they must
// only ever see whole tables and whole implementations.
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/runtime/runtime.h"

namespace sentrel::runtime {
namespace {

int zero(id, SEL) {
  return 0;
}
int one(id, SEL) {
  return 1;
}
int two(id, SEL) {
  return 2;
}

TEST(AMethodRuntimeUnderChange, ShowsDispatchersOnlyWholeTablesAndImplementations) {
  Class base = *registerClass("RuntimeConcurrencyBase");
  Class cls = *registerClass("RuntimeConcurrencyClass", base);
  SEL value = sel_registerName("value");
  ASSERT_TRUE(class_addMethod(base, value, &zero));

  constexpr int kChanges = 600;
  std::vector<SEL> added(kChanges);
  for (int i = 0; i < kChanges; ++i) added[i] = sel_registerName("added" + std::to_string(i));
  std::atomic<int> published{-1};  // the last class and method made visible
  std::atomic<bool> done{false};
  std::atomic<long> failures{0};

  auto reader = [&] {
    Object object(cls);
    while (!done.load(std::memory_order_acquire)) {
      int result = msgSend<int()>(&object, value);
      if (result < 0 || result > 2) failures++;
      int last = published.load(std::memory_order_acquire);
      if (last < 0) continue;
      if (!respondsToSelector(cls, added[last])) failures++;
      if (objc_getClass("RuntimeConcurrencyChurn" + std::to_string(last)) == nullptr) failures++;
    }
  };
  std::vector<std::thread> readers;
  for (int i = 0; i < 4; ++i) readers.emplace_back(reader);

  for (int i = 0; i < kChanges; ++i) {
    // Methods go to the subclass, so its table is republished while the
    // readers walk through it to the superclass's `value`.
    ASSERT_TRUE(registerClass("RuntimeConcurrencyChurn" + std::to_string(i), base).ok());
    ASSERT_TRUE(class_addMethod(cls, added[i], &one));
    published.store(i, std::memory_order_release);
    int (*previous)(id, SEL) = nullptr;
    ASSERT_TRUE(MSHookMessageEx(base, value, i % 2 ? &one : &two, &previous).ok());
    EXPECT_EQ(previous, i == 0 ? &zero : (i % 2 ? &two : &one));
  }
  done = true;
  for (auto& t : readers) t.join();
  EXPECT_EQ(failures, 0);
}

}  // namespace
}  // namespace sentrel::runtime
