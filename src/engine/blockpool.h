// Large working blocks for the bookkeeping of upload objects (line text,
// line records, name indexes). Blocks of 256 KiB, the size those take, go
// back to a small process-wide cache when their owner is done, up to 8 MiB
// in all, so that the next upload reuses memory the system has already
// mapped instead of taking a page fault on every page again. Other sizes
// come from and go to the heap as usual.
#pragma once

#include <cstddef>
#include <utility>

namespace kvp {

// Owns one block of at least the size asked for.
class TBlock {
 public:
  TBlock() = default;
  explicit TBlock(size_t bytes);  // throws std::bad_alloc
  TBlock(TBlock&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)), bytes_(std::exchange(other.bytes_, 0)) {}
  TBlock& operator=(TBlock&& other) noexcept {
    if (this != &other) {
      Reset();
      data_ = std::exchange(other.data_, nullptr);
      bytes_ = std::exchange(other.bytes_, 0);
    }
    return *this;
  }
  TBlock(const TBlock&) = delete;
  TBlock& operator=(const TBlock&) = delete;
  ~TBlock() { Reset(); }

  void* Data() const noexcept { return data_; }
  size_t Bytes() const noexcept { return bytes_; }
  void Reset() noexcept;

  // The one size that the cache keeps.
  static constexpr size_t kPooledSize = size_t{1} << 18;
  // Bytes held by the cache now.
  static size_t CachedBytes() noexcept;
  // Gives every cached block back to the heap.
  static void Trim() noexcept;

 private:
  void* data_ = nullptr;
  size_t bytes_ = 0;
};

}  // namespace kvp
