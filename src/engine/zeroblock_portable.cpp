#include <cstdlib>

#include "zeroblock.h"

namespace kvp {

uint8_t* AllocZeroed(size_t size) noexcept {
  return static_cast<uint8_t*>(std::calloc(size ? size : 1, 1));
}

void FreeZeroed(uint8_t* block, size_t) noexcept {
  std::free(block);
}

// The C library's large blocks are mapped lazily: a page takes memory when it
// is first written.
uint8_t* ReserveZeroed(size_t size) noexcept {
  return AllocZeroed(size);
}

bool CommitZeroed(uint8_t*, size_t, size_t) noexcept {
  return true;
}

void ReleaseReserved(uint8_t* block, size_t size) noexcept {
  FreeZeroed(block, size);
}

}  // namespace kvp
