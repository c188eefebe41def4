// An array that grows at its end without ever moving what it holds once it
// is past its first page: the first page is an ordinary vector (small lists
// stay small), every further page is one cached block. Growing therefore
// never holds two copies of a large array.
#pragma once

#include <bit>
#include <cstddef>
#include <type_traits>
#include <vector>

#include "blockpool.h"

namespace kvp {

template <typename T>
class TPagedArray {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  // Elements to a page: as many as a cached block holds, a power of two.
  static constexpr size_t kPage = std::bit_floor(TBlock::kPooledSize / sizeof(T));

  size_t size() const noexcept { return size_; }

  T& operator[](size_t i) noexcept {
    return i < kPage ? head_[i]
                     : static_cast<T*>(pages_[(i >> kShift) - 1].Data())[i & (kPage - 1)];
  }
  const T& operator[](size_t i) const noexcept { return const_cast<TPagedArray&>(*this)[i]; }

  // Appends value; throws std::bad_alloc and leaves the array as it was when
  // memory for it cannot be had.
  void push_back(const T& value) {
    if (size_ < kPage) {
      head_.push_back(value);
    } else {
      if ((size_ & (kPage - 1)) == 0) pages_.emplace_back(kPage * sizeof(T));
      static_cast<T*>(pages_.back().Data())[size_ & (kPage - 1)] = value;
    }
    ++size_;
  }

  // Takes the last element away (there must be one).
  void pop_back() noexcept {
    --size_;
    if (size_ < kPage)
      head_.pop_back();
    else if ((size_ & (kPage - 1)) == 0)
      pages_.pop_back();
  }

  void clear() noexcept {
    head_.clear();
    pages_.clear();
    size_ = 0;
  }

 private:
  static constexpr int kShift = std::countr_zero(kPage);

  std::vector<T> head_;
  std::vector<TBlock> pages_;
  size_t size_ = 0;
};

}  // namespace kvp
