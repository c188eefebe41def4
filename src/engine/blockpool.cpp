#include "blockpool.h"

#include <cstdlib>
#include <mutex>
#include <new>

#ifdef _WIN32
#include "slimlock.h"
#endif

namespace kvp {

namespace {

constexpr int kCacheBlocks = static_cast<int>((size_t{8} << 20) / TBlock::kPooledSize);

#ifdef _WIN32
// It takes no memory, so giving a block back never fails.
using Lock = TSlimLock;
#else
using Lock = std::mutex;
#endif

struct Cache {
  Lock lock;
  void* blocks[kCacheBlocks] = {};
  int count = 0;
  Cache() = default;
  Cache(const Cache&) = delete;
  Cache& operator=(const Cache&) = delete;
  ~Cache() { FreeAll(); }
  void FreeAll() noexcept {
    while (count > 0) std::free(blocks[--count]);
  }
};

Cache& TheCache() {
  static Cache cache;
  return cache;
}

}  // namespace

TBlock::TBlock(size_t bytes) {
  if (bytes == 0) return;
  if (bytes == kPooledSize) {
    Cache& c = TheCache();
    std::lock_guard<Lock> hold(c.lock);
    if (c.count > 0) {
      data_ = c.blocks[--c.count];
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
  if (bytes_ == kPooledSize) {
    Cache& c = TheCache();
    std::lock_guard<Lock> hold(c.lock);
    if (c.count < kCacheBlocks) {
      c.blocks[c.count++] = data_;
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
  std::lock_guard<Lock> hold(c.lock);
  return static_cast<size_t>(c.count) * kPooledSize;
}

void TBlock::Trim() noexcept {
  Cache& c = TheCache();
  std::lock_guard<Lock> hold(c.lock);
  c.FreeAll();
}

}  // namespace kvp
