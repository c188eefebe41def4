#include "memstream.h"

#include <algorithm>
#include <cstring>

#include "../server/exceptions.h"
#include "zeroblock.h"

namespace kvp {

std::atomic<int64_t> TMemoryStream::live_{0};

namespace {
// Reserved room is committed this much at a time.
constexpr int64_t kCommitStep = int64_t{64} << 10;
// Below this, room is one block from the heap, whose pages were used before:
// fresh pages from the system for every small body cost more than the block
// commits ahead of the bytes.
constexpr int64_t kHeapRoom = int64_t{1} << 20;

[[noreturn]] void RaiseOutOfMemory() {
  throw EStreamError("Out of memory while expanding memory stream");
}
}  // namespace

TMemoryStream::TMemoryStream() noexcept {
  live_.fetch_add(1, std::memory_order_relaxed);
}

TMemoryStream::~TMemoryStream() {
  Clear();
  live_.fetch_sub(1, std::memory_order_relaxed);
}

void TMemoryStream::Clear() noexcept {
  if (reserved_)
    ReleaseReserved(data_, static_cast<size_t>(capacity_));
  else
    FreeZeroed(data_, static_cast<size_t>(capacity_));
  data_ = nullptr;
  size_ = capacity_ = committed_ = touched_ = position_ = 0;
  reserved_ = false;
}

void TMemoryStream::Reserve(int64_t capacity) {
  Clear();
  if (capacity <= 0) return;
  if (capacity > static_cast<int64_t>(SIZE_MAX / 2)) RaiseOutOfMemory();
  if (capacity < kHeapRoom) return Room(capacity);
  data_ = ReserveZeroed(static_cast<size_t>(capacity));
  if (!data_) RaiseOutOfMemory();
  capacity_ = capacity;
  reserved_ = true;
}

void TMemoryStream::Room(int64_t end) {
  if (end <= committed_) return;
  if (reserved_ && end <= capacity_) {
    const int64_t to = std::min(capacity_, (end + kCommitStep - 1) / kCommitStep * kCommitStep);
    if (!CommitZeroed(data_, static_cast<size_t>(committed_), static_cast<size_t>(to)))
      RaiseOutOfMemory();
    committed_ = to;
    return;
  }
  if (end > static_cast<int64_t>(SIZE_MAX / 2)) RaiseOutOfMemory();
  // A new zeroed block: what lies past the old content is zero already.
  const int64_t want = std::max(end, capacity_ + capacity_ / 2);
  uint8_t* grown = AllocZeroed(static_cast<size_t>(want));
  if (!grown) RaiseOutOfMemory();
  if (size_ > 0) std::memcpy(grown, data_, static_cast<size_t>(size_));
  const int64_t keepSize = size_, keepPosition = position_;
  Clear();
  data_ = grown;
  size_ = touched_ = keepSize;
  position_ = keepPosition;
  capacity_ = committed_ = want;
}

void TMemoryStream::ZeroTail(int64_t end) noexcept {
  const int64_t stop = std::min(end, touched_);
  if (stop > size_) std::memset(data_ + size_, 0, static_cast<size_t>(stop - size_));
}

void TMemoryStream::SetSize(int64_t size) {
  if (size < 0) size = 0;
  Room(size);
  ZeroTail(size);
  size_ = size;
}

int64_t TMemoryStream::Read(void* buffer, int64_t count) noexcept {
  if (count <= 0 || position_ >= size_) return 0;
  int64_t n = size_ - position_;
  if (n > count) n = count;
  std::memcpy(buffer, data_ + position_, static_cast<size_t>(n));
  position_ += n;
  return n;
}

int64_t TMemoryStream::Write(const void* buffer, int64_t count) {
  if (count <= 0) return 0;
  const int64_t end = position_ + count;
  Room(end);
  ZeroTail(position_);
  std::memcpy(data_ + position_, buffer, static_cast<size_t>(count));
  position_ = end;
  size_ = std::max(size_, end);
  touched_ = std::max(touched_, end);
  return count;
}

void TMemoryStream::ReadAt(int64_t offset, void* buffer, int64_t count) const {
  if (offset < 0 || count < 0 || count > size_ - offset) throw EReadError("Stream read error");
  if (count > 0) std::memcpy(buffer, data_ + offset, static_cast<size_t>(count));
}

}  // namespace kvp
