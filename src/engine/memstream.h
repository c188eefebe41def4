// A byte buffer with a size and a position. Reads and writes happen at the
// position and advance it; setting the size keeps the content up to the new
// size and zero-fills what it adds.
//
// A stream either owns its buffer or is a read-only view of bytes that some
// other stream owns (file items look into the request body instead of holding
// a copy of it).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace kvp {

class TMemoryStream {
 public:
  TMemoryStream() noexcept;
  // A read-only view of size bytes at data; the owner must outlive the view.
  static TMemoryStream* CreateView(const uint8_t* data, int64_t size);
  ~TMemoryStream();
  TMemoryStream(const TMemoryStream&) = delete;
  TMemoryStream& operator=(const TMemoryStream&) = delete;

  int64_t Size() const noexcept { return size_; }
  int64_t Position() const noexcept { return position_; }
  // Any position is accepted; reads beyond the end deliver nothing.
  void SetPosition(int64_t position) noexcept { position_ = position < 0 ? 0 : position; }
  // Grows or shrinks the stream; added bytes are zeros. Raises EStreamError
  // when the memory cannot be had. The position is kept.
  void SetSize(int64_t size);
  void Clear() noexcept;

  // Copies up to count bytes from the position; returns how many came.
  int64_t Read(void* buffer, int64_t count) noexcept;
  // Writes count bytes at the position, growing the stream if needed; returns
  // count. Raises EStreamError on a view or when memory runs out.
  int64_t Write(const void* buffer, int64_t count);

  const uint8_t* Memory() const noexcept { return data_; }
  // Null for a view, which must not be written.
  uint8_t* WritableMemory() noexcept { return owned_ ? data_ : nullptr; }
  bool IsView() const noexcept { return !owned_; }

  // How many streams exist in this process right now (for leak checks).
  static int64_t LiveCount() noexcept { return live_.load(std::memory_order_relaxed); }

 private:
  uint8_t* data_ = nullptr;
  int64_t size_ = 0;
  int64_t capacity_ = 0;
  int64_t position_ = 0;
  bool owned_ = true;
  static std::atomic<int64_t> live_;
};

}  // namespace kvp
