// Fault injection and call counting at a module's import table: for as long
// as a patch lives, the module's calls of one imported function go to a
// replacement, which may pass them on to the original. Only the patched
// module is affected; the test program's own calls go straight through.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace kvtest {

class ImportPatch {
 public:
  // Patches module's import of function from dll (names compared without
  // regard to case). Active() tells whether the module imports it by name.
  ImportPatch(HMODULE module, const char* dll, const char* function, const void* replacement);
  ~ImportPatch();
  ImportPatch(const ImportPatch&) = delete;
  ImportPatch& operator=(const ImportPatch&) = delete;

  bool Active() const noexcept { return slot_ != nullptr; }
  // The address the module called before the patch.
  template <typename Fn>
  Fn Original() const noexcept {
    return reinterpret_cast<Fn>(original_);
  }

 private:
  void** slot_ = nullptr;
  void* original_ = nullptr;
};

// Counts, while it lives, the memory a module takes and the bytes it copies
// through its imports: the C heap (malloc, calloc, realloc), safe arrays
// (SafeArrayCreateVector) and memcpy/memmove. One counter at a time.
class MemoryTraffic {
 public:
  // Blocks of at least threshold bytes count as large.
  MemoryTraffic(HMODULE module, size_t threshold);
  ~MemoryTraffic();
  MemoryTraffic(const MemoryTraffic&) = delete;
  MemoryTraffic& operator=(const MemoryTraffic&) = delete;

  // Whether the module's allocations can be seen at all.
  bool Watching() const noexcept;
  size_t LargeBlocks() const noexcept { return largeBlocks_; }
  size_t Arrays() const noexcept { return arrays_; }
  uint64_t CopiedBytes() const noexcept { return copied_; }

 private:
  friend struct TrafficHooks;
  size_t threshold_;
  size_t largeBlocks_ = 0;
  size_t arrays_ = 0;
  uint64_t copied_ = 0;
  std::vector<std::unique_ptr<ImportPatch>> patches_;
};

}  // namespace kvtest
