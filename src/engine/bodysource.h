// Where a request body's bytes live: whole in memory, or in a spool file on
// disk. The parser and the file members read the body through this, so that
// neither cares which.
#pragma once

#include <cstdint>

namespace kvp {

class TBodySource {
 public:
  // The body's size in bytes.
  virtual int64_t Size() const noexcept = 0;
  // The whole body as one block when it is held in memory, else null.
  virtual const uint8_t* Memory() const noexcept = 0;
  // Copies count bytes from offset into buffer. The range must lie inside
  // the body. Raises EReadError when the bytes cannot be had.
  virtual void ReadAt(int64_t offset, void* buffer, int64_t count) const = 0;

 protected:
  ~TBodySource() = default;
};

}  // namespace kvp
