// A byte buffer with a size and a position. Reads and writes happen at the
// position and advance it; setting the size keeps the content up to the new
// size and zero-fills what it adds.
//
// A stream can reserve room for a size announced in advance: the address
// space is set aside at once, but memory is committed only as bytes are
// written, so what the stream holds follows what it was given.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "bodysource.h"

namespace kvp {

class TMemoryStream final : public TBodySource {
 public:
  TMemoryStream() noexcept;
  ~TMemoryStream();
  TMemoryStream(const TMemoryStream&) = delete;
  TMemoryStream& operator=(const TMemoryStream&) = delete;

  int64_t Size() const noexcept override { return size_; }
  int64_t Position() const noexcept { return position_; }
  // Any position is accepted; reads beyond the end deliver nothing.
  void SetPosition(int64_t position) noexcept { position_ = position < 0 ? 0 : position; }
  // Grows or shrinks the stream; added bytes are zeros. Raises EStreamError
  // when the memory cannot be had. The position is kept.
  void SetSize(int64_t size);
  void Clear() noexcept;
  // Empties the stream and sets aside room for capacity bytes: address space
  // whose memory is committed as it is written, or below 1 MiB one block
  // from the heap. Raises EStreamError when the room cannot be had.
  void Reserve(int64_t capacity);

  // Copies up to count bytes from the position; returns how many came.
  int64_t Read(void* buffer, int64_t count) noexcept;
  // Writes count bytes at the position, growing the stream if needed; returns
  // count. Raises EStreamError when memory runs out.
  int64_t Write(const void* buffer, int64_t count);

  const uint8_t* Memory() const noexcept override { return data_; }
  uint8_t* WritableMemory() noexcept { return data_; }
  void ReadAt(int64_t offset, void* buffer, int64_t count) const override;

  // How many streams exist in this process right now (for leak checks).
  static int64_t LiveCount() noexcept { return live_.load(std::memory_order_relaxed); }

 private:
  // Makes [0, end) writable; bytes past size_ that were never written are
  // zeros.
  void Room(int64_t end);
  // Zero-fills [size_, end) where it was written before.
  void ZeroTail(int64_t end) noexcept;

  uint8_t* data_ = nullptr;
  int64_t size_ = 0;
  int64_t capacity_ = 0;   // bytes of address space
  int64_t committed_ = 0;  // bytes of it backed by memory
  int64_t touched_ = 0;    // bytes of it ever written
  int64_t position_ = 0;
  bool reserved_ = false;  // data_ came from ReserveZeroed
  static std::atomic<int64_t> live_;
};

}  // namespace kvp
