// Zero-filled memory blocks for the byte streams. Large blocks on Windows come
// straight from the system's virtual memory, whose pages are zero already:
// the C runtime's calloc clears them once more, touching every page twice.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kvp {

// A block of size zero bytes, or null when the memory cannot be had.
uint8_t* AllocZeroed(size_t size) noexcept;
// Frees a block from AllocZeroed; size must be the size it was made with.
void FreeZeroed(uint8_t* block, size_t size) noexcept;

// Address space for size bytes with no memory committed to it (on Windows:
// reserved, not charged against the commit limit), or null.
uint8_t* ReserveZeroed(size_t size) noexcept;
// Commits [from, to) of a reserved block; its bytes read as zeros. False
// when the memory cannot be had.
bool CommitZeroed(uint8_t* block, size_t from, size_t to) noexcept;
// Frees a block from ReserveZeroed.
void ReleaseReserved(uint8_t* block, size_t size) noexcept;

}  // namespace kvp
