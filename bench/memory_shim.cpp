// Counts heap allocations in the memory benchmark: malloc and its kin are
// replaced for the whole binary and passed on to the C library's own
// (operator new allocates through malloc, so it is counted too).
#include "bench/memory_shim.h"

#include <cerrno>
#include <cstddef>

extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);
void __libc_free(void*);
}

namespace {
long long allocations = 0;  // the walk runs on one thread
}

long long heap_allocations() { return allocations; }

extern "C" {
void* malloc(size_t n) {
  ++allocations;
  return __libc_malloc(n);
}
void* calloc(size_t n, size_t size) {
  ++allocations;
  return __libc_calloc(n, size);
}
void* realloc(void* p, size_t n) {
  ++allocations;
  return __libc_realloc(p, n);
}
void free(void* p) { __libc_free(p); }
void* memalign(size_t align, size_t n) {
  ++allocations;
  return __libc_memalign(align, n);
}
void* aligned_alloc(size_t align, size_t n) { return memalign(align, n); }
int posix_memalign(void** out, size_t align, size_t n) {
  void* p = memalign(align, n);
  if (p == nullptr) return ENOMEM;
  *out = p;
  return 0;
}
}
