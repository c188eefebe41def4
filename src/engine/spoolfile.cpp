#include "spoolfile.h"

#include <algorithm>
#include <cstring>

#include "../server/exceptions.h"

namespace kvp {

void TSpoolFile::Append(const void* data, int64_t count) {
  count = std::min(count, size_ - written_);
  const auto* bytes = static_cast<const uint8_t*>(data);
  while (count > 0) {
    const int64_t done = WriteSome(bytes, count, written_);
    if (done <= 0) throw EWriteError("Stream write error");
    written_ += done;
    bytes += done;
    count -= done;
  }
}

void TSpoolFile::ReadAt(int64_t offset, void* buffer, int64_t count) const {
  if (offset < 0 || count < 0 || count > size_ - offset) throw EReadError("Stream read error");
  auto* out = static_cast<uint8_t*>(buffer);
  // What was announced but never arrived reads as zeros.
  const int64_t stored = std::clamp<int64_t>(written_ - offset, 0, count);
  std::memset(out + stored, 0, static_cast<size_t>(count - stored));
  for (int64_t done = 0; done < stored;) {
    const int64_t got = ReadSome(out + done, stored - done, offset + done);
    if (got <= 0) throw EReadError("Stream read error");
    done += got;
  }
}

}  // namespace kvp
