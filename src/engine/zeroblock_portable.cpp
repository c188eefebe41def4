#include <cstdlib>

#include "zeroblock.h"

namespace kvp {

uint8_t* AllocZeroed(size_t size) noexcept {
  return static_cast<uint8_t*>(std::calloc(size ? size : 1, 1));
}

void FreeZeroed(uint8_t* block, size_t) noexcept {
  std::free(block);
}

}  // namespace kvp
