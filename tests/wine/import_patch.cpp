#include "import_patch.h"

#include <oleauto.h>

#include <cstring>

namespace kvtest {

namespace {

// Writes value into an import slot, which lives in a read-only section.
void Store(void** slot, void* value) {
  DWORD old = 0;
  if (!VirtualProtect(slot, sizeof(void*), PAGE_READWRITE, &old)) return;
  *slot = value;
  VirtualProtect(slot, sizeof(void*), old, &old);
  FlushInstructionCache(GetCurrentProcess(), slot, sizeof(void*));
}

}  // namespace

ImportPatch::ImportPatch(HMODULE module, const char* dll, const char* function,
                         const void* replacement) {
  if (!module) return;
  auto* base = reinterpret_cast<BYTE*>(module);
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  if (dir.VirtualAddress == 0) return;
  for (auto* desc = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress);
       desc->Name != 0; ++desc) {
    if (lstrcmpiA(reinterpret_cast<const char*>(base + desc->Name), dll) != 0) continue;
    const DWORD lookup = desc->OriginalFirstThunk ? desc->OriginalFirstThunk : desc->FirstThunk;
    auto* names = reinterpret_cast<const IMAGE_THUNK_DATA*>(base + lookup);
    auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + desc->FirstThunk);
    for (; names->u1.AddressOfData != 0; ++names, ++slots) {
      if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
      const auto* byName =
          reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
      if (std::strcmp(reinterpret_cast<const char*>(byName->Name), function) != 0) continue;
      slot_ = reinterpret_cast<void**>(&slots->u1.Function);
      original_ = *slot_;
      Store(slot_, const_cast<void*>(replacement));
      return;
    }
  }
}

ImportPatch::~ImportPatch() {
  if (slot_) Store(slot_, original_);
}

// --- MemoryTraffic: the replacements count into the one live counter.

struct TrafficHooks {
  static inline MemoryTraffic* current = nullptr;
  enum Slot { kMalloc, kCalloc, kRealloc, kArray, kMemcpy, kMemmove };

  template <typename Fn>
  static Fn Original(Slot s) {
    return current->patches_[s]->Original<Fn>();
  }
  static void Block(size_t n) {
    if (n >= current->threshold_) ++current->largeBlocks_;
  }
  static void* __cdecl Malloc(size_t n) {
    Block(n);
    return Original<void* (*)(size_t)>(kMalloc)(n);
  }
  static void* __cdecl Calloc(size_t n, size_t size) {
    Block(n * size);
    return Original<void* (*)(size_t, size_t)>(kCalloc)(n, size);
  }
  static void* __cdecl Realloc(void* p, size_t n) {
    Block(n);
    return Original<void* (*)(void*, size_t)>(kRealloc)(p, n);
  }
  static SAFEARRAY* WINAPI Array(VARTYPE vt, LONG lower, ULONG count) {
    ++current->arrays_;
    Block(count);
    return Original<SAFEARRAY*(WINAPI*)(VARTYPE, LONG, ULONG)>(kArray)(vt, lower, count);
  }
  static void* __cdecl Memcpy(void* d, const void* s, size_t n) {
    current->copied_ += n;
    return Original<void* (*)(void*, const void*, size_t)>(kMemcpy)(d, s, n);
  }
  static void* __cdecl Memmove(void* d, const void* s, size_t n) {
    current->copied_ += n;
    return Original<void* (*)(void*, const void*, size_t)>(kMemmove)(d, s, n);
  }
};

MemoryTraffic::MemoryTraffic(HMODULE module, size_t threshold) : threshold_(threshold) {
  TrafficHooks::current = this;
  const struct {
    const char* dll;
    const char* function;
    const void* hook;
  } hooks[] = {
      {"msvcrt.dll", "malloc", reinterpret_cast<const void*>(&TrafficHooks::Malloc)},
      {"msvcrt.dll", "calloc", reinterpret_cast<const void*>(&TrafficHooks::Calloc)},
      {"msvcrt.dll", "realloc", reinterpret_cast<const void*>(&TrafficHooks::Realloc)},
      {"oleaut32.dll", "SafeArrayCreateVector",
       reinterpret_cast<const void*>(&TrafficHooks::Array)},
      {"msvcrt.dll", "memcpy", reinterpret_cast<const void*>(&TrafficHooks::Memcpy)},
      {"msvcrt.dll", "memmove", reinterpret_cast<const void*>(&TrafficHooks::Memmove)},
  };
  for (const auto& h : hooks)
    patches_.push_back(std::make_unique<ImportPatch>(module, h.dll, h.function, h.hook));
}

MemoryTraffic::~MemoryTraffic() {
  patches_.clear();
  TrafficHooks::current = nullptr;
}

bool MemoryTraffic::Watching() const noexcept {
  return patches_[TrafficHooks::kMalloc]->Active() && patches_[TrafficHooks::kCalloc]->Active() &&
         patches_[TrafficHooks::kRealloc]->Active();
}

}  // namespace kvtest
