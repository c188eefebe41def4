#include "blockpool.h"

#include <atomic>
#include <bit>
#include <cstdlib>
#include <new>

namespace kvp {

namespace {

constexpr size_t kCacheLimit = size_t{8} << 20;
constexpr int kClasses = 5;    // 256 KiB, 512 KiB, 1 MiB, 2 MiB, 4 MiB
constexpr int kPerClass = 32;  // more than the limit allows for any class

struct Cache {
  std::atomic_flag busy;  // a spin lock: held for a few instructions only
  void* blocks[kClasses][kPerClass] = {};
  int count[kClasses] = {};
  size_t bytes = 0;
  Cache() = default;
  Cache(const Cache&) = delete;
  Cache& operator=(const Cache&) = delete;
  ~Cache() { FreeAll(); }
  void FreeAll() noexcept {
    for (int k = 0; k < kClasses; ++k) {
      for (int i = 0; i < count[k]; ++i) std::free(blocks[k][i]);
      count[k] = 0;
    }
    bytes = 0;
  }
};

Cache& TheCache() {
  static Cache cache;
  return cache;
}

class Hold {
 public:
  explicit Hold(Cache& c) : c_(c) {
    while (c_.busy.test_and_set(std::memory_order_acquire)) {
    }
  }
  ~Hold() { c_.busy.clear(std::memory_order_release); }
  Hold(const Hold&) = delete;
  Hold& operator=(const Hold&) = delete;

 private:
  Cache& c_;
};

// The class of a cached size, or -1.
int ClassOf(size_t bytes) {
  if (bytes < TBlock::kPooledMin || bytes > TBlock::kPooledMax || !std::has_single_bit(bytes))
    return -1;
  return std::countr_zero(bytes) - std::countr_zero(TBlock::kPooledMin);
}

}  // namespace

TBlock::TBlock(size_t bytes) {
  if (bytes == 0) return;
  const int k = ClassOf(bytes);
  if (k >= 0) {
    Cache& c = TheCache();
    Hold hold(c);
    if (c.count[k] > 0) {
      data_ = c.blocks[k][--c.count[k]];
      c.bytes -= bytes;
      bytes_ = bytes;
      return;
    }
  }
  data_ = std::malloc(bytes);
  if (!data_) throw std::bad_alloc();
  bytes_ = bytes;
}

void TBlock::Reset() noexcept {
  if (!data_) return;
  const int k = ClassOf(bytes_);
  if (k >= 0) {
    Cache& c = TheCache();
    Hold hold(c);
    if (c.bytes + bytes_ <= kCacheLimit && c.count[k] < kPerClass) {
      c.blocks[k][c.count[k]++] = data_;
      c.bytes += bytes_;
      data_ = nullptr;
      bytes_ = 0;
      return;
    }
  }
  std::free(data_);
  data_ = nullptr;
  bytes_ = 0;
}

size_t TBlock::CachedBytes() noexcept {
  Cache& c = TheCache();
  Hold hold(c);
  return c.bytes;
}

void TBlock::Trim() noexcept {
  Cache& c = TheCache();
  Hold hold(c);
  c.FreeAll();
}

}  // namespace kvp
