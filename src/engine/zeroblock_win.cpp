#include <windows.h>

#include <cstdlib>

#include "zeroblock.h"

namespace kvp {

namespace {
constexpr size_t kLargeBlock = size_t{1} << 20;
}  // namespace

uint8_t* AllocZeroed(size_t size) noexcept {
  if (size >= kLargeBlock)
    return static_cast<uint8_t*>(
        VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
  return static_cast<uint8_t*>(std::calloc(size ? size : 1, 1));
}

void FreeZeroed(uint8_t* block, size_t size) noexcept {
  if (!block) return;
  if (size >= kLargeBlock)
    VirtualFree(block, 0, MEM_RELEASE);
  else
    std::free(block);
}

uint8_t* ReserveZeroed(size_t size) noexcept {
  return static_cast<uint8_t*>(VirtualAlloc(nullptr, size, MEM_RESERVE, PAGE_NOACCESS));
}

bool CommitZeroed(uint8_t* block, size_t from, size_t to) noexcept {
  return to <= from || VirtualAlloc(block + from, to - from, MEM_COMMIT, PAGE_READWRITE) != nullptr;
}

void ReleaseReserved(uint8_t* block, size_t) noexcept {
  if (block) VirtualFree(block, 0, MEM_RELEASE);
}

}  // namespace kvp
