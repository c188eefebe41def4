#include "spoolfile.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "../server/exceptions.h"

namespace kvp {

void TSpoolFile::Store(const uint8_t* data, int64_t count) {
  while (count > 0) {
    const int64_t done = WriteSome(data, count, stored_);
    if (done <= 0) throw EWriteError("Stream write error");
    stored_ += done;
    data += done;
    count -= done;
  }
}

void TSpoolFile::Append(const void* data, int64_t count) {
  count = std::min(count, size_ - Written());
  const auto* bytes = static_cast<const uint8_t*>(data);
  if (count > 0 && !piece_) {
    piece_.reset(new (std::nothrow) uint8_t[kSpoolPiece]);
    // Without the memory for a piece, each chunk is written as it comes.
    if (!piece_) return Store(bytes, count);
  }
  while (count > 0) {
    const int64_t n = std::min(count, kSpoolPiece - gathered_);
    std::memcpy(piece_.get() + gathered_, bytes, static_cast<size_t>(n));
    gathered_ += n;
    bytes += n;
    count -= n;
    if (gathered_ == kSpoolPiece) StorePiece();
  }
}

void TSpoolFile::StorePiece() {
  // Taken out first: bytes a failed write lost read as zeros, not as
  // another piece's.
  const int64_t n = gathered_;
  gathered_ = 0;
  Store(piece_.get(), n);
}

void TSpoolFile::Flush() {
  StorePiece();
  piece_.reset();
}

void TSpoolFile::ReadAt(int64_t offset, void* buffer, int64_t count) const {
  if (offset < 0 || count < 0 || count > size_ - offset) throw EReadError("Stream read error");
  auto* out = static_cast<uint8_t*>(buffer);
  // On disk, then gathered; what was announced but never arrived reads as
  // zeros.
  const int64_t onDisk = std::clamp<int64_t>(stored_ - offset, 0, count);
  const int64_t held = std::clamp<int64_t>(Written() - offset, 0, count);
  for (int64_t done = 0; done < onDisk;) {
    const int64_t got = ReadSome(out + done, onDisk - done, offset + done);
    if (got <= 0) throw EReadError("Stream read error");
    done += got;
  }
  if (held > onDisk)
    std::memcpy(out + onDisk, piece_.get() + (offset + onDisk - stored_),
                static_cast<size_t>(held - onDisk));
  std::memset(out + held, 0, static_cast<size_t>(count - held));
}

}  // namespace kvp
