// Counts heap bytes and their peak between StartHeapCount and StopHeapCount by
// standing in for the C allocator (operator new ends up here too). Sizes are
// taken with malloc_usable_size, so allocation and release always agree. The
// window must not free blocks allocated before it.
#include "alloc_counter.h"

#include <malloc.h>

#include <atomic>
#include <cstddef>

extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void __libc_free(void*);
void* __libc_memalign(size_t, size_t);
}

namespace {
std::atomic<bool> counting{false};
std::atomic<int64_t> current{0};
std::atomic<int64_t> peak{0};

void Added(void* p) {
  if (!p || !counting.load(std::memory_order_relaxed)) return;
  const int64_t now =
      current.fetch_add(static_cast<int64_t>(malloc_usable_size(p)), std::memory_order_relaxed) +
      static_cast<int64_t>(malloc_usable_size(p));
  int64_t seen = peak.load(std::memory_order_relaxed);
  while (now > seen && !peak.compare_exchange_weak(seen, now, std::memory_order_relaxed)) {
  }
}

void Removed(void* p) {
  if (p && counting.load(std::memory_order_relaxed))
    current.fetch_sub(static_cast<int64_t>(malloc_usable_size(p)), std::memory_order_relaxed);
}
}  // namespace

extern "C" {
void* malloc(size_t n) {
  void* p = __libc_malloc(n);
  Added(p);
  return p;
}
void* calloc(size_t n, size_t m) {
  void* p = __libc_calloc(n, m);
  Added(p);
  return p;
}
void* realloc(void* old, size_t n) {
  Removed(old);
  void* p = __libc_realloc(old, n);
  // A failed realloc leaves the old block in place.
  Added(p ? p : (n ? old : nullptr));
  return p;
}
void free(void* p) {
  Removed(p);
  __libc_free(p);
}
void* memalign(size_t align, size_t n) {
  void* p = __libc_memalign(align, n);
  Added(p);
  return p;
}
void* aligned_alloc(size_t align, size_t n) {
  return memalign(align, n);
}
int posix_memalign(void** out, size_t align, size_t n) {
  *out = memalign(align, n);
  return *out ? 0 : 12;  // ENOMEM
}
}

namespace kvbench {

void StartHeapCount() {
  current.store(0);
  peak.store(0);
  counting.store(true);
}

int64_t StopHeapCount() {
  counting.store(false);
  return peak.load();
}

}  // namespace kvbench
