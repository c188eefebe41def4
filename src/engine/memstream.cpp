#include "memstream.h"

#include <cstring>

#include "../server/exceptions.h"
#include "zeroblock.h"

namespace kvp {

std::atomic<int64_t> TMemoryStream::live_{0};

namespace {
[[noreturn]] void RaiseOutOfMemory() {
  throw EStreamError("Out of memory while expanding memory stream");
}
}  // namespace

TMemoryStream::TMemoryStream() noexcept {
  live_.fetch_add(1, std::memory_order_relaxed);
}

TMemoryStream* TMemoryStream::CreateView(const uint8_t* data, int64_t size) {
  auto* s = new TMemoryStream();
  s->data_ = const_cast<uint8_t*>(data);
  s->size_ = size;
  s->capacity_ = size;
  s->owned_ = false;
  return s;
}

TMemoryStream::~TMemoryStream() {
  Clear();
  live_.fetch_sub(1, std::memory_order_relaxed);
}

void TMemoryStream::Clear() noexcept {
  if (owned_) FreeZeroed(data_, static_cast<size_t>(capacity_));
  data_ = nullptr;
  size_ = capacity_ = position_ = 0;
  owned_ = true;
}

void TMemoryStream::SetSize(int64_t size) {
  if (!owned_) throw EStreamError("Stream write error");
  if (size < 0) size = 0;
  if (size > static_cast<int64_t>(SIZE_MAX / 2)) RaiseOutOfMemory();
  if (size <= capacity_) {
    if (size > size_) std::memset(data_ + size_, 0, static_cast<size_t>(size - size_));
    size_ = size;
    return;
  }
  // A new zeroed block: what lies past the old content is zero already.
  uint8_t* grown = AllocZeroed(static_cast<size_t>(size));
  if (!grown) RaiseOutOfMemory();
  if (size_ > 0) std::memcpy(grown, data_, static_cast<size_t>(size_));
  FreeZeroed(data_, static_cast<size_t>(capacity_));
  data_ = grown;
  size_ = capacity_ = size;
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
  if (!owned_) throw EStreamError("Stream write error");
  const int64_t end = position_ + count;
  if (end > size_) {
    if (end > capacity_) {
      int64_t want = capacity_ + capacity_ / 2;
      if (want < end) want = end;
      const int64_t keep = size_;
      SetSize(want);
      size_ = keep;
    }
    if (position_ > size_) std::memset(data_ + size_, 0, static_cast<size_t>(position_ - size_));
    size_ = end;
  }
  std::memcpy(data_ + position_, buffer, static_cast<size_t>(count));
  position_ = end;
  return count;
}

}  // namespace kvp
