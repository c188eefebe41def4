// A bounded view of a body: the bytes around an offset, as one block. A body
// in memory is seen whole; a body elsewhere is read a window at a time, so
// reading it holds no more than the window whatever its size.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "bodysource.h"

namespace kvp {

// The window a parse reads a spooled body through.
constexpr int64_t kBodyWindow = int64_t{1} << 20;
// The window a file item's header block is read again through.
constexpr int64_t kHeaderWindow = int64_t{8} << 10;

class TBodyView {
 public:
  // window: the most bytes held at once when the body is not in memory.
  explicit TBodyView(const TBodySource& body, int64_t window = kBodyWindow);
  TBodyView(const TBodyView&) = delete;
  TBodyView& operator=(const TBodyView&) = delete;

  int64_t Size() const noexcept { return size_; }
  // The whole body when it is in memory, else null.
  const uint8_t* Memory() const noexcept { return memory_; }

  // The bytes from at on, up to end at most, as one block: empty when at is
  // not below end, else at least min(want, end - at, window) bytes. Valid
  // until the next call.
  std::span<const uint8_t> Bytes(int64_t at, int64_t end, int64_t want = 1) {
    if (!memory_) return Held(at, end, want);
    if (end > size_) end = size_;
    if (at < 0 || at >= end) return {};
    return {memory_ + at, static_cast<size_t>(end - at)};
  }

  // Makes the window hold at least window bytes.
  void Widen(int64_t window);
  int64_t Window() const noexcept { return window_; }

 private:
  // Bytes of a body that is not in memory: from the window, refilled when
  // it does not hold enough of them.
  std::span<const uint8_t> Held(int64_t at, int64_t end, int64_t want);

  const TBodySource& body_;
  const uint8_t* const memory_;
  const int64_t size_;
  int64_t window_;
  std::unique_ptr<uint8_t[]> held_;
  int64_t heldAt_ = 0;
  int64_t heldSize_ = 0;
};

}  // namespace kvp
