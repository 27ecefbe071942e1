// The connect hook allocates nothing on its way: this binary interposes
// malloc, calloc and realloc and counts what the calling thread allocates
// while a counter is armed. Sanitizer builds own the allocator, so there the
// count is not available and the tests skip.
#include <stdlib.h>

#include <atomic>

#include <gtest/gtest.h>

#include "platform/hook/connect_hook.h"
#include "platform/hook/loopback.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define SENTREL_OWN_ALLOCATOR 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define SENTREL_OWN_ALLOCATOR 1
#endif
#endif

namespace {
thread_local bool counting = false;
thread_local long allocations = 0;
}  // namespace

#ifndef SENTREL_OWN_ALLOCATOR
extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* pointer, size_t size);

void* malloc(size_t size) {
  if (counting) ++allocations;
  return __libc_malloc(size);
}
void* calloc(size_t count, size_t size) {
  if (counting) ++allocations;
  return __libc_calloc(count, size);
}
void* realloc(void* pointer, size_t size) {
  if (counting) ++allocations;
  return __libc_realloc(pointer, size);
}
}
#endif

namespace sentrel::hook {
namespace {

using testing::Fd;
using testing::loopback4;
using testing::LoopbackSocket;

// Counts the calling thread's allocations during `body`.
template <class Body>
long allocationsDuring(Body body) {
  allocations = 0;
  counting = true;
  body();
  counting = false;
  return allocations;
}

ConnectFunction original_connect = nullptr;
std::atomic<uint16_t> denied_port{0};
int denyingConnect(int socket, const sockaddr* address, socklen_t length) {
  if (testing::portOf(address) == denied_port) {
    errno = ENETUNREACH;
    return -1;
  }
  return original_connect(socket, address, length);
}

class AConnectHookOnItsWay : public ::testing::Test {
 protected:
  void SetUp() override {
#ifdef SENTREL_OWN_ALLOCATOR
    GTEST_SKIP() << "the sanitizer owns malloc in this build";
#endif
    // The counter itself must work, or a zero below proves nothing.
    void* (*volatile allocate)(size_t) = &malloc;
    long counted = allocationsDuring([&] { free(allocate(16)); });
    ASSERT_EQ(counted, 1);
  }
  void TearDown() override {
    ASSERT_TRUE(MSHookFunction(kConnect, realConnect(), nullptr).ok());
  }
};

TEST_F(AConnectHookOnItsWay, AllocatesNothingWhenItPassesOrDeniesAConnection) {
  LoopbackSocket allowed(AF_INET, SOCK_STREAM);
  LoopbackSocket denied(AF_INET, SOCK_STREAM);
  denied_port = denied.port();
  ASSERT_TRUE(MSHookFunction(kConnect, denyingConnect, &original_connect).ok());
  Fd to_allowed(::socket(AF_INET, SOCK_STREAM, 0));
  Fd to_denied(::socket(AF_INET, SOCK_STREAM, 0));
  auto allowed_address = loopback4(allowed.port());
  auto denied_address = loopback4(denied.port());
  int allowed_result = 1;
  int denied_result = 1;
  long counted = allocationsDuring([&] {
    allowed_result = ::connect(to_allowed.get(), reinterpret_cast<sockaddr*>(&allowed_address),
                               sizeof allowed_address);
    denied_result = ::connect(to_denied.get(), reinterpret_cast<sockaddr*>(&denied_address),
                              sizeof denied_address);
  });
  EXPECT_EQ(allowed_result, 0);
  EXPECT_EQ(denied_result, -1);
  EXPECT_EQ(counted, 0);
}

TEST_F(AConnectHookOnItsWay, AllocatesNothingWithoutAReplacement) {
  LoopbackSocket allowed(AF_INET, SOCK_STREAM);
  Fd fd(::socket(AF_INET, SOCK_STREAM, 0));
  auto address = loopback4(allowed.port());
  int result = 1;
  long counted = allocationsDuring(
      [&] { result = ::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address); });
  EXPECT_EQ(result, 0);
  EXPECT_EQ(counted, 0);
}

}  // namespace
}  // namespace sentrel::hook
