// Preloaded into the program by the fault tests: an allocator that can be
// held, as the C library's is while a fault inside it is being handled.
// After WirepeekHoldAllocator, every allocation waits (for a signal) for ever.
#include <unistd.h>

#include <atomic>
#include <cstddef>

extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
}

namespace {
std::atomic<bool> Held{false};
void WaitWhileHeld() {
  while (Held.load()) ::pause();
}
}  // namespace

extern "C" {
__attribute__((visibility("default"))) void WirepeekHoldAllocator() { Held.store(true); }
__attribute__((visibility("default"))) void* malloc(std::size_t n) {
  WaitWhileHeld();
  return __libc_malloc(n);
}
__attribute__((visibility("default"))) void* calloc(std::size_t n, std::size_t size) {
  WaitWhileHeld();
  return __libc_calloc(n, size);
}
__attribute__((visibility("default"))) void* realloc(void* p, std::size_t n) {
  WaitWhileHeld();
  return __libc_realloc(p, n);
}
}
