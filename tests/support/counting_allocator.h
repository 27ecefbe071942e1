// Counts what the calling thread allocates while armed, by interposing
// malloc, calloc and realloc. Include it in exactly one file of a test
// binary. Sanitizer builds own the allocator: there SENTREL_OWN_ALLOCATOR is
// defined, nothing is interposed and the count stays 0 (tests skip).
#pragma once

#include <stdlib.h>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define SENTREL_OWN_ALLOCATOR 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define SENTREL_OWN_ALLOCATOR 1
#endif
#endif

namespace sentrel::testing::allocation_counter {
inline thread_local bool counting = false;
inline thread_local long allocations = 0;
}  // namespace sentrel::testing::allocation_counter

#ifndef SENTREL_OWN_ALLOCATOR
extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* pointer, size_t size);

void* malloc(size_t size) {
  if (sentrel::testing::allocation_counter::counting)
    ++sentrel::testing::allocation_counter::allocations;
  return __libc_malloc(size);
}
void* calloc(size_t count, size_t size) {
  if (sentrel::testing::allocation_counter::counting)
    ++sentrel::testing::allocation_counter::allocations;
  return __libc_calloc(count, size);
}
void* realloc(void* pointer, size_t size) {
  if (sentrel::testing::allocation_counter::counting)
    ++sentrel::testing::allocation_counter::allocations;
  return __libc_realloc(pointer, size);
}
}
#endif

namespace sentrel::testing {

// The calling thread's allocations during `body`.
template <class Body>
long allocationsDuring(Body body) {
  allocation_counter::allocations = 0;
  allocation_counter::counting = true;
  body();
  allocation_counter::counting = false;
  return allocation_counter::allocations;
}

}  // namespace sentrel::testing
